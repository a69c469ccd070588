// The exposures of one tile: one record per exposure chip that overlaps the
// tile (n = 1..Ns, at most NDIM), the four 31 x 31 tables that map its raster
// to the tile grid and back, and its 301 x 301 rasters.
//
// The tile loop creates one when a tile starts (all `_n` arrays hold NDIM
// entries, as init_tile_a fills them before Ns is known), calls
// allocate_rasters(Ns) once Ns is known, and drops it when the tile ends.
#pragma once

#include <cstdint>
#include <string>

#include "core/array.h"
#include "core/limits.h"
#include "geometry/tile_tables.h"

namespace zeb {

struct TileExposures {
  int ns = 0;  // exposure chips overlapping the tile

  // Copied from the image slot g = ggg_n(n) and its chip c = ccc_n(n).
  Array1<int> ggg_n{NDIM}, ccc_n{NDIM}, kkk_n{NDIM}, fff_n{NDIM}, rap_n{NDIM}, flt_n{NDIM};
  Array1<float> sky_n{NDIM}, exp_n{NDIM}, msk_n{NDIM}, oth_n{NDIM};
  Array1<std::string> pos_n{NDIM}, fnd_n{NDIM};               // 9 characters each
  Array1<float> scl_n{NDIM}, zpu_n{NDIM};                     // sc_cg, zp_cg (magnitudes)
  Array1<double> ucen_n{NDIM}, vcen_n{NDIM}, xcen_n{NDIM}, ycen_n{NDIM};
  Array1<int> icen_n{NDIM}, jcen_n{NDIM};
  Array1<double> ag_n{NDIM}, bg_n{NDIM}, cg_n{NDIM}, dg_n{NDIM};  // (u, v) offsets -> corrected offsets
  Array1<double> ga_n{NDIM}, gb_n{NDIM}, gc_n{NDIM}, gd_n{NDIM};  // corrected offsets -> (u, v) offsets
  Array1<std::string> filepsf_n{NDIM}, filegcs_n{NDIM}, filepix_n{NDIM};  // 80 characters each

  // Centre of the exposure raster: the raw pixel nearest the tile centre, its
  // distortion-corrected and its reference-frame position.
  Array1<int> itil_n{NDIM}, jtil_n{NDIM};
  Array1<double> xtil_n{NDIM}, ytil_n{NDIM}, util_n{NDIM}, vtil_n{NDIM};

  // Mapping tables, 31 x 31 per exposure, node k at coordinate 10 (k - 1) + 1:
  // utab/vtab give the tile grid (ut, vt) of raster nodes, xtab/ytab the raster
  // (xt, yt) of tile-grid nodes.
  Array3<float> utab_n{TAB_NODES, TAB_NODES, NDIM}, vtab_n{TAB_NODES, TAB_NODES, NDIM};
  Array3<float> xtab_n{TAB_NODES, TAB_NODES, NDIM}, ytab_n{TAB_NODES, TAB_NODES, NDIM};

  // Rasters, 301 x 301 x Ns (empty until allocate_rasters): values, errors,
  // pixel flags, bright-star mask level, and the working images of the tile
  // loop (model, residual, scratch, and the held copies of values and errors).
  Array3<float> pixv_n, pixe_n, pixm_n;
  Array3<std::uint8_t> pixu_n;
  Array3<float> pixf_n, pixd_n, pixt_n, pixv_h, pixe_h;

  // Exchanges the rasters' storage with `other`. A run lends one set of
  // rasters to each tile in turn, so that allocate_rasters refills memory the
  // run already has instead of allocating (and faulting in) it anew.
  void swap_rasters(TileExposures& other);

  // Allocates every raster for `ns_alloc` exposures, all zero.
  void allocate_rasters(int ns_alloc);
};

}  // namespace zeb
