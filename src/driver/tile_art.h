// Artificial stars of one tile (modes A and C): the tile's list taken from the
// artificial-star hash, its "LOGL.LOCAL_ART" log, and what one artificial-star
// pass of mode A records about its injected star.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/limits.h"
#include "measure/art_sky.h"
#include "setup/run_state.h"

namespace zeb {

struct TileArtStar {
  int id = 0;                // index in the run's artificial-star list
  double u = 0.0, v = 0.0;   // reference frame
  std::array<double, FDIM> z{};  // flux per filter slot
};

// The members of one artificial-star hash cell, in insertion order.
std::vector<TileArtStar> tile_art_list(const std::vector<int>& cell, const ArtificialStars& art);

// One "LOGL.LOCAL_ART" line: the star's index in the tile, identifier, u, v and
// its fluxes in filter slots 1..fs.
std::string local_art_line(int index, const TileArtStar& star, int fs);

// Writes the tile's list to `path` (created or overwritten, closed after it).
void write_local_art(const std::vector<TileArtStar>& list, int fs, const std::string& path);

// Search window of a pass on the tile grid.
struct SearchWindow {
  int i1 = 1, i2 = TILE_GRID, j1 = 1, j2 = TILE_GRID;
};

// The window around an injected star at tile-grid position (ia, ja):
// trunc(max(1, ia - 40)) .. trunc(min(301, ia + 40)), likewise in j.
SearchWindow art_window(double ia, double ja);

// Tile-grid coordinate 2 (u - ref) + 151 of a reference-frame coordinate.
inline double tile_grid_of(double u, int ref) { return 2.0 * (u - ref) + 151.0; }

// One pass of mode A: the injected star, where it lies, what add_art reported
// and the local sky at it, and the strongest finding-map peak recorded at its
// position (P, Q, D, C and the iteration; -1 until one is recorded).
struct ArtPass {
  int nartu = 0;
  TileArtStar star;
  double ia = 0.0, ja = 0.0;
  ArtLevels levels;
  std::array<float, FDIM> sky{}, sky_scatter{};
  int peak_p = -1, peak_q = -1, peak_d = -1, peak_c = -1, peak_nit = -1;
  int peak_i = 0, peak_j = 0;  // grid pixel of the record
};

}  // namespace zeb
