// Pieces shared by the built-in distortion solutions: safe cell indices for
// table look-ups and the damped fixed-point inverse of a forward map.
// Internal to src/geometry.
#pragma once

#include <cmath>

namespace zeb::geometry_detail {

// f truncated toward zero and clamped to lo..hi (lo >= 1). Any value is safe:
// below the range or NaN gives lo, at or beyond hi gives hi, so a wild
// coordinate never turns into an undefined float-to-int conversion.
inline int trunc_clamped(double f, int lo, int hi) {
  if (!(f >= lo)) return lo;
  if (f >= hi) return hi;
  return static_cast<int>(f);
}

// Bilinear interpolation between the four corner values of a table cell at
// fractions wx, wy (outside 0..1 the cell is extrapolated linearly).
template <typename T>
inline T bilinear(T t00, T t10, T t01, T t11, T wx, T wy) {
  return t00 * (1 - wx) * (1 - wy) + t01 * (1 - wx) * wy + t10 * wx * (1 - wy) + t11 * wx * wy;
}

// The polynomial terms 1, X, Y, X^2, XY, Y^2, X^3, X^2 Y, X Y^2, Y^3, X^4,
// X^3 Y, X^2 Y^2, X Y^3, Y^4 of normalised coordinates; the cubic solutions
// use the first ten.
template <typename T>
inline void poly_terms(T X, T Y, T (&t)[15]) {
  t[0] = 1;
  t[1] = X;
  t[2] = Y;
  t[3] = X * X;
  t[4] = X * Y;
  t[5] = Y * Y;
  t[6] = X * X * X;
  t[7] = X * X * Y;
  t[8] = X * Y * Y;
  t[9] = Y * Y * Y;
  t[10] = X * X * X * X;
  t[11] = X * X * X * Y;
  t[12] = X * X * Y * Y;
  t[13] = X * Y * Y * Y;
  t[14] = Y * Y * Y * Y;
}

// How an inverse decides it has converged on the distance d between the
// target and the forward image of the current iterate.
enum class StopRule { AtOrBelow, Below };

// The convergence tolerance of every inverse: 0.001 pixel as a single-precision
// constant widened to double.
inline constexpr double kInverseTolerance = static_cast<double>(0.001f);

// Corrected -> raw by iterating on the forward map: start at (xc, yc), step by
// gain times the mismatch, stop when the mismatch measured before the step
// satisfies the rule or after max_iter steps. The result includes the last
// step; a point that does not converge returns its last iterate.
template <typename Forward>
void invert_forward(double xc, double yc, double& x, double& y, double gain, int max_iter, StopRule rule,
                    const Forward& forward) {
  double xr = xc;
  double yr = yc;
  for (int iter = 1; iter <= max_iter; ++iter) {
    double xg = 0.0;
    double yg = 0.0;
    forward(xr, yr, xg, yg);
    const double ex = xc - xg;
    const double ey = yc - yg;
    const double d = std::sqrt(ex * ex + ey * ey);
    xr += gain * ex;
    yr += gain * ey;
    const bool converged = rule == StopRule::AtOrBelow ? d <= kInverseTolerance : d < kInverseTolerance;
    if (converged) break;
  }
  x = xr;
  y = yr;
}

}  // namespace zeb::geometry_detail
