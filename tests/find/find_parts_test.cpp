// The parts of source finding on their own: requirements by coverage, the
// line fit, the sky-ring sort, PSF refinement and the tally centroid.
//
// The joint criterion J of find_tile: the matched-filter statistic against a
// hand-worked star, and the sources it finds (and refuses) on hand-built tiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>

#include "find/find_internal.h"
#include "find/find_test_util.h"
#include "find/find_tile.h"
#include "support/test_support.h"

namespace {

using namespace zeb;
using namespace zeb::test;

TEST(Requirements, QRequirementByCoverage) {
  const int c[] = {-3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 15, 20, 35, 149, 150, 151};
  const int want[] = {99, 99, 1, 1, 2, 2, 3, 3, 4, 4, 5, 6, 6, 7, 9, 12, 21, 89, 90, 90};
  for (std::size_t k = 0; k < std::size(c); ++k) EXPECT_EQ(qreq_n(c[k]), want[k]) << c[k];
}

TEST(Requirements, PRequirementByCoverageRanges) {
  const int c[] = {-1,  0,   1,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  20,  21,  23,
                   24,  26,  27,  30,  31,  33,  34,  36,  37,  40,  41,  43,  44,  46,  47,  50,
                   51,  55,  56,  116, 120, 121, 130, 131, 135, 136, 186, 190, 191, 200, 201, 205,
                   206, 596, 600, 601, 999, 1000, 1500};
  const int want[] = {99, 99, 3,  3,  4,  5,  6,  6,  7,  8,  9,  9,  10, 13, 14, 14,
                      15, 15, 16, 16, 17, 17, 18, 18, 19, 19, 20, 20, 21, 21, 22, 22,
                      23, 23, 24, 36, 36, 37, 37, 38, 38, 39, 49, 49, 50, 50, 51, 51,
                      52, 130, 130, 131, 217, 220, 330};
  static_assert(std::size(c) == std::size(want));
  for (std::size_t k = 0; k < std::size(c); ++k) EXPECT_EQ(preq_n(c[k]), want[k]) << c[k];
}

TEST(Requirements, DRequirementByCoverage) {
  const int c[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 35};
  const int want[] = {99, 99, 2, 2, 3, 3, 3, 4, 5, 5, 18};
  for (std::size_t k = 0; k < std::size(c); ++k) EXPECT_EQ(dreq_n(c[k]), want[k]) << c[k];
}

TEST(LineFit, ExactLinesWeightsAndDegenerateCases) {
  const float x[] = {0, 1, 2, 3}, up[] = {1, 3, 5, 7}, down[] = {7, 5, 3, 1}, w[] = {1, 1, 1, 1};
  LineFit f = linfitw(x, up, w, 4);
  EXPECT_FLOAT_EQ(f.a, 1.0f);
  EXPECT_FLOAT_EQ(f.b, 2.0f);
  EXPECT_FLOAT_EQ(f.r, 1.0f);
  f = linfitw(x, down, w, 4);
  EXPECT_FLOAT_EQ(f.a, 7.0f);
  EXPECT_FLOAT_EQ(f.b, -2.0f);
  EXPECT_FLOAT_EQ(f.r, -1.0f);
  // A zero weight drops the third point: the line through (0, 0) and (1, 1).
  const float y3[] = {0, 1, 5}, w3[] = {1, 1, 0};
  f = linfitw(x, y3, w3, 3);
  EXPECT_FLOAT_EQ(f.a, 0.0f);
  EXPECT_FLOAT_EQ(f.b, 1.0f);
  EXPECT_FLOAT_EQ(f.r, 1.0f);
  // No spread in y: a flat line, no correlation.
  const float flat[] = {4, 4, 4};
  f = linfitw(x, flat, w, 3);
  EXPECT_FLOAT_EQ(f.a, 4.0f);
  EXPECT_FLOAT_EQ(f.b, 0.0f);
  EXPECT_EQ(f.r, 0.0f);
  // No spread in x (a PSF that is zero everywhere): no line, no correlation,
  // never an infinity.
  const float zero[] = {0, 0, 0};
  f = linfitw(zero, up, w, 3);
  EXPECT_EQ(f.a, 0.0f);
  EXPECT_EQ(f.b, 0.0f);
  EXPECT_EQ(f.r, 0.0f);
}

// The star sits a quarter pixel right of and a quarter pixel below pixel
// (150, 150): trial (ox, oy) = (-1, +1) samples the PSF exactly there. A star
// half a pixel off lands on the outermost trial.
TEST(Refinement, TrialOffsetOfTheStarWins) {
  for (const auto& [x, y] : {std::pair{150.25f, 149.75f}, std::pair{149.5f, 150.0f}}) {
    TestTile t(1);
    t.add_star(1, x, y, 1000.0f);
    const TestTile& c = t;
    const QoptResult q = find_qopt(150, 150, c.te.pixd_n.plane(1), c.te.pixe_n.plane(1), c.psf_n.plane(1));
    EXPECT_EQ(q.xq, x);
    EXPECT_EQ(q.yq, y);
    EXPECT_GT(q.q, 0.9999f);
    EXPECT_NEAR(q.flux, 1000.0f, 0.5f);
    EXPECT_NEAR(q.sky, 0.0f, 0.01f);
    EXPECT_LT(q.rms, 0.01f);
  }
}

// Count, tally and spread maps for the centroid tests, all zero.
struct CentroidMaps {
  Array2<std::int16_t> m{TILE_GRID, TILE_GRID}, t{FINE_GRID, FINE_GRID}, k{FINE_GRID, FINE_GRID};
  Centroid run(int iu, int iv, int r) {
    return find_ubarvbar(iu, iv, 4 * (iu - 1) + 1, 4 * (iv - 1) + 1, r, m.view(), t.view(), k.view(), "q");
  }
};

TEST(Centroid, TallyWeightedMeanOnTheTileGrid) {
  CentroidMaps cm;
  cm.m(151, 151) = 3;
  cm.t(601, 601) = 2;
  cm.t(603, 601) = 1;
  cm.t(601, 604) = 5;  // out of reach of radius 1 from (602, 601)
  cm.k(602, 601) = 3;  // the only fine pixel near (601, 601) that reaches the count
  Centroid c = cm.run(151, 151, 1);
  // (2 x 601 + 603) / 3 = 601.667 on the fine grid -> (600.667 / 4) + 1.
  EXPECT_DOUBLE_EQ(c.ubar, (1805.0 / 3.0 - 1.0) / 4.0 + 1.0);
  EXPECT_DOUBLE_EQ(c.vbar, 151.0);
  // A tally within reach of two qualifying pixels counts twice.
  cm.k(600, 601) = 4;
  c = cm.run(151, 151, 1);
  EXPECT_DOUBLE_EQ(c.ubar, ((2 * 601 + 603 + 2 * 601) / 5.0 - 1.0) / 4.0 + 1.0);
  // Radius 0 reaches only the qualifying pixels themselves.
  cm.k(601, 601) = 3;
  c = cm.run(151, 151, 0);
  EXPECT_DOUBLE_EQ(c.ubar, 151.0);
}

// sum K^2 of the zero-mean 5 x 5 kernel of the Gaussian PSF for a source
// (ox, oy) pixels from the box's centre: K = P - mean P.
double kernel_kk(double ox, double oy) {
  double p[25], mean = 0.0, kk = 0.0;
  for (int t = 0; t < 25; ++t) {
    p[t] = gauss(static_cast<float>(t % 5 - 2 - ox), static_cast<float>(t / 5 - 2 - oy));
    mean += p[t] / 25.0;
  }
  for (double v : p) kk += (v - mean) * (v - mean);
  return kk;
}

// A star of flux 40 at tile-grid point (150, 150) in three exposures whose
// rasters are shifted so that it sits on a pixel centre, a quarter pixel
// off in x, and a half pixel off in both axes (offsets the PSF grid holds
// exactly). Each exposure's fit with a free sky gives the flux 40 with the
// information I_n = sum K^2 / sigma^2; together flux = 40,
// sigma = sigma / sqrt(sum_n sum K^2), significance = flux / sigma.
TEST(JointStatistic, StarOfKnownFluxInThreeExposures) {
  const float flux = 40.0f;
  const float shift[3][2] = {{0.0f, 0.0f}, {0.25f, 0.0f}, {0.5f, 0.5f}};
  double kk = 0.0;
  TestTile t(3);
  for (int n = 1; n <= 3; ++n) {
    const float su = shift[n - 1][0], sv = shift[n - 1][1];
    linear_tables(t.te, n, 1.0f, su, sv);  // raster x = u - su
    t.add_star(n, 150.0f - su, 150.0f - sv, flux);
    kk += kernel_kk(-su, -sv);
  }
  // Without noise the fit is exact (errors 1 taken as they are).
  JointEstimate e = joint_estimate(150.0f, 150.0f, 1, t.te, t.psf_n);
  EXPECT_EQ(e.exposures, 3);
  EXPECT_NEAR(e.flux, flux, 1e-4 * flux);
  EXPECT_NEAR(e.sigma, 1.0 / std::sqrt(kk), 1e-4);
  EXPECT_NEAR(e.significance, flux * std::sqrt(kk), 1e-3);

  // With noise of 0.5 whose stated errors are 2 (the way a reader's error
  // floor overstates the noise), the statistic is in units of the noise the
  // exposures show: sigma = 0.5 / sqrt(sum K^2), and the flux within its error.
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 0.5f);
  for (int n = 1; n <= 3; ++n)
    for (int y = 1; y <= TILE_GRID; ++y)
      for (int x = 1; x <= TILE_GRID; ++x) {
        t.te.pixd_n(x, y, n) += 100.0f + noise(rng);  // on a sky the fit takes out
        t.te.pixe_n(x, y, n) = 2.0f;
      }
  e = joint_estimate(150.0f, 150.0f, 1, t.te, t.psf_n);
  const double sigma = 0.5 / std::sqrt(kk);
  EXPECT_NEAR(e.sigma, sigma, 0.02 * sigma);
  EXPECT_NEAR(e.flux, flux, 4.0 * sigma);
  // The search's significance map agrees at the star (its offsets are exact eighths).
  auto jw = std::make_unique<find_detail::JointWork>();
  const Array2<std::uint8_t> unflagged(TILE_GRID, TILE_GRID);
  const FindWindow w{148, 152, 148, 152};
  find_detail::start_joint_map(t.te, *jw);
  for (int n = 1; n <= 3; ++n) find_detail::add_joint_exposure(n, t.te, t.psf_n, w, unflagged, *jw);
  find_detail::finish_joint_map(w, *jw);
  EXPECT_NEAR(jw->sig(150, 150), e.significance, 1e-3 * e.significance);

  // A flagged pixel in its box leaves an exposure out.
  t.te.pixu_n(152, 148, 1) = 1;
  EXPECT_EQ(joint_estimate(150.0f, 150.0f, 1, t.te, t.psf_n).exposures, 2);
}

}  // namespace
