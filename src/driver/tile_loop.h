// The tile loop: the reference frame visited row by row of tiles (JT outer,
// IT inner), each tile prepared, its local list loaded from the master list,
// searched and measured, committed, and released.
#pragma once

#include <ostream>

#include "driver/master_hash.h"
#include "output/mosaic.h"
#include "output/catalogue_logs.h"
#include "setup/run_state.h"

namespace zeb {

class RunProgress;

// The tiles to visit; an unset range (IT min -1) becomes IT 1..10, JT 1..10.
struct TileRange {
  int itmin = 1, itmax = 10, jtmin = 1, jtmax = 10;
};

// Settles and prints the tile range (the "TILES TO TO GO THROUGH" block).
TileRange tile_range(Settings& settings);

// Runs every tile of the range. The "LOGK.SETUP" log of `logs` receives one
// line per tile pass; every log is flushed when a tile ends. With `mosaics`
// (on outside mode A) every row of tiles resets the strips, each tile pastes
// its final stacks into them, and the row's end writes them into the mosaic
// files. With `progress`, every tile the loop works on (inside the window,
// and in mode A holding artificial stars) is reported when it ends.
void run_tile_loop(RunState& run, const SpatialHash& hash_000, const SpatialHash& hash_art, CatalogueLogs& logs,
                   Mosaics* mosaics = nullptr, RunProgress* progress = nullptr);

// True when the inner region of the tile centred at (uref_t, vref_t) meets the
// run's U/V window.
bool tile_in_window(const Settings& settings, int uref_t, int vref_t);

// True unless the run asked for one position (ONEOFF) outside the tile's inner region.
bool tile_has_oneoff(const Settings& settings, int uref_t, int vref_t);

}  // namespace zeb
