// Method 0 on synthetic tiles: stars drawn with an analytic Gaussian, the same
// Gaussian sampled as every exposure's PSF, rasters shifted against the tile
// grid. Stated tolerances for a noise-free star: 0.01 pixel in position and
// 0.1% in flux (the pattern search ends with steps of 0.01 pixel; the PSF
// grid is interpolated from samples a quarter pixel apart).
//
// The parts of method 0 on hand-made inputs: the sky estimate, the weight
// cap, the fit, and the two robust combinations with their sentinels.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "core/array.h"
#include "measure/meth0.h"
#include "measure/meth0_field.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using namespace test;

void run_meth0(GaussianField& f, bool verbose = false) {
  meth0_xyz_tile(f.ls(), f.local(), f.ln(), f.te(), f.psfs(), verbose);
}

TEST(Meth0Fit, MaskedPixelInTheCoreLeavesTheExposureUnmeasured) {
  GaussianField f(2, SIGMA, SKY, 1.0f);
  f.draw_all(150.0, 150.0, 5000.0);
  const int l = f.list_star(150.1f, 149.9f, 5000.0f);
  f.te().pixu_n(153, 147, 1) = 1;  // corner of the 7 x 7 box in exposure 1
  f.ln().z0_ln(l, 1) = f.ln().u0_ln(l, 1) = 7.0f;  // left by an earlier pass of the tile
  run_meth0(f);
  EXPECT_EQ(f.ln().gz0_ln(l, 1), 0);
  EXPECT_EQ(f.ln().gp0_ln(l, 1), 0);
  EXPECT_EQ(f.ln().z0_ln(l, 1), 0.0f);
  EXPECT_EQ(f.ln().sz0_ln(l, 1), 99999.0f);
  EXPECT_EQ(f.ln().u0_ln(l, 1), 0.0f);
  EXPECT_EQ(f.ln().gz0_ln(l, 2), 1);
  // One flux measurement: its value with the single-measurement scatter.
  EXPECT_EQ(f.local().z0_lf(l, 1), f.ln().z0_ln(l, 2));
  EXPECT_EQ(f.local().sz0_lf(l, 1), 99999.0f);
  EXPECT_EQ(f.local().f0_lf(l, 1), 1);
  EXPECT_EQ(f.local().g0_lf(l, 1), 1);
  // One position measurement: taken without rejection, no scatter.
  EXPECT_EQ(f.local().u0_l(l), f.ln().u0_ln(l, 2));
  EXPECT_EQ(f.local().su0_l(l), 0.0f);
}

TEST(Meth0Fit, OutlierExposuresAreRejectedFromBothCombinations) {
  GaussianField f(6, SIGMA, SKY, 1.0f);
  const double ut = 120.4, vt = 180.7;
  for (int n = 1; n <= 6; ++n) {
    f.set_shift(n, 0.13 * n, -0.07 * n);
    f.draw(n, ut, vt, n == 4 ? 15000.0 : 5000.0);  // exposure 4: three times too bright
  }
  // Exposure 5's tables put the star 0.6 pixel off where it was drawn.
  f.set_shift(5, 0.13 * 5 + 0.6, -0.07 * 5);
  const int l = f.list_star(120.5f, 180.5f, 5000.0f);
  run_meth0(f);
  EXPECT_NEAR(f.ln().z0_ln(l, 4), 15000.0, FLUX_TOL * 15000.0);
  EXPECT_NEAR(f.ln().u0_ln(l, 5), ut - 0.6, POS_TOL);
  EXPECT_EQ(f.local().f0_lf(l, 1), 6);
  EXPECT_EQ(f.local().g0_lf(l, 1), 5);
  EXPECT_NEAR(f.local().z0_lf(l, 1), 5000.0, FLUX_TOL * 5000.0);
  EXPECT_NEAR(f.local().u0_l(l), ut, POS_TOL);
  EXPECT_NEAR(f.local().v0_l(l), vt, POS_TOL);
  EXPECT_LT(f.local().su0_l(l), 0.01f);
}

