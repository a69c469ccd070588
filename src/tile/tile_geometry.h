// Tile geometry: which exposure chips overlap a tile, and the tables that tie
// each exposure raster to the tile grid.
//
// Three coordinate systems meet here: the reference frame (u, v); the tile
// grid ut = 2 (u - UREF_T) + 151 (1..301, two steps per reference pixel); and
// the exposure raster xt = x - itil + 151 (1..301, one step per raw pixel,
// raster pixel 151 at the raw pixel (itil, jtil) nearest the tile centre).
// Each exposure carries four 31 x 31 tables, exact at their nodes (through the
// full distortion solution) and interpolated bilinearly in between.
#pragma once

#include <string>

#include "core/array.h"
#include "geometry/tile_tables.h"
#include "setup/run_state.h"
#include "tile/tile_exposures.h"

namespace zeb {

// Raw-pixel extent (inclusive) of chip c (1..4) of camera code kkk (1..10); the
// two-chip cameras share one 4096 x 4096 frame, chip 2 in rows 1..2048 and
// chip 1 in rows 2049..4096. A chip or code out of range stops the run
// ("imin_KKK_C: c out of bounds" and likewise).
int imin_kkk_c(int kkk, int c);
int imax_kkk_c(int kkk, int c);
int jmin_kkk_c(int kkk, int c);
int jmax_kkk_c(int kkk, int c);

// Raw position of a reference-frame point through the tables of an exposure
// whose raster is centred on (itil, jtil).
float xr_uv(double u, double v, TabView xtab, TabView ytab, int itil, int jtil, int uref_t, int vref_t);
float yr_uv(double u, double v, TabView xtab, TabView ytab, int itil, int jtil, int uref_t, int vref_t);

// Tabulates the mapping of one exposure: xtab/ytab at the tile-grid nodes,
// utab/vtab at the raster nodes. The linear part is anchored at the raster
// centre (itil, jtil) with corrected position (xtil, ytil) and reference-frame
// position (util, vtil); ga..gd map corrected offsets to (u, v) offsets.
void trans_tile(int uref_t, int vref_t, int itil, int jtil, double xtil, double ytil, double util, double vtil,
                double ga, double gb, double gc, double gd, int kkk, int chip, int flt, const std::string& filegcs,
                View2<float> utab, View2<float> vtab, View2<float> xtab, View2<float> ytab);

// Finds the exposure chips whose 301 x 301 raster around the tile centre
// shares at least a strip with the chip (slot order, chips 1..cs_kkk within a
// slot), fills te's records 1..Ns and their tables, and sets te.ns. More than
// NDIM overlapping chips stops the run. `it` and `jt` only identify the tile.
void init_tile_a(int it, int jt, int uref_t, int vref_t, const ImageSlots& slots, TileExposures& te, bool verbose);

}  // namespace zeb
