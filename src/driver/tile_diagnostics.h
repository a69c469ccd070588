// The diagnostic images and region files of a tile that SHOW_TILES+ and
// SHOW_TILE+ ask for, written into the sub-directory "AUX/" (which the run
// does not create): in every finding iteration the stacks finding is about to
// search and, after it, the local list and the finding maps; at the end of the
// tile its final stacks, maps and local list. Each tile overwrites the images
// of the previous one.
#pragma once

#include <string>

#include "driver/tile_state.h"
#include "output/catalogue_logs.h"
#include "setup/run_state.h"

namespace zeb {

// "AUX/SHOW_TILE_NIT<nit>_<kind><f>.fits": f is the filter slot of a stack,
// 0 for a finding map.
std::string show_tile_name(int nit, char kind, int f);

// Before finding in iteration nit (show_tiles): the value, residual and mask
// stacks of the tile as they stand, written per filter slot 1..fs as kinds
// "S" (residual), "V" (values), "N" (exposures in the value stack) and "M"
// (mask level).
void show_iteration_stacks(Tile& tile, int nit, int fs);

// After finding in iteration nit (show_tiles): "ZEB: reg_tile... Ls: ", the
// local list's region files (reg_tile) and the five finding maps of the
// iteration as kinds "P", "D", "Q", "C" and "Y".
void show_iteration_maps(const Tile& tile, int nit, const Settings& settings, CatalogueLogs& logs);

// End of a tile (show_tile): the final stacks as iteration 9's kinds "V", "S",
// "F" (star model), "M" and "N" per filter slot, and the tile's final finding
// maps as "P0", "Q0", "D0", "C0" and "Y0".
void show_final_images(const Tile& tile, int fs);

}  // namespace zeb
