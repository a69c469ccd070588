// add_art and rmssky_xyz_tile on hand-built exposures: a constant PSF makes
// the light added to every pixel within 12 pixels of the star exactly z c, so
// what remains is the noise, whose statistics are checked over many draws.
//
// stack_tile on hand-built exposures whose rasters lie on the tile grid: what
// a grid point gets when no exposure, only flagged exposures, or a few or many
// clean exposures see it, with and without clipping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "measure/art_sky.h"
#include "measure/noise.h"
#include "measure/tile_raster_util.h"
#include "measure/tile_stacks.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using namespace zeb::test;

constexpr float kC = 0.0078125f;  // 2^-7

// Three exposures, 1 and 2 in filter slot 1, 3 in filter slot 2; exposure
// times 250 against the filter's 500, so the noise variance is 2 m.
struct ArtCase {
  int ns = 3;
  ShiftTables tables{3};
  Rasters r{3, 50.0f, 1.0f};
  std::vector<LocalPsf> psfs = std::vector<LocalPsf>(3, constant_psf(kC));
  Array1<int> fff_n{NDIM, 1};
  Array1<float> exp_f{FDIM, 500.0f};
  Array1<float> exp_n{NDIM, 250.0f};
  ArtCase() { fff_n(3) = 2; }
  ArtLevels add(float z1, float z2, bool verbose = false) {
    return add_art(ns, r.pixv_n, r.pixe_n, r.pixu_n, psfs, 151.0f, 141.0f, {z1, z2}, fff_n, exp_f, exp_n,
                   tables.xtab_n, tables.ytab_n, verbose);
  }
};

TEST(AddArt, NoiseHasMeanZeroAndVarianceMTimesTheExposureTimeRatio) {
  // m = 12800 / 128 = 100 per pixel; variance m exp_f / exp_n = 200. Over
  // 80 stars x 441 pixels x 3 exposures = 105840 draws the mean has standard
  // error 0.043 and the variance a relative one of 0.43 %: the bounds below
  // are about 6 standard errors.
  ArtCase a;
  reset_run_random();
  double sum = 0.0, sum2 = 0.0;
  long n = 0;
  for (int trial = 0; trial < 80; ++trial) {
    a.r.pixv_n.fill(50.0f);
    a.add(12800.0f, 12800.0f);
    for (int e = 1; e <= 3; ++e)
      for (int j = 141 - 12; j <= 141 + 12; ++j)
        for (int i = 151 - 12; i <= 151 + 12; ++i) {
          if ((i - 151) * (i - 151) + (j - 141) * (j - 141) > 144) {
            ASSERT_EQ(a.r.pixv_n(i, j, e), 50.0f);
            continue;
          }
          const double d = a.r.pixv_n(i, j, e) - 150.0;
          sum += d;
          sum2 += d * d;
          ++n;
        }
  }
  ASSERT_EQ(n, 80L * 441 * 3);
  const double mean = sum / n;
  const double var = sum2 / n - mean * mean;
  EXPECT_LT(std::fabs(mean), 0.26);
  EXPECT_NEAR(var, 200.0, 200.0 * 0.026);
}

TEST(AddArt, SameSequenceGivesIdenticalPixels) {
  ArtCase a, b;
  reset_run_random();
  a.add(5000.0f, 900.0f);
  reset_run_random();
  b.add(5000.0f, 900.0f);
  for (long k = 0; k < static_cast<long>(a.r.pixv_n.size()); ++k)
    ASSERT_EQ(a.r.pixv_n.data()[k], b.r.pixv_n.data()[k]) << k;
  // Without resetting, the sequence has moved on: other noise.
  b.r.pixv_n.fill(50.0f);
  b.add(5000.0f, 900.0f);
  EXPECT_NE(a.r.pixv_n(151, 141, 1), b.r.pixv_n(151, 141, 1));
}

TEST(AddArt, NegativeOrNonNumberFluxAddsNothing) {
  ArtCase a;
  a.add(-400.0f, std::nanf(""));
  for (long k = 0; k < static_cast<long>(a.r.pixv_n.size()); ++k) ASSERT_EQ(a.r.pixv_n.data()[k], 50.0f) << k;
}

