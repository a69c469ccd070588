// Method 0 on synthetic tiles: stars drawn with an analytic Gaussian, the same
// Gaussian sampled as every exposure's PSF, rasters shifted against the tile
// grid. Stated tolerances for a noise-free star: 0.01 pixel in position and
// 0.1% in flux (the pattern search ends with steps of 0.01 pixel; the PSF
// grid is interpolated from samples a quarter pixel apart).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/array.h"
#include "measure/meth0.h"
#include "measure/meth0_field.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::GaussianField;

constexpr float SIGMA = 1.2f;
constexpr float SKY = 10.0f;
constexpr double POS_TOL = 0.01;
constexpr double FLUX_TOL = 0.001;

void run_meth0(GaussianField& f, bool verbose = false) {
  meth0_xyz_tile(f.ls(), f.local(), f.ln(), f.te(), f.psfs(), verbose);
}

TEST(Meth0Fit, IsolatedStarRecoversPositionAndFluxInEveryExposure) {
  GaussianField f(4, SIGMA, SKY, 1.0f);
  const double shifts[4][2] = {{0.0, 0.0}, {0.37, -0.21}, {-0.45, 0.12}, {12.6, -7.3}};
  for (int n = 1; n <= 4; ++n) f.set_shift(n, shifts[n - 1][0], shifts[n - 1][1]);
  const double ut = 150.3, vt = 149.6, z = 5000.0;
  f.draw_all(ut, vt, z);
  const int l = f.list_star(150.55f, 149.4f, 4000.0f);  // started a quarter pixel off, flux 20% low
  run_meth0(f);

  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(f.ln().gp0_ln(l, n), 1);
    EXPECT_EQ(f.ln().gz0_ln(l, n), 1);
    // Positions come back on the tile grid, whatever the raster's shift.
    EXPECT_NEAR(f.ln().u0_ln(l, n), ut, POS_TOL);
    EXPECT_NEAR(f.ln().v0_ln(l, n), vt, POS_TOL);
    EXPECT_NEAR(f.ln().z0_ln(l, n), z, FLUX_TOL * z);
    // Every pixel error is 1 and the weights sum to 1 over the fit box.
    EXPECT_NEAR(f.ln().sz0_ln(l, n), 1.0f, 1e-6);
  }
  EXPECT_NEAR(f.local().u0_l(l), ut, POS_TOL);
  EXPECT_NEAR(f.local().v0_l(l), vt, POS_TOL);
  EXPECT_LT(f.local().su0_l(l), 0.01f);
  EXPECT_LT(f.local().sv0_l(l), 0.01f);
  EXPECT_NEAR(f.local().z0_lf(l, 1), z, FLUX_TOL * z);
  EXPECT_LT(f.local().sz0_lf(l, 1), 1.0f);
  EXPECT_EQ(f.local().f0_lf(l, 1), 4);
  EXPECT_EQ(f.local().g0_lf(l, 1), 4);
  // No exposure of filter 2: its flux stays, with counts 0.
  EXPECT_EQ(f.local().z0_lf(l, 2), 4000.0f);
  EXPECT_EQ(f.local().f0_lf(l, 2), 0);
  EXPECT_EQ(f.local().g0_lf(l, 2), 0);
}

TEST(Meth0Fit, FitBoxSizesFrom3x3ToBeyondThePreparedCore) {
  for (const int rap : {1, 2, 3, 6, 12}) {
    SCOPED_TRACE(rap);
    GaussianField f(1, SIGMA, SKY, 1.0f);
    f.te().rap_n(1) = rap;
    f.draw_all(100.62, 200.27, 3000.0);
    const int l = f.list_star(100.5f, 200.5f, 3000.0f);
    run_meth0(f);
    EXPECT_EQ(f.ln().gp0_ln(l, 1), 1);
    EXPECT_NEAR(f.ln().u0_ln(l, 1), 100.62, 2 * POS_TOL);
    EXPECT_NEAR(f.ln().v0_ln(l, 1), 200.27, 2 * POS_TOL);
    EXPECT_NEAR(f.ln().z0_ln(l, 1), 3000.0, 3 * FLUX_TOL * 3000.0);
  }
}

