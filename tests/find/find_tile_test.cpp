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
using zeb::test::capture;
using zeb::test::linear_tables;
using zeb::test::read_file;
using zeb::test::TempDir;
using zeb::test::TestTile;

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

TEST(FindTileCriteria, DWhenQIsOffAndPWithoutRefinement) {
  // Iteration 5: QMIN 99 and QSEL 9.9; with P held off the star is found by D
  // at its refined position.
  TestTile d(3);
  d.settings.pmin_nit(5) = 99;
  d.add_star_all(150.25f, 149.75f, 2000.0f);
  EXPECT_EQ(d.find(5), 1);
  EXPECT_EQ(d.local->y0_l(1), FOUND_BY_D);
  EXPECT_EQ(d.local->qmin_l(1), 99);
  EXPECT_EQ(d.local->dmin_l(1), 3);
  EXPECT_EQ(d.local->qfnd_l(1), 0);
  EXPECT_EQ(d.local->dfnd_l(1), 3);
  EXPECT_NEAR(d.local->u0_l(1), 150.25f, 1e-4);
  EXPECT_NEAR(d.local->v0_l(1), 149.75f, 1e-4);

  // Without a PSF no candidate is refined: no D or Q count anywhere.
  TestTile p(3);
  p.settings.pmin_nit(1) = 4;
  p.add_star_all(150.25f, 149.75f, 2000.0f);
  for (int n = 1; n <= 3; ++n) p.zero_psf(n);
  EXPECT_EQ(p.find(1), 0);
  p.settings.pmin_nit(1) = 3;
  EXPECT_EQ(p.find(1), 1);
  EXPECT_EQ(p.local->y0_l(1), FOUND_BY_P);
  for (int iv = 140; iv <= 160; ++iv)
    for (int iu = 140; iu <= 160; ++iu) ASSERT_EQ(p.maps.stackd_t(iu, iv) + p.maps.stackq_t(iu, iv), 0);
}

TEST(FindTileCriteria, UnrefinedCandidateAddsNoCountAtTheRasterCorner) {
  // Exposures 1 and 2 have no PSF and half-scale tables, so their raster
  // corner (0, 0) lies at tile-grid (75.5, 75.5); exposures 3 and 4 cover
  // that point (coverage 2, so two D counts would make a source there). The
  // star is in exposures 1 and 2 only: its candidates are not refined and
  // must add no D count anywhere, least of all at the corner.
  TestTile t(4);
  for (int n = 1; n <= 2; ++n) {
    linear_tables(t.te, n, 0.5f);
    t.zero_psf(n);
    t.add_star(n, 150.25f, 149.75f, 2000.0f);
  }
  EXPECT_EQ(t.find(1, {60, 170, 60, 170}), 0);
  for (int iv = 70; iv <= 80; ++iv)
    for (int iu = 70; iu <= 80; ++iu) EXPECT_EQ(t.maps.stackd_t(iu, iv), 0) << iu << " " << iv;
  EXPECT_EQ(t.maps.stackc_t(75, 75), 2);
  EXPECT_EQ(t.maps.stackp_t(151, 150), 2);  // the star itself: P 2 of the 3 needed
}

