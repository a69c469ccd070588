// Mosaic stacks: strips, pasting of tile stacks, creation and strip writes.
#include "output/mosaic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "imageio/fits.h"

namespace zeb {

namespace {

constexpr int kStackOffset = 32000;  // strips and j2 mosaics hold value - 32000

// Tile-local 1x pixels (X1) and grid pixels (X2) a tile pastes.
constexpr int kX1First = 16, kX1Last = 136, kX1Centre = 76;
constexpr int kX2First = 31, kX2Last = 271, kX2Centre = 151;

// A tile image must cover the tile grid, a strip plane its side x rows.
template <typename T>
void check_tile_view(const char* routine, View2<const T> tile, View2<const std::uint8_t> mask) {
  if (tile.nx() >= TILE_GRID && tile.ny() >= TILE_GRID && mask.nx() >= TILE_GRID && mask.ny() >= TILE_GRID) return;
  write_list(std::cout, routine, ": tile image or mask smaller than the tile grid");
  stop_run();
}

void check_strip_view(const char* routine, View2<std::int16_t> strip, int side, int last_row) {
  if (strip.nx() >= side && strip.ny() >= last_row) return;
  write_list(std::cout, routine, ": strip smaller than ", side, " x ", last_row);
  stop_run();
}

// trunc(x - 32000) clipped to -32750..32750. A value that is not a number
// (a stack never holds one, but a pasted image is not trusted) lands on the
// low clip, the same as any value far below the scale.
std::int16_t j2_clipped(double scaled) {
  const double x = scaled - kStackOffset;
  if (!(x > -STRIP_CLIP)) return static_cast<std::int16_t>(-STRIP_CLIP);
  if (x > STRIP_CLIP) return static_cast<std::int16_t>(STRIP_CLIP);
  return static_cast<std::int16_t>(std::trunc(x));
}

// 16-bit values carry the offset unclipped; the sum wraps modulo 2^16 as a
// 16-bit store does. The byte mosaics keep the low byte, which the offset
// (a multiple of 256) leaves unchanged, so the wrap never alters a written pixel.
std::int16_t j2_offset(std::int16_t v) { return static_cast<std::int16_t>(static_cast<int>(v) - kStackOffset); }

// Mask-weighted mean of the 3 x 3 grid pixels around (gi, gj): weight 1 at the
// centre, 0.5 at the edges, 0.25 at the corners; 0 when no weight is left.
double weighted_mean_3x3(View2<const float> tile, View2<const std::uint8_t> mask, int gi, int gj) {
  double sum = 0.0, wsum = 0.0;
  for (int dj = -1; dj <= 1; ++dj) {
    for (int di = -1; di <= 1; ++di) {
      const double w = (di == 0 ? 1.0 : 0.5) * (dj == 0 ? 1.0 : 0.5) * mask(gi + di, gj + dj);
      sum += w * tile(gi + di, gj + dj);
      wsum += w;
    }
  }
  return wsum != 0.0 ? sum / wsum : 0.0;
}

// Tile-local range first..last whose target column (local + shift) lies in 1..side.
struct LocalRange {
  int lo, hi;
};
LocalRange columns_inside(int first, int last, int shift, int side) {
  return {std::max(first, 1 - shift), std::min(last, side - shift)};
}

}  // namespace

// ---------------------------------------------------------------------------
// Pasting.

void strip1_update_r4_j2(View2<std::int16_t> strip, View2<const float> tile, View2<const std::uint8_t> mask,
                         int uref_t, float scale) {
  check_tile_view("strip1_update_r4_j2", tile, mask);
  check_strip_view("strip1_update_r4_j2", strip, PXDIMX1, kX1Last);
  const int shift = uref_t - kX1Centre;
  const LocalRange r = columns_inside(kX1First, kX1Last, shift, PXDIMX1);
  for (int j1 = kX1First; j1 <= kX1Last; ++j1) {
    for (int i1 = r.lo; i1 <= r.hi; ++i1) {
      const int gi = 2 * i1 - 1, gj = 2 * j1 - 1;
      if (mask(gi, gj) != 1) continue;
      strip(i1 + shift, j1) = j2_clipped(static_cast<double>(scale) * weighted_mean_3x3(tile, mask, gi, gj));
    }
  }
}

void strip1_update_i2_j2(View2<std::int16_t> strip, View2<const std::int16_t> tile, View2<const std::uint8_t> mask,
                         int uref_t) {
  check_tile_view("strip1_update_i2_j2", tile, mask);
  check_strip_view("strip1_update_i2_j2", strip, PXDIMX1, kX1Last);
  const int shift = uref_t - kX1Centre;
  const LocalRange r = columns_inside(kX1First, kX1Last, shift, PXDIMX1);
  for (int j1 = kX1First; j1 <= kX1Last; ++j1) {
    for (int i1 = r.lo; i1 <= r.hi; ++i1) {
      const int gi = 2 * i1 - 1, gj = 2 * j1 - 1;
      if (mask(gi, gj) == 1) strip(i1 + shift, j1) = j2_offset(tile(gi, gj));
    }
  }
}

void strip2_update_r4_j2(View2<std::int16_t> strip, View2<const float> tile, View2<const std::uint8_t> mask,
                         int uref_t, float scale) {
  check_tile_view("strip2_update_r4_j2", tile, mask);
  check_strip_view("strip2_update_r4_j2", strip, PXDIMX2, kX2Last);
  const int shift = 2 * uref_t - kX2Centre;
  const LocalRange r = columns_inside(kX2First, kX2Last, shift, PXDIMX2);
  for (int j = kX2First; j <= kX2Last; ++j) {
    for (int i = r.lo; i <= r.hi; ++i) {
      if (mask(i, j) == 1) strip(i + shift, j) = j2_clipped(static_cast<double>(scale) * tile(i, j));
    }
  }
}

void strip2_update_i2_j2(View2<std::int16_t> strip, View2<const std::int16_t> tile, View2<const std::uint8_t> mask,
                         int uref_t) {
  check_tile_view("strip2_update_i2_j2", tile, mask);
  check_strip_view("strip2_update_i2_j2", strip, PXDIMX2, kX2Last);
  const int shift = 2 * uref_t - kX2Centre;
  const LocalRange r = columns_inside(kX2First, kX2Last, shift, PXDIMX2);
  for (int j = kX2First; j <= kX2Last; ++j) {
    for (int i = r.lo; i <= r.hi; ++i) {
      if (mask(i, j) == 1) strip(i + shift, j) = j2_offset(tile(i, j));
    }
  }
}

// ---------------------------------------------------------------------------
// Strips.

MosaicStrips::MosaicStrips(int z)
    : zoom(z),
      side(z == 1 ? PXDIMX1 : PXDIMX2),
      rows(z == 1 ? 151 : TILE_GRID),
      row_first(z == 1 ? kX1First : kX2First),
      row_last(z == 1 ? kX1Last : kX2Last),
      stackv_sf(side, rows, FDIM),
      stackd_sf(side, rows, FDIM),
      stackm_sf(side, rows, FDIM),
      stackn_sf(side, rows, FDIM),
      stackp_s(side, rows),
      stackq_s(side, rows),
      stackd_s(side, rows),
      stackc_s(side, rows),
      stacky_s(side, rows) {
  reset();
}

void MosaicStrips::reset() {
  stackv_sf.fill(STRIP_FILL_STACK);
  stackd_sf.fill(STRIP_FILL_STACK);
  stackm_sf.fill(STRIP_FILL_STACK);
  stackn_sf.fill(STRIP_FILL_COUNT);
  stackp_s.fill(STRIP_FILL_COUNT);
  stackq_s.fill(STRIP_FILL_COUNT);
  stackd_s.fill(STRIP_FILL_COUNT);
  stackc_s.fill(STRIP_FILL_COUNT);
  stacky_s.fill(STRIP_FILL_Y);
}

// ---------------------------------------------------------------------------
// File names.

std::string stack_file_name(int zoom, char letter, int k) {
  const bool x1 = zoom == 1;
  switch (letter) {
    case 'V': return fortran_record(x1 ? "('LOGR.STACK_X1_V',i1,'.fits')" : "('LOGR.STACK_X2_V',i1,'.fits')", k);
    case 'S': return fortran_record(x1 ? "('LOGR.STACK_X1_S',i1,'.fits')" : "('LOGR.STACK_X2_S',i1,'.fits')", k);
    case 'M': return fortran_record(x1 ? "('LOGR.STACK_X1_M',i1,'.fits')" : "('LOGR.STACK_X2_M',i1,'.fits')", k);
    case 'N': return fortran_record(x1 ? "('LOGR.STACK_X1_N',i1,'.fits')" : "('LOGR.STACK_X2_N',i1,'.fits')", k);
    default: break;
  }
  write_list(std::cout, "stack_file_name: no stack ", std::string(1, letter));
  stop_run();
}

std::string map_file_name(int zoom, char letter) {
  const bool x1 = zoom == 1;
  switch (letter) {
    case 'P': return x1 ? "LOGR.STACK_X1_P0.fits" : "LOGR.STACK_X2_P0.fits";
    case 'Q': return x1 ? "LOGR.STACK_X1_Q0.fits" : "LOGR.STACK_X2_Q0.fits";
    case 'D': return x1 ? "LOGR.STACK_X1_D0.fits" : "LOGR.STACK_X2_D0.fits";
    case 'C': return x1 ? "LOGR.STACK_X1_C0.fits" : "LOGR.STACK_X2_C0.fits";
    case 'Y': return x1 ? "LOGR.STACK_X1_Y0.fits" : "LOGR.STACK_X2_Y0.fits";
    default: break;
  }
  write_list(std::cout, "map_file_name: no map ", std::string(1, letter));
  stop_run();
}

// ---------------------------------------------------------------------------
// Start-up, rows and tiles.

namespace {

constexpr char kMapLetters[] = {'P', 'Q', 'D', 'C', 'Y'};

// Creates every mosaic file of a sampling, the files side by side on the
// threads (creation only reads the FITS carry-over tables).
void create_mosaic_files(const MosaicStrips& s, const Mosaics& m) {
  const float z = static_cast<float>(s.zoom);
  std::vector<std::function<void()>> creations;
  for (int k = 1; k <= m.fs; ++k) {
    const float scl = m.scl_f[static_cast<std::size_t>(k - 1)];
    for (char letter : {'V', 'S', 'M'})
      creations.emplace_back([&s, k, letter, scl, z] {
        writfits_j2_init(stack_file_name(s.zoom, letter, k), s.side, s.side, scl, z);
      });
    creations.emplace_back([&s, k, z] { writfits_b1_init(stack_file_name(s.zoom, 'N', k), s.side, s.side, z); });
  }
  for (char letter : kMapLetters)
    creations.emplace_back([&s, letter, z] { writfits_b1_init(map_file_name(s.zoom, letter), s.side, s.side, z); });
  parallel_for(0, static_cast<int>(creations.size()) - 1,
               [&](int i, int) { creations[static_cast<std::size_t>(i)](); });
}

// A mosaic an interrupted run created: it must still be the file the creation
// wrote (its kind and size), or the rows written since cannot be trusted.
void check_existing_mosaic(const std::string& name, int bitpix, int side) {
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Update);
  if (!file) run_error(name, "the mosaic of the interrupted run is missing");
  const FitsHeader h = parse_fits_header(*file, 1);
  if (h.bitpix != bitpix || h.naxis1 != side || h.naxis2 != side)
    run_error(name, "is not the mosaic the interrupted run created");
  check_data_unit(h, *file);
}

void check_mosaic_files(const MosaicStrips& s, const Mosaics& m) {
  for (int k = 1; k <= m.fs; ++k) {
    for (char letter : {'V', 'S', 'M'}) check_existing_mosaic(stack_file_name(s.zoom, letter, k), 16, s.side);
    check_existing_mosaic(stack_file_name(s.zoom, 'N', k), 8, s.side);
  }
  for (char letter : kMapLetters) check_existing_mosaic(map_file_name(s.zoom, letter), 8, s.side);
}

void paste_into(MosaicStrips& s, const Mosaics& m, std::span<const TileFilterStacks> stacks,
                const TileFindingMaps* maps, View2<const std::uint8_t> mask, int uref_t) {
  const bool x1 = s.zoom == 1;
  auto paste_real = x1 ? strip1_update_r4_j2 : strip2_update_r4_j2;
  auto paste_i2 = x1 ? strip1_update_i2_j2 : strip2_update_i2_j2;
  // Every plane is pasted on its own: the planes go to the threads.
  std::vector<std::function<void()>> pastes;
  for (int k = 1; k <= m.fs; ++k) {
    const TileFilterStacks& t = stacks[static_cast<std::size_t>(k - 1)];
    const float scl = m.scl_f[static_cast<std::size_t>(k - 1)];
    pastes.emplace_back([&, k, scl] { paste_real(s.stackv_sf.plane(k), t.stackv, mask, uref_t, scl); });
    pastes.emplace_back([&, k, scl] { paste_real(s.stackd_sf.plane(k), t.stacks, mask, uref_t, scl); });
    pastes.emplace_back([&, k, scl] { paste_real(s.stackm_sf.plane(k), t.stackm, mask, uref_t, scl); });
    pastes.emplace_back([&, k] { paste_i2(s.stackn_sf.plane(k), t.stackn, mask, uref_t); });
  }
  if (maps) {
    pastes.emplace_back([&] { paste_i2(s.stackp_s.view(), maps->stackpu, mask, uref_t); });
    pastes.emplace_back([&] { paste_i2(s.stackd_s.view(), maps->stackdu, mask, uref_t); });
    pastes.emplace_back([&] { paste_i2(s.stackq_s.view(), maps->stackqu, mask, uref_t); });
    pastes.emplace_back([&] { paste_i2(s.stackc_s.view(), maps->stackcu, mask, uref_t); });
    pastes.emplace_back([&] { paste_i2(s.stacky_s.view(), maps->stackyu, mask, uref_t); });
  }
  parallel_for(0, static_cast<int>(pastes.size()) - 1, [&](int i, int) { pastes[static_cast<std::size_t>(i)](); });
}

// Strip rows row_first..row_last of every plane into the mosaic rows of the
// tile row centred at vref_t, all columns. The files are written side by
// side on the threads. Each write parses its mosaic's header into the FITS
// carry-over tables: here into tables of its own, and the run keeps those of
// the file written last in the plain order, as a plain loop leaves them.
void write_sampling(const MosaicStrips& s, const Mosaics& m, int vref_t, bool verbose) {
  const int row0 = s.zoom * vref_t - (s.row_last - s.row_first) / 2;
  struct StripFile {
    std::string name;
    View2<const std::int16_t> plane;
    bool j2;
  };
  std::vector<StripFile> files;
  for (int k = 1; k <= m.fs; ++k) {
    files.push_back({stack_file_name(s.zoom, 'V', k), s.stackv_sf.plane(k), true});
    files.push_back({stack_file_name(s.zoom, 'S', k), s.stackd_sf.plane(k), true});
    files.push_back({stack_file_name(s.zoom, 'M', k), s.stackm_sf.plane(k), true});
    files.push_back({stack_file_name(s.zoom, 'N', k), s.stackn_sf.plane(k), false});
  }
  files.push_back({map_file_name(s.zoom, 'Q'), s.stackq_s.view(), false});
  files.push_back({map_file_name(s.zoom, 'D'), s.stackd_s.view(), false});
  files.push_back({map_file_name(s.zoom, 'P'), s.stackp_s.view(), false});
  files.push_back({map_file_name(s.zoom, 'C'), s.stackc_s.view(), false});
  files.push_back({map_file_name(s.zoom, 'Y'), s.stacky_s.view(), false});

  const bool trace = verbose && s.zoom == 2;
  std::vector<FitsCarryOver> carry(files.size());
  parallel_for(0, static_cast<int>(files.size()) - 1, [&](int i, int) {
    const StripFile& f = files[static_cast<std::size_t>(i)];
    CarryOverScope scope(carry[static_cast<std::size_t>(i)]);
    if (trace && i == 0) write_list(std::cout, "call rastX...");
    auto write = f.j2 ? writfits_j2_rastx : writfits_b1_rastx;
    write(f.name, f.plane, 1, row0, 1, s.side, s.row_first, s.row_last, s.side, s.rows, s.side, s.side);
    if (trace && i == 0) write_list(std::cout, "ret. rastX...");
  });
  fits_carry_over() = std::move(carry.back());
}

}  // namespace