TEST(Meth0Fit, NeighboursAreSubtractedWithTheirStartingFluxes) {
  // B lies 2.94 pixels from A (not a close neighbour) and is four times
  // brighter: unsubtracted, its wings add about 18% to A's central pixel.
  const double ua = 150.2, va = 150.4, ub = 153.1, vb = 150.9;
  auto run = [&](float b_start_flux) {
    GaussianField f(2, SIGMA, SKY, 1.0f);
    f.set_shift(2, 0.3, -0.2);
    f.draw_all(ua, va, 5000.0);
    f.draw_all(ub, vb, 20000.0);
    f.list_star(static_cast<float>(ua), static_cast<float>(va), 5000.0f);
    f.list_star(static_cast<float>(ub), static_cast<float>(vb), b_start_flux);
    run_meth0(f);
    return std::array<float, 2>{f.local().z0_lf(1, 1), f.local().z0_lf(2, 1)};
  };
  const auto with = run(20000.0f);
  EXPECT_NEAR(with[0], 5000.0, FLUX_TOL * 5000.0);
  EXPECT_NEAR(with[1], 20000.0, FLUX_TOL * 20000.0);
  const auto without = run(0.0f);  // B modelled with no flux: A absorbs its wings
  EXPECT_GT(without[0], 1.02f * 5000.0f);
}

TEST(Meth0Fit, MaskedPixelInTheCoreLeavesTheExposureUnmeasured) {
  GaussianField f(2, SIGMA, SKY, 1.0f);
  f.draw_all(150.0, 150.0, 5000.0);
  const int l = f.list_star(150.1f, 149.9f, 5000.0f);
  f.te().pixu_n(153, 147, 1) = 1;  // corner of the 7 x 7 box in exposure 1
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

// Runs one star with a masked pixel of the given value at (i, j) and fit box
// half-size rap; returns the exposure's flux.
float flux_with_masked_pixel(int rap, int i, int j, float value) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  f.te().rap_n(1) = rap;
  f.draw_all(150.2, 150.3, 5000.0);
  f.list_star(150.2f, 150.3f, 5000.0f);
  f.te().pixu_n(i, j, 1) = 2;
  f.te().pixv_n(i, j, 1) = value;
  run_meth0(f);
  EXPECT_EQ(f.ln().gz0_ln(1, 1), 1);
  return f.ln().z0_ln(1, 1);
}

TEST(Meth0Fit, MaskedPixelsOutsideTheCoreAreIgnored) {
  // In the sky annulus (radius 9).
  const float a = flux_with_masked_pixel(2, 159, 150, 1.0e6f);
  EXPECT_EQ(a, flux_with_masked_pixel(2, 159, 150, -3.0e4f));
  EXPECT_NEAR(a, 5000.0, FLUX_TOL * 5000.0);
  // At the edge of a 9 x 9 fit box (RAP 4), outside the 7 x 7 core.
  const float b = flux_with_masked_pixel(4, 154, 152, 1.0e6f);
  EXPECT_EQ(b, flux_with_masked_pixel(4, 154, 152, -3.0e4f));
  EXPECT_NEAR(b, 5000.0, 2 * FLUX_TOL * 5000.0);
}

TEST(Meth0Fit, PixelsThatAreNotNumbersNeverReachAFit) {
  GaussianField f(2, SIGMA, SKY, 1.0f);
  f.draw_all(150.0, 150.0, 5000.0);
  f.list_star(150.0f, 150.0f, 5000.0f);
  f.te().pixv_n(151, 150, 1) = std::numeric_limits<float>::quiet_NaN();  // core of exposure 1
  f.te().pixe_n(150, 159, 2) = std::numeric_limits<float>::infinity();   // annulus of exposure 2
  f.te().pixv_n(141, 150, 2) = std::numeric_limits<float>::quiet_NaN();
  run_meth0(f);
  EXPECT_EQ(f.ln().gz0_ln(1, 1), 0);
  EXPECT_EQ(f.ln().gz0_ln(1, 2), 1);
  EXPECT_NEAR(f.ln().z0_ln(1, 2), 5000.0, FLUX_TOL * 5000.0);
  EXPECT_NEAR(f.local().z0_lf(1, 1), 5000.0, FLUX_TOL * 5000.0);
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

TEST(Meth0Fit, StarThatIsNotALocalMaximumGetsFluxAtItsPredictedPosition) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  f.draw_all(150.0, 150.0, 2000.0);
  f.draw_all(152.0, 151.0, 40000.0);  // a bright star the list does not know
  const int l = f.list_star(150.25f, 150.25f, 2000.0f);
  run_meth0(f);
  EXPECT_EQ(f.ln().gp0_ln(l, 1), 0);
  EXPECT_EQ(f.ln().gz0_ln(l, 1), 1);
  // The position is still written (the exposure may move the star), at the prediction.
  EXPECT_NEAR(f.ln().u0_ln(l, 1), 150.25f, 1e-4f);
  EXPECT_NEAR(f.ln().v0_ln(l, 1), 150.25f, 1e-4f);
  EXPECT_EQ(f.local().u0_l(l), 150.25f);
  EXPECT_EQ(f.local().su0_l(l), 9.99f);
}

