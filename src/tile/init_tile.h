// Tile preparation, second half: every overlapping exposure's raster read,
// calibrated and blanked where it has no data or falls outside the tile grid,
// then the bright stars near the tile and each exposure's bright-star mask.
#pragma once

#include <iosfwd>

#include "setup/run_state.h"
#include "tile/bright_mask.h"
#include "tile/tile_exposures.h"

namespace zeb {

// Fills te's rasters pixv_n, pixe_n, pixu_n and pixm_n for entries 1..Ns (the
// rasters must be allocated for at least Ns), selects the local bright stars
// into `local` and returns their number BBs. Uses settings.verbose and
// settings.show_tile.
int init_tile_b(int it, int jt, int uref_t, int vref_t, TileExposures& te, const BrightStars& bright,
                LocalBrightStars& local, const Settings& settings);

// The exposure line of entry n (the record init_tile_b prints with VERBOSE+).
void write_exposure_line(std::ostream& os, int it, int jt, int uref_t, int vref_t, const TileExposures& te, int n);

}  // namespace zeb
