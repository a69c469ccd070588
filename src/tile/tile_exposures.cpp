#include "tile/tile_exposures.h"

namespace zeb {

void TileExposures::allocate_rasters(int ns_alloc) {
  const long n = ns_alloc > 0 ? ns_alloc : 0;
  for (auto* a : {&pixv_n, &pixe_n, &pixm_n, &pixf_n, &pixd_n, &pixt_n, &pixv_h, &pixe_h})
    a->resize(TILE_GRID, TILE_GRID, n, 0.0f);
  pixu_n.resize(TILE_GRID, TILE_GRID, n, 0);
}

}  // namespace zeb
