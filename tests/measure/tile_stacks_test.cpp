// stack_tile on hand-built exposures whose rasters lie on the tile grid: what
// a grid point gets when no exposure, only flagged exposures, or a few or many
// clean exposures see it, with and without clipping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measure/tile_raster_util.h"
#include "measure/tile_stacks.h"

namespace zeb {
namespace {

using test::Rasters;
using test::ShiftTables;

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

TEST(StackTile, PointSeenByNoExposureIsZeroWithCountZero) {
  StackCase c = three_exposures();
  c.tables.shift(3, 500.0f, 0.0f);  // exposure 3's raster lies far from the tile
  c.run(STACK_CLIP);
  // Grid edge: nearest pixel 1 is outside 2..300 in every exposure.
  for (int f = 1; f <= 2; ++f) {
    EXPECT_EQ(c.stack(1, 150, f), 0.0f);
    EXPECT_EQ(c.counts(1, 150, f), 0);
    EXPECT_EQ(c.stack(150, 301, f), 0.0f);
  }
  EXPECT_EQ(c.stack(150, 150, 2), 0.0f);
  EXPECT_EQ(c.counts(150, 150, 2), 0);
  // Exposures 1 and 2 (10 and 20): m = 10, S = 4, 20 <= 10 + 20 keeps both.
  EXPECT_EQ(c.stack(150, 150, 1), 15.0f);
  EXPECT_EQ(c.counts(150, 150, 1), 2);
  EXPECT_EQ(c.stack(2, 2, 1), 15.0f);  // pixel 2 is the first usable one
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

TEST(StackTile, VeryLowValuesBecomeZeroAndUnusableSamplesAreLeftOut) {
  StackCase c = three_exposures();
  c.set(60, 60, 1, -20000.0f);
  c.set(60, 60, 2, -20000.0f);
  c.set(70, 70, 1, std::numeric_limits<float>::quiet_NaN());
  c.set(90, 90, 1, 10.0f, 0.0f);  // a zero error: the sample dominates, nothing overflows
  c.set(90, 90, 2, 20.0f, 1.0f);
  c.run(STACK_NO_CLIP);
  EXPECT_EQ(c.stack(60, 60, 1), 0.0f);
  EXPECT_EQ(c.counts(60, 60, 1), 2);
  EXPECT_EQ(c.stack(70, 70, 1), 20.0f);
  EXPECT_EQ(c.counts(70, 70, 1), 1);
  EXPECT_FLOAT_EQ(c.stack(90, 90, 1), 10.0f);
  EXPECT_EQ(c.counts(90, 90, 1), 2);
}

TEST(StackTile, ShiftedRastersAreSampledAtTheirNearestPixel) {
  StackCase c = three_exposures();
  c.tables.shift(1, 3.0f, -2.0f);
  c.set(153, 148, 1, 13.0f);  // grid (150, 150) in exposure 1
  c.set(150, 150, 2, 15.0f);
  c.run(STACK_CLIP);
  EXPECT_EQ(c.stack(150, 150, 1), 14.0f);
  // Grid (298, 150) is raster 301 in exposure 1: outside 2..300.
  EXPECT_EQ(c.stack(298, 150, 1), 20.0f);
  EXPECT_EQ(c.counts(298, 150, 1), 1);
}

TEST(StackMask, CoversGridPoints17To285) {
  Array2<std::uint8_t> m;
  init_stacku(m);
  EXPECT_EQ(m(16, 100), 0);
  EXPECT_EQ(m(17, 17), 1);
  EXPECT_EQ(m(285, 285), 1);
  EXPECT_EQ(m(286, 100), 0);
  EXPECT_EQ(m(100, 16), 0);
  long ones = 0;
  for (long k = 0; k < static_cast<long>(m.size()); ++k) ones += m.data()[k];
  EXPECT_EQ(ones, 269L * 269L);
}

TEST(TileStacks, InitStacksClearsEveryStack) {
  TileStacks s;
  s.stackv_tf(3, 4, 2) = 5.0f;
  s.stackm_tf(3, 4, 1) = 5.0f;
  s.stackn_tf(1, 1, 1) = 9;
  s.stackp_tf(301, 301, 2) = 9;
  init_stacks(s);
  EXPECT_EQ(s.stackv_tf(3, 4, 2), 0.0f);
  EXPECT_EQ(s.stackm_tf(3, 4, 1), 0.0f);
  EXPECT_EQ(s.stackn_tf(1, 1, 1), 0);
  EXPECT_EQ(s.stackp_tf(301, 301, 2), 0);
}

}  // namespace
}  // namespace zeb