TEST(Meth0Fit, PositionMaskAndCodesDecideWhetherAnExposureMovesAStar) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  f.te().pos_n(1) = "100011011";
  const double truth[5][2] = {{60.3, 60.2}, {120.3, 60.2}, {180.3, 60.2}, {240.3, 60.2}, {60.3, 120.2}};
  const int codes[5] = {3, 6, 7, 0, 9};  // '0', never, never, counts as 1 ('1'), '1'
  for (int k = 0; k < 5; ++k) {
    f.draw_all(truth[k][0], truth[k][1], 5000.0);
    f.list_star(static_cast<float>(truth[k][0]) - 0.2f, static_cast<float>(truth[k][1]) + 0.2f, 5000.0f, codes[k]);
  }
  run_meth0(f);
  for (const int l : {1, 2, 3}) {
    SCOPED_TRACE(l);
    EXPECT_EQ(f.ln().u0_ln(l, 1), 0.0f);
    EXPECT_EQ(f.ln().v0_ln(l, 1), 0.0f);
    EXPECT_EQ(f.ln().gp0_ln(l, 1), 0);
    EXPECT_EQ(f.ln().gz0_ln(l, 1), 1);
    EXPECT_GT(f.ln().z0_ln(l, 1), 0.0f);
    // Fitted at the starting position: a flux, and the position unchanged.
    EXPECT_EQ(f.local().u0_l(l), static_cast<float>(truth[l - 1][0]) - 0.2f);
    EXPECT_EQ(f.local().f0_lf(l, 1), 1);
  }
  for (const int l : {4, 5}) {
    SCOPED_TRACE(l);
    EXPECT_EQ(f.ln().gp0_ln(l, 1), 1);
    EXPECT_NEAR(f.local().u0_l(l), truth[l - 1][0], POS_TOL);
    EXPECT_NEAR(f.local().v0_l(l), truth[l - 1][1], POS_TOL);
  }
}

