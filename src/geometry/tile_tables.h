// The mapping tables between a tile grid and an exposure raster, and their
// lookups. Each exposure of a tile carries four 31 x 31 tables, exact at their
// nodes (node k at coordinate 10 (k - 1) + 1) and interpolated bilinearly in
// between: xtab/ytab give the raster (xt, yt) of tile-grid nodes, utab/vtab the
// tile grid (ut, vt) of raster nodes. Tile preparation builds them; finding,
// measurement, modelling and stacking read them, so they live below all of those.
#pragma once

#include <array>
#include <cstddef>

#include "core/array.h"
#include "core/bilinear.h"

namespace zeb {

inline constexpr int TAB_NODES = 31;  // nodes of a mapping table per axis (1, 11, ..., 301)

// A 31 x 31 mapping table of one exposure (a plane of utab_n ... ytab_n).
using TabView = View2<const float>;
inline TabView tab_of(const Array3<float>& tables, int n) { return tables.plane(n); }

namespace detail {
// Cell of a table lookup: trunc(f) held to 1..30. Written with comparisons so
// that a coordinate far outside the table (or not a number) never reaches an
// integer conversion that cannot hold it.
inline int table_cell(float f) {
  if (f >= 30.0f) return 30;
  if (f >= 1.0f) return static_cast<int>(f);
  return 1;
}
}  // namespace detail

// The table interpolated at (x, y) in single precision: bilinear inside the
// node grid, the edge cell extrapolated linearly outside 1..301.
inline float rtab_tt(float x, float y, TabView t) {
  const float fi = (x - 1.0f) / 10.0f + 1.0f;
  const float fj = (y - 1.0f) / 10.0f + 1.0f;
  const int i = detail::table_cell(fi);
  const int j = detail::table_cell(fj);
  const float dx = fi - static_cast<float>(i);
  const float dy = fj - static_cast<float>(j);
  return bilinear(t(i, j), t(i + 1, j), t(i, j + 1), t(i + 1, j + 1), dx, dy);
}

// Where a whole-pixel coordinate (a raster pixel or a tile-grid point, 1..301)
// falls in a table: its cell and the fraction across it, worked out once for
// every such coordinate with the operations rtab_tt performs, so that lookups
// at whole pixels (the searches and stacks visit every one of them, for every
// exposure, in every iteration) skip the division and give the same values.
struct TableAxis {
  int cell = 1;
  float frac = 0.0f;
};
namespace detail {
inline TableAxis table_axis(float x) {
  const float f = (x - 1.0f) / 10.0f + 1.0f;
  const int cell = table_cell(f);
  return {cell, f - static_cast<float>(cell)};
}
struct PixelAxes {
  std::array<TableAxis, 302> at;
  std::array<float, 302> frac;  // at[x].frac, side by side for the row lookups
  PixelAxes() {
    for (int x = 0; x <= 301; ++x) {
      at[static_cast<std::size_t>(x)] = table_axis(static_cast<float>(x));
      frac[static_cast<std::size_t>(x)] = at[static_cast<std::size_t>(x)].frac;
    }
  }
};
inline const PixelAxes& pixel_axes() {
  static const PixelAxes axes;
  return axes;
}
}  // namespace detail

// The table position of whole pixel x (0..301).
inline const TableAxis& pixel_axis(int x) { return detail::pixel_axes().at[static_cast<std::size_t>(x)]; }

// rtab_tt at a position given by its table axes: the same value, bit for bit.
inline float rtab_at(const TableAxis& x, const TableAxis& y, TabView t) {
  const int i = x.cell, j = y.cell;
  return bilinear(t(i, j), t(i + 1, j), t(i, j + 1), t(i + 1, j + 1), x.frac, y.frac);
}

// rtab_at along a row: out[x - x1] = rtab_tt(x, y, t) for the whole pixels
// x = x1..x2 (within 0..301) of row y. The pixels of one table cell share its
// corners, so each cell's run is one loop the compiler can do several pixels
// at a time, every pixel with the operations of rtab_at.
inline void rtab_row(TabView t, const TableAxis& y, int x1, int x2, float* out) {
  const detail::PixelAxes& axes = detail::pixel_axes();
  const int j = y.cell;
  const float fy = y.frac;
  int x = x1;
  while (x <= x2) {
    const int i = axes.at[static_cast<std::size_t>(x)].cell;
    int last = x;
    while (last < x2 && axes.at[static_cast<std::size_t>(last + 1)].cell == i) ++last;
    const float t00 = t(i, j), t10 = t(i + 1, j), t01 = t(i, j + 1), t11 = t(i + 1, j + 1);
    const float* fx = axes.frac.data() + x;
    float* o = out + (x - x1);
    for (int k = 0; k <= last - x; ++k) o[k] = bilinear(t00, t10, t01, t11, fx[k], fy);
    x = last + 1;
  }
}

// Raster position of a tile-grid point, and tile-grid position of a raster point.
inline float xt_tuv(float ut, float vt, TabView xtab, TabView) { return rtab_tt(ut, vt, xtab); }
inline float yt_tuv(float ut, float vt, TabView, TabView ytab) { return rtab_tt(ut, vt, ytab); }
inline float ut_txy(float xt, float yt, TabView utab, TabView) { return rtab_tt(xt, yt, utab); }
inline float vt_txy(float xt, float yt, TabView, TabView vtab) { return rtab_tt(xt, yt, vtab); }

}  // namespace zeb
