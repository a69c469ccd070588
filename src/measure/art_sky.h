// Artificial stars added to a tile's exposures (add_art) and the local sky
// around stars measured across the exposures (rmssky_xyz_tile).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/array.h"
#include "core/limits.h"
#include "geometry/tile_tables.h"
#include "psf/psf.h"

namespace zeb {

// One artificial star of a tile.
struct TileArtStar {
  int id = 0;                // index in the run's artificial-star list
  double u = 0.0, v = 0.0;   // reference frame
  std::array<double, FDIM> z{};  // flux per filter slot
};

// Search window of a pass on the tile grid.
struct SearchWindow {
  int i1 = 1, i2 = TILE_GRID, j1 = 1, j2 = TILE_GRID;
};

// Stars whose core pixels add_art may record per filter; one more stops the run.
inline constexpr int ART_CORE_MAX = 9999;

// What add_art reports per filter slot: the clipped weighted mean of the light
// that was under the star's core (pixels within 2.5 of its centre, weighted by
// PSF / error^2) before it was added, its scatter, the core pixels recorded and
// the number the mean used.
struct ArtLevels {
  std::array<float, FDIM> level{}, scatter{};
  std::array<int, FDIM> count{}, used{};
};

// Adds one artificial star at tile-grid position (u, v) with flux z[F - 1] in
// filter slot F to the values of exposures 1..ns: in each exposure's raster
// every unflagged pixel of the window trunc(x - 12.5) .. trunc(x + 12.5) (and
// likewise in y) around the star receives m = z PSF and the noise
// sqrt(m) sqrt(exp_f(F) / exp_n(n)) g, g a normal deviate of the run's sequence
// (one drawn for every such pixel). A flux that is negative or not a finite
// number adds nothing. With `verbose` one line per filter slot ("---> F: ").
// Stops when more than ART_CORE_MAX core pixels of one filter are recorded, or
// when an exposure that is to receive light has an exposure time that gives no
// finite noise scale.
ArtLevels add_art(int ns, Array3<float>& pixv_n, const Array3<float>& pixe_n, const Array3<std::uint8_t>& pixu_n,
                  std::span<const LocalPsf> psf_n, float u, float v, const std::array<float, FDIM>& z,
                  const Array1<int>& fff_n, const Array1<float>& exp_f, const Array1<float>& exp_n,
                  const Array3<float>& xtab_n, const Array3<float>& ytab_n, bool verbose);

// Sky level and scatter around stars L = 1..ls (tile-grid positions u0_l(L),
// v0_l(L), element L - 1 of the spans) per filter slot F = 1..FDIM, into
// sky(L, F) and scatter(L, F). Each exposure of the filter whose 11 x 11 box
// around the star (trunc(x - 5 + 0.5) .. trunc(x + 5 + 0.5), clipped) holds no
// flagged pixel and which has more than 4 pixels at 2.5 .. 4.5 pixels from the
// star gives their mean and mean absolute deviation (count - 1); the star's
// level and scatter are barsig means of those over the exposures (0 when there
// are none). `fs` is only reported: with `verbose` the routine first writes its
// heading and Ls, Ns, Fs.
void rmssky_xyz_tile(int ls, std::span<const float> u0_l, std::span<const float> v0_l, int ns,
                     const Array3<float>& xtab_n, const Array3<float>& ytab_n, const Array3<float>& pixv_n,
                     const Array3<std::uint8_t>& pixu_n, int fs, const Array1<int>& fff_n, Array2<float>& sky,
                     Array2<float>& scatter, bool verbose);

// One artificial-star pass of mode A: the injected star, where it lies, what
// add_art reported and the local sky at it, and the strongest finding-map peak
// recorded at its position (P, Q, D, C and the iteration; -1 until one is
// recorded).
struct ArtPass {
  int nartu = 0;
  TileArtStar star;
  double ia = 0.0, ja = 0.0;
  ArtLevels levels;
  std::array<float, FDIM> sky{}, sky_scatter{};
  int peak_p = -1, peak_q = -1, peak_d = -1, peak_c = -1, peak_nit = -1;
  int peak_i = 0, peak_j = 0;  // grid pixel of the record
};

}  // namespace zeb