TEST(Meth0Fit, StarsOffTheRasterOrWithBadValuesDoNoHarm) {
  auto run = [](bool with_bad) {
    GaussianField f(1, SIGMA, SKY, 1.0f);
    f.draw_all(150.3, 150.6, 5000.0);
    f.draw_all(154.0, 150.0, 3000.0);
    f.list_star(150.3f, 150.6f, 5000.0f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    if (with_bad) {
      f.list_star(nan, 150.0f, 100.0f);
      f.list_star(150.0f, inf, 100.0f);
      f.list_star(1.0e30f, -1.0e30f, 100.0f);
      f.list_star(-500.0f, 150.0f, 100.0f);
      f.list_star(1000.0f, 1000.0f, 100.0f);
      f.list_star(154.0f, 150.0f, nan);  // the neighbour, with a flux that is not a number
      f.list_star(153.0f, 152.0f, -50.0f);
      f.list_star(152.0f, 149.0f, inf);
    } else {
      f.list_star(154.0f, 150.0f, 0.0f);
    }
    run_meth0(f);
    return f;
  };
  GaussianField bad = run(true);
  GaussianField clean = run(false);
  EXPECT_EQ(bad.ln().z0_ln(1, 1), clean.ln().z0_ln(1, 1));
  EXPECT_EQ(bad.ln().u0_ln(1, 1), clean.ln().u0_ln(1, 1));
  EXPECT_EQ(bad.ln().v0_ln(1, 1), clean.ln().v0_ln(1, 1));
  for (int l = 2; l <= 6; ++l) EXPECT_EQ(bad.ln().gz0_ln(l, 1), 0) << l;
  // Stars with a bad position keep it, and their flux.
  EXPECT_TRUE(std::isnan(bad.local().u0_l(2)));
  EXPECT_EQ(bad.local().z0_lf(2, 1), 100.0f);
}

TEST(Meth0Sky, ClippedMeanStopsWhenTheCountSettles) {
  // Pass 1 takes all: centre 22, scatter 110 / 4 = 27.5. Pass 2 (limit 61.875)
  // drops 100: centre 2.5, scatter (21 + 20 + 19 + 18) / 3 = 26. Pass 3 keeps
  // the same four: centre 2.5, scatter (1.5 + 0.5 + 0.5 + 1.5) / 3; count
  // unchanged, so it stops.
  const float v[5] = {1.0f, 2.0f, 3.0f, 4.0f, 100.0f};
  const SkyEstimate s = find_sky_barsig(v, 5);
  EXPECT_FLOAT_EQ(s.centre, 2.5f);
  EXPECT_FLOAT_EQ(s.scatter, 4.0f / 3.0f);
  EXPECT_EQ(s.count, 4);
}

TEST(Meth0Sky, AnnulusTakesRadii8To12OnTheRasterAndUnmasked) {
  Array2<float> pixv(TILE_GRID, TILE_GRID, 10.0f), model(TILE_GRID, TILE_GRID, 0.0f);
  Array2<std::uint8_t> pixu(TILE_GRID, TILE_GRID, 0);
  std::array<float, SKY_MAX> buf{};
  // Lattice points with 64 <= a^2 + b^2 < 144: 437 inside radius 12 minus 193
  // inside radius 8.
  SkyEstimate s = find_sky(pixv.view(), pixu.view(), model.view(), 150, 150, buf);
  EXPECT_EQ(s.count, 244);
  EXPECT_EQ(s.centre, 10.0f);
  // The sky is pixel minus model; pixels inside radius 8 and from 12 on do not count.
  pixv(150 + 7, 150 + 3) = 1.0e6f;  // r^2 = 58
  pixv(150 + 12, 150) = 1.0e6f;     // r^2 = 144
  model(150, 158) = 4.0f;           // r^2 = 64: value 6
  pixu(150, 141) = 1;               // r^2 = 81, masked
  s = find_sky(pixv.view(), pixu.view(), model.view(), 150, 150, buf);
  EXPECT_EQ(s.count, 243);
  EXPECT_FLOAT_EQ(s.centre, (242 * 10.0f + 6.0f) / 243.0f);
  // Near the raster edge only the pixels on the raster count: at (1, 150) the
  // annulus keeps the half with a >= 0 (a = 0 column: b = +-8..+-11).
  s = find_sky(pixv.view(), pixu.view(), model.view(), 1, 150, buf);
  EXPECT_EQ(s.count, (244 - 8) / 2 + 8);
}

TEST(Meth0Cap, CentreTakesTheSumOfItsNinePixelsAndCapsTheRest) {
  PreparedBox box;
  box.reset(100, 100, 3);
  float k = 1.0f;
  for (int j = 99; j <= 101; ++j)
    for (int i = 99; i <= 101; ++i) box.w(i, j) = k++;  // 1..9, sum 45
  box.w(97, 103) = 50.0f;
  box.w(103, 97) = 44.0f;
  box.w(102, 100) = -3.0f;
  cap_tempw(box);
  for (int j = 99; j <= 101; ++j)
    for (int i = 99; i <= 101; ++i) EXPECT_EQ(box.w(i, j), 45.0f);
  EXPECT_EQ(box.w(97, 103), 45.0f);
  EXPECT_EQ(box.w(103, 97), 44.0f);
  EXPECT_EQ(box.w(102, 100), -3.0f);
}

TEST(Meth0AverageZ, LowOutlierIsKeptBecauseTheTestIsSigned) {
  const float z[5] = {100.0f, 102.0f, 98.0f, 101.0f, 70.0f};
  double w[5] = {0.2, 0.2, 0.2, 0.2, 0.2};
  const FluxAverage a = barsig_1dw_rej(z, w, 5, 3.5);
  EXPECT_EQ(a.count, 5);
  EXPECT_NEAR(a.mean, 94.2, 1e-9);
}

TEST(Meth0AverageZ, LeaveOneOutAndSingleMeasurement) {
  const float z[3] = {100.0f, 110.0f, 500.0f};
  const double w[3] = {0.8, 0.2, 0.5};
  FluxAverage a = barsig_1dwx(z, w, 3, 2);
  EXPECT_NEAR(a.mean, 102.0, 1e-9);
  EXPECT_NEAR(a.scatter, (2.0 * 0.8 + 8.0 * 0.2) / 0.2, 1e-9);
  EXPECT_EQ(a.count, 2);
  a = barsig_1dwx(z, w, 2, 1);
  EXPECT_EQ(a.mean, 100.0);
  EXPECT_EQ(a.scatter, 99999.0);
  EXPECT_EQ(a.count, 1);
  a = barsig_1dwx(z, w, 1, 0);
  EXPECT_TRUE(std::isnan(a.mean));
  EXPECT_EQ(a.count, 0);
}

}  // namespace
}  // namespace zeb
