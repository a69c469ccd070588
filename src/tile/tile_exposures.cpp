#include "tile/tile_exposures.h"

#include <utility>

namespace zeb {

void TileExposures::allocate_rasters(int ns_alloc) {
  const long n = ns_alloc > 0 ? ns_alloc : 0;
  for (auto* a : {&pixv_n, &pixe_n, &pixm_n, &pixf_n, &pixd_n, &pixt_n, &pixv_h, &pixe_h})
    a->resize(TILE_GRID, TILE_GRID, n, 0.0f);
  pixu_n.resize(TILE_GRID, TILE_GRID, n, 0);
}

void TileExposures::swap_rasters(TileExposures& other) {
  for (auto [a, b] : {std::pair{&pixv_n, &other.pixv_n}, std::pair{&pixe_n, &other.pixe_n},
                      std::pair{&pixm_n, &other.pixm_n}, std::pair{&pixf_n, &other.pixf_n},
                      std::pair{&pixd_n, &other.pixd_n}, std::pair{&pixt_n, &other.pixt_n},
                      std::pair{&pixv_h, &other.pixv_h}, std::pair{&pixe_h, &other.pixe_h}})
    std::swap(*a, *b);
  std::swap(pixu_n, other.pixu_n);
}

}  // namespace zeb
