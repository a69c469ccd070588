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
  const double* p = WFC_POLY + (ku == 1 ? 0 : 30);
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