TEST(Meth0Fit, StarsAreMeasuredFromPixel6ToPixel296) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  const float xs[4] = {5.4f, 5.6f, 296.4f, 296.6f};  // nearest pixels 5, 6, 296, 297
  for (int k = 0; k < 4; ++k) {
    f.draw_all(xs[k], 50.0 + 40 * k, 3000.0);
    f.list_star(xs[k], 50.0f + 40 * k, 3000.0f);
    f.draw_all(150.0, xs[k], 3000.0);
    f.list_star(150.0f + 0.3f * k, xs[k], 3000.0f);
  }
  run_meth0(f);
  const short measured[4] = {0, 1, 1, 0};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(f.ln().gz0_ln(2 * k + 1, 1), measured[k]);
    EXPECT_EQ(f.ln().gz0_ln(2 * k + 2, 1), measured[k]);
    EXPECT_EQ(f.ln().sz0_ln(2 * k + 1, 1), measured[k] ? 1.0f : 99999.0f);
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

TEST(Meth0Fit, MoreThan99CloseNeighboursStopTheRun) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  for (int k = 0; k < 100; ++k) f.list_star(150.0f + 0.02f * k, 150.0f, 100.0f);
  const test::Captured ok = test::capture([&] { run_meth0(f); });  // 99 close neighbours each
  EXPECT_FALSE(ok.stopped);
  f.list_star(149.0f, 151.0f, 100.0f);
  const test::Captured c = test::capture([&] { run_meth0(f); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP Ps.gt.99\n");
}

TEST(Meth0Fit, CloseNeighbourAtTheStartLeavesAFlagsOnlyResult) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  f.te().pos_n(1) = "000000000";  // flux only: a single trial at the start
  f.draw_all(150.0, 150.0, 5000.0);
  f.list_star(150.0f, 150.0f, 2500.0f);
  f.list_star(150.3f, 150.2f, 2500.0f);  // within 0.8 pixel of star 1's only trial, and vice versa
  run_meth0(f);
  for (const int l : {1, 2}) {
    EXPECT_EQ(f.ln().gz0_ln(l, 1), 0);
    EXPECT_EQ(f.ln().z0_ln(l, 1), 0.0f);
    EXPECT_EQ(f.ln().sz0_ln(l, 1), 99999.0f);
    EXPECT_EQ(f.local().z0_lf(l, 1), 2500.0f);
    EXPECT_EQ(f.local().f0_lf(l, 1), 0);
  }
}

TEST(Meth0Fit, VerboseWritesTheTwoProgressLines) {
  GaussianField f(3, SIGMA, SKY, 1.0f);
  f.list_star(100.0f, 100.0f, 1000.0f);
  f.list_star(200.0f, 100.0f, 1000.0f);
  const test::Captured c = test::capture([&] { run_meth0(f, true); });
  EXPECT_EQ(c.out,
            "      ---> new_positns... 1--->N:  3     Ls:  2\n"
            "      ---> find_avg_xy_f... 1--->N:  3     Ls:  2\n");
  const test::Captured quiet = test::capture([&] { run_meth0(f, false); });
  EXPECT_EQ(quiet.out, "");
}

TEST(Meth0Fit, ExposureSettingsOutOfRangeStopTheRun) {
  for (const int bad : {0, 1, 2, 3}) {
    GaussianField f(2, SIGMA, SKY, 1.0f);
    f.list_star(100.0f, 100.0f, 1000.0f);
    if (bad == 0) f.te().rap_n(2) = 13;
    if (bad == 1) f.te().rap_n(2) = 0;
    if (bad == 2) f.te().fff_n(2) = 3;
    if (bad == 3) f.te().fff_n(1) = 0;
    const test::Captured c = test::capture([&] { run_meth0(f); });
    EXPECT_TRUE(c.stopped) << bad;
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.out.find("meth0_xyz_tile"), std::string::npos);
  }
  GaussianField f(2, SIGMA, SKY, 1.0f);
  LocalExposureResults small(1);  // sized for fewer exposures than the tile has
  const test::Captured c =
      test::capture([&] { meth0_xyz_tile(1, f.local(), small, f.te(), f.psfs(), false); });
  EXPECT_TRUE(c.stopped);
}

