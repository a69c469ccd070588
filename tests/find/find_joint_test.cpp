// The joint criterion J of find_tile: the matched-filter statistic against a
// hand-worked star, and the sources it finds (and refuses) on hand-built tiles.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "find/find_test_util.h"
#include "find/find_tile.h"

namespace {

using namespace zeb;
using zeb::test::gauss;
using zeb::test::linear_tables;
using zeb::test::TestTile;

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

  // A flagged pixel in its box leaves an exposure out.
  t.te.pixu_n(152, 148, 1) = 1;
  EXPECT_EQ(joint_estimate(150.0f, 150.0f, 1, t.te, t.psf_n).exposures, 2);
}

// Eight exposures with noise of 1: a star between grid points (significance
// about 20 over all of them, 7 in each); in exposure 2 alone a one-pixel
// spike of 40, which summed over the exposures would reach a significance of
// about 8; and a star of flux 8 (significance 4.5) on which exposure 2 alone
// has a star-like blob of flux 100 that lifts it to about 11. With JSIG = 5
// and the other criteria held off, J finds the first star and neither of the
// others: the spike is no PSF (its exposure is left out where its box holds
// it), and without exposure 2 the faint star stays below the threshold.
TEST(JointCriterion, FindsAStarButNothingThatOnlyOneExposureShows) {
  TestTile t(8);
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (int n = 1; n <= 8; ++n)
    for (int y = 1; y <= TILE_GRID; ++y)
      for (int x = 1; x <= TILE_GRID; ++x) t.te.pixd_n(x, y, n) = noise(rng);
  t.add_star_all(120.3f, 180.6f, 35.0f);
  t.te.pixd_n(200, 100, 2) += 40.0f;
  t.add_star_all(60.0f, 230.0f, 8.0f);
  t.add_star(2, 60.0f, 230.0f, 100.0f);
  Settings& s = t.settings;
  s.qmin_nit(1) = s.dmin_nit(1) = s.pmin_nit(1) = 99;
  EXPECT_EQ(joint_estimate(200.0f, 100.0f, 1, t.te, t.psf_n).exposures, 7);
  const JointEstimate blob = joint_estimate(60.0f, 230.0f, 1, t.te, t.psf_n);
  EXPECT_EQ(blob.exposures, 8);
  EXPECT_GE(blob.significance, 5.0);
  const JointEstimate star = joint_estimate(120.3f, 180.6f, 1, t.te, t.psf_n);
  EXPECT_EQ(star.exposures, 8);
  EXPECT_GE(star.significance, 15.0);

  EXPECT_EQ(t.find(1), 0);  // JSIG off: nothing
  s.jsig_nit(1) = 5.0f;
  EXPECT_EQ(t.find(1), 1);
  const LocalList& l = *t.local;
  EXPECT_EQ(l.y0_l(1), FOUND_BY_J);
  EXPECT_EQ(l.w0_l(1), 1);
  EXPECT_EQ(l.n0_l(1), 0);
  // Refined to within a quarter of a grid step of the star, and recorded as
  // found there; the records are those of its grid point: coverage 8 and
  // the requirements of the other criteria, 99.
  EXPECT_NEAR(l.u0_l(1), 120.3f, 0.25f);
  EXPECT_NEAR(l.v0_l(1), 180.6f, 0.25f);
  EXPECT_EQ(l.uf_l(1), l.u0_l(1));
  EXPECT_EQ(l.cfnd_l(1), 8);
  EXPECT_EQ(l.qmin_l(1), 99);
  EXPECT_EQ(l.pmin_l(1), 99);

  // Nor is it found where the model level of the known stars beats its box
  // flux (about 15), or next to a known star (within OPRX, 2.5 reference
  // pixels).
  for (int n = 1; n <= 8; ++n) t.te.pixf_n(120, 181, n) = 20.0f;
  t.ls = 0;
  EXPECT_EQ(t.find(1), 0);
  for (int n = 1; n <= 8; ++n) t.te.pixf_n(120, 181, n) = 0.0f;
  t.add_known(122.0f, 182.0f, 0);
  EXPECT_EQ(t.find(1), 0);
}

}  // namespace
