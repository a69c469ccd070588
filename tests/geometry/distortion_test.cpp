// The distortion solutions of every camera: hand-worked points, the
// residual tables, extrapolation, round trips and the dispatch by code.
#include "geometry/distortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/test_support.h"

namespace {

using zeb::cg_cf;
using zeb::gc_cf;
using zeb::test::capture;

const std::string kNull = "NULL";

// Corrected -> raw -> corrected over a grid; returns the largest mismatch.
double worst_round_trip(int kkk, int flt, int chip, double x0, double x1, double y0, double y1, double step) {
  double worst = 0.0;
  for (double yc = y0; yc <= y1; yc += step) {
    for (double xc = x0; xc <= x1; xc += step) {
      double x = 0, y = 0, xb = 0, yb = 0;
      cg_cf(xc, yc, x, y, kkk, flt, chip, kNull);
      gc_cf(x, y, xb, yb, kkk, flt, chip, kNull);
      worst = std::max(worst, std::hypot(xb - xc, yb - yc));
    }
  }
  return worst;
}

TEST(Wfc3Ir, PolynomialIsTheIdentityAtTheDetectorCentre) {
  double xc = 0, yc = 0;
  zeb::wfc3ir_poly(507.0, 507.0, xc, yc);
  EXPECT_EQ(xc, 507.0);
  EXPECT_EQ(yc, 507.0);
}

TEST(Wfc3Ir, ResidualTableIsInterpolatedAndSubtracted) {
  // (507, 507) lies in cell (6, 6) at fractions 0.07, 0.07. x table: T(6,6) = 0,
  // T(7,6) = -0.02338, T(6,7) = 0, T(7,7) = -0.01944, so r = -0.02338*0.07*0.93
  // - 0.01944*0.07*0.07 = -0.0016173. y table: T(6,7) = -0.02371, T(7,7) =
  // -0.01971, row 6 zero: r = -0.02371*0.93*0.07 - 0.01971*0.0049 = -0.0016401.
  double xc = 0, yc = 0;
  gc_cf(507.0, 507.0, xc, yc, 9, 0, 1, kNull);
  EXPECT_NEAR(xc, 507.0 + 0.0016173, 1e-4);
  EXPECT_NEAR(yc, 507.0 + 0.0016401, 1e-4);
}

TEST(Wfc3Ir, PointsBeyondTheGridExtrapolateTheLastCell) {
  // x = 1200: fx = 13, cell 10 with wx = 3; y = 0: row 1, wy = 0.
  // x table row 1: T(10,1) = -0.10176, T(11,1) = -0.10700:
  //   r = -0.10176*(1-3) + -0.10700*3 = -0.11748 (a clamped look-up would give -0.107).
  // y table row 1: T(10,1) = 0.01697, T(11,1) = 0: r = -0.03394.
  double px = 0, py = 0, xc = 0, yc = 0;
  zeb::wfc3ir_poly(1200.0, 0.0, px, py);
  gc_cf(1200.0, 0.0, xc, yc, 9, 0, 1, kNull);
  EXPECT_NEAR(xc - px, 0.11748, 2e-4);
  EXPECT_NEAR(yc - py, 0.03394, 2e-4);
}

TEST(AcsHrc, PolynomialAloneForFilterZero) {
  double xc = 0, yc = 0;
  gc_cf(512.0, 512.0, xc, yc, 7, 0, 1, kNull);
  EXPECT_EQ(xc, 512.0);
  EXPECT_EQ(yc, 512.0);
  // (1024, 512): X = 1, Y = 0. x adds q2+q4+q7+q11 = 0 - 0.864121 + 0.009942 + 0.01742;
  // y adds q17+q19+q22+q26 = 51.84522 + 0.361129 + 0.053201 + 0.026491.
  gc_cf(1024.0, 512.0, xc, yc, 7, 0, 1, kNull);
  EXPECT_NEAR(xc, 1024.0 - 0.836759, 1e-4);
  EXPECT_NEAR(yc, 512.0 + 52.286041, 1e-4);
  // The filter tables hold zeros: a known filter gives the same result.
  double xf = 0, yf = 0;
  gc_cf(1024.0, 512.0, xf, yf, 7, 6, 1, kNull);
  EXPECT_EQ(xf, xc);
  EXPECT_EQ(yf, yc);
}

TEST(AcsWfc, PolynomialConstantsPlaceTheChips) {
  double xc = 0, yc = 0;
  // Chip 2 centre (2048, 1024): X = Y = 0, only the constants act.
  gc_cf(2048.0, 1024.0, xc, yc, 5, 0, 2, kNull);
  EXPECT_NEAR(xc, 2048.0 - 0.013903, 1e-9);
  EXPECT_NEAR(yc, 1024.0 + 0.023567, 1e-9);
  // Chip 1 centre (2048, 3072): local row 1024, constants 4.222858 and 2090.8291016.
  gc_cf(2048.0, 3072.0, xc, yc, 5, 0, 1, kNull);
  EXPECT_NEAR(xc, 2048.0 + 4.222858, 1e-9);
  EXPECT_NEAR(yc, 1024.0 + 2090.8291016, 1e-9);
  // (4096, 1024) on chip 2: X = 1, Y = 0: x adds the X, X^2, X^3, X^4 terms
  // 0.115885 + 35.8456612 - 4.0188618 + 0.419362, y adds 141.2454987 - 4.9667311
  // + 0.463892 - 0.258344, on top of the constants.
  gc_cf(4096.0, 1024.0, xc, yc, 5, 0, 2, kNull);
  EXPECT_NEAR(xc, 4096.0 - 0.013903 + 0.115885 + 35.8456612 - 4.0188618 + 0.419362, 1e-9);
  EXPECT_NEAR(yc, 1024.0 + 0.023567 + 141.2454987 - 4.9667311 + 0.463892 - 0.258344, 1e-9);
}

TEST(Wfc3Uv, ChipsAreShiftedAndRoundTrip) {
  // Raw chip 1 (rows 2049..4096) lies above raw chip 2 in the corrected frame.
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  gc_cf(2048.0, 3072.0, x1, y1, 8, 0, 1, kNull);
  gc_cf(2048.0, 1024.0, x2, y2, 8, 0, 2, kNull);
  EXPECT_GT(y1 - y2, 2000.0);
  // F225W (index 12) and the empty list entries use the index-0 solution.
  double xa = 0, ya = 0, xb = 0, yb = 0;
  gc_cf(300.0, 3000.0, xa, ya, 8, 0, 1, kNull);
  gc_cf(300.0, 3000.0, xb, yb, 8, 12, 1, kNull);
  EXPECT_EQ(xa, xb);
  EXPECT_EQ(ya, yb);
  gc_cf(300.0, 3000.0, xb, yb, 8, 11, 1, kNull);
  EXPECT_EQ(ya, yb);
}

// The inverse reproduces corrected points on and around each chip (the IR
// chip's corrected image spans about -60..1075).
TEST(Inverse, RoundTripsOnEveryCameraAndChip) {
  struct Case {
    int kkk, flt, chip;
    double x0, x1, y0, y1, step;
  } cases[] = {{9, 0, 1, -100.0, 1150.0, -100.0, 1150.0, 25.0},   {7, 0, 1, -100.0, 1150.0, -100.0, 1150.0, 25.0},
               {7, 9, 1, -60.0, 1100.0, -60.0, 1100.0, 58.0},      {5, 4, 2, -50.0, 4150.0, -50.0, 2250.0, 150.0},
               {5, 8, 1, -50.0, 4150.0, 2050.0, 4300.0, 150.0},    {8, 0, 2, -50.0, 4150.0, 100.0, 2400.0, 150.0},
               {8, 5, 1, -50.0, 4150.0, 2200.0, 4500.0, 150.0}};
  for (const Case& c : cases)
    EXPECT_LT(worst_round_trip(c.kkk, c.flt, c.chip, c.x0, c.x1, c.y0, c.y1, c.step), 0.001)
        << c.kkk << " " << c.flt << " " << c.chip;
}

TEST(Dispatch, UnknownCodesAndChipsLeaveTheOutputsUntouched) {
  for (int kkk : {0, 2, 3, 4, 6, 10, 11, -1}) {
    double xc = -7.0, yc = -8.0;
    gc_cf(10.0, 20.0, xc, yc, kkk, 0, 1, kNull);
    EXPECT_EQ(xc, -7.0);
    EXPECT_EQ(yc, -8.0);
    cg_cf(10.0, 20.0, xc, yc, kkk, 0, 1, kNull);
    EXPECT_EQ(xc, -7.0);
    EXPECT_EQ(yc, -8.0);
  }
  double xc = -7.0, yc = -8.0;
  gc_cf(10.0, 20.0, xc, yc, 5, 0, 3, kNull);
  cg_cf(10.0, 20.0, xc, yc, 8, 0, 3, kNull);
  EXPECT_EQ(xc, -7.0);
  EXPECT_EQ(yc, -8.0);
}

TEST(Dispatch, WildCoordinatesDoNotBreakTheTableLookUps) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int kkk : {5, 7, 8, 9}) {
    for (double v : {1e30, -1e30, nan}) {
      double xc = 0, yc = 0;
      gc_cf(v, -v, xc, yc, kkk, 8, 1, kNull);
      cg_cf(v, v, xc, yc, kkk, 8, 1, kNull);
    }
  }
  double x = 0, y = 0;
  cg_cf(nan, 5.0, x, y, 9, 0, 1, kNull);
  EXPECT_TRUE(std::isnan(x));
}

}  // namespace