Mosaics init_mosaics(const Settings& settings, const FilterSlots& filters, bool existing) {
  Mosaics m;
  if (settings.cmode == 'A') return m;
  m.fs = std::min(filters.fs, FDIM);
  for (int k = 1; k <= m.fs; ++k) m.scl_f.push_back(filters.scl_f(k));
  if (settings.mosaic_x1) {
    write_record(std::cout, "('ALLOCATE MOSAIC STRIP-STACKS...  ')");
    m.x1 = std::make_unique<MosaicStrips>(1);
  }
  if (settings.mosaic_x2) {
    write_record(std::cout, "('ALLOCATE MOSAIC STRIP-STACKS...  ')");
    m.x2 = std::make_unique<MosaicStrips>(2);
  }
  if (existing) {
    for (const MosaicStrips* s : {m.x1.get(), m.x2.get()})
      if (s) check_mosaic_files(*s, m);
    return m;
  }
  if (m.x1) {
    write_record(std::cout, "('INITIALIZE X1 MOSAICS...  ')");
    create_mosaic_files(*m.x1, m);
  }
  if (m.x2) {
    write_record(std::cout, "('INITIALIZE X2 MOSAICS...  ')");
    create_mosaic_files(*m.x2, m);
  }
  return m;
}

void init_strips(Mosaics& mosaics) {
  for (MosaicStrips* s : {mosaics.x1.get(), mosaics.x2.get()}) {
    if (!s) continue;
    write_record(std::cout, "('INITIALIZE THE STRIP...  ')");
    s->reset();
    write_record(std::cout, "('INITIALIZE THE STRIP...  DONE')");
  }
  mosaics.row_has_data = false;
}

