// Artificial stars of one tile (modes A and C): the tile's list taken from the
// artificial-star hash, its "LOGL.LOCAL_ART" log, and the search window of a
// mode-A pass.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "core/limits.h"
#include "measure/art_sky.h"
#include "setup/run_state.h"

namespace zeb {

// The members of one artificial-star hash cell, in insertion order.
std::vector<TileArtStar> tile_art_list(const std::vector<int>& cell, const ArtificialStars& art);

// One "LOGL.LOCAL_ART" line: the star's index in the tile, identifier, u, v and
// its fluxes in filter slots 1..fs.
std::string local_art_line(int index, const TileArtStar& star, int fs);

// Writes the tile's list to `path` (created or overwritten, closed after it).
void write_local_art(const std::vector<TileArtStar>& list, int fs, const std::string& path);

// The window around an injected star at tile-grid position (ia, ja):
// trunc(max(1, ia - 40)) .. trunc(min(301, ia + 40)), likewise in j.
SearchWindow art_window(double ia, double ja);

// Tile-grid coordinate 2 (u - ref) + 151 of a reference-frame coordinate.
inline double tile_grid_of(double u, int ref) { return 2.0 * (u - ref) + 151.0; }

}  // namespace zeb
