// What the per-exposure measurement methods share: the rasters of one tile
// exposure, the predicted raster positions and modelling fluxes of the local
// stars in it, a spatial index of those positions for neighbour sums, and the
// check of the arrays a tile hands over.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/array.h"
#include "core/limits.h"
#include "geometry/tile_tables.h"
#include "measure/neighbour_grid.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "measure/neighbour_grid.h"
#include "psf/psf.h"
#include "tile/tile_exposures.h"

namespace zeb {

inline constexpr int RASTER = TILE_GRID;     // raster side, 301 pixels
inline constexpr int OFF_RASTER = -1000000;  // nearest pixel of a position that is not a usable number
inline constexpr int PSF_REACH = 12;         // a PSF is exactly zero beyond 12 pixels

// Fitting-box half-sizes (RAP) the methods accept: a box of one pixel cannot
// locate a star (every trial position fits it exactly), and one of 25 x 25
// pixels already holds every pixel a PSF that is zero beyond 12 pixels reaches.
inline constexpr int RAP_MIN = 1;
inline constexpr int RAP_MAX = 12;

// Robust mean of sky values.
struct SkyEstimate {
  float centre = 0.0f;
  float scatter = 0.0f;
  int count = 0;
};

// Nearest pixel trunc(x + 0.5). A position that is not a number or lies far
// off the raster gets OFF_RASTER, so no conversion overflows and no range
// built from it reaches the raster.
inline int nearest_pixel(float x) {
  if (!(x > -1.0e6f && x < 1.0e6f)) return OFF_RASTER;
  return static_cast<int>(x + 0.5f);
}

inline bool on_raster(int i, int j) { return i >= 1 && i <= RASTER && j >= 1 && j <= RASTER; }

// Starting flux of a star for modelling: negative fluxes and values that are
// not finite numbers model nothing.
inline float model_flux(float z) { return std::isfinite(z) && z >= 0.0f ? z : 0.0f; }

// The rasters of one exposure.
struct ExposureViews {
  View2<const float> pixv, pixe, pixm;
  View2<const std::uint8_t> pixu;
  TabView utab, vtab, xtab, ytab;
};

inline ExposureViews views_of(const TileExposures& te, int n) {
  return {te.pixv_n.plane(n), te.pixe_n.plane(n), te.pixm_n.plane(n), te.pixu_n.plane(n),
          tab_of(te.utab_n, n), tab_of(te.vtab_n, n), tab_of(te.xtab_n, n), tab_of(te.ytab_n, n)};
}

// A pixel that can enter a measurement: unmasked, value and errors finite.
inline bool pixel_usable(const ExposureViews& ev, int i, int j) {
  return ev.pixu(i, j) == 0 && std::isfinite(ev.pixv(i, j)) && std::isfinite(ev.pixe(i, j)) &&
         std::isfinite(ev.pixm(i, j));
}

// Predicted raster positions, nearest pixels and modelling fluxes of stars
// 1..ls in one exposure (element L - 1). A star whose position is not a usable
// number has x0 = y0 = NaN and i0 = j0 = OFF_RASTER.
struct Predictions {
  std::vector<float> x0, y0, zi;
  std::vector<int> i0, j0;
  explicit Predictions(int ls) : x0(ls), y0(ls), zi(ls), i0(ls), j0(ls) {}
  void resize(int ls) {
    for (auto* v : {&x0, &y0, &zi}) v->resize(static_cast<std::size_t>(ls));
    i0.resize(static_cast<std::size_t>(ls));
    j0.resize(static_cast<std::size_t>(ls));
  }
};

// What every measurement method works with in one exposure, per worker and
// kept for the run: the stars' predictions, their spatial index and the
// neighbours gathered for one star. fit() refits it to a call's star count;
// everything in it is rewritten before it is read.
struct ExposureStarsWork {
  explicit ExposureStarsWork(int ls) : pred(ls), grid(ls) { candidates.reserve(static_cast<std::size_t>(ls)); }
  void fit(int ls) {
    pred.resize(ls);
    grid.reserve(ls);
    candidates.reserve(static_cast<std::size_t>(ls));
  }
  Predictions pred;  // raster position and modelling flux of star L (element L - 1)
  NeighbourGrid grid;
  std::vector<int> candidates;
};

// Maps (u0_l, v0_l) of stars 1..ls into the exposure raster, with the fluxes
// z0_lf of the exposure's filter slot.
void predict_exposure(Predictions& pr, const LocalList& local, int ls, const ExposureViews& ev, int filter);

// Working room of one sky annulus: values and weights.
inline constexpr int SKY_ANNULUS_MAX = 1000;
struct SkyBuffer {
  std::array<float, SKY_ANNULUS_MAX> value{}, weight{};
};

// Weighted clipped sky mean of v(0..n-1) with weights w: more than 10 values
// are required (else mean 0, scatter 9999, count 0); then the mean clipped at
// 3 scatters until stable (clipped_weighted_mean), count = values left in.
inline constexpr int SKY_ANNULUS_MIN = 10;
inline constexpr float SKY_TOO_FEW_SCATTER = 9999.0f;
SkyEstimate weighted_sky_mean(const float* v, const float* w, int n);

// Sky of a star at raster (x, y), nearest pixel (ic, jc) = trunc(x + 0.5),
// trunc(y + 0.5): the residual values of the unmasked pixels (ic + a, jc + b)
// with (r_in - 0.5)^2 <= a^2 + b^2 <= (r_out + 0.5)^2 and 2 <= ic + a,
// jc + b <= 300, each weighted 1 / (pixe^2 + model^2 + pixm^2); a pixel whose
// value or weight is not a finite number carries no sky. More than 1000 pixels
// stop the run ("find_sky_meth2:  Ls.gt.1000"); fewer than 10 give sky,
// scatter and count 0; otherwise the weights are scaled to average 1 and
// weighted_sky_mean decides. Methods 1, 2 and 3 share it.
SkyEstimate annulus_sky(float x, float y, float r_in, float r_out, View2<const float> residual,
                        View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                        View2<const float> pixm, SkyBuffer& buffer);

// Checks what the caller of a measurement method hands over, so that no index
// leaves its array: the star and exposure counts, the raster sizes, one PSF
// per exposure, filter slots 1..FDIM and fitting-box half-sizes (RAP) within
// rap_min..rap_max. Anything else stops the run with a line naming `routine`.
void check_tile_inputs(std::string_view routine, int ls, const LocalExposureResults& ln, const TileExposures& te,
                       std::span<const LocalPsf> psf_n, int rap_min, int rap_max);

}  // namespace zeb
