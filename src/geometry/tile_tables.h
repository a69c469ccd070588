// The mapping tables between a tile grid and an exposure raster, and their
// lookups. Each exposure of a tile carries four 31 x 31 tables, exact at their
// nodes (node k at coordinate 10 (k - 1) + 1) and interpolated bilinearly in
// between: xtab/ytab give the raster (xt, yt) of tile-grid nodes, utab/vtab the
// tile grid (ut, vt) of raster nodes. Tile preparation builds them; finding,
// measurement, modelling and stacking read them, so they live below all of those.
#pragma once

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

// Raster position of a tile-grid point, and tile-grid position of a raster point.
inline float xt_tuv(float ut, float vt, TabView xtab, TabView) { return rtab_tt(ut, vt, xtab); }
inline float yt_tuv(float ut, float vt, TabView, TabView ytab) { return rtab_tt(ut, vt, ytab); }
inline float ut_txy(float xt, float yt, TabView utab, TabView) { return rtab_tt(xt, yt, utab); }
inline float vt_txy(float xt, float yt, TabView, TabView vtab) { return rtab_tt(xt, yt, vtab); }

}  // namespace zeb
