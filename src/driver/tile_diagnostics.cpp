#include "driver/tile_diagnostics.h"

#include <iostream>

#include "core/fortran_format.h"
#include "driver/tile_images.h"
#include "imageio/fits.h"

namespace zeb {

namespace {

// The images are tile-grid images like the finding step's own "_x1" count
// maps, and are written with the same zoom (1).
constexpr float kTileZoom = 1.0f;

void write_real(const std::string& name, View2<const float> image) {
  writfits_r4_ltv(name, image, TILE_GRID, TILE_GRID, kTileZoom);
}

void write_counts(const std::string& name, View2<const std::int16_t> image) {
  writfits_i2_ltv(name, image, TILE_GRID, TILE_GRID, kTileZoom);
}

View2<const float> plane(const Array3<float>& a, int f) { return a.plane(f); }
View2<const std::int16_t> plane(const Array3<std::int16_t>& a, int f) { return a.plane(f); }
View2<const std::int16_t> map(const Array2<std::int16_t>& a) { return a.view(); }

// The five finding maps in the order the images are written.
void write_maps(const FindingMaps& m, int nit) {
  write_counts(show_tile_name(nit, 'P', 0), map(m.stackp_t));
  write_counts(show_tile_name(nit, 'D', 0), map(m.stackd_t));
  write_counts(show_tile_name(nit, 'Q', 0), map(m.stackq_t));
  write_counts(show_tile_name(nit, 'C', 0), map(m.stackc_t));
  write_counts(show_tile_name(nit, 'Y', 0), map(m.stacky_t));
}

}  // namespace

std::string show_tile_name(int nit, char kind, int f) {
  return fortran_record("('AUX/SHOW_TILE_NIT',i1.1,'_',a1,i1,'.fits')", nit, std::string(1, kind), f);
}

void show_iteration_stacks(Tile& tile, int nit, int fs) {
  TileStacks& s = *tile.stacks;
  stack_values_and_masks(tile.exposures, s);
  stack_residuals(tile.exposures, s);
  for (int f = 1; f <= fs; ++f) {
    write_real(show_tile_name(nit, 'S', f), plane(s.stacks_tf, f));
    write_real(show_tile_name(nit, 'V', f), plane(s.stackv_tf, f));
    write_counts(show_tile_name(nit, 'N', f), plane(s.stackn_tf, f));
    write_real(show_tile_name(nit, 'M', f), plane(s.stackm_tf, f));
  }
}

void show_iteration_maps(const Tile& tile, int nit, const Settings& st, CatalogueLogs& logs) {
  write_list(std::cout, "ZEB: reg_tile... Ls: ", tile.ls);
  const LocalList& l = *tile.local;
  logs.reg_tile(tile.ls, l.u0_l, l.v0_l, l.w0_l, nit, st);
  write_maps(*tile.maps, nit);
}

void show_final_images(const Tile& tile, int fs) {
  constexpr int kFinal = 9;
  const TileStacks& s = *tile.stacks;
  for (int f = 1; f <= fs; ++f) {
    write_real(show_tile_name(kFinal, 'V', f), plane(s.stackv_tf, f));
    write_real(show_tile_name(kFinal, 'S', f), plane(s.stacks_tf, f));
    write_real(show_tile_name(kFinal, 'F', f), plane(s.stackf_tf, f));
    write_real(show_tile_name(kFinal, 'M', f), plane(s.stackm_tf, f));
    write_counts(show_tile_name(kFinal, 'N', f), plane(s.stackn_tf, f));
  }
  write_maps(*tile.maps, kFinal);
}

}  // namespace zeb
