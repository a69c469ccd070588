// Measurement method 0, the method that moves stars: for every star of the
// local list and every exposure of the tile it fits a position and a flux to
// the exposure's pixels with the star's neighbours subtracted (a coarse-to-fine
// pattern search minimising a weighted sum of absolute residuals), then
// combines the per-exposure results into one robust position per star and one
// robust flux per star and filter, written back into the local list.
//
// Every exposure is fitted with the positions and fluxes the list had on
// entry; the list is updated only after all exposures are measured.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/array.h"
#include "measure/exposure_stars.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "psf/psf.h"
#include "tile/tile_exposures.h"

namespace zeb {

// Capacities of the working lists: close neighbours of one star in one
// exposure (more stops the run) and sky values of one annulus.
inline constexpr int CLOSE_MAX = 99;
inline constexpr int SKY_MAX = 999;

// Sentinels of the method-0 outputs.
inline constexpr float NO_FLUX_ERROR = 99999.0f;       // sz0_ln of an exposure without a fit
inline constexpr float NO_FLUX_SCATTER = 999999.0f;    // sz0_lf without a usable measurement
inline constexpr float NO_POSITION_SCATTER = 9.99f;    // su0_l, sv0_l without a usable measurement
inline constexpr float SINGLE_VALUE_SCATTER = 0.999f;  // sky scatter from fewer than two values
inline constexpr float REJECT_K = 3.5f;                // rejection threshold of both combinations

// The images a star is fitted on, prepared around its nearest pixel (i0, j0)
// in raster coordinates: P = pixel minus the neighbours' model, E = pixel
// error, W = weight (the star's own PSF, later capped and normalised). The box
// is i0 +- half, half >= 3; a pixel is usable when it lies on the raster and
// (outside the central 7 x 7 pixels, which are checked before) is unmasked
// with finite values. Unusable pixels hold P = E = W = 0, so they add nothing
// to any sum of the fit.
class PreparedBox {
 public:
  static constexpr int HALF_MAX = RAP_MAX + 1;
  static constexpr int SIDE_MAX = 2 * HALF_MAX + 1;

  // Centres the box on (i0, j0) with the given half-size (3..HALF_MAX) and
  // clears it: every pixel unusable, P = E = W = 0.
  void reset(int i0, int j0, int half);

  int i0() const { return i0_; }
  int j0() const { return j0_; }
  int half() const { return half_; }
  float& p(int i, int j) { return p_[index(i, j)]; }
  float& e(int i, int j) { return e_[index(i, j)]; }
  float& w(int i, int j) { return w_[index(i, j)]; }
  float p(int i, int j) const { return p_[index(i, j)]; }
  float e(int i, int j) const { return e_[index(i, j)]; }
  float w(int i, int j) const { return w_[index(i, j)]; }
  // Model of the neighbours at the pixel while the box is prepared.
  float& nb(int i, int j) { return n_[index(i, j)]; }
  bool usable(int i, int j) const { return usable_[index(i, j)] != 0; }
  void set_usable(int i, int j) { usable_[index(i, j)] = 1; }
  // True when (i, j) lies inside the box.
  bool contains(int i, int j) const {
    return i >= i0_ - half_ && i <= i0_ + half_ && j >= j0_ - half_ && j <= j0_ + half_;
  }

