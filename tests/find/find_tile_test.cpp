// find_tile on hand-built tiles: stars placed into the residual rasters of a
// few exposures whose rasters map onto the tile grid through linear tables.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "find/find_internal.h"
#include "find/find_test_util.h"
#include "find/find_tile.h"
#include "support/test_support.h"

namespace {

using namespace zeb;
using namespace zeb::test;

// Index of the first new source within `tol` of (u, v), or 0.
int source_near(const TestTile& t, int first, float u, float v, float tol = 1.0f) {
  for (int l = first; l <= t.ls; ++l)
    if (std::abs(t.local->u0_l(l) - u) <= tol && std::abs(t.local->v0_l(l) - v) <= tol) return l;
  return 0;
}

// --- The three criteria and the records of a new source. ---

TEST(FindTileCriteria, FirstPointInScanOrderThatMeetsAnyCriterionTakesTheSource) {
  // A star in three exposures. Its P counts (spread over 3 fine pixels from
  // the candidate pixel (150, 150)) reach grid point (149, 149), which the scan
  // meets before any point with a Q count: the source is found there by P,
  // at the candidate pixel.
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  EXPECT_EQ(t.find(1), 1);
  ASSERT_EQ(t.ls, 1);
  const LocalList& l = *t.local;
  EXPECT_EQ(l.u0_l(1), 150.0f);
  EXPECT_EQ(l.v0_l(1), 150.0f);
  EXPECT_EQ(l.uf_l(1), 150.0f);
  EXPECT_EQ(l.vf_l(1), 150.0f);
  EXPECT_EQ(l.w0_l(1), 1);
  EXPECT_EQ(l.y0_l(1), FOUND_BY_P);
  EXPECT_EQ(l.n0_l(1), 0);  // found here, not yet committed
  EXPECT_EQ(l.gg_l(1), 0);
  // The records of point (149, 149): coverage 3, so Q needs max(2, QMIN 1),
  // D max(2, DMIN 2), P max(3, PMIN 2).
  EXPECT_EQ(l.cfnd_l(1), 3);
  EXPECT_EQ(l.pfnd_l(1), 3);
  EXPECT_EQ(l.qfnd_l(1), 0);
  EXPECT_EQ(l.dfnd_l(1), 0);
  EXPECT_EQ(l.qmin_l(1), 2);
  EXPECT_EQ(l.dmin_l(1), 2);
  EXPECT_EQ(l.pmin_l(1), 3);
  EXPECT_EQ(t.maps.stackq_t(150, 149), 3);
}

TEST(FindTileCriteria, QFoundStarSitsAtItsRefinedPosition) {
  // Without P and D the source is found by Q at (150, 149), the first point
  // whose Q count reaches 2. Every exposure refines the candidate to
  // (150.25, 149.75), so the Q tallies share one fine pixel and their
  // centroid is the star itself.
  TestTile t(3);
  t.settings.pmin_nit(1) = 99;
  t.settings.dmin_nit(1) = 99;
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  EXPECT_EQ(t.find(1), 1);
  const LocalList& l = *t.local;
  EXPECT_NEAR(l.u0_l(1), 150.25f, 1e-4);
  EXPECT_NEAR(l.v0_l(1), 149.75f, 1e-4);
  EXPECT_EQ(l.y0_l(1), FOUND_BY_Q);
  EXPECT_EQ(l.cfnd_l(1), 3);
  EXPECT_EQ(l.qfnd_l(1), 3);
  EXPECT_EQ(l.dfnd_l(1), 3);
  EXPECT_EQ(l.pfnd_l(1), 3);
  EXPECT_EQ(l.qmin_l(1), 2);
  EXPECT_EQ(l.dmin_l(1), 99);
  EXPECT_EQ(l.pmin_l(1), 99);
}

// --- Coverage and the required counts. ---

TEST(FindTileCoverage, RequirementsFollowTheExposuresThatTakePart) {
  // A star in exposure 1 of 4: one Q count where two are needed.
  TestTile t(4);
  t.add_star(1, 150.25f, 149.75f, 2000.0f);
  EXPECT_EQ(t.find(1), 0);
  EXPECT_EQ(t.maps.stackc_t(150, 150), 4);
  EXPECT_EQ(t.maps.stackq_t(150, 150), 1);

  // The other exposures sit out iteration 1 (mask character 1 is "0"): they
  // add no coverage either, a single exposure sees the point and Q alone
  // can find it.
  for (int n = 2; n <= 4; ++n) t.te.fnd_n(n) = "011111111";
  EXPECT_EQ(t.find(1), 1);
  EXPECT_EQ(t.local->y0_l(1), FOUND_BY_Q);
  EXPECT_EQ(t.local->cfnd_l(1), 1);
  EXPECT_EQ(t.local->qmin_l(1), 1);
  EXPECT_EQ(t.local->dmin_l(1), 99);
  EXPECT_EQ(t.local->pmin_l(1), 3);
  EXPECT_EQ(t.maps.stackc_t(150, 150), 1);
}

TEST(FindTileCoverage, CoverageAndLevelMaps) {
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.find(1);
  // Raster pixels 6..296 are searched: grid points 6..296 are covered.
  EXPECT_EQ(t.maps.stackc_t(6, 6), 3);
  EXPECT_EQ(t.maps.stackc_t(296, 150), 3);
  EXPECT_EQ(t.maps.stackc_t(5, 150), 0);
  EXPECT_EQ(t.maps.stackc_t(150, 297), 0);
  // Level map: the star's pixel reached 7 in all three exposures; the flat
  // zero residual elsewhere stops at the mask test (a flux of 0 never beats
  // a level of 0), level 4; uncovered points need 99 exposures: 0.
  EXPECT_EQ(t.maps.stacky_t(150, 150), 7);
  // It raises the grid points within trunc(4 PSEP + 1) = 4 fine pixels of it:
  // the four nearest, not the diagonal ones (32 > 4.5^2) nor two steps away.
  EXPECT_EQ(t.maps.stacky_t(151, 150), 7);
  EXPECT_EQ(t.maps.stacky_t(150, 149), 7);
  EXPECT_LT(t.maps.stacky_t(151, 151), 7);
  EXPECT_LT(t.maps.stacky_t(152, 150), 7);
  // Rasters half a pixel down put the star's fine pixel two below a grid
  // point: the disc now takes three grid points across in two rows.
  TestTile s(3);
  for (int n = 1; n <= 3; ++n) linear_tables(s.te, n, 1.0f, 0.0f, 0.5f);
  s.add_star_all(150.25f, 149.75f, 2000.0f);
  s.find(1);
  for (int iu = 149; iu <= 151; ++iu)
    EXPECT_TRUE(s.maps.stacky_t(iu, 150) == 7 && s.maps.stacky_t(iu, 151) == 7) << iu;
  EXPECT_LT(s.maps.stacky_t(150, 149), 7);
  EXPECT_LT(s.maps.stacky_t(148, 150), 7);
  EXPECT_EQ(t.maps.stacky_t(60, 200), 4);
  EXPECT_EQ(t.maps.stacky_t(5, 5), 0);
  EXPECT_EQ(t.maps.stackp_t(150, 150), 3);
  EXPECT_EQ(t.maps.stackp_t(60, 200), 0);
}

// --- The tests a candidate pixel must pass, at their thresholds. ---

// Three exposures with the same 2 x 2 block of light at pixel (150, 150):
// 100 there, 50 right and above it, 25 diagonally. The brightest box is
// that block (225) with a surrounding sky of 0, so the candidate's flux is 225.
struct BlockTile : TestTile {
  BlockTile() : TestTile(3) {
    for (int n = 1; n <= 3; ++n) {
      set(n, 0, 0, 100.0f);
      set(n, 1, 0, 50.0f);
      set(n, 0, 1, 50.0f);
      set(n, 1, 1, 25.0f);
    }
  }
  void set(int n, int dx, int dy, float v) { te.pixd_n(150 + dx, 150 + dy, n) = v; }
  void set_all(int dx, int dy, float v) {
    for (int n = 1; n <= 3; ++n) set(n, dx, dy, v);
  }
  // The block's surroundings are enough (and keep the test quick).
  bool found() {
    find(1, {110, 190, 110, 190});
    return source_near(*this, 1, 150.4f, 150.4f) != 0;
  }
  int level() const { return maps.stacky_t(150, 150); }
};

TEST(FindTileTests, MaskLevelTimesMaskFactorMustBeBeaten) {
  BlockTile t;
  for (int n = 1; n <= 3; ++n) t.te.pixm_n(150, 150, n) = 112.5f;  // x 2 = 225: not beaten
  EXPECT_FALSE(t.found());
  EXPECT_EQ(t.level(), 4);
  BlockTile u;
  for (int n = 1; n <= 3; ++n) u.te.pixm_n(150, 150, n) = 112.4f;
  EXPECT_TRUE(u.found());
  EXPECT_EQ(u.level(), 7);
  // A mask factor of 0 ignores any mask level.
  BlockTile z;
  for (int n = 1; n <= 3; ++n) {
    z.te.pixm_n(150, 150, n) = 1.0e6f;
    z.te.msk_n(n) = 0.0f;
  }
  EXPECT_TRUE(z.found());
}

TEST(FindTileTests, LocalMaximumAllowsTiesButNotHigherNeighbours) {
  BlockTile t;
  t.set_all(5, 0, 100.0f);  // within HMIN 5, equal
  EXPECT_TRUE(t.found());
  BlockTile u;
  u.set_all(5, 0, 100.01f);
  EXPECT_FALSE(u.found());
  EXPECT_EQ(u.level(), 2);
  BlockTile v;
  v.set_all(6, 0, 1000.0f);  // beyond HMIN 5
  EXPECT_TRUE(v.found());
}

// --- Flags and masks. ---

TEST(FindTileFlags, FlaggedPixelsStopCandidatesAndCoverage) {
  // A flag three pixels from the star's peak in exposure 3 lies inside the
  // local-maximum test but outside the 5 x 5 box: the candidate is lost, the
  // coverage stays.
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.te.pixu_n(153, 150, 3) = 1;
  EXPECT_EQ(t.find(1, {110, 190, 110, 190}), 1);
  EXPECT_EQ(t.local->cfnd_l(1), 3);
  EXPECT_EQ(t.local->qfnd_l(1), 2);

  // A flag two pixels away is inside the 5 x 5 box: the pixel is not usable
  // at all, so it is not covered there either.
  TestTile u(3);
  u.add_star_all(150.25f, 149.75f, 2000.0f);
  u.te.pixu_n(152, 150, 3) = 2;
  EXPECT_EQ(u.find(1, {110, 190, 110, 190}), 1);
  EXPECT_EQ(u.maps.stackc_t(150, 150), 2);
  EXPECT_EQ(u.maps.stackq_t(150, 150), 2);

  // The peak pixel itself flagged in all exposures: nothing.
  TestTile w(3);
  w.add_star_all(150.25f, 149.75f, 2000.0f);
  for (int n = 1; n <= 3; ++n) w.te.pixu_n(150, 150, n) = 3;
  EXPECT_EQ(w.find(1, {110, 190, 110, 190}), 0);
}

// --- Stars already in the list. ---

TEST(FindTileKnownStars, ExclusionZonesOfKnownAndRecentStars) {
  // A known star right on the new one: not found again.
  TestTile t(3);
  t.add_star_all(151.2f, 150.8f, 2000.0f);
  t.add_known(151.0f, 151.0f, 0);
  EXPECT_EQ(t.find(2, {110, 190, 110, 190}), 0);
  EXPECT_EQ(t.ls, 1);
  EXPECT_EQ(t.maps.stacky_t(151, 151), 1);  // usable, but excluded

  // A star 7 grid steps (3.5 reference pixels) from a known one: outside
  // OPRX 2.5, inside OPRV 4.5. The wider zone applies to stars of this or the
  // previous iteration (NIT <= w0 + 1).
  struct Case {
    int nit, w0;
    bool found;
  } cases[] = {{2, 0, true}, {1, 0, false}, {3, 2, false}, {3, 3, false}, {4, 2, true}};
  for (const Case& c : cases) {
    TestTile k(3);
    k.add_star_all(158.2f, 150.8f, 2000.0f);
    k.add_known(151.0f, 151.0f, c.w0);
    k.find(c.nit, {120, 190, 120, 190});
    EXPECT_EQ(source_near(k, 2, 158.25f, 150.75f) != 0, c.found) << c.nit << " " << c.w0;
  }
}

// --- Window and scan order. ---

TEST(FindTileWindow, OnlyTheWindowIsSearched) {
  auto tile = [] {
    auto t = std::make_unique<TestTile>(3);
    t->add_star_all(100.25f, 100.25f, 2000.0f);
    t->add_star_all(150.25f, 149.75f, 2000.0f);
    return t;
  };
  auto t = tile();
  EXPECT_EQ(t->find(1, {130, 170, 130, 170}), 1);
  EXPECT_NE(source_near(*t, 1, 150.25f, 149.75f), 0);
  EXPECT_EQ(t->maps.stackc_t(100, 100), 0);  // outside the window nothing is counted
  EXPECT_EQ(t->maps.stackp_t(100, 100), 0);
  // A window reaching beyond the grid is the whole grid.
  auto w = tile();
  EXPECT_EQ(w->find(1, {-40, 400, -5, 350}), 2);
  // A single column gives no fine position strictly inside: nothing.
  auto c = tile();
  EXPECT_EQ(c->find(1, {150, 150, 1, 301}), 0);
  // An empty window (an artificial star far off the tile).
  auto e = tile();
  EXPECT_EQ(e->find(1, {302, 301, 1, 301}), 0);
}


TEST(FindTileWorkspace, AKeptWorkspaceGivesWhatAFreshOneGives) {
  // A first search with wide spreading and many sources leaves the workspace
  // full of counts; a second, different search must not see any of them.
  auto busy = std::make_unique<TestTile>(4);
  busy->settings.psep_nit(2) = 3.0f;
  busy->settings.qsep_nit(2) = 2.0f;
  for (int k = 0; k < 40; ++k) busy->add_star_all(20.3f + 6.1f * static_cast<float>(k), 40.0f + 5.2f * (k % 9), 3000.0f);
  auto second = [] {
    auto t = std::make_unique<TestTile>(3);
    t->add_star_all(150.25f, 149.75f, 2000.0f);
    t->add_star_all(60.6f, 230.1f, 900.0f);
    t->te.pixu_n(61, 228, 2) = 1;
    return t;
  };
  auto fresh = second();
  fresh->find(1);
  FindWorkspace ws;
  EXPECT_GT(find_tile(2, busy->settings, {}, busy->te, busy->psf_n, *busy->local, busy->ls, busy->maps, ws), 10);
  auto kept = second();
  find_tile(1, kept->settings, {}, kept->te, kept->psf_n, *kept->local, kept->ls, kept->maps, ws);
  ASSERT_EQ(kept->ls, fresh->ls);
  for (int l = 1; l <= kept->ls; ++l) {
    EXPECT_EQ(kept->local->u0_l(l), fresh->local->u0_l(l));
    EXPECT_EQ(kept->local->v0_l(l), fresh->local->v0_l(l));
    EXPECT_EQ(kept->local->y0_l(l), fresh->local->y0_l(l));
  }
  const Array2<std::int16_t>* a[] = {&kept->maps.stackp_t, &kept->maps.stackq_t, &kept->maps.stackd_t,
                                     &kept->maps.stackc_t, &kept->maps.stacky_t};
  const Array2<std::int16_t>* b[] = {&fresh->maps.stackp_t, &fresh->maps.stackq_t, &fresh->maps.stackd_t,
                                     &fresh->maps.stackc_t, &fresh->maps.stacky_t};
  for (int m = 0; m < 5; ++m)
    EXPECT_TRUE(std::equal(a[m]->data(), a[m]->data() + a[m]->size(), b[m]->data())) << m;
}

// --- Bad input. ---

TEST(FindTileBadInput, NumbersThatAreNotNumbersDoNotCrashOrMakeSources) {
  TestTile t(3);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int n = 1; n <= 3; ++n)
    for (int y = 50; y <= 59; ++y)
      for (int x = 50; x <= 59; ++x) t.te.pixd_n(x, y, n) = nan;
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.te.pixd_n(152, 150, 1) = nan;
  t.te.pixd_n(200, 200, 2) = std::numeric_limits<float>::infinity();
  t.add_known(nan, 20.0f, 0);
  t.add_known(1.0e30f, -1.0e30f, 0);
  t.find(1, {40, 170, 40, 170});
  EXPECT_EQ(source_near(t, 3, 54.5f, 54.5f, 8.0f), 0);
  EXPECT_NE(source_near(t, 3, 150.25f, 149.75f), 0);
  // Tables that are not numbers cover nothing and find nothing.
  TestTile u(2);
  u.add_star_all(150.25f, 149.75f, 2000.0f);
  for (int n = 1; n <= 2; ++n) u.te.utab_n(16, 16, n) = u.te.xtab_n(16, 16, n) = nan;
  u.find(1);
  EXPECT_EQ(u.maps.stackc_t(150, 150), 0);
}

// --- Diagnostic images. ---

}  // namespace
