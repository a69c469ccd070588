// The parts of method 0 on hand-made inputs: the sky estimate, the weight
// cap, the fit, and the two robust combinations with their sentinels.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "core/array.h"
#include "measure/meth0.h"
#include "measure/meth0_field.h"

namespace zeb {
namespace {

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

TEST(Meth0Sky, StopsWhenFewerThan35PercentRemain) {
  // Pass 1 takes all 12: centre 2/12, scatter 4222/11 = 383.8. Pass 2 (limit
  // 863.6) drops the four of size 1000: centre 0.25, scatter 222/7. Pass 3
  // (limit 71.4) drops +-100: centre 1/3, scatter 22/5. Pass 4 (limit 9.9)
  // drops -10: centre 12/5, scatter 11.667/4. Pass 5 (limit 6.56) drops 10:
  // four values remain, fewer than 35% of 12 (4.2): centre 0.5, scatter
  // (2.4 + 2.4 + 1.4 + 1.4)/3.
  const float v[12] = {-1000, -1000, -100, -10, 0, 0, 1, 1, 10, 100, 1000, 1000};
  const SkyEstimate s = find_sky_barsig(v, 12);
  EXPECT_FLOAT_EQ(s.centre, 0.5f);
  EXPECT_FLOAT_EQ(s.scatter, 7.6f / 3.0f);
  EXPECT_EQ(s.count, 4);
}

TEST(Meth0Sky, StopsWhenTheCountDoesNotChange) {
  // Pass 1: centre 3000/13 = 230.77, scatter 3000/12 = 250. Pass 2 (limit
  // 562.5) keeps the ten zeros: centre 0. Pass 3 keeps the same ten: stop with
  // centre 0 and scatter 0 (deviations from the previous centre 0).
  std::vector<float> v(10, 0.0f);
  v.insert(v.end(), {1000.0f, 1000.0f, 1000.0f});
  const SkyEstimate s = find_sky_barsig(v.data(), static_cast<int>(v.size()));
  EXPECT_EQ(s.centre, 0.0f);
  EXPECT_EQ(s.scatter, 0.0f);
  EXPECT_EQ(s.count, 10);
}

TEST(Meth0Sky, OneValueOrNoneGivesTheSentinelScatter) {
  const float one[1] = {7.0f};
  const SkyEstimate s1 = find_sky_barsig(one, 1);
  EXPECT_EQ(s1.centre, 7.0f);
  EXPECT_EQ(s1.scatter, 0.999f);
  EXPECT_EQ(s1.count, 1);
  const SkyEstimate s0 = find_sky_barsig(one, 0);
  EXPECT_EQ(s0.centre, 0.0f);
  EXPECT_EQ(s0.scatter, 0.999f);
  EXPECT_EQ(s0.count, 0);
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

// A box whose P is sky + z times the Gaussian PSF at (xs, ys), E = 2, W = the
// PSF at (x0, y0).
struct FitCase {
  test::GaussianField field{1, 1.2f, 0.0f, 1.0f};
  PreparedBox box;
  FitCase(float xs, float ys, float z, float sky, int i0, int j0, int half) {
    box.reset(i0, j0, half);
    for (int j = j0 - half; j <= j0 + half; ++j)
      for (int i = i0 - half; i <= i0 + half; ++i) {
        box.set_usable(i, j);
        box.p(i, j) = sky + z * static_cast<float>(field.profile(i - xs, j - ys));
        box.e(i, j) = 2.0f;
        box.w(i, j) = rpsf_phot(i - static_cast<float>(i0), j - static_cast<float>(j0), psf());
      }
  }
  const LocalPsf& psf() { return field.psfs()[0]; }
};

TEST(Meth0Quik, FluxOnlyFitStaysAtTheStartAndGivesNoPosition) {
  FitCase c(100.2f, 99.9f, 800.0f, 5.0f, 100, 100, 3);
  cap_tempw(c.box);
  const Meth0Fit fit = quik_xyz(c.box, 100.2f, 99.9f, 2, false, 5.0f, {}, c.psf());
  EXPECT_EQ(fit.xa, 100.2f);
  EXPECT_EQ(fit.ya, 99.9f);
  EXPECT_NEAR(fit.za, 800.0f, 0.5f);
  EXPECT_NEAR(fit.sza, 2.0f, 1e-6f);  // sqrt(sum E^2 W) with E = 2 and W summing to 1
  EXPECT_EQ(fit.gz, 1);
  EXPECT_EQ(fit.gp, 0);
}

TEST(Meth0Quik, PeakSearchMovesToTheStar) {
  FitCase c(100.43f, 99.71f, 800.0f, 5.0f, 100, 100, 3);
  cap_tempw(c.box);
  // Started on pixel (100, 100) while the star lies 0.43, -0.29 away.
  const Meth0Fit fit = quik_xyz(c.box, 100.0f, 100.0f, 2, true, 5.0f, {}, c.psf());
  EXPECT_NEAR(fit.xa, 100.43f, 0.01f);
  EXPECT_NEAR(fit.ya, 99.71f, 0.01f);
  EXPECT_NEAR(fit.za, 800.0f, 2.0f);
  EXPECT_EQ(fit.gz, 1);
  EXPECT_EQ(fit.gp, 1);
}

TEST(Meth0Quik, TrialsNextToACloseNeighbourAreSkipped) {
  FitCase c(100.0f, 100.0f, 800.0f, 5.0f, 100, 100, 3);
  cap_tempw(c.box);
  // The only trial of a flux-only fit lies 0.5 pixel from a close neighbour:
  // nothing is kept, the fit ends with no flux and the flags clear.
  const Point2 close[1] = {{100.3f, 100.4f}};
  const Meth0Fit fit = quik_xyz(c.box, 100.0f, 100.0f, 2, false, 5.0f, close, c.psf());
  EXPECT_EQ(fit.za, 0.0f);
  EXPECT_EQ(fit.sza, 99999.0f);
  EXPECT_EQ(fit.gz, 0);
  EXPECT_EQ(fit.gp, 0);
  // 0.8 pixel away the trial is taken.
  const Point2 far[1] = {{100.0f, 100.8f}};
  EXPECT_EQ(quik_xyz(c.box, 100.0f, 100.0f, 2, false, 5.0f, far, c.psf()).gz, 1);
}

TEST(Meth0Quik, NoLocalMaximumGivesFluxWithoutPosition) {
  FitCase c(100.0f, 100.0f, 800.0f, 5.0f, 100, 100, 3);
  c.box.p(102, 101) = 1.0e4f;  // a brighter pixel in the 5 x 5 ring
  cap_tempw(c.box);
  const Meth0Fit fit = quik_xyz(c.box, 100.1f, 99.8f, 2, true, 5.0f, {}, c.psf());
  EXPECT_EQ(fit.xa, 100.1f);
  EXPECT_EQ(fit.ya, 99.8f);
  EXPECT_EQ(fit.gz, 1);
  EXPECT_EQ(fit.gp, 0);
  // A brighter pixel at a corner of the 5 x 5 square does not count.
  FitCase d(100.0f, 100.0f, 800.0f, 5.0f, 100, 100, 3);
  d.box.p(102, 102) = 1.0e4f;
  cap_tempw(d.box);
  EXPECT_EQ(quik_xyz(d.box, 100.1f, 99.8f, 2, true, 5.0f, {}, d.psf()).gp, 1);
}

TEST(Meth0Quik, WeightsWithoutFluxOrAStartOffTheBoxGiveNoFit) {
  FitCase c(100.0f, 100.0f, 800.0f, 5.0f, 100, 100, 3);
  for (int j = 97; j <= 103; ++j)
    for (int i = 97; i <= 103; ++i) c.box.w(i, j) = 0.0f;
  Meth0Fit fit = quik_xyz(c.box, 100.0f, 100.0f, 2, true, 5.0f, {}, c.psf());
  EXPECT_EQ(fit.gz, 0);
  EXPECT_EQ(fit.za, 0.0f);
  FitCase d(100.0f, 100.0f, 800.0f, 5.0f, 100, 100, 3);
  fit = quik_xyz(d.box, 102.0f, 100.0f, 2, true, 5.0f, {}, d.psf());  // fit box would leave the box
  EXPECT_EQ(fit.gz, 0);
  fit = quik_xyz(d.box, std::nanf(""), 100.0f, 2, true, 5.0f, {}, d.psf());
  EXPECT_EQ(fit.gz, 0);
}

TEST(Meth0AverageXY, OutlierIsRejectedAndScattersAreMeanAbsoluteDeviations) {
  // Rejection of (15, 20): the others' mean is (10.1, 20.1), their mean
  // distance from it (0.141421 + 0.141421 + 0.2) / 3 = 0.160948, and 15 lies
  // 4.90102 from it: r = 30.45. Of the remaining three the largest r is 3.0
  // ((10.1, 20.3) against (10.1, 20) with mean distance 0.1): kept.
  const float u[4] = {10.0f, 10.2f, 10.1f, 15.0f};
  const float v[4] = {20.0f, 20.0f, 20.3f, 20.0f};
  double w[4] = {0.25, 0.25, 0.25, 0.25};
  const PositionAverage a = barsig_2dw_rejj(u, v, w, 4, 3.5);
  EXPECT_EQ(a.g, 3);
  EXPECT_EQ(w[3], 0.0);
  EXPECT_NEAR(a.u, 10.1f, 1e-5f);
  EXPECT_NEAR(a.v, 20.1f, 1e-5f);
  EXPECT_NEAR(a.su, 0.2f / 3.0f, 1e-6f);
  EXPECT_NEAR(a.sv, 0.4f / 3.0f, 1e-6f);
}

TEST(Meth0AverageXY, NoRejectionBelowThreeAndSentinelsWithNone) {
  const float u[2] = {10.0f, 50.0f};
  const float v[2] = {20.0f, 20.0f};
  double w[2] = {0.5, 0.5};
  PositionAverage a = barsig_2dw_rejj(u, v, w, 2, 3.5);
  EXPECT_EQ(a.g, 2);
  EXPECT_FLOAT_EQ(a.u, 30.0f);
  EXPECT_FLOAT_EQ(a.su, 20.0f);
  EXPECT_EQ(a.sv, 0.0f);
  a = barsig_2dw_rejj(u, v, w, 0, 3.5);
  EXPECT_EQ(a.g, 0);
  EXPECT_EQ(a.u, 0.0f);
  EXPECT_EQ(a.v, 0.0f);
  EXPECT_EQ(a.su, 9.99f);
  EXPECT_EQ(a.sv, 9.99f);
}

TEST(Meth0AverageZ, HighOutlierIsRejected) {
  // Without 130 the others give mean 100.25 and scatter (0.25 + 1.75 + 2.25 +
  // 0.75) 0.2 / (0.8 - 0.2) = 5/3: r = 29.75 / (5/3) = 17.85 > 3.5. Afterwards
  // the largest r is 1.4 (102 against 99.667 with scatter 5/3).
  const float z[5] = {100.0f, 102.0f, 98.0f, 101.0f, 130.0f};
  double w[5] = {0.2, 0.2, 0.2, 0.2, 0.2};
  const FluxAverage a = barsig_1dw_rej(z, w, 5, 3.5);
  EXPECT_EQ(a.count, 4);
  EXPECT_EQ(w[4], 0.0);
  EXPECT_NEAR(a.mean, 100.25, 1e-9);
  EXPECT_NEAR(a.scatter, 5.0 / 3.0, 1e-9);
}

TEST(Meth0AverageZ, LowOutlierIsKeptBecauseTheTestIsSigned) {
  const float z[5] = {100.0f, 102.0f, 98.0f, 101.0f, 70.0f};
  double w[5] = {0.2, 0.2, 0.2, 0.2, 0.2};
  const FluxAverage a = barsig_1dw_rej(z, w, 5, 3.5);
  EXPECT_EQ(a.count, 5);
  EXPECT_NEAR(a.mean, 94.2, 1e-9);
}

TEST(Meth0AverageZ, SmallAndInvalidWeightsAreDropped) {
  // wbar = (0.25 + 0.2025 + 0.0016 + 0.0001) / 1 = 0.4542: weights below
  // 0.04542 go; a negative and a NaN weight go too.
  const float z[6] = {10.0f, 20.0f, 1000.0f, -1000.0f, 5000.0f, 7000.0f};
  double w[6] = {0.5, 0.45, 0.04, 0.01, -0.2, std::nan("")};
  const FluxAverage a = barsig_1dw_rej(z, w, 6, 3.5);
  EXPECT_EQ(a.count, 2);
  EXPECT_NEAR(a.mean, (10.0 * 0.5 + 20.0 * 0.45) / 0.95, 1e-9);
  // scatter: (|10 - m| 0.5 + |20 - m| 0.45) / (0.95 - 0.5)
  const double m = (10.0 * 0.5 + 20.0 * 0.45) / 0.95;
  EXPECT_NEAR(a.scatter, ((m - 10.0) * 0.5 + (20.0 - m) * 0.45) / 0.45, 1e-9);
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

// Per-exposure results set by hand, for the two combinations.
struct Combination {
  std::unique_ptr<LocalList> local = std::make_unique<LocalList>();
  LocalExposureResults ln{4};
  Array1<int> fff_n{NDIM, 1};
  Combination() {
    reset_local(*local);
    local->u0_l(1) = 77.0f;
    local->v0_l(1) = 88.0f;
    local->z0_lf(1, 1) = 123.0f;
    local->z0_lf(1, 2) = 456.0f;
    local->sz0_lf(1, 2) = 4.5f;
  }
  void set(int n, float u, float v, float z, float sz, short gp, short gz) {
    ln.u0_ln(1, n) = u;
    ln.v0_ln(1, n) = v;
    ln.z0_ln(1, n) = z;
    ln.sz0_ln(1, n) = sz;
    ln.gp0_ln(1, n) = gp;
    ln.gz0_ln(1, n) = gz;
  }
};

TEST(Meth0Combine, FluxesPerFilterWithInverseVarianceWeights) {
  Combination c;
  c.fff_n(3) = 2;
  c.fff_n(4) = 2;
  c.set(1, 0, 0, 100.0f, 1.0f, 0, 1);
  c.set(2, 0, 0, 110.0f, 2.0f, 0, 1);
  c.set(3, 0, 0, 900.0f, 3.0f, 0, 0);  // not fitted
  c.set(4, 0, 0, 900.0f, 3.0f, 0, 9);  // not measured
  find_avg_z_f(1, 4, c.fff_n, c.ln, *c.local);
  // Weights 1 and 1/4, normalised 0.8 and 0.2: mean 102, scatter
  // (2 * 0.8 + 8 * 0.2) / (1 - 0.8) = 16.
  EXPECT_FLOAT_EQ(c.local->z0_lf(1, 1), 102.0f);
  EXPECT_FLOAT_EQ(c.local->sz0_lf(1, 1), 16.0f);
  EXPECT_EQ(c.local->f0_lf(1, 1), 2);
  EXPECT_EQ(c.local->g0_lf(1, 1), 2);
  // Filter 2 has nothing usable: its flux stays, its counts are 0.
  EXPECT_EQ(c.local->z0_lf(1, 2), 456.0f);
  EXPECT_EQ(c.local->sz0_lf(1, 2), 4.5f);
  EXPECT_EQ(c.local->f0_lf(1, 2), 0);
  EXPECT_EQ(c.local->g0_lf(1, 2), 0);
}

TEST(Meth0Combine, SingleFluxMeasurementHasTheSentinelScatter) {
  Combination c;
  c.set(2, 0, 0, 321.0f, 5.0f, 0, 1);
  find_avg_z_f(1, 4, c.fff_n, c.ln, *c.local);
  EXPECT_EQ(c.local->z0_lf(1, 1), 321.0f);
  EXPECT_EQ(c.local->sz0_lf(1, 1), 99999.0f);
  EXPECT_EQ(c.local->f0_lf(1, 1), 1);
  EXPECT_EQ(c.local->g0_lf(1, 1), 1);
}

TEST(Meth0Combine, ZeroFluxErrorsLeaveNoUsableWeight) {
  // Infinite weights cannot be normalised: the measurements count as unusable
  // and the flux stays (f and g 0).
  Combination c;
  c.set(1, 0, 0, 100.0f, 0.0f, 0, 1);
  c.set(2, 0, 0, 101.0f, 0.0f, 0, 1);
  find_avg_z_f(1, 4, c.fff_n, c.ln, *c.local);
  EXPECT_EQ(c.local->z0_lf(1, 1), 123.0f);
  EXPECT_EQ(c.local->f0_lf(1, 1), 0);
  EXPECT_EQ(c.local->g0_lf(1, 1), 0);
}

TEST(Meth0Combine, PositionsNeedGpAndAPositiveFlux) {
  Combination c;
  c.set(1, 10.0f, 20.0f, 5.0f, 1.0f, 1, 1);
  c.set(2, 12.0f, 21.0f, 5.0f, 1.0f, 1, 1);
  c.set(3, 90.0f, 90.0f, 0.0f, 1.0f, 1, 1);   // flux not positive
  c.set(4, 90.0f, 90.0f, 5.0f, 1.0f, 9, 1);   // not measured
  find_avg_xy(1, 4, c.ln, *c.local);
  EXPECT_FLOAT_EQ(c.local->u0_l(1), 11.0f);
  EXPECT_FLOAT_EQ(c.local->v0_l(1), 20.5f);
  EXPECT_FLOAT_EQ(c.local->su0_l(1), 1.0f);
  EXPECT_FLOAT_EQ(c.local->sv0_l(1), 0.5f);
}

TEST(Meth0Combine, NoPositionMeasurementKeepsPositionAndScatter) {
  Combination c;
  c.local->su0_l(1) = 0.25f;
  c.set(1, 10.0f, 20.0f, -5.0f, 1.0f, 1, 1);
  find_avg_xy(1, 4, c.ln, *c.local);
  EXPECT_EQ(c.local->u0_l(1), 77.0f);
  EXPECT_EQ(c.local->v0_l(1), 88.0f);
  EXPECT_EQ(c.local->su0_l(1), 0.25f);
  EXPECT_EQ(c.local->sv0_l(1), 9.99f);
}

}  // namespace
}  // namespace zeb
