// The catalogue records of one committed star, the zero records and ".INPUT"
// line of a mode-A pass, and the helpers the XYFIND record needs: the nearest
// bright star (find_brite_prox) and the local flux in a stack (loc_flux).
#pragma once

#include <array>

#include "core/array.h"
#include "core/limits.h"
#include "measure/art_sky.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "measure/tile_stacks.h"
#include "output/catalogue_logs.h"
#include "setup/run_state.h"
#include "tile/tile_exposures.h"

namespace zeb {

// Where the tile lies: its indices and its centre in the reference frame.
struct TilePlace {
  int it = 0, jt = 0, uref_t = 0, vref_t = 0;
};

// How a star is named in the logs: CMODE and seven digits ("a1,i7.7").
struct StarId {
  char letter = 'R';
  int number = 0;
};

// Instrumental magnitude -2.5 log10(flux); a flux below 1 or not a number is
// taken as 1, so the magnitude is never positive.
double magnitude_of(double flux);

// Clips v into lo..hi and then into what an Fw.d field can show, so a clipped
// value is always written as a number and never as a row of asterisks.
double clip_field(double v, double lo, double hi, int w, int d);

struct BrightNeighbour {
  double u = 0.0, v = 0.0;
  float z = 0.0f;  // filter-1 flux
};

// The bright star nearest (u, v) in the reference frame; the first of equally
// near ones wins; all zero when there is none.
BrightNeighbour find_brite_prox(double u, double v, const BrightStars& bright);

// Local flux at grid position (x, y) of a 301 x 301 image: the largest of the
// nine aperture sums around the nearest pixel, each less its annulus level, in
// reference-pixel units; at least 0, and 0 within 10 grid pixels of the edge.
float loc_flux(const View2<const float>& image, double x, double y);

// Writes every record of committed local star `l` (master entry `n`, named
// `id`) in file order: FIND_AVG_Z0_F, FIND_AVG_Z2_F, FIND_AVG_UV1_F (with
// logfinfo), FIND_NIMFO (with lognimfo), XYFIND, XYVIQ0..3, XYVIQS and the
// region files (not in mode A). Before the XYFIND record it sets the star's
// mf_l, its nearest bright star (ubri_l, vbri_l, zbri_l), flux_l (loc_flux of
// the filter-1 value stack at uf_l, vf_l) and mask_l (the filter-1 mask stack
// at the nearest grid point, 0 off the grid).
void write_star_records(CatalogueLogs& logs, LocalList& local, int l, const MasterList& master, int n, StarId id,
                        const TilePlace& tile, const TileExposures& exposures, const LocalExposureResults& results,
                        const TileStacks& stacks, const BrightStars& bright, const Settings& settings);

// Mode A with no local star left: XYVIQ0..3 lines of zeros under the
// artificial star's identifier.
void write_zero_records(CatalogueLogs& logs, StarId id);

// What one mode-A pass reports about its injected star on the ".INPUT" line.
struct ArtInputLine {
  double u = 0.0, v = 0.0;            // reference frame
  int it = 0, jt = 0, nartu = 0, nartf = 0;
  double ia = 0.0, ja = 0.0;          // tile-grid position
  int i1 = 0, i2 = 0, j1 = 0, j2 = 0; // search window
  int nit = -1, p = -1, q = -1, c = -1;  // strongest finding-map peak (-1: none)
  int id = 0;
  std::array<double, FDIM> z{};       // input flux per filter
  std::array<float, FDIM> reported{}, sky{}, sky_scatter{};
};

// The ".INPUT" line of a mode-A pass; its magnitude is that of the filter-1 flux.
void write_art_input_line(std::ostream& os, const ArtInputLine& a);

// What pass p of tile (it, jt), whose stars are 1..nartf, reports on its
// ".INPUT" line, the pass searching `window`.
ArtInputLine art_input_line(const ArtPass& p, int it, int jt, int nartf, const SearchWindow& window);

}  // namespace zeb