TEST(FindTileCriteria, NothingFromIterationsEightToTen) {
  for (int nit : {8, 9, 10}) {
    TestTile t(4);
    t.add_star_all(150.25f, 149.75f, 5000.0f);
    EXPECT_EQ(t.find(nit, {100, 200, 100, 200}), 0) << nit;
    EXPECT_EQ(t.ls, 0);
  }
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

TEST(FindTileCoverage, CoverageAndLevelMapsOnIdentityAndDoubleScaleTables) {
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
  EXPECT_EQ(t.maps.stacky_t(60, 200), 4);
  EXPECT_EQ(t.maps.stacky_t(5, 5), 0);
  EXPECT_EQ(t.maps.stackp_t(150, 150), 3);
  EXPECT_EQ(t.maps.stackp_t(60, 200), 0);

  // One raster pixel per reference pixel: two tile-grid steps per raster
  // pixel, the whole grid inside rasters 76..226. Grid point 1 maps onto
  // raster pixel 76, whose own grid coordinate 1 is not strictly inside the
  // window; grid point 2 maps half way to raster pixel 77.
  TestTile s(3);
  for (int n = 1; n <= 3; ++n) linear_tables(s.te, n, 2.0f);
  s.settings.pmin_nit(1) = 99;
  s.settings.dmin_nit(1) = 99;
  s.add_star_all(150.25f, 149.75f, 2000.0f);
  EXPECT_EQ(s.find(1), 1);
  EXPECT_NEAR(s.local->u0_l(1), 149.5f, 1e-3);  // 151 + 2 (150.25 - 151)
  EXPECT_NEAR(s.local->v0_l(1), 148.5f, 1e-3);
  EXPECT_EQ(s.maps.stackc_t(1, 150), 0);
  EXPECT_EQ(s.maps.stackc_t(2, 150), 3);
  // Grid point 299 maps to raster pixel 225 (grid 299), 300 half way to
  // 226, whose grid coordinate 301 is not strictly inside the window.
  EXPECT_EQ(s.maps.stackc_t(299, 299), 3);
  EXPECT_EQ(s.maps.stackc_t(300, 300), 0);
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

TEST(FindTileTests, BoxSkyIsTheFourByFourBlockReachingAwayFromTheBox) {
  // The brightest box reaches right and up from the peak, so its sky block
  // spans columns and rows -1..2. With a mask level of 100 (x 2) the flux
  // 225 - 4 sky must beat 200: 90 in the block's far corner makes the sky
  // 7.5 and the flux 195; the same 90 at the mirrored corner is no sky.
  for (const int corner : {2, -2}) {
    BlockTile t;
    t.set_all(corner, corner, 90.0f);
    for (int n = 1; n <= 3; ++n) t.te.pixm_n(150, 150, n) = 100.0f;
    EXPECT_EQ(t.found(), corner < 0) << corner;
    EXPECT_EQ(t.level(), corner < 0 ? 7 : 4) << corner;
  }
}

TEST(FindTileTests, ModelLevelTimesModelFactorMustBeBeaten) {
  BlockTile t;
  for (int n = 1; n <= 3; ++n) t.te.pixf_n(150, 150, n) = 225.0f;
  EXPECT_FALSE(t.found());
  EXPECT_EQ(t.level(), 5);
  BlockTile u;
  for (int n = 1; n <= 3; ++n) {
    u.te.pixf_n(150, 150, n) = 225.0f;
    u.te.oth_n(n) = 0.999f;
  }
  EXPECT_TRUE(u.found());
}

TEST(FindTileTests, NegativeWingWithinFourAndAHalfPixels) {
  BlockTile t;
  t.set_all(3, 0, -100.0f);  // as negative as the peak is positive: allowed
  EXPECT_TRUE(t.found());
  BlockTile u;
  u.set_all(3, 0, -100.5f);
  EXPECT_FALSE(u.found());
  EXPECT_EQ(u.level(), 3);
  BlockTile far;
  far.set_all(4, 3, -500.0f);  // 4^2 + 3^2 > 20.25: outside the wing
  EXPECT_TRUE(far.found());
}

TEST(FindTileTests, SignificanceAgainstTheSkyRing) {
  // Nine ring pixels outside the 4 x 4 sky block get value v, the other
  // seven stay 0: sorted, s4 = 0 and s8 = s9 = s13 = v, so sig = v / 2 and
  // med = v; the test 2.5 sig <= 225 - 4 med holds up to v = 225 / 5.25.
  auto ring = [](float v) {
    auto t = std::make_unique<BlockTile>();
    for (int dy = -2; dy <= 2; ++dy) t->set_all(-2, dy, v);
    for (int dx = -1; dx <= 2; ++dx) t->set_all(dx, -2, v);
    return t;
  };
  EXPECT_TRUE(ring(42.0f)->found());
  auto t = ring(43.0f);
  EXPECT_FALSE(t->found());
  EXPECT_EQ(t->level(), 6);
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

TEST(FindTileKnownStars, ExistingEntriesUntouchedAndNewEntryCleared) {
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.add_known(40.0f, 260.0f, 3);
  LocalList& l = *t.local;
  l.z0_lf(1, 2) = 777.0f;
  l.gg_l(1) = 1;
  // Leftovers in the next slot (a star of an earlier pass of the tile).
  l.z0_lf(2, 1) = 123.0f;
  l.n0_l(2) = 55;
  l.gg_l(2) = 1;
  l.su0_l(2) = 0.5f;
  l.mask_l(2) = 7.0f;
  EXPECT_EQ(t.find(1), 1);
  EXPECT_EQ(t.ls, 2);
  EXPECT_EQ(l.u0_l(1), 40.0f);
  EXPECT_EQ(l.v0_l(1), 260.0f);
  EXPECT_EQ(l.w0_l(1), 3);
  EXPECT_EQ(l.n0_l(1), 1001);
  EXPECT_EQ(l.z0_lf(1, 2), 777.0f);
  EXPECT_EQ(l.gg_l(1), 1);
  EXPECT_EQ(l.z0_lf(2, 1), 0.0f);
  EXPECT_EQ(l.n0_l(2), 0);
  EXPECT_EQ(l.gg_l(2), 0);
  EXPECT_EQ(l.su0_l(2), 9.99f);
  EXPECT_EQ(l.mask_l(2), 1.0f);
  EXPECT_EQ(source_near(t, 2, 150.25f, 149.75f, 0.5f), 2);
}

TEST(FindTileKnownStars, LocalListFullStops) {
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.ls = LDIM - 1;  // entries at (0, 0): far from the star
  EXPECT_EQ(t.find(1, {110, 190, 110, 190}), 1);
  EXPECT_EQ(t.ls, LDIM);
  EXPECT_EQ(source_near(t, LDIM, 150.25f, 149.75f, 0.5f), LDIM);
  TestTile u(3);
  u.add_star_all(150.25f, 149.75f, 2000.0f);
  u.ls = LDIM;
  auto r = capture([&] { u.find(1, {110, 190, 110, 190}); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STOP Ls.gt._LDIM_\n");
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

// Collation alone, on count maps with isolated Q peaks: each peak has its
// tally and spread value on its own fine point, so its centroid is the peak.
std::vector<std::pair<float, float>> collate_peaks(const std::vector<std::tuple<int, int, int>>& peaks) {
  using namespace find_detail;
  auto p = std::make_unique<FineCounts>(), d = std::make_unique<FineCounts>(), q = std::make_unique<FineCounts>();
  FindingMaps maps;
  maps.stackc_t.fill(3);
  for (const auto& [iu, iv, count] : peaks) {
    maps.stackq_t(iu, iv) = static_cast<std::int16_t>(count);
    q->tally(4 * (iu - 1) + 1, 4 * (iv - 1) + 1) = static_cast<std::int16_t>(count);
    q->spread(4 * (iu - 1) + 1, 4 * (iv - 1) + 1) = static_cast<std::int16_t>(count);
  }
  auto local = std::make_unique<LocalList>();
  reset_local(*local);
  int ls = 0;
  Array2<std::uint8_t> stacka(TILE_GRID, TILE_GRID);
  collate_sources(1, find_settings(Settings{}, 1), FindWindow{}, *p, *d, *q, maps, stacka, *local, ls);
  std::vector<std::pair<float, float>> found;
  for (int l = 1; l <= ls; ++l) found.emplace_back(local->u0_l(l), local->v0_l(l));
  return found;
}

TEST(FindTileCollation, FirstPeakInScanOrderClaimsItsZone) {
  using P = std::vector<std::pair<float, float>>;
  // iu outer, iv inner: the peak met first claims radius trunc(max(3.5, OPRX,
  // OPRV)) = 4 around it.
  EXPECT_EQ(collate_peaks({{153, 150, 3}, {150, 150, 3}}), (P{{150.0f, 150.0f}}));
  EXPECT_EQ(collate_peaks({{150, 153, 3}, {150, 150, 3}}), (P{{150.0f, 150.0f}}));
  EXPECT_EQ(collate_peaks({{152, 150, 3}, {150, 152, 3}}), (P{{150.0f, 152.0f}}));
  EXPECT_EQ(collate_peaks({{150, 150, 3}, {154, 150, 3}}), (P{{150.0f, 150.0f}}));  // 4^2 <= 4^2
  EXPECT_EQ(collate_peaks({{150, 150, 3}, {155, 150, 3}}), (P{{150.0f, 150.0f}, {155.0f, 150.0f}}));
  EXPECT_EQ(collate_peaks({{150, 150, 3}, {153, 153, 3}}), (P{{150.0f, 150.0f}, {153.0f, 153.0f}}));  // 18 > 16
  // A strictly larger count within 3.5 steps takes the place of the first.
  EXPECT_EQ(collate_peaks({{150, 150, 3}, {152, 151, 4}}), (P{{152.0f, 151.0f}}));
  // The collation keeps 3 steps from the grid's edge.
  EXPECT_EQ(collate_peaks({{3, 150, 3}, {150, 298, 3}}), (P{{150.0f, 298.0f}}));
}

TEST(FindTileWindow, WideLocalMaximumIgnoresPixelsBeyondTheRaster) {
  TestTile t(3);
  t.settings.hmin_nit(1) = 99;
  t.add_star_all(10.25f, 149.75f, 2000.0f);    // near the raster edge
  t.add_star_all(150.25f, 149.75f, 3000.0f);
  t.add_star_all(200.25f, 149.75f, 2000.0f);   // within 99 pixels of a brighter star
  EXPECT_EQ(t.find(1), 2);
  EXPECT_NE(source_near(t, 1, 10.25f, 149.75f), 0);
  EXPECT_NE(source_near(t, 1, 150.25f, 149.75f), 0);
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

TEST(FindTileBadInput, ExtremeSettingsStayWithinTheGridsOrStop) {
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.settings.psep_nit(1) = 10.0f;  // the widest spreading accepted: 40 fine pixels
  t.settings.oprx_nit(1) = 1.0e9f;
  t.settings.oprv_nit(1) = std::numeric_limits<float>::quiet_NaN();
  t.settings.pmin_nit(1) = -5;
  t.find(1, {100, 200, 100, 200});
  EXPECT_EQ(t.maps.stackp_t(150, 150), 3);
  EXPECT_EQ(t.maps.stackp_t(159, 150), 3);  // fine pixel 631 is 34 from the tally at 597
  EXPECT_EQ(t.maps.stackp_t(161, 150), 0);  // 639 is 42 away
  // No neighbourhood at all: every pixel is its own maximum.
  TestTile h(3);
  h.add_star_all(150.25f, 149.75f, 2000.0f);
  h.settings.hmin_nit(1) = -3;
  EXPECT_GE(h.find(1, {110, 190, 110, 190}), 1);
  for (float bad : {-0.5f, 10.5f, std::numeric_limits<float>::quiet_NaN()}) {
    TestTile u(1);
    u.settings.dsep_nit(2) = bad;
    auto r = capture([&] { u.find(2); });
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "STOP find_tile: bad spreading radius\n");
    EXPECT_NE(r.out.find("DSEP: "), std::string::npos);
  }
}

// --- Diagnostic images. ---

TEST(FindTileImages, ShowTilesWritesTheCountMaps) {
  TempDir dir;
  std::filesystem::create_directory("AUX");
  TestTile t(3);
  t.add_star_all(150.25f, 149.75f, 2000.0f);
  t.settings.show_tiles = 1;
  t.find(2);
  auto records = [](long pixels) { return 2880L * (1 + (2 * pixels + 2879) / 2880); };
  for (const char* name : {"tallyq", "tallyd", "tallyp", "stackq", "stackd", "stackp"})
    EXPECT_EQ(std::filesystem::file_size(std::string("AUX/FIND_TILE_") + name + "_x4_NIT2.fits"),
              records(1201L * 1201))
        << name;
  for (const char* name : {"stackc", "stackq", "stackd", "stackp"})
    EXPECT_EQ(std::filesystem::file_size(std::string("AUX/FIND_TILE_") + name + "_x1_NIT2.fits"),
              records(301L * 301))
        << name;
  // Pixel (150, 150) of the coverage image: big-endian 3, row 150 column 150.
  const std::string c = read_file("AUX/FIND_TILE_stackc_x1_NIT2.fits");
  const std::size_t at = 2880 + 2 * (149 * 301 + 149);
  EXPECT_EQ(static_cast<unsigned char>(c[at]), 0);
  EXPECT_EQ(static_cast<unsigned char>(c[at + 1]), 3);
  const std::string h = c.substr(0, 2880);
  EXPECT_NE(h.find("NAXIS1  =          301"), std::string::npos);
  // The joint map only where the iteration uses it: 32-bit reals, the star's
  // significance at (150, 150) in the hundreds.
  const std::string joint = "AUX/FIND_TILE_stackj_x1_NIT2.fits";
  EXPECT_FALSE(std::filesystem::exists(joint));
  t.settings.jsig_nit(2) = 5.0f;
  t.ls = 0;
  t.find(2);
  const std::string j = read_file(joint);
  ASSERT_EQ(j.size(), 2880u * (1 + (4 * 301 * 301 + 2879) / 2880));
  std::uint32_t bits = 0;
  for (int k = 0; k < 4; ++k) bits = bits << 8 | static_cast<unsigned char>(j[2880 + 4 * (149 * 301 + 149) + k]);
  float value = 0.0f;
  std::memcpy(&value, &bits, 4);
  EXPECT_GT(value, 100.0f);
}

}  // namespace
