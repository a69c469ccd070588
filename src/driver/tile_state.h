// The data of one tile while it is processed: its geometry, exposures, local
// PSFs, stacks, finding maps, local list and per-exposure results, the counters
// of its finding iterations and its artificial stars. Created when a tile
// starts and released when it ends.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "core/array.h"
#include "driver/master_hash.h"
#include "driver/tile_art.h"
#include "find/find_tile.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "psf/psf.h"
#include "measure/tile_stacks.h"
#include "tile/bright_mask.h"
#include "tile/tile_exposures.h"

namespace zeb {

inline constexpr int NIT_COUNTS = 9;

// The range NARTi..NARTf of artificial stars a tile's passes inject (0..0:
// none); the progress lines show it.
struct ArtRange {
  int narti = 0, nartf = 0;
};

// Everything one tile holds while it is processed; released when the tile ends.
struct Tile {
  TileLimits limits;
  SearchWindow window;  // of the current pass
  TileExposures exposures;
  LocalBrightStars bright;
  int bbs = 0;
  Array3<float> psf_n;             // local PSFs, 101 x 101 x Ns, tapered
  std::vector<LocalPsf> psf_eval;  // the same, ready for evaluation
  std::unique_ptr<TileStacks> stacks;  // allocated once the tile has exposures
  std::unique_ptr<LocalList> local = std::make_unique<LocalList>();
  std::unique_ptr<LocalExposureResults> results;  // per star and exposure, sized for Ns
  std::unique_ptr<FindingMaps> maps = std::make_unique<FindingMaps>();
  // The working maps of finding, kept by the tile loop for all the searches of the run.
  FindWorkspace* find_work = nullptr;
  int ls = 0, lo = 1;
  int nmasto = 0;  // master stars when the pass began its finding iterations
  std::array<int, NIT_COUNTS> found{};  // stars added by the finding step of each iteration
  ArtRange art_range;  // the artificial stars its passes inject
  std::vector<TileArtStar> art;  // artificial stars of the tile (modes A and C)
  ArtPass pass;                  // mode A: the star injected in the current pass
  std::vector<int> committed;    // master entries written by the passes so far
  // Mode A: the results reported for the injected star, in the one entry the
  // list is made with.
  MasterList art_report = [] {
    MasterList m;
    m.allocate(FDIM, 1);
    return m;
  }();
};

}  // namespace zeb
