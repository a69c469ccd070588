// Source finding in a tile.
//
// find_tile looks for new point sources in the residual images of all the
// exposures that take part in a finding iteration NIT, at once:
//   stage 1, per exposure: every raster pixel is taken through a ladder of
//     tests (usable, not next to a known star, local maximum, no deep negative
//     wing, flux above the bright-star mask and model levels, significant
//     against its sky ring); a pixel that passes them all is a P candidate on
//     a fine grid four times finer than the tile grid, and its PSF-refined
//     position gives a D candidate (and a Q candidate when the PSF
//     correlation is high);
//   stage 2: the candidate tallies of all exposures are spread over small
//     discs and binned onto the tile grid (the P, Q and D count maps);
//   stage 3: wherever enough exposures agree (the requirement grows with the
//     coverage) and the count is a local maximum, a new source is appended to
//     the local list at the tally-weighted centroid;
//   the joint criterion J (when the iteration sets JSIG): at every tile-grid
//     point the matched-filter estimate of a point source's flux from all the
//     exposures at once and its significance; where no other criterion took
//     a source, a significant local maximum of that map that is consistent
//     across the exposures becomes a new source (find_joint.cpp).
//
// Grids: the exposure raster (xt, yt, 301 x 301), the tile grid (iu, iv,
// 301 x 301, two steps per reference pixel) and the fine grid (a, b,
// 1201 x 1201, a = 4 (ut - 1) + 1 for tile-grid coordinate ut).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/array.h"
#include "core/limits.h"
#include "measure/local_list.h"
#include "setup/run_state.h"
#include "tile/tile_exposures.h"

namespace zeb {

namespace find_detail {
struct FindWork;
}

inline constexpr int FINE_GRID = 4 * (TILE_GRID - 1) + 1;  // 1201

// Criteria a new source can be found by, in order of preference (y0_l).
inline constexpr int FOUND_BY_Q = 1;
inline constexpr int FOUND_BY_D = 2;
inline constexpr int FOUND_BY_P = 3;
inline constexpr int FOUND_BY_J = 4;

// Search window on the tile grid, inclusive: the whole grid, or the part
// around an injected artificial star.
struct FindWindow {
  int i1 = 1, i2 = TILE_GRID, j1 = 1, j2 = TILE_GRID;
};

// The maps a call leaves on the tile grid (301 x 301, 16-bit): P, Q and D
// counts (exposures agreeing on a source there), the coverage C (exposures
// that could see the point) and the level map Y (how far along the tests of
// stage 1 enough exposures got).
struct FindingMaps {
  Array2<std::int16_t> stackp_t{TILE_GRID, TILE_GRID};
  Array2<std::int16_t> stackq_t{TILE_GRID, TILE_GRID};
  Array2<std::int16_t> stackd_t{TILE_GRID, TILE_GRID};
  Array2<std::int16_t> stackc_t{TILE_GRID, TILE_GRID};
  Array2<std::int16_t> stacky_t{TILE_GRID, TILE_GRID};
};

// The settings of one finding iteration, taken from the per-iteration tables.
struct FindSettings {
  int hmin = 0;       // radius of the local-maximum test, raster pixels
  float ssig = 0.0f;  // significance against the sky ring
  int qmin = 0;       // lower bounds of the Q, D, P requirements
  int dmin = 0;
  int pmin = 0;
  float qsel = 0.0f;  // PSF correlation a Q candidate must exceed
  float qsep = 0.0f;  // spreading radii of the Q, D, P tallies, tile-grid steps
  float dsep = 0.0f;
  float psep = 0.0f;
  float oprx = 0.0f;  // exclusion radius around every known star, reference pixels
  float oprv = 0.0f;  // exclusion radius around stars of this or the previous iteration
  float jsig = JSIG_OFF;  // threshold of the joint criterion, sigma (JSIG_OFF and above: not used)
  bool joint() const { return jsig < JSIG_OFF; }
};

// Settings of iteration nit (1..NITDIM); another nit stops the run.
FindSettings find_settings(const Settings& settings, int nit);

// Searches the residual images pixd_n of the exposures of `te` whose
// finding-mask character nit is not '0' and appends every new source to the
// local list at ls + 1, ls + 2, ... (entries 1..ls are read, never changed).
// Each new entry starts from the cleared state of reset_local, then receives
// its tile-grid position (u0_l, v0_l, and uf_l, vf_l), w0_l = nit, the
// criterion y0_l, n0_l = 0 (found here, not yet committed), the coverage
// cfnd_l and the Q, D, P counts and requirements at its tile-grid point.
// psf_n holds the local PSF of every exposure (101 x 101 x Ns). The five maps
// are overwritten. With settings.show_tiles the fine and tile-grid count maps
// (and the joint criterion's significance map when it is used) are written
// to "AUX/FIND_TILE_*" images. Returns the number of new sources.
// More than LDIM local stars stops the run ("Ls.gt._LDIM_").
int find_tile(int nit, const Settings& settings, const FindWindow& window, const TileExposures& te,
              const Array3<float>& psf_n, LocalList& local, int& ls, FindingMaps& maps);

// The working maps of find_tile (fine grids, about 20 MB). A caller that
// searches many times (every iteration of every tile) keeps one and passes it
// in, so that they are allocated once; each call starts from cleared maps
// whatever the previous call left.
class FindWorkspace {
 public:
  FindWorkspace();
  ~FindWorkspace();
  FindWorkspace(const FindWorkspace&) = delete;
  FindWorkspace& operator=(const FindWorkspace&) = delete;

