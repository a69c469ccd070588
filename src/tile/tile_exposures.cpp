#include "tile/tile_exposures.h"

#include <algorithm>
#include <utility>

#include "core/parallel.h"

namespace zeb {

void TileExposures::allocate_rasters(int ns_alloc) {
  const int n = ns_alloc > 0 ? ns_alloc : 0;
  const auto floats = {&pixv_n, &pixe_n, &pixm_n, &pixf_n, &pixd_n, &pixt_n, &pixv_h, &pixe_h};
  for (auto* a : floats) a->reshape(TILE_GRID, TILE_GRID, n);
  pixu_n.reshape(TILE_GRID, TILE_GRID, n);
  // Every raster starts at 0, exposure by exposure on the threads.
  parallel_for(1, n, [&](int k, int) {
    for (auto* a : floats) {
      const View2<float> plane = a->plane(k);
      std::fill(plane.data(), plane.data() + plane.size(), 0.0f);
    }
    const View2<std::uint8_t> flags = pixu_n.plane(k);
    std::fill(flags.data(), flags.data() + flags.size(), std::uint8_t{0});
  });
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
