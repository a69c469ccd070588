// Shared set-up of the tile tests: image slots whose linear transformation
// puts the tile centre on a chosen raw pixel of an exposure.
#pragma once

#include <string>

#include "core/array.h"
#include "geometry/distortion.h"
#include "setup/run_state.h"
#include "tile/tile_exposures.h"

namespace zeb::test {

// The reference centre of tile (4, 3).
inline constexpr int kUref = 436, kVref = 316;

// Slot g: a single-chip exposure of camera kkk (7 or 9) in filter slot fff,
// with corrected pixels equal to reference pixels (a unit linear map) and the
// tile centre (uref, vref) landing on raw (x0, y0).
inline void place_slot(ImageSlots& s, int g, int kkk, int uref, int vref, double x0, double y0,
                       const std::string& file, int fff = 1) {
  s.kkk_g(g) = kkk;
  s.fff_g(g) = fff;
  s.flt_g(g) = kkk == 9 ? 2 : 0;
  s.rap_g(g) = 2;
  s.filegcs_g(g) = "NULL";
  s.filepsf_g(g) = "NULL";
  s.filename_g(g) = file;
  s.pos_g(g) = "111111111";
  s.fnd_g(g) = "111000000";
  s.msk_g(g) = 2.0f;
  s.oth_g(g) = 1.0f;
  double xc = 0, yc = 0;
  gc_cf(x0, y0, xc, yc, kkk, s.flt_g(g), 1, "NULL");
  s.ucen_cg(1, g) = uref;
  s.vcen_cg(1, g) = vref;
  s.xcen_cg(1, g) = xc;
  s.ycen_cg(1, g) = yc;
  s.icen_cg(1, g) = static_cast<int>(x0);
  s.jcen_cg(1, g) = static_cast<int>(y0);
  s.ag_cg(1, g) = s.dg_cg(1, g) = s.ga_cg(1, g) = s.gd_cg(1, g) = 1.0;
  s.bg_cg(1, g) = s.cg_cg(1, g) = s.gb_cg(1, g) = s.gc_cg(1, g) = 0.0;
  s.zp_cg(1, g) = 0.0f;
  s.sc_cg(1, g) = 1.0f;
}

inline ImageSlots make_slots(int gs) {
  ImageSlots s;
  s.allocate(gs, 2);
  s.gs = gs;
  return s;
}

// Tables that make the raster and the tile grid one and the same (xt = ut).
inline void identity_tables(TileExposures& te, int n) {
  for (int l = 1; l <= TAB_NODES; ++l)
    for (int k = 1; k <= TAB_NODES; ++k) {
      te.utab_n(k, l, n) = te.xtab_n(k, l, n) = static_cast<float>(10 * (k - 1) + 1);
      te.vtab_n(k, l, n) = te.ytab_n(k, l, n) = static_cast<float>(10 * (l - 1) + 1);
    }
}

}  // namespace zeb::test