void paste_tile_stacks(Mosaics& mosaics, std::span<const TileFilterStacks> stacks, const TileFindingMaps* maps,
                       View2<const std::uint8_t> stacktu, int uref_t, bool verbose) {
  if (!mosaics.on()) return;
  if (stacks.size() < static_cast<std::size_t>(mosaics.fs)) {
    write_list(std::cout, "paste_tile_stacks: stacks of ", static_cast<long>(stacks.size()), " filter slots, Fs: ", mosaics.fs);
    stop_run();
  }
  if (mosaics.x1) {
    if (verbose) write_list(std::cout, "ZEB: MOSAIC_X1...");
    paste_into(*mosaics.x1, mosaics, stacks, maps, stacktu, uref_t);
    if (verbose) write_list(std::cout, "   : MOSAIC_X1...");
  }
  if (mosaics.x2) {
    paste_into(*mosaics.x2, mosaics, stacks, maps, stacktu, uref_t);
    if (verbose) write_list(std::cout, "   : MOSAIC_X2...");
  }
}

// ---------------------------------------------------------------------------
// The strip region of a tile, for a checkpoint.

namespace {

// Every plane of a sampling's strips, in a fixed order.
template <typename S>
auto strip_planes(S& s) {
  std::vector<decltype(s.stackp_s.view())> planes;
  for (auto* a : {&s.stackv_sf, &s.stackd_sf, &s.stackm_sf, &s.stackn_sf})
    for (int k = 1; k <= FDIM; ++k) planes.push_back(a->plane(k));
  for (auto* a : {&s.stackp_s, &s.stackq_s, &s.stackd_s, &s.stackc_s, &s.stacky_s}) planes.push_back(a->view());
  return planes;
}

// Columns (first..last) and rows of the strips a tile centred at uref_t pastes into.
struct StripRegion {
  int c0, c1, r0, r1;
};
StripRegion region_of(const MosaicStrips& s, int uref_t) {
  const bool x1 = s.zoom == 1;
  const int shift = x1 ? uref_t - kX1Centre : 2 * uref_t - kX2Centre;
  const LocalRange r = x1 ? columns_inside(kX1First, kX1Last, shift, PXDIMX1)
                          : columns_inside(kX2First, kX2Last, shift, PXDIMX2);
  return {r.lo + shift, r.hi + shift, s.row_first, s.row_last};
}

}  // namespace

