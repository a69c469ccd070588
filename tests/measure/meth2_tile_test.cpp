// Methods 2 and 3 on synthetic tiles (stars drawn with an analytic Gaussian,
// the same Gaussian sampled as every exposure's PSF) and the per-filter
// combination on hand-set per-exposure results. Stated tolerance for a
// noise-free isolated star at its true position: 0.2% in flux in both modes
// (the PSF grid is interpolated from samples a quarter pixel apart).
#include <gtest/gtest.h>

#include <cmath>

#include "measure/meth0_field.h"
#include "measure/meth2.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::GaussianField;

constexpr float SIGMA = 1.2f;
constexpr float SKY = 20.0f;
constexpr double FLUX_TOL = 0.002;

void run(GaussianField& f, int mode) { meth2_xyz_tile(f.ls(), f.local(), f.ln(), f.te(), f.psfs(), mode); }

// A sky of SKY +- 1 in a checkerboard: its scatter is 1 (a perfectly flat
// sky has scatter 0, which the methods replace by 999.9).
void checkerboard(GaussianField& f) {
  for (int n = 1; n <= f.te().ns; ++n)
    for (int j = 1; j <= TILE_GRID; ++j)
      for (int i = 1; i <= TILE_GRID; ++i) f.te().pixv_n(i, j, n) += (i + j) % 2 == 0 ? 1.0f : -1.0f;
}

GaussianField dithered(int ns) {
  GaussianField f(ns, SIGMA, SKY, 3.0f);
  for (int n = 1; n <= ns; ++n) f.set_shift(n, 0.37 * n - 0.9, -0.23 * n + 0.4);
  checkerboard(f);
  return f;
}

TEST(Meth2Tile, IsolatedStarBothModes) {
  GaussianField f = dithered(4);
  f.draw_all(150.3, 149.8, 50000.0);
  const int l = f.list_star(150.3f, 149.8f, 50000.0f);
  run(f, 2);
  run(f, 3);
  const LocalExposureResults& ln = f.ln();
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    // Positions are mapped, not fitted.
    EXPECT_NEAR(ln.x2_ln(l, n), f.raster_x(n, 150.3), 1e-4);
    EXPECT_NEAR(ln.y3_ln(l, n), f.raster_y(n, 149.8), 1e-4);
    EXPECT_EQ(ln.f2_ln(l, n), 1);
    EXPECT_EQ(ln.f3_ln(l, n), 1);
    EXPECT_NEAR(ln.z2_ln(l, n), 50000.0, 50000.0 * FLUX_TOL);
    EXPECT_NEAR(ln.z3_ln(l, n), 50000.0, 50000.0 * FLUX_TOL);
    EXPECT_NEAR(ln.s2_ln(l, n), SKY, 0.05);
    // Radii 2 to 4 lie in the star's wings, where the model weighs the
    // checkerboard's pixels unevenly.
    EXPECT_NEAR(ln.s3_ln(l, n), SKY, 1.0);
    EXPECT_NEAR(ln.q2_ln(l, n), 1.0, 1e-3);
    EXPECT_EQ(ln.o2_ln(l, n), 0.0f);
    // Method 3 weighs one to four pixels, method 2 all 25: a larger error.
    EXPECT_GT(ln.sz3_ln(l, n), ln.sz2_ln(l, n));
    EXPECT_GT(ln.sz2_ln(l, n), 0.0f);
  }
  find_avg_z2(f.ls(), 4, f.te().fff_n, f.ln(), f.local(), 2);
  find_avg_z2(f.ls(), 4, f.te().fff_n, f.ln(), f.local(), 3);
  EXPECT_NEAR(f.local().z2_lf(l, 1), 50000.0, 50000.0 * FLUX_TOL);
  EXPECT_NEAR(f.local().z3_lf(l, 1), 50000.0, 50000.0 * FLUX_TOL);
  EXPECT_EQ(f.local().f2_lf(l, 1), 4);
  EXPECT_EQ(f.local().g3_lf(l, 1), 4);
  // No exposure of filter 2: the sentinels.
  EXPECT_EQ(f.local().z2_lf(l, 2), 0.0f);
  EXPECT_EQ(f.local().sz2_lf(l, 2), 99999.0f);
  EXPECT_EQ(f.local().f2_lf(l, 2), 0);
}