struct StackCase {
  int ns;
  ShiftTables tables;
  Rasters r;
  Array1<int> fff_n{NDIM, 1};
  Array3<float> stack{TILE_GRID, TILE_GRID, FDIM, -1.0f};
  Array3<std::int16_t> counts{TILE_GRID, TILE_GRID, FDIM, -1};
  explicit StackCase(int n) : ns(n), tables(n), r(n, 0.0f, 1.0f) {}
  void run(float k) {
    stack_tile(ns, fff_n, tables.xtab_n, tables.ytab_n, r.pixv_n, r.pixe_n, r.pixu_n, stack, &counts, k);
  }
  void set(int i, int j, int n, float value, float error = 1.0f) {
    r.pixv_n(i, j, n) = value;
    r.pixe_n(i, j, n) = error;
  }
};

// Exposures 1 and 2 in filter 1, exposure 3 in filter 2.
StackCase three_exposures() {
  StackCase c(3);
  c.fff_n(3) = 2;
  for (int n = 1; n <= 3; ++n)
    for (int j = 1; j <= TILE_GRID; ++j)
      for (int i = 1; i <= TILE_GRID; ++i) c.set(i, j, n, 10.0f * n);
  return c;
}

TEST(StackTile, PointSeenOnlyByFlaggedExposuresIs99999WithCountZero) {
  StackCase c = three_exposures();
  c.r.pixu_n(50, 50, 1) = 1;
  c.r.pixu_n(50, 50, 2) = 1;
  c.r.pixu_n(80, 80, 1) = 2;  // saturated: no sample, but not flagged either
  c.r.pixu_n(80, 80, 2) = 3;
  c.r.pixu_n(120, 120, 1) = 1;  // one flagged, one clean
  c.run(STACK_CLIP);
  for (int j = 49; j <= 51; ++j)
    for (int i = 49; i <= 51; ++i) {
      EXPECT_EQ(c.stack(i, j, 1), STACK_FLAGGED);
      EXPECT_EQ(c.counts(i, j, 1), 0);
      EXPECT_EQ(c.stack(i, j, 2), 30.0f);  // exposure 3 is clean there
    }
  EXPECT_EQ(c.stack(52, 50, 1), 15.0f);  // (50, 50) is outside its 3 x 3
  EXPECT_EQ(c.stack(81, 79, 1), 0.0f);
  EXPECT_EQ(c.counts(81, 79, 1), 0);
  EXPECT_EQ(c.stack(121, 121, 1), 20.0f);
  EXPECT_EQ(c.counts(121, 121, 1), 1);
}

TEST(StackTile, NoClippingGivesThePlainWeightedMeanEvenForFewSamples) {
  StackCase c = three_exposures();
  c.set(100, 100, 1, 10.0f, 1.0f);   // weight 1000
  c.set(100, 100, 2, 20.0f, 2.0f);   // weight 250
  c.set(200, 100, 1, 10.0f, 1.0f);
  c.set(200, 100, 2, 100.0f, 1.0f);  // far above: kept without clipping
  c.run(STACK_NO_CLIP);
  EXPECT_EQ(c.stack(100, 100, 1), 12.0f);  // (10 1000 + 20 250) / 1250
  EXPECT_EQ(c.counts(100, 100, 1), 2);
  EXPECT_EQ(c.stack(200, 100, 1), 55.0f);
  EXPECT_EQ(c.counts(200, 100, 1), 2);
  // With clipping the small-sample rules keep only the lower value.
  c.run(STACK_CLIP);
  EXPECT_EQ(c.stack(200, 100, 1), 10.0f);
  EXPECT_EQ(c.counts(200, 100, 1), 1);
}

// A wiring fault (rasters of fewer exposures than Ns) stops the run instead
// of reading beyond them.
TEST(StackTile, RastersThatDoNotHoldNsExposuresStopTheRun) {
  StackCase c(3);
  c.ns = 4;
  EXPECT_EQ(capture([&] { c.run(STACK_CLIP); }).err, "STOP stack_tile: rasters or stacks do not hold Ns exposures\n");
}

TEST(StackTile, ElevenOrMoreSamplesAreClippedAboutTheWeightedMean) {
  StackCase c(12);
  for (int n = 1; n <= 12; ++n) c.set(150, 150, n, n == 7 ? 1000.0f : 100.0f);
  c.run(STACK_CLIP);
  EXPECT_FLOAT_EQ(c.stack(150, 150, 1), 100.0f);
  EXPECT_EQ(c.counts(150, 150, 1), 11);
  c.run(STACK_NO_CLIP);
  EXPECT_FLOAT_EQ(c.stack(150, 150, 1), 175.0f);  // (11 100 + 1000) / 12
  EXPECT_EQ(c.counts(150, 150, 1), 12);
}

}  // namespace
}  // namespace zeb
