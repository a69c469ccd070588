// Measurement methods 2 and 3: fluxes only, at the positions method 0 left in
// the local list. Every pixel near a star gives its own flux estimate (pixel
// minus neighbours and sky, over the PSF at that pixel) and the estimates are
// averaged with weights. Method 2 uses the whole fitting box (half-size RAP)
// and a sky annulus of radii 2 RAP .. 4 RAP; method 3 uses only the pixels
// within 0.75 pixel of the star's centre and a sky annulus of radii 2 .. 4.
// One routine performs both, selected by its mode; find_avg_z2 combines the
// per-exposure fluxes of either mode per star and filter.
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

// Sentinels of the method-2/3 outputs.
inline constexpr float M2_NO_FLUX_ERROR = 99999.9f;   // sz_ln of an exposure not measured
inline constexpr float M2_FAILED_ERROR = 9999.0f;     // sz_ln when a pixel of the box is masked
inline constexpr float M2_NO_SKY_SCATTER = 999.9f;    // sky scatter used when the measured one is not positive
inline constexpr float M2_SKY_TOO_FEW = SKY_TOO_FEW_SCATTER;     // barsigw_meth2 scatter with at most 10 values
inline constexpr float M2_NO_AVG_SCATTER = 99999.0f;  // sz_lf from fewer than two kept measurements
inline constexpr double M2_REJECT_K = 4.0;            // rejection threshold of the combination

// Capacities: sky values of one annulus and measurements of one combination
// (more stops the run).
inline constexpr int SKY2_MAX = SKY_ANNULUS_MAX;
inline constexpr int MREJ_MAX = 999;

// The per-star-per-exposure arrays of one mode (digit 2 or 3).
struct Meth2Ln {
  Array2<float>&x, &y, &z, &sz, &s, &ss, &q, &o;
  Array2<short>&f, &g;
};
// The per-star-per-filter arrays of one mode written by find_avg_z2.
struct Meth2Lf {
  Array2<float>&z, &sz, &q, &o;
  Array2<short>&f, &g;
};
// The arrays of mode 2 or 3; any other mode stops the run ("M2M3 must be 2 or 3").
Meth2Ln meth2_ln(LocalExposureResults& ln, int mode);
Meth2Lf meth2_lf(LocalList& local, int mode);

struct Meth2Sky {
  float sky = 0.0f, scatter = 0.0f;
  int count = 0;
};

// Working room of one sky annulus: values and weights.
using Sky2Buffer = SkyBuffer;

// Weighted clipped mean of v(0..n-1) with weights w: more than 10 values are
// required (else mean 0, scatter 9999, count 0). Passes take the weighted mean
// m and the scatter sum w |v - m| / sum w of the values still in, then drop
// every value farther than 3 scatters from m, until a pass drops nothing;
// count = values in. Sums in double.
Meth2Sky barsigw_meth2(const float* v, const float* w, int n);

// Sky of a star at raster (x, y), nearest pixel (ic, jc) = trunc(x + 0.5),
// trunc(y + 0.5): the residual values of the pixels (ic + a, jc + b) with
// (r_in - 0.5)^2 <= a^2 + b^2 <= (r_out + 0.5)^2 and 2 <= ic + a, jc + b <= 300
// that are unmasked, each with weight 1 / e^2, e^2 = pixe^2 + model^2 + pixm^2
// (a pixel whose value or weight is not a finite number is left out, as a
// masked one). More than 1000 pixels stop the run ("find_sky_meth2:  Ls.gt.1000");
// fewer than 10 give sky = scatter = count = 0; otherwise the weights are
// scaled to average 1 and barsigw_meth2 decides.
Meth2Sky find_sky_meth2(float x, float y, float r_in, float r_out, View2<const float> residual,
                        View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                        View2<const float> pixm, Sky2Buffer& buffer);

struct Meth2Flux {
  float z = 0.0f, sz = M2_NO_FLUX_ERROR, q = 0.0f, o = 0.0f;
  short f = 0;
};

// Weighted per-pixel flux of a star at raster (x, y) with sky `sky` and sky
// scatter ss (> 0), over the pixels ic +- max(h, 1), jc +- max(h, 1) (which must
// lie on the raster; else the star is not measured). Any masked pixel among
// them (or one whose value, neighbour model, model or pixm is not a finite
// number) fails the measurement: z = 0, sz = 9999, q = o = 0, f = 0. With h = 0
// only pixels closer than 0.75 pixel to (x, y) are used. For each pixel used:
// p = PSF(i - x, j - y), d = pixel - neighbours - sky, V = model + ss^2 + pixm^2,
// weight w = (p / V)^2, estimate d / p. z = sum w d/p / sum w, sz = sqrt(1 / sum w),
// q = sum d p / sqrt(sum d^2 sum p^2), o = sum w neighbours / sum w p, f = 1.
// Without weight the star is not measured. The pixel errors pixe do not enter
// the variance; the sky scatter stands for them.
Meth2Flux find_zwt_meth2(float x, float y, float sky, int h, float ss, View2<const float> pix,
                         View2<const std::uint8_t> mask, View2<const float> neighbours, View2<const float> pixm,
                         View2<const float> model, const LocalPsf& psf);

// Method 2 (mode 2) or 3 (mode 3) on stars 1..ls of the local list over the
// tile's exposures 1..te.ns (local PSF of exposure n: psf_n[n - 1]): resets and
// writes the x, y, z, sz, s, ss, q, o, f arrays of that mode. Stops the run for
// a mode other than 2 or 3 ("M2M3 must be 2 or 3"), for arrays not sized for
// the tile, a filter slot or RAP out of range, or a sky annulus of more than
// 1000 pixels.
void meth2_xyz_tile(int ls, const LocalList& local, LocalExposureResults& ln, const TileExposures& te,
                    std::span<const LocalPsf> psf_n, int mode);

struct MrejAverage {
  double mean = 0.0, scatter = M2_NO_AVG_SCATTER;
  int used = 0, kept = 0;
};

// Weighted mean of z(0..n-1) with weights w (summing to 1) and rejection of
// outliers beyond k. Measurements with weight <= 0 (or not a number) are
// neither used nor kept; low-weight trimming removes the lightest kept one
// (first on ties) from both sets while it weighs less than 0.2 of the kept
// ones' mean weight; with three or more kept, the one farthest from the
// others' weighted mean in units of their scatter sum w |z - m| /
// (sum w - max w) (floored at 0.005 m) is rejected from the kept set when
// beyond k, and trimming resumes. used/kept (n flags, 1 or 0) tell each
// measurement's fate. None used gives mean 0, scatter 99999; one kept gives
// scatter 99999. More than 999 measurements stop the run
// ("barsig_1DW_MREJ: Ls.gt.999"), as do a leave-one-out sum equal to its
// largest weight ("1MREJ wtot.eq.wmax") and a kept weight sum <= 0
// ("1MREJ wtot.le.0").
MrejAverage barsig_1dw_mrej(const float* z, const double* w, int n, double k, std::uint8_t* used,
                            std::uint8_t* kept);

// Combines the mode's per-exposure fluxes of stars 1..ls per filter slot (the
// exposures of that filter with f = 1, weights 1 / sz^2 normalised to sum 1)
// into z_lf, sz_lf, f_lf (used), g_lf (kept), q_lf and o_lf (weighted means
// over the kept; q not a number or negative gives 0) and sets g_ln of every
// exposure of the star to 1 when kept, else 0. The sky arrays per filter are
// not written.
void find_avg_z2(int ls, int ns, const Array1<int>& fff_n, LocalExposureResults& ln, LocalList& local, int mode);

}  // namespace zeb