TEST(Meth2Tile, UnlistedNeighbourContaminatesTheWholeBoxMore) {
  // A neighbour 2.2 pixels away that the list does not know (flux 0) is not
  // subtracted: method 2's 5 x 5 box takes in much of its light, method 3's
  // core pixels little.
  GaussianField f = dithered(1);
  f.draw_all(150.0, 150.0, 50000.0);
  f.draw_all(152.2, 150.0, 3000.0);
  const int l = f.list_star(150.0f, 150.0f, 50000.0f);
  f.list_star(152.2f, 150.0f, 0.0f);
  run(f, 2);
  run(f, 3);
  const double e2 = f.ln().z2_ln(l, 1) - 50000.0, e3 = f.ln().z3_ln(l, 1) - 50000.0;
  EXPECT_GT(e3, 0.0);
  EXPECT_GT(e2, 1.5 * e3);
}

TEST(Meth2Tile, ListedNeighboursAreSubtracted) {
  GaussianField f = dithered(2);
  f.draw_all(150.0, 150.0, 50000.0);
  f.draw_all(152.5, 151.0, 30000.0);
  const int a = f.list_star(150.0f, 150.0f, 50000.0f);
  const int b = f.list_star(152.5f, 151.0f, 30000.0f);
  for (const int mode : {2, 3}) {
    run(f, mode);
    const Meth2Ln out = meth2_ln(f.ln(), mode);
    for (int n = 1; n <= 2; ++n) {
      EXPECT_NEAR(out.z(a, n), 50000.0, 50000.0 * FLUX_TOL) << mode;
      EXPECT_NEAR(out.z(b, n), 30000.0, 30000.0 * FLUX_TOL) << mode;
      EXPECT_GT(out.o(a, n), 0.0f) << mode;
    }
  }
  // The brighter neighbour weighs more on the fainter star.
  EXPECT_GT(f.ln().o2_ln(b, 1), f.ln().o2_ln(a, 1));
}

TEST(Meth2Tile, SkyAnnulusOfEachMode) {
  // Flat sky 20, except +5 on the 12 pixels with a^2 + b^2 = 9 or 10 around a
  // star of flux 0 at (150, 150). Method 3 (radii 2..4: 60 pixels) sees them:
  // sky 20 + 5 * 12 / 60 = 21, scatter (48 * 1 + 12 * 4) / 60 = 1.6 (4 < 3 * 1.6,
  // none dropped). Method 2 with RAP 2 (radii 4..8: 12.25 <= a^2 + b^2) does not.
  GaussianField f(1, SIGMA, SKY, 3.0f);
  for (int b = -3; b <= 3; ++b)
    for (int a = -3; a <= 3; ++a)
      if (a * a + b * b == 9 || a * a + b * b == 10) f.te().pixv_n(150 + a, 150 + b, 1) += 5.0f;
  const int l = f.list_star(150.0f, 150.0f, 0.0f);
  run(f, 3);
  run(f, 2);
  EXPECT_NEAR(f.ln().s3_ln(l, 1), 21.0, 1e-5);
  EXPECT_NEAR(f.ln().ss3_ln(l, 1), 1.6, 1e-5);
  EXPECT_EQ(f.ln().s2_ln(l, 1), 20.0f);
  EXPECT_EQ(f.ln().ss2_ln(l, 1), 0.0f);
}

TEST(Meth2Tile, MaskedPixelFailsOneExposure) {
  GaussianField f = dithered(3);
  f.draw_all(150.0, 150.0, 50000.0);
  const int l = f.list_star(150.0f, 150.0f, 50000.0f);
  // In exposure 2 a masked pixel two columns from the star's nearest pixel:
  // inside method 2's 5 x 5 box, outside method 3's 3 x 3.
  const int ic = static_cast<int>(f.raster_x(2, 150.0) + 0.5), jc = static_cast<int>(f.raster_y(2, 150.0) + 0.5);
  f.te().pixu_n(ic + 2, jc, 2) = 1;
  run(f, 2);
  run(f, 3);
  EXPECT_EQ(f.ln().f2_ln(l, 2), 0);
  EXPECT_EQ(f.ln().z2_ln(l, 2), 0.0f);
  EXPECT_EQ(f.ln().sz2_ln(l, 2), 9999.0f);
  EXPECT_EQ(f.ln().f3_ln(l, 2), 1);
  EXPECT_EQ(f.ln().f2_ln(l, 1), 1);
  find_avg_z2(f.ls(), 3, f.te().fff_n, f.ln(), f.local(), 2);
  EXPECT_EQ(f.local().f2_lf(l, 1), 2);
  EXPECT_EQ(f.ln().g2_ln(l, 2), 0);
  EXPECT_EQ(f.ln().g2_ln(l, 3), 1);
}

