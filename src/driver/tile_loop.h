// The tile loop: the reference frame visited row by row of tiles (JT outer,
// IT inner), each tile prepared, its local list loaded from the master list,
// searched and measured, committed, and released.
#pragma once

#include <ostream>
#include <vector>

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

// A tile that had exposures and has been worked on: where it lies and the
// master entries its passes wrote (ascending, each once).
struct FinishedTile {
  int it = 0, jt = 0;
  int uref_t = 0;
  long art_passes = 0;  // mode A: artificial-star passes met by the run so far
  std::vector<int> committed;
};

// Told as the loop goes, after the logs have received a tile's records (the
// run's checkpoint listens).
class TileLoopObserver {
 public:
  virtual ~TileLoopObserver() = default;
  virtual void tile_finished(const FinishedTile& tile) = 0;
  // The row's strips are in the mosaic files.
  virtual void row_finished(int jt) = 0;
};

// Where a resumed run continues: row jt, from tile next_it on (the tiles
// before it are done and, when mid_row, their strips already restored).
struct LoopStart {
  int jt = 0;  // 0: from the beginning of the range
  int next_it = 0;
  bool mid_row = false;
  long art_passes = 0;  // mode A: passes met before the loop continues
};

// Runs every tile of the range. The "LOGK.SETUP" log of `logs` receives one
// line per tile pass; every log receives a tile's records when the tile ends.
// With `mosaics` (on outside mode A) every row of tiles resets the strips, each
// tile pastes its final stacks into them, and the row's end writes them into
// the mosaic files. With `progress`, every tile the loop works on (inside the
// window, and in mode A holding artificial stars) is reported when it ends.
// `observer` is told of every finished tile and row; `start` is where a
// resumed run continues.
void run_tile_loop(RunState& run, const SpatialHash& hash_000, const SpatialHash& hash_art, CatalogueLogs& logs,
                   Mosaics* mosaics = nullptr, RunProgress* progress = nullptr, TileLoopObserver* observer = nullptr,
                   LoopStart start = {});

// True when the inner region of the tile centred at (uref_t, vref_t) meets the
// run's U/V window.
bool tile_in_window(const Settings& settings, int uref_t, int vref_t);

// True unless the run asked for one position (ONEOFF) outside the tile's inner region.
bool tile_has_oneoff(const Settings& settings, int uref_t, int vref_t);

}  // namespace zeb
