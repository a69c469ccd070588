// WFC3/UVIS distortion for the two internal chips (internal chip 1 is raw
// chip 2, the lower half of the joint frame; the dispatch maps the chips and
// shifts raw y). Per filter and chip a polynomial plus residual tables on the
// amplifier grid, then for internal chip 2 a linear term that places it above
// chip 1, then a per-filter shift and scale and a final 200-row offset.
// Double precision.
//
// The camera is refused at set-up (one chip per image slot), so these
// solutions are never used on data. The coefficient and residual values are
// placeholders chosen so that the solution is coherent: identity polynomials
// and zero residuals, the chip-2 linear term at its nominal values, no shift
// and unit scale. The structure is the full one, so measured values can be
// dropped in.
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

constexpr int kUvFilters = 10;  // entries for filter indices 0..9
constexpr int kUvCols = 38;     // column nodes: 23.5 + 112.5 (n - 1)
constexpr int kUvRows = 18;     // row nodes: 171 + 114 (m - 1)

struct UvFilterSolution {
  // Polynomial corrections added to the raw position, per internal chip:
  // coefficients of X, Y, X^2, XY, Y^2, X^3, X^2 Y, X Y^2, Y^3 with
  // X = (x - 2048) / 2048, Y = (y - 1024) / 1024.
  double polyx[2][9] = {};
  double polyy[2][9] = {};
  // Linear term of internal chip 2.
  double offx = -2.0, sxx = -12.1, sxy = -2.35, offy = 2073.4, syx = 2.35, syy = -12.1;
  double shift_x = 0.0, shift_y = 0.0;
  double scale = 1.0;
};

struct UvTables {
  UvFilterSolution filters[kUvFilters];
  // Residuals in thousandths of a pixel, per internal chip, node (column, row).
  Array2<std::int16_t> resx[2] = {Array2<std::int16_t>(kUvCols, kUvRows, 0), Array2<std::int16_t>(kUvCols, kUvRows, 0)};
  Array2<std::int16_t> resy[2] = {Array2<std::int16_t>(kUvCols, kUvRows, 0), Array2<std::int16_t>(kUvCols, kUvRows, 0)};
};

const UvTables& uv_tables() {
  static const UvTables tables;
  return tables;
}

// Entry of the per-filter arrays for a filter index. Index 12 (F225W) uses the
// entry of index 0; so does any other index without an entry of its own
// (10, 11 or out of range), rather than reading past the arrays.
const UvFilterSolution& uv_filter(int flt) {
  const int entry = flt >= 0 && flt < kUvFilters ? flt : 0;
  return uv_tables().filters[entry];
}

double uv_col_node(int n) { return 23.5 + 112.5 * (n - 1); }
double uv_row_node(int m) { return 171.0 + 114.0 * (m - 1); }

// The rows of each chip are split (chip 1 at y = 911, chip 2 at y = 1140):
// a point interpolates only between row nodes on its own side of the split,
// extrapolating from the nearest cell of that side.
void uv_row_cell(double y, int k, int& m, double& wy) {
  const double split = k == 1 ? 911.0 : 1140.0;
  int first = 1;
  int last = kUvRows;
  int last_below = 1;
  while (last_below < kUvRows && uv_row_node(last_below + 1) < split) ++last_below;
  if (y < split) {
    last = last_below;
  } else {
    first = last_below + 1;
  }
  const double f = (y - uv_row_node(first)) / 114.0 + first;
  m = trunc_clamped(f, first, last - 1);
  wy = (y - uv_row_node(m)) / 114.0;
}

double uv_residual(double x, double y, int k, const Array2<std::int16_t>& tab) {
  const double fx = (x - uv_col_node(1)) / 112.5 + 1.0;
  const int n = trunc_clamped(fx, 1, kUvCols - 1);
  const double wx = (x - uv_col_node(n)) / 112.5;
  int m = 1;
  double wy = 0.0;
  uv_row_cell(y, k, m, wy);
  return bilinear(tab(n, m) / 1000.0, tab(n + 1, m) / 1000.0, tab(n, m + 1) / 1000.0, tab(n + 1, m + 1) / 1000.0,
                  wx, wy);
}

// Polynomial and residual of internal chip k at raw (x, y), chip-local rows.
void wfc3uv_gc(double x, double y, int flt, int k, double& xg, double& yg) {
  const UvFilterSolution& s = uv_filter(flt);
  const UvTables& tabs = uv_tables();
  const double X = (x - 2048.0) / 2048.0;
  const double Y = (y - 1024.0) / 1024.0;
  double t[15];
  poly_terms(X, Y, t);
  double dx = 0.0;
  double dy = 0.0;
  for (int c = 0; c < 9; ++c) {
    dx += s.polyx[k - 1][c] * t[c + 1];
    dy += s.polyy[k - 1][c] * t[c + 1];
  }
  xg = x + dx + uv_residual(x, y, k, tabs.resx[k - 1]);
  yg = y + dy + uv_residual(x, y, k, tabs.resy[k - 1]);
}

}  // namespace

void wfc3uv_gc_meta_k(double x, double y, double& xc, double& yc, int flt, int k) {
  if (k != 1 && k != 2) stop_run("invalid chip");
  double xg = 0.0;
  double yg = 0.0;
  wfc3uv_gc(x, y, flt, k, xg, yg);
  const UvFilterSolution& s = uv_filter(flt);
  double xw = xg;
  double yw = yg;
  if (k == 2) {
    const double X = (xg - 2048.0) / 2048.0;
    const double Y = (yg - 1024.0) / 2048.0;
    xw = xg + s.offx + s.sxx * X + s.sxy * Y;
    yw = yg + s.offy + s.syx * X + s.syy * Y;
  }
  xw += s.shift_x;
  yw += s.shift_y;
  xc = (xw - 2048.0) / s.scale + 2048.0;
  yc = (yw - 2048.0) / s.scale + 2048.0 + 200.0;
}

void wfc3uv_cg_meta(double xc, double yc, double& x, double& y, int flt, int k) {
  if (k != 1 && k != 2) stop_run("invalid chip");
  geometry_detail::invert_forward(
      xc, yc, x, y, 0.5, 99, geometry_detail::StopRule::AtOrBelow,
      [flt, k](double xr, double yr, double& xg, double& yg) { wfc3uv_gc_meta_k(xr, yr, xg, yg, flt, k); });
}

}  // namespace zeb