TEST(Meth2Tile, RasterEdgeAndBadPositions) {
  GaussianField f(1, SIGMA, SKY, 3.0f);
  f.te().rap_n(1) = 2;
  // Measured when r + 1 <= ic <= 301 - r: 3 and 299 are, 2 and 300 are not.
  const int at3 = f.list_star(3.0f, 150.0f, 100.0f);
  const int at2 = f.list_star(150.0f, 2.4f, 100.0f);
  const int at299 = f.list_star(299.4f, 100.0f, 100.0f);
  const int at300 = f.list_star(100.0f, 299.5f, 100.0f);
  const int nan = f.list_star(std::nanf(""), 150.0f, std::nanf(""));
  const int far = f.list_star(1.0e9f, -1.0e9f, 100.0f);
  // What an earlier pass left is reset, the quality numbers too (in mode A
  // the entry held another injected star's answer).
  f.ln().z2_ln(at2, 1) = 123.0f;
  f.ln().f2_ln(at2, 1) = 1;
  f.ln().q2_ln(at2, 1) = 0.7f;
  f.ln().o2_ln(at2, 1) = 5.0f;
  run(f, 2);
  const LocalExposureResults& ln = f.ln();
  EXPECT_EQ(ln.f2_ln(at3, 1), 1);
  EXPECT_EQ(ln.f2_ln(at299, 1), 1);
  for (const int l : {at2, at300, nan, far}) {
    SCOPED_TRACE(l);
    EXPECT_EQ(ln.f2_ln(l, 1), 0);
    EXPECT_EQ(ln.z2_ln(l, 1), 0.0f);
    EXPECT_EQ(ln.sz2_ln(l, 1), 99999.9f);
    EXPECT_EQ(ln.q2_ln(l, 1), 0.0f);
    EXPECT_EQ(ln.o2_ln(l, 1), 0.0f);
  }
  EXPECT_EQ(ln.x2_ln(nan, 1), 0.0f);
  EXPECT_EQ(ln.s2_ln(nan, 1), 0.0f);
}