 private:
  std::size_t index(int i, int j) const {
    const int a = i - i0_ + half_, b = j - j0_ + half_;
    detail::check_index("box x", a + 1, 2 * half_ + 1);
    detail::check_index("box y", b + 1, 2 * half_ + 1);
    return static_cast<std::size_t>(a + SIDE_MAX * b);
  }
  int i0_ = 0, j0_ = 0, half_ = 3;
  std::array<float, SIDE_MAX * SIDE_MAX> p_{}, e_{}, w_{}, n_{};
  std::array<std::uint8_t, SIDE_MAX * SIDE_MAX> usable_{};
};

// Clipped mean of v(0..n-1): centre 0 and scatter 9e9 to start; up to 20
// passes, each taking the values within 2.25 scatters of the centre, setting
// the centre to their mean (summed in double) and the scatter to their mean
// absolute deviation from the previous centre with divisor count - 1 (the
// centre changes only when a value was taken, the scatter only when two were).
// From the second pass on it stops when fewer than 35% of the values remain or
// the count did not change. A final count of at most 1 gives scatter 0.999.
SkyEstimate find_sky_barsig(const float* v, int n);

// Sky of a star at nearest pixel (i0, j0): the values pixel - model of the
// raster pixels (i0 + a, j0 + b) with 64 <= a^2 + b^2 < 144 (radii 8 to 12)
// that lie on the raster, are unmasked and finite, through find_sky_barsig.
SkyEstimate find_sky(View2<const float> pixv, View2<const std::uint8_t> pixu, View2<const float> model, int i0,
                     int j0, std::array<float, SKY_MAX>& buffer);

// Weight cap: C = sum of W over the 3 x 3 pixels around the box centre; those
// nine take W = C, and every W of the box above C is lowered to C.
void cap_tempw(PreparedBox& box);

struct Point2 {
  float x = 0.0f, y = 0.0f;
};

// Result of one fit: position (raster), flux, flux error and the flags
// gp (position usable) and gz (flux fitted).
struct Meth0Fit {
  float xa = 0.0f, ya = 0.0f;
  float za = 0.0f;
  float sza = NO_FLUX_ERROR;
  short gp = 0, gz = 0;
};

// Fits position and flux of a star starting at raster position (xa, ya) on
// the prepared box (which must reach the fit box ic +- h, ic within one pixel
// of the box centre: half >= h + 1), with sky sa and the star's close
// neighbours. When `use` is set the star may move: its centre is taken to the
// brightest of the 2 x 2 pixels around (xa, ya), and if that pixel is a local
// maximum of P over the 5 x 5 square without its corners, nine passes of nine
// trial points with steps 0.4 ... 0.01 pixel search for the least weighted sum
// of absolute residuals; otherwise only the flux is fitted at (xa, ya). Trial
// points within 0.8 pixel of a close neighbour are skipped. W is normalised
// over the fit box in place.
Meth0Fit quik_xyz(PreparedBox& box, float xa, float ya, int h, bool use, float sa, std::span<const Point2> close,
                  const LocalPsf& psf);

// Position average of one star: the mean of (u, v) over the measurements with
// weight w > 0, rejecting one at a time the measurement farthest (relative to
// the others' mean distance from their own mean) beyond k while at least
// three remain. Rejected measurements get w = 0. Scatters are mean absolute
// deviations; without a usable measurement u = v = 0, scatters 9.99, g = 0.
struct PositionAverage {
  float u = 0.0f, v = 0.0f, su = NO_POSITION_SCATTER, sv = NO_POSITION_SCATTER;
  int g = 0;
};
PositionAverage barsig_2dw_rejj(const float* u, const float* v, double* w, int n, double k);

// Weighted mean of z over the measurements with w > 0 except `skip` (-1: none),
// and its scatter sum |z - m| w / (sum w - max w); a single measurement gives
// scatter 99999 and count 1; none gives a mean that is not a number and count 0.
struct FluxAverage {
  double mean = 0.0, scatter = 0.0;
  int count = 0;
};
FluxAverage barsig_1dwx(const float* z, const double* w, int n, int skip);

// Flux average with rejection: weights that are not numbers or negative and
// those below a tenth of sum w^2 / sum w become 0; then, while the largest
// signed deviation (z - m) / s of a measurement from the others' mean exceeds
// k, that measurement's weight becomes 0. Returns barsig_1dwx of what is kept.
FluxAverage barsig_1dw_rej(const float* z, double* w, int n, double k);

// Combines the per-exposure positions of stars 1..ls (exposures with gp0_ln = 1
// and a positive flux) into u0_l, v0_l, su0_l, sv0_l; a star without a kept
// measurement keeps its position and scatters.
void find_avg_xy(int ls, int ns, const LocalExposureResults& ln, LocalList& local);

// Combines the per-exposure fluxes of stars 1..ls per filter slot (exposures
// of that filter with gz0_ln = 1, weights 1 / sz0_ln^2) into z0_lf, sz0_lf,
// f0_lf, g0_lf; a filter without a usable measurement keeps its flux.
void find_avg_z_f(int ls, int ns, const Array1<int>& fff_n, const LocalExposureResults& ln, LocalList& local);

// Method 0 on stars 1..ls of the local list over the tile's exposures 1..te.ns
// with their local PSFs psf_n (element n - 1 for exposure n): resets and
// writes the method-0 _ln results, then updates the positions and per-filter
// fluxes of the list. With `verbose` it writes the progress lines of the
// method. Stops the run when a star has more than 99 close neighbours in one
// exposure ("Ps.gt.99"), or when an exposure's filter slot or RAP is out of
// range.
void meth0_xyz_tile(int ls, LocalList& local, LocalExposureResults& ln, const TileExposures& te,
                    std::span<const LocalPsf> psf_n, bool verbose);

}  // namespace zeb
