// ACS/WFC distortion for the two chips of the joint 4096 x 4096 raw frame:
// a column correction, a quartic polynomial per chip in double precision, then
// a per-filter residual table per chip. Chip 1 holds raw rows 2049..4096,
// chip 2 rows 1..2048; the polynomial constants place chip 1 above chip 2 in
// the corrected frame.
#include <cmath>
#include <cstdint>

#include "core/array.h"
#include "core/stop.h"
#include "geometry/distortion.h"
#include "geometry/solution_support.h"

namespace zeb {

namespace {

using geometry_detail::bilinear;
using geometry_detail::poly_terms;
using geometry_detail::trunc_clamped;

// Per chip an x polynomial (15 terms) then a y polynomial (15 terms); entries
// 1..30 for chip 1 with Y = (j - 3072) / 1024, entries 31..60 for chip 2 with
// Y = (j - 1024) / 1024; X = (i - 2048) / 2048 for both.
constexpr double polyy[60] = {
    4.222858,  -25.8109722, 7.5227451,  35.1100426, -15.4586792, 2.224611,    -3.9974229, -0.461412,
    -1.137435, 0.069899,    0.365157,   0.297704,   0.451025,    -0.059556,   0.16458,    2090.8291016,
    166.6364441, -22.5819912, -9.2248287, 11.8548412, -9.8124752, 0.450533,  -1.922356,  -0.151181,
    -0.408813, -0.294261,   -0.302678,  -0.414122,  0.10131,     -0.188003,   -0.013903,  0.115885,
    -0.014278, 35.8456612,  -10.9553528, 2.264019,  -4.0188618,  -0.189312,   -1.135375,  0.008529,
    0.419362,  0.099082,    0.167527,   -0.036017,  -0.000001,   0.023567,    141.2454987, 11.9044418,
    -4.9667311, 12.4176483, -7.4886379, 0.463892,   -2.23911,    -0.249694,   -0.464881,  -0.258344,
    -0.022357, -0.105517,   -0.050072,  -0.031641};

constexpr int kProfile = 501;
constexpr int kWfcFilters = 12;
constexpr int kWfcCols = 65;  // nodes along x, 64 pixels apart
constexpr int kWfcRows = 33;  // nodes along the chip's 2048 rows

// The column-correction profile and the per-filter residual tables (16-bit
// thousandths of a pixel, index order (filter, row j, column i)). Their
// measured values are not part of this system: they hold zeros, so the terms
// add nothing, and the look-ups keep the place for measured tables.
struct WfcTables {
  Array1<float> profile{kProfile, 0.0f};
  Array3<std::int16_t> wwtabx1{kWfcFilters, kWfcRows, kWfcCols, 0};
  Array3<std::int16_t> wwtaby1{kWfcFilters, kWfcRows, kWfcCols, 0};
  Array3<std::int16_t> wwtabx2{kWfcFilters, kWfcRows, kWfcCols, 0};
  Array3<std::int16_t> wwtaby2{kWfcFilters, kWfcRows, kWfcCols, 0};
};

const WfcTables& wfc_tables() {
  static const WfcTables tables;
  return tables;
}

// Periodic column correction of raw x (60 periods across the 4096 columns).
double fixcoll(double x) {
  if (!(x >= 1.0 && x <= 4096.0)) return x;
  const double p = 68.26666;
  const double f = 5.0 * ((x - std::trunc(x / p) * p) / p * 100.0) + 1.0;
  const int n = trunc_clamped(f, 1, kProfile - 1);
  const double w = f - n;
  const Array1<float>& prof = wfc_tables().profile;
  return x + 0.68266 * (prof(n) * (1.0 - w) + prof(n + 1) * w);
}

// One table entry in pixels. Chip 1's y table at filter 8 carries an extra
// 0.01 pixel on its first row.
double wfc_entry(const Array3<std::int16_t>& tab, int flt, int j, int i, bool chip1_y) {
  double v = tab(flt, j, i) / 1000.0;
  if (chip1_y && flt == 8 && j == 1) v += 0.01;
  return v;
}

double wfc_residual(double x, double y, int flt, const Array3<std::int16_t>& tab, bool chip1_y) {
  double fx = x / 64.0 + 1.0;
  double fy = y / 64.0 + 1.0;
  if (!(fx >= 1.0)) fx = 1.0;
  if (fx > 64.999) fx = 64.999;
  if (!(fy >= 1.0)) fy = 1.0;
  if (fy > 32.999) fy = 32.999;
  const int i = trunc_clamped(fx, 1, kWfcCols - 1);
  const int j = trunc_clamped(fy, 1, kWfcRows - 1);
  const double wx = fx - i;
  const double wy = fy - j;
  return bilinear(wfc_entry(tab, flt, j, i, chip1_y), wfc_entry(tab, flt, j, i + 1, chip1_y),
                  wfc_entry(tab, flt, j + 1, i, chip1_y), wfc_entry(tab, flt, j + 1, i + 1, chip1_y), wx, wy);
}

}  // namespace

void wfc_gcf(double x, double y, double& xc, double& yc, int flt, int ku) {
  const double xp = fixcoll(x);
  if (ku != 1 && ku != 2) stop_run("in this wfc_gcf, ku must be 1 or 2");
  const double yp = ku == 1 ? y - 2048.0 : y;
  const double X = (xp - 2048.0) / 2048.0;
  const double Y = (yp - 1024.0) / 1024.0;
  double t[15];
  poly_terms(X, Y, t);
  const double* p = polyy + (ku == 1 ? 0 : 30);
  double dx = 0.0;
  double dy = 0.0;
  for (int k = 0; k < 15; ++k) {
    dx += p[k] * t[k];
    dy += p[15 + k] * t[k];
  }
  double rx = 0.0;
  double ry = 0.0;
  if (flt >= 1 && flt <= kWfcFilters) {
    const WfcTables& tabs = wfc_tables();
    rx = wfc_residual(xp, yp, flt, ku == 1 ? tabs.wwtabx1 : tabs.wwtabx2, false);
    ry = wfc_residual(xp, yp, flt, ku == 1 ? tabs.wwtaby1 : tabs.wwtaby2, ku == 1);
  }
  xc = xp + dx + rx;
  yc = yp + dy + ry;
}

void wfc_cgf(double xc, double yc, double& x, double& y, int flt, int ku) {
  if (ku != 1 && ku != 2) stop_run("wfc_cg:   illegal k...");
  geometry_detail::invert_forward(
      xc, yc, x, y, 0.5, 99, geometry_detail::StopRule::AtOrBelow,
      [flt, ku](double xr, double yr, double& xg, double& yg) { wfc_gcf(xr, yr, xg, yg, flt, ku); });
}

}  // namespace zeb
