// The measuring part of a tile pass: the finding iterations that add new stars
// to the local list, the final measurement of every local star, the choice of
// the star that answers for an injected artificial star, and the commit of the
// tile's stars to the master list.
#pragma once

#include "driver/tile_state.h"
#include "output/catalogue_logs.h"
#include "setup/run_state.h"

namespace zeb {

// The finding iterations NITMIN..NITMAX (not in mode D, which only sets Lo to
// 1): re-subtract the model of the local stars from the exposures selected for
// each iteration, find new stars, record the finding-map peak at an injected
// star (mode A), measure the stars with method 0. With show_tiles each
// iteration's stacks, maps and local list go to "AUX/" (the region files
// through `logs`). Returns the iteration counter's value after the loop (0 when
// the loop does not run).
int finding_iterations(Tile& tile, const RunState& run, CatalogueLogs& logs);

// The final measurement of local stars 1..Ls: method 0, the model subtracted
// from every exposure, methods 2, 1 and 3 with their per-filter averages, and
// the local sky of every star.
void final_measurement(Tile& tile, const RunState& run);

// Mode A: the local star nearest the injected star (strictly within 9.999
// reference pixels) answers for it under the artificial star's identifier;
// when there is none, entry 1 is blanked and used (Ls becomes 1).
void choose_reported_star(Tile& tile);

// Writes the committed stars of the pass into the master list (new stars of
// the inner region get the next identifiers); in mode A the reported star
// into the tile's report entry instead. Returns the stars added.
int commit_pass(Tile& tile, RunState& run);

// The finding-map peak recorded for the injected star of mode A: over the grid
// pixels bracketing (ia, ja), i outer and j inner, every pixel whose P count is
// at least the recorded one replaces the record (P, Q, D, C and nit). With
// `verbose` each recorded pixel prints its "----> FILLFIND: " line and writes
// the five maps as "stackp_t.fits" ... "stacky_t.fits".
void record_art_peak(const FindingMaps& maps, int nit, ArtPass& pass, bool verbose);

}  // namespace zeb
