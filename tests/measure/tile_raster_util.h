// Small hand-built tiles for the model, stack, artificial-star and sky tests:
// mapping tables that place the tile grid on the exposure raster with a whole
// pixel shift (exact at the table nodes), and a PSF that is one constant value.
#pragma once

#include <cstdint>

#include "core/array.h"
#include "core/limits.h"
#include "geometry/tile_tables.h"
#include "psf/psf.h"

namespace zeb::test {

// Tables of ns exposures; exposure n maps grid (u, v) to raster (u + ox, v + oy).
struct ShiftTables {
  Array3<float> xtab_n{TAB_NODES, TAB_NODES, NDIM}, ytab_n{TAB_NODES, TAB_NODES, NDIM};
  void shift(int n, float ox, float oy) {
    for (int l = 1; l <= TAB_NODES; ++l)
      for (int k = 1; k <= TAB_NODES; ++k) {
        xtab_n(k, l, n) = static_cast<float>(10 * (k - 1) + 1) + ox;
        ytab_n(k, l, n) = static_cast<float>(10 * (l - 1) + 1) + oy;
      }
  }
  explicit ShiftTables(int ns) {
    for (int n = 1; n <= ns; ++n) shift(n, 0.0f, 0.0f);
  }
};

// A PSF grid holding c everywhere: rpsf_phot gives exactly c at whole-pixel
// offsets up to 12 pixels, and 0 beyond.
inline LocalPsf constant_psf(float c) {
  Array2<float> g(PSF_NPIX, PSF_NPIX, c);
  return LocalPsf(View2<const float>(g.data(), g.nx(), g.ny()));
}

// Rasters of ns exposures: values, errors, flags.
struct Rasters {
  Array3<float> pixv_n, pixe_n;
  Array3<std::uint8_t> pixu_n;
  Rasters(int ns, float value, float error)
      : pixv_n(TILE_GRID, TILE_GRID, ns, value), pixe_n(TILE_GRID, TILE_GRID, ns, error),
        pixu_n(TILE_GRID, TILE_GRID, ns, 0) {}
};

}  // namespace zeb::test
