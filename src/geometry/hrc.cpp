// ACS/HRC distortion: a quartic polynomial in coordinates normalised about the
// detector centre (512, 512), added to the raw position, then a per-filter
// residual table on a 16-pixel grid. Single precision.
#include <cstdint>

#include "core/array.h"
#include "geometry/distortion.h"
#include "geometry/solution_support.h"

namespace zeb {

namespace {

using geometry_detail::bilinear;
using geometry_detail::poly_terms;
using geometry_detail::trunc_clamped;

// x terms q_1..q_15, then y terms q_16..q_30; the constant terms are never used.
constexpr float qq[30] = {0.0f,       0.0f,      0.0f,      -0.864121f, 2.355129f, -0.18359f,  0.009942f, 0.000208f,
                          0.051272f,  0.001016f, 0.01742f,  -0.140388f, -0.099512f, 0.002582f, 0.002776f, 0.0f,
                          51.84522f,  -62.45741f, 0.361129f, -0.380593f, 2.622087f, 0.053201f, 0.03494f, -0.072759f,
                          0.067124f,  0.026491f, -0.095819f, 0.047346f, -0.029614f, -0.070042f};

constexpr int kHrcFilters = 10;
constexpr int kHrcNodes = 65;

// Per-filter residual tables, index order (filter, row j, column i). They hold
// zeros in this system, so the filter term adds nothing; the look-up is kept
// so that measured tables can be dropped in.
struct HrcTables {
  Array3<float> htabx{kHrcFilters, kHrcNodes, kHrcNodes, 0.0f};
  Array3<float> htaby{kHrcFilters, kHrcNodes, kHrcNodes, 0.0f};
};

const HrcTables& hrc_tables() {
  static const HrcTables tables;
  return tables;
}

// The filter's table at raw (x, y) on the 65 x 65 grid, 16 pixels apart.
// Points off the detector use the edge values (no extrapolation).
float rtab(float x, float y, int flt, const Array3<float>& tab) {
  if (flt < 1 || flt > kHrcFilters) return 0.0f;
  float fx = 64.0f * (x / 1024.0f) + 1.0f;
  float fy = 64.0f * (y / 1024.0f) + 1.0f;
  if (!(fx >= 1.0f)) fx = 1.0f;
  if (!(fy >= 1.0f)) fy = 1.0f;
  if (fx > 65.0f) fx = 64.99f;
  if (fy > 65.0f) fy = 64.99f;
  const int i = trunc_clamped(fx, 1, kHrcNodes - 1);
  const int j = trunc_clamped(fy, 1, kHrcNodes - 1);
  const float wx = fx - static_cast<float>(i);
  const float wy = fy - static_cast<float>(j);
  return bilinear(tab(flt, j, i), tab(flt, j, i + 1), tab(flt, j + 1, i), tab(flt, j + 1, i + 1), wx, wy);
}

void hrc_gc(float x, float y, float& xc, float& yc) {
  const float X = (x - 512.0f) / 512.0f;
  const float Y = (y - 512.0f) / 512.0f;
  float t[15];
  poly_terms(X, Y, t);
  float sx = 0.0f;
  float sy = 0.0f;
  for (int k = 1; k < 15; ++k) {
    sx += qq[k] * t[k];
    sy += qq[15 + k] * t[k];
  }
  xc = x + sx;
  yc = y + sy;
}

}  // namespace

void hrc_gcf(double x, double y, double& xc, double& yc, int flt) {
  const float xs = static_cast<float>(x);
  const float ys = static_cast<float>(y);
  float xg = 0.0f;
  float yg = 0.0f;
  hrc_gc(xs, ys, xg, yg);
  if (flt != 0) {
    const HrcTables& t = hrc_tables();
    xg += rtab(xs, ys, flt, t.htabx);
    yg += rtab(xs, ys, flt, t.htaby);
  }
  xc = xg;
  yc = yg;
}

void hrc_cgf(double xc, double yc, double& x, double& y, int flt) {
  geometry_detail::invert_forward(
      xc, yc, x, y, 0.9, 25, geometry_detail::StopRule::Below,
      [flt](double xr, double yr, double& xg, double& yg) { hrc_gcf(xr, yr, xg, yg, flt); });
}

}  // namespace zeb