std::string strip_region_bytes(const Mosaics& mosaics, int uref_t) {
  std::string out;
  for (const MosaicStrips* s : {mosaics.x1.get(), mosaics.x2.get()}) {
    if (!s) continue;
    const StripRegion g = region_of(*s, uref_t);
    if (g.c1 < g.c0) continue;
    // A row of a plane is contiguous: it is copied whole.
    const std::size_t row_bytes = sizeof(std::int16_t) * static_cast<std::size_t>(g.c1 - g.c0 + 1);
    for (const auto& plane : strip_planes(*s))
      for (int r = g.r0; r <= g.r1; ++r) out.append(reinterpret_cast<const char*>(&plane(g.c0, r)), row_bytes);
  }
  return out;
}

void restore_strip_region(Mosaics& mosaics, int uref_t, std::string_view bytes) {
  std::size_t p = 0;
  for (MosaicStrips* s : {mosaics.x1.get(), mosaics.x2.get()}) {
    if (!s) continue;
    const StripRegion g = region_of(*s, uref_t);
    const std::size_t need = sizeof(std::int16_t) * static_cast<std::size_t>(std::max(0, g.c1 - g.c0 + 1)) *
                             static_cast<std::size_t>(g.r1 - g.r0 + 1) * (4 * FDIM + 5);
    if (bytes.size() - p < need) run_error("the saved strips of a tile are incomplete");
    for (auto plane : strip_planes(*s))
      for (int r = g.r0; r <= g.r1; ++r)
        for (int c = g.c0; c <= g.c1; ++c) {
          std::int16_t v = 0;
          std::memcpy(&v, bytes.data() + p, sizeof v);
          p += sizeof v;
          plane(c, r) = v;
        }
  }
  if (p != bytes.size()) run_error("the saved strips of a tile do not fit the mosaics of this run");
  mosaics.row_has_data = true;
}

void write_strips(const Mosaics& mosaics, int vref_t, bool verbose) {
  if (!mosaics.row_has_data) return;
  if (mosaics.x1) write_sampling(*mosaics.x1, mosaics, vref_t, false);
  if (mosaics.x2) write_sampling(*mosaics.x2, mosaics, vref_t, verbose);
}

}  // namespace zeb