 private:
  friend int find_tile(int, const Settings&, const FindWindow&, const TileExposures&, const Array3<float>&,
                       LocalList&, int&, FindingMaps&, FindWorkspace&);
  std::unique_ptr<find_detail::FindWork> work_;
};

int find_tile(int nit, const Settings& settings, const FindWindow& window, const TileExposures& te,
              const Array3<float>& psf_n, LocalList& local, int& ls, FindingMaps& maps, FindWorkspace& workspace);

// --- The parts of find_tile, each usable on its own. ---

// Q, P and D requirements for a point covered by c exposures. qreq_n and
// preq_n are tabulated once (1..150 and 1..999) on first use.
int qreq_n(int c);
int preq_n(int c);
int dreq_n(int c);

// Weighted straight line y = a + b x through n points, and the correlation r
// (0 when x or y has no spread). Sums in single precision.
struct LineFit {
  float a = 0.0f;
  float b = 0.0f;
  float r = 0.0f;
};
LineFit linfitw(const float* x, const float* y, const float* w, int n);

// PSF refinement of a candidate at raster pixel (xt, yt): of 25 trial
// positions (xt - ox / 4, yt - oy / 4), ox, oy = -2..2, the one whose 5 x 5
// pixels of the residual d correlate best with the PSF (strictly positive
// correlation, first wins ties). q is that correlation (0 with position (0, 0)
// when none is positive), flux and sky the fitted line, rms the normalised
// scatter (at most 9.99). Outside 4..297 nothing is done (all 0).
struct QoptResult {
  float xq = 0.0f, yq = 0.0f;
  float flux = 0.0f, sky = 0.0f;
  float q = 0.0f, rms = 0.0f;
};
QoptResult find_qopt(int xt, int yt, View2<const float> d, View2<const float> e, View2<const float> psf);

// The PSF side of find_qopt for one PSF, worked out once for all the
// candidates of an exposure: the 5 x 5 PSF samples of each trial offset and
// the line fit's sums over them (the same values find_qopt would sum for every
// candidate, summed in the same order).
struct QoptKernels {
  static constexpr int OFFSETS = 25, TAPS = 25;
  float m[OFFSETS][TAPS];
  float sx[OFFSETS], sxx[OFFSETS], dn[OFFSETS];
  explicit QoptKernels(View2<const float> psf);
};
QoptResult find_qopt(int xt, int yt, View2<const float> d, View2<const float> e, const QoptKernels& kernels);

// Centroid, in tile-grid coordinates, of the tallies t (fine grid) within
// radius r of every fine pixel around tile-grid point (iu, iv) (fine point
// (a, b)) whose spread value k reaches the count m(iu, iv). When no tally is
// within reach the run stops with "find_tile:  ntot.eq.0", after writing the
// three maps as "BOMB_*" images for inspection.
struct Centroid {
  double ubar = 0.0, vbar = 0.0;
};
Centroid find_ubarvbar(int iu, int iv, int a, int b, int r, View2<const std::int16_t> m,
                       View2<const std::int16_t> t, View2<const std::int16_t> k, const std::string& label);

// The joint estimate of a point source at tile-grid position (u, v) from the
// exposures of `te` whose finding-mask character nit is not '0': in each
// exposure a flux and a local sky fitted to the 5 x 5 raster pixels around the
// source's raster position with the exposure's PSF and noise level, combined
// into one flux (all exposures sharing one flux in their filter's units), as
// the joint criterion evaluates a candidate. An exposure takes part when the
// box lies in raster pixels 4..298, holds no flagged pixel and is described by
// the fit (find_joint.cpp). significance = flux / sigma; all 0 when none
// takes part.
struct JointEstimate {
  double flux = 0.0, sigma = 0.0, significance = 0.0;
  int exposures = 0;
};
JointEstimate joint_estimate(float u, float v, int nit, const TileExposures& te, const Array3<float>& psf_n);

}  // namespace zeb
