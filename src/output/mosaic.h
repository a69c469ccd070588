// Mosaic stacks: images of the whole reference frame built row of tiles by row
// of tiles. Each tile pastes the central part of its 301 x 301 tile-grid stacks
// into strip buffers one tile-row high; at the end of the row the strips are
// written into the mosaic files, which were created blank at start-up.
//
// X1 mosaics are 1200 x 1200 at the reference sampling (column u, row v), X2
// mosaics 2400 x 2400 at twice that sampling (column 2u, row 2v). Strips hold
// value - 32000 as 16-bit numbers; the mosaics are never held whole.
//
// Files (K = filter slot): "LOGR.STACK_X1_V"K, "S"K, "M"K (16-bit j2, scaled
// by scl_f(K)), "N"K (byte), and the finding maps "LOGR.STACK_X1_P0.fits",
// "Q0", "D0", "C0", "Y0" (byte); the same with X2.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/array.h"
#include "core/limits.h"
#include "setup/run_state.h"

namespace zeb {

// Strip fills, stored values (value - 32000): -25 for the V, S, M stacks, -1
// for counts and the P, Q, D, C maps, and 0 in the Y map.
inline constexpr std::int16_t STRIP_FILL_STACK = -32025;  // bit pattern 33511
inline constexpr std::int16_t STRIP_FILL_COUNT = -32001;  // bit pattern 33535
inline constexpr std::int16_t STRIP_FILL_Y = 0;

// Real pastes are clipped to this range after the offset.
inline constexpr int STRIP_CLIP = 32750;

// The strips of one sampling (zoom 1: X1, zoom 2: X2).
struct MosaicStrips {
  explicit MosaicStrips(int zoom);

  int zoom;       // 1 or 2
  int side;       // mosaic width and height: 1200 or 2400
  int rows;       // strip height: 151 or 301
  int row_first;  // strip rows written into the mosaic: 16..136 or 31..271
  int row_last;
  // Per filter slot (side x rows x FDIM): V, S, M stacks and the N counts.
  Array3<std::int16_t> stackv_sf, stackd_sf, stackm_sf, stackn_sf;
  // The finding maps P, Q, D, C, Y (side x rows).
  Array2<std::int16_t> stackp_s, stackq_s, stackd_s, stackc_s, stacky_s;

  // Every strip filled with its initial value.
  void reset();
};

// Pasting of a tile image into a strip plane (side x rows), for the tile
// centred at reference column uref_t; only where the stack mask of the source
// grid pixel is 1 and the target column lies inside the mosaic.
//
// X1: tile-local 1x pixels (i1, j1), 16..136, go to column i1 + uref_t - 76 and
// strip row j1; their grid pixel is (2 i1 - 1, 2 j1 - 1). The real form stores
// trunc(scale x mean - 32000), clipped to -32750..32750, where mean is the
// mask-weighted 3 x 3 mean around the grid pixel (weights 1, 0.5 at the edges,
// 0.25 at the corners); the 16-bit form stores value - 32000.
void strip1_update_r4_j2(View2<std::int16_t> strip, View2<const float> tile, View2<const std::uint8_t> mask,
                         int uref_t, float scale);
void strip1_update_i2_j2(View2<std::int16_t> strip, View2<const std::int16_t> tile, View2<const std::uint8_t> mask,
                         int uref_t);
// X2: grid pixels (i, j), 31..271, go to column i + 2 uref_t - 151 and strip
// row j; the real form stores trunc(scale x value - 32000), clipped.
void strip2_update_r4_j2(View2<std::int16_t> strip, View2<const float> tile, View2<const std::uint8_t> mask,
                         int uref_t, float scale);
void strip2_update_i2_j2(View2<std::int16_t> strip, View2<const std::int16_t> tile, View2<const std::uint8_t> mask,
                         int uref_t);

// The stacks of one filter slot of a tile (301 x 301 each).
struct TileFilterStacks {
  View2<const float> stackv;   // exposure values (stackv_tf)
  View2<const float> stacks;   // residuals (stacks_tf)
  View2<const float> stackm;   // mask levels (stackm_tf)
  View2<const std::int16_t> stackn;  // exposures used (stackn_tf)
};

// The tile's final finding maps (stackpu, stackqu, stackdu, stackcu, stackyu).
struct TileFindingMaps {
  View2<const std::int16_t> stackpu, stackqu, stackdu, stackcu, stackyu;
};

// The mosaics of a run: which samplings are on, their strips, and whether the
// current row of tiles had a tile with exposures.
struct Mosaics {
  int fs = 0;
  std::vector<float> scl_f;  // per filter slot, the scale of the j2 mosaics
  std::unique_ptr<MosaicStrips> x1, x2;
  bool row_has_data = false;

  bool on() const { return x1 || x2; }
};

// Start-up: nothing in mode A or with both mosaics off; otherwise allocates the
// strips ("ALLOCATE MOSAIC STRIP-STACKS...") and creates every mosaic file blank
// at full size ("INITIALIZE X1 MOSAICS...", "INITIALIZE X2 MOSAICS..."). With
// `existing` (a resumed run) the files are not created but must be the ones an
// interrupted run created (run-time error otherwise).
Mosaics init_mosaics(const Settings& settings, const FilterSlots& filters, bool existing = false);

// Start of a row of tiles: every strip back to its initial value, the row's
// data flag cleared ("INITIALIZE THE STRIP..." messages).
void init_strips(Mosaics& mosaics);

// End of a tile: its stacks (filter slots 1..fs) and, when given, its finding
// maps pasted into the strips of every sampling that is on.
void paste_tile_stacks(Mosaics& mosaics, std::span<const TileFilterStacks> stacks, const TileFindingMaps* maps,
                       View2<const std::uint8_t> stacktu, int uref_t, bool verbose);

// The strip pixels a tile centred at uref_t pastes into (every plane of every
// sampling that is on), as bytes; and putting such bytes back, which also marks
// the row as having data. A checkpoint keeps them for the tiles of the current
// row, so an interrupted row can be rebuilt without redoing its tiles.
std::string strip_region_bytes(const Mosaics& mosaics, int uref_t);
void restore_strip_region(Mosaics& mosaics, int uref_t, std::string_view bytes);

// End of a row of tiles centred at vref_t: when a tile of the row had data,
// the strips are written into the mosaic files.
void write_strips(const Mosaics& mosaics, int vref_t, bool verbose);

// The file names of one sampling (zoom 1 or 2): the stacks of filter slot k
// for the letters V, S, M, N, and the maps for P, Q, D, C, Y.
std::string stack_file_name(int zoom, char letter, int k);
std::string map_file_name(int zoom, char letter);

}  // namespace zeb