TEST(Meth2Tile, BadArgumentsStopTheRun) {
  GaussianField f(1, SIGMA, SKY, 3.0f);
  f.list_star(150.0f, 150.0f, 100.0f);
  test::Captured c = test::capture([&] { run(f, 4); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP M2M3 must be 2 or 3\n");
  c = test::capture([&] { find_avg_z2(1, 1, f.te().fff_n, f.ln(), f.local(), 1); });
  EXPECT_EQ(c.err, "STOP M2M3 must be 2 or 3\n");
  f.te().rap_n(1) = 0;
  c = test::capture([&] { run(f, 2); });
  EXPECT_TRUE(c.stopped);
  EXPECT_NE(c.out.find("RAP"), std::string::npos);
  f.te().rap_n(1) = 2;
  f.te().fff_n(1) = 3;
  c = test::capture([&] { run(f, 3); });
  EXPECT_TRUE(c.stopped);
  f.te().fff_n(1) = 1;
  c = test::capture([&] { meth2_xyz_tile(LDIM + 1, f.local(), f.ln(), f.te(), f.psfs(), 2); });
  EXPECT_TRUE(c.stopped);
  c = test::capture([&] { meth2_xyz_tile(1, f.local(), f.ln(), f.te(), std::span<const LocalPsf>(), 2); });
  EXPECT_TRUE(c.stopped);
  c = test::capture([&] { run(f, 3); });
  EXPECT_FALSE(c.stopped);
}

// Per-exposure results set by hand: star 1 in filter 1 (exposures 1, 2, 4) and
// filter 2 (exposure 3); exposure 5 (filter 1) not measured.
class FindAvgZ2 : public ::testing::Test {
 protected:
  LocalExposureResults ln{5};
  std::unique_ptr<LocalList> local = std::make_unique<LocalList>();
  Array1<int> fff{NDIM};
  void SetUp() override {
    reset_local(*local);
    const int f[5] = {1, 1, 2, 1, 1};
    const float z[5] = {100, 110, 50, 105, 999}, sz[5] = {1, 1, 5, 2, 1};
    const float q[5] = {0.9f, 0.8f, 0.7f, 0.5f, 1}, o[5] = {0.1f, 0.2f, 0.6f, 0.3f, 1};
    for (int n = 1; n <= 5; ++n) {
      fff(n) = f[n - 1];
      for (const int mode : {2, 3}) {
        Meth2Ln a = meth2_ln(ln, mode);
        a.z(1, n) = z[n - 1];
        a.sz(1, n) = sz[n - 1];
        a.q(1, n) = q[n - 1];
        a.o(1, n) = o[n - 1];
        a.f(1, n) = n == 5 ? 0 : 1;
        a.g(1, n) = 7;  // overwritten
      }
    }
  }
};

TEST_F(FindAvgZ2, WeightedAveragesPerFilter) {
  find_avg_z2(1, 5, fff, ln, *local, 2);
  // Filter 1: weights 1, 1, 1/4 normalised to 4/9, 4/9, 1/9. No outlier
  // (the largest D is 9 / 8). Mean 105; scatter (4/9 * 5 * 2) / (1 - 4/9) = 8;
  // q = (4 * 0.9 + 4 * 0.8 + 0.5) / 9; o = (4 * 0.1 + 4 * 0.2 + 0.3) / 9.
  EXPECT_NEAR(local->z2_lf(1, 1), 105.0, 1e-4);
  EXPECT_NEAR(local->sz2_lf(1, 1), 8.0, 1e-5);
  EXPECT_NEAR(local->q2_lf(1, 1), 7.3 / 9.0, 1e-6);
  EXPECT_NEAR(local->o2_lf(1, 1), 1.5 / 9.0, 1e-6);
  EXPECT_EQ(local->f2_lf(1, 1), 3);
  EXPECT_EQ(local->g2_lf(1, 1), 3);
  // Filter 2: a single measurement.
  EXPECT_EQ(local->z2_lf(1, 2), 50.0f);
  EXPECT_EQ(local->sz2_lf(1, 2), 99999.0f);
  EXPECT_NEAR(local->q2_lf(1, 2), 0.7, 1e-6);
  EXPECT_NEAR(local->o2_lf(1, 2), 0.6, 1e-6);
  EXPECT_EQ(local->g2_lf(1, 2), 1);
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(ln.g2_ln(1, n), 1) << n;
  EXPECT_EQ(ln.g2_ln(1, 5), 0);
  // Mode 2 leaves the method-3 arrays alone.
  EXPECT_EQ(ln.g3_ln(1, 1), 7);
  EXPECT_EQ(local->z3_lf(1, 1), 0.0f);
}

TEST_F(FindAvgZ2, RejectedAndNegativeQuality) {
  // Exposure 5 measured far off with a small error; the three others agree
  // around 105, so it is rejected: used 4, kept 3, g_ln 0.
  for (int n = 1; n <= 5; ++n) ln.q3_ln(1, n) = -0.5f;
  ln.f3_ln(1, 5) = 1;
  ln.z3_ln(1, 5) = 300.0f;
  ln.z3_ln(1, 1) = ln.z3_ln(1, 2) = 105.0f;
  ln.sz3_ln(1, 5) = 1.0f;
  find_avg_z2(1, 5, fff, ln, *local, 3);
  EXPECT_EQ(local->f3_lf(1, 1), 4);
  EXPECT_EQ(local->g3_lf(1, 1), 3);
  EXPECT_EQ(ln.g3_ln(1, 5), 0);
  EXPECT_NEAR(local->z3_lf(1, 1), 105.0, 1e-4);
  EXPECT_EQ(local->sz3_lf(1, 1), 0.0f);
  EXPECT_EQ(local->q3_lf(1, 1), 0.0f);  // a negative mean quality is 0
}

}  // namespace
}  // namespace zeb
