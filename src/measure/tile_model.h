// Model images and residuals of a tile's exposures: the model of the local
// stars built from an exposure's local PSF (mod_tile), the residual of the
// exposure with that model removed (sub_tile), and the working copies the tile
// loop keeps of its exposures (hold_pixv, init_pixsub).
#pragma once

#include <cstdint>
#include <span>

#include "core/array.h"
#include "geometry/tile_tables.h"
#include "psf/psf.h"

namespace zeb {

// Raster pixels trunc(lo) .. trunc(hi) clipped to 1..301 (an empty range has
// first > last). The bounds are compared as reals first, so a coordinate far
// off the raster (or not a number) gives an empty range instead of an integer
// conversion that cannot hold it.
struct PixelRange {
  int first = 1, last = 0;
};
PixelRange raster_window(float lo, float hi);

// Half-widths of the pixel window a star is modelled in: pixels trunc(x - 12)
// .. trunc(x + 13) around raster position x (26 pixels, all a PSF that is zero
// beyond 12 pixels can reach).
inline constexpr float MODEL_WINDOW_LO = 12.0f;
inline constexpr float MODEL_WINDOW_HI = 13.0f;

// Adds flux z times the PSF of a star at raster position (x, y) to the pixels
// trunc(x - 12) .. trunc(x + 13), trunc(y - 12) .. trunc(y + 13) of the model
// (clipped to the raster; a position that is not a number adds nothing). Every
// model image of the program is built from it.
void add_star_model(float x, float y, float z, const LocalPsf& psf, View2<float> model);

// The model image of stars already placed in the raster: zeroed, then star
// L = 1..ls (element L - 1) at (x, y) with flux z added in star order. A flux
// that is negative or not a finite number adds nothing.
void model_stars(std::span<const float> x, std::span<const float> y, std::span<const float> z, int ls,
                 const LocalPsf& psf, View2<float> model);

// The model image of one exposure: zeroed, then for each star L = 1..ls, at
// tile-grid position (u0_l(L), v0_l(L)) mapped into the raster through xtab and
// ytab, flux z_l(L) times the PSF added to the pixels of its 26 x 26 window
// (clipped to the raster). A flux that is negative or not a finite number adds
// nothing, as does a star whose raster position is not a number. Element L of
// a span is index L - 1.
void mod_tile(std::span<const float> u0_l, std::span<const float> v0_l, std::span<const float> z_l, int ls,
              TabView xtab, TabView ytab, const LocalPsf& psf, View2<float> model);

// Residual of one exposure: 0 where the pixel flag is non-zero, else pixel - model.
void sub_tile(View2<const float> pix, View2<const float> model, View2<float> residual,
              View2<const std::uint8_t> mask);

// Copies the rasters 1..ns of `from` into `to` exactly (the held copies of an
// artificial-star run); `to` is resized to match `from`.
void hold_pixv(int ns, const Array3<float>& from, Array3<float>& to);

// Working images of exposures 1..ns: residual (working) image := values, model := 0.
void init_pixsub(int ns, const Array3<float>& pixv_n, Array3<float>& pixd_n, Array3<float>& pixf_n);

}  // namespace zeb
