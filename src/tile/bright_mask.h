// Bright-star masking: the bright stars near a tile, and for each exposure the
// light those stars are expected to put into every raster pixel (a halo and
// two diffraction spikes fixed to the detector), as a mask level `pixm_n`.
#pragma once

#include <memory>

#include "core/array.h"
#include "core/limits.h"
#include "setup/run_state.h"
#include "tile/tile_geometry.h"

namespace zeb {

// The bright stars within 750 reference pixels of the tile centre, copied from
// the run's list in its order.
struct LocalBrightStars {
  int bbs = 0;
  Array1<double> ubri{BDIM}, vbri{BDIM};
  Array2<float> zbri{BDIM, FDIM};  // flux per filter slot
};

// Selects the local bright stars of the tile centred on (uref_t, vref_t). With
// `show_tile` also writes "AUX/SHOW_TILE_LOG.BRITE.000" and
// "AUX/SHOW_TILE_LOG.BRITE.reg" (the directory AUX/ must exist).
void find_loc_brite(int uref_t, int vref_t, const BrightStars& bright, LocalBrightStars& local, bool verbose,
                    bool show_tile);

// Radial profiles of camera code kkk at integer radius r (pixels): halo and
// spike light as a fraction of the star's flux per pixel, and the spike
// half-width. All are 0 for r outside 1..1001 and for codes without a camera.
float rprof_ik(int r, int kkk);
float sprof_ik(int r, int kkk);
int wprof_ik(int r, int kkk);

// One 2001 x 2001 template centred on (1001, 1001), kept as the span of each
// row between its first and last positive pixel (rows without one are left out).
struct MaskTemplate {
  struct Row {
    int y;       // template row, 1..2001
    int x0, x1;  // first and last positive pixel of the row
    int offset;  // index of pixel x0 in `values`
  };
  std::vector<Row> rows;  // ascending y
  std::vector<float> values;
  float at(int x, int y) const;  // pixel (x, y); 0 outside the spans
};

// The three templates of one camera and pair of spike directions.
struct MaskTemplates {
  MaskTemplate spike_a, spike_b, halo;
};

// Templates for camera kkk with spike directions angle_a, angle_b (degrees).
// Built on first use and kept: a later call with the same camera and angles
// returns the same templates without rebuilding them.
std::shared_ptr<const MaskTemplates> mask_templates(int kkk, float angle_a, float angle_b);
// Number of template sets built so far, and a way to start afresh (for tests).
long mask_template_builds();
void clear_mask_template_cache();

// Templates from explicit radial profiles (index r = 1..1001, entry 0 unused).
MaskTemplates build_mask_templates(const float* halo, const float* spike, const int* width, float angle_a,
                                   float angle_b);

// Adds the light of one star of flux f whose nearest raw pixel is (ix, iy) to
// the squared sum of a 301 x 301 raster centred on raw (itil, jtil): for the
// templates spike A, spike B and halo in this order, (f x template)^2 for every
// positive template pixel that falls on the raster. A star 1150 or more raw
// pixels from the raster centre along either axis adds nothing.
void add_star_mask(View2<float> sum, const MaskTemplates& templates, float f, int ix, int iy, int itil, int jtil);

// The mask level of one exposure: the quadrature sum of the halo and spikes of
// every local bright star, each scaled by the star's flux in filter slot fff.
// The exposure's camera kkk and its raster centre (itil, jtil) place the spikes;
// the stars reach the raster through xtab, ytab.
void mask_tile(View2<float> pixm, int kkk, int fff, int uref_t, int vref_t, int itil, int jtil, TabView xtab,
               TabView ytab, const LocalBrightStars& local);

}  // namespace zeb