// The neighbour model through the spatial index against the plain sum over
// every star of the list, in list order: the fits must agree bit for bit.
TEST(Meth0Fit, SpatialIndexGivesTheSameResultsAsSummingEveryStar) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> pos(-14.0f, 315.0f), flux(100.0f, 20000.0f);
  const int ls = 1500;
  for (int k = 0; k < ls; ++k) {
    const float u = pos(gen), v = pos(gen), z = flux(gen);
    f.draw_all(u + 0.2, v - 0.1, z);
    f.list_star(u, v, k % 50 == 7 ? -z : z);
  }
  const TileExposures& te = f.te();
  LocalList& local = f.local();
  std::vector<float> x0(ls + 1), y0(ls + 1), zi(ls + 1);
  for (int l = 1; l <= ls; ++l) {
    x0[l] = xt_tuv(local.u0_l(l), local.v0_l(l), tab_of(te.xtab_n, 1), tab_of(te.ytab_n, 1));
    y0[l] = yt_tuv(local.u0_l(l), local.v0_l(l), tab_of(te.xtab_n, 1), tab_of(te.ytab_n, 1));
    zi[l] = std::max(0.0f, local.z0_lf(l, 1));
  }
  const LocalPsf& psf = f.psfs()[0];
  Array2<float> model(TILE_GRID, TILE_GRID, 0.0f);
  for (int l = 1; l <= ls; ++l) {
    const int i0 = static_cast<int>(x0[l] + 0.5f), j0 = static_cast<int>(y0[l] + 0.5f);
    for (int j = std::max(1, j0 - 12); j <= std::min(TILE_GRID, j0 + 12); ++j)
      for (int i = std::max(1, i0 - 12); i <= std::min(TILE_GRID, i0 + 12); ++i)
        model(i, j) += zi[l] * rpsf_phot(i - x0[l], j - y0[l], psf);
  }
  run_meth0(f);

  int compared = 0;
  std::array<float, SKY_MAX> buf{};
  for (int l = 1; l <= 120; ++l) {
    const int i0 = static_cast<int>(x0[l] + 0.5f), j0 = static_cast<int>(y0[l] + 0.5f);
    if (i0 < 6 || i0 > 296 || j0 < 6 || j0 > 296) {
      EXPECT_EQ(f.ln().gz0_ln(l, 1), 0);
      continue;
    }
    std::vector<Point2> close;
    for (int k = 1; k <= ls; ++k) {
      const float dx = x0[k] - x0[l], dy = y0[k] - y0[l];
      if (k != l && dx * dx + dy * dy < 6.25f) close.push_back({x0[k], y0[k]});
    }
    const SkyEstimate sky = find_sky(te.pixv_n.plane(1), te.pixu_n.plane(1), model.view(), i0, j0, buf);
    PreparedBox box;
    box.reset(i0, j0, 3);
    for (int j = j0 - 3; j <= j0 + 3; ++j)
      for (int i = i0 - 3; i <= i0 + 3; ++i) {
        float nsum = 0.0f;
        for (int k = 1; k <= ls; ++k)
          if (k != l) nsum += zi[k] * rpsf_phot(i - x0[k], j - y0[k], psf);
        box.set_usable(i, j);
        box.p(i, j) = te.pixv_n(i, j, 1) - nsum;
        box.e(i, j) = 1.0f;
        box.w(i, j) = rpsf_phot(i - x0[l], j - y0[l], psf);
      }
    cap_tempw(box);
    const Meth0Fit fit = quik_xyz(box, x0[l], y0[l], 2, true, sky.centre, close, psf);
    SCOPED_TRACE(l);
    EXPECT_EQ(f.ln().gz0_ln(l, 1), fit.gz);
    EXPECT_EQ(f.ln().gp0_ln(l, 1), fit.gp);
    EXPECT_EQ(f.ln().z0_ln(l, 1), fit.za);
    EXPECT_EQ(f.ln().sz0_ln(l, 1), fit.sza);
    EXPECT_EQ(f.ln().u0_ln(l, 1), ut_txy(fit.xa, fit.ya, tab_of(te.utab_n, 1), tab_of(te.vtab_n, 1)));
    ++compared;
  }
  EXPECT_GT(compared, 90);
}

}  // namespace
}  // namespace zeb
