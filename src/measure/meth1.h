// Measurement method 1: every star of the local list is measured again in
// every exposure, at the positions method 0 left, by a weighted least-squares
// fit of position and flux with the neighbours' model subtracted and a local
// sky from a weighted, clipped annulus. Each measurement also gets q, the
// correlation of the data with the PSF, and o, the flux of other stars inside
// the fitting box. find_avg_uvz1 then combines, per star and filter slot, the
// positions and fluxes with a joint three-dimensional rejection. The local
// list's positions and method-0 fluxes are not changed.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/array.h"
#include "measure/exposure_stars.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "measure/meth0.h"
#include "psf/psf.h"
#include "tile/tile_exposures.h"

namespace zeb {

// Sentinels and limits of method 1.
inline constexpr float M1_SZ_RESET = 99999.9f;          // sz1_ln of a star the fit was not attempted for
inline constexpr float M1_SZ_FAILED = 9999.0f;          // sz1_ln of a star that failed the peak test
inline constexpr float M1_SKY_BAD_SCATTER = 999999.875f;  // sky scatter when the mean is not usable
inline constexpr float M1_BARSIGW_SCATTER = SKY_TOO_FEW_SCATTER;  // scatter of meth1_barsigw with 10 values or fewer
inline constexpr int M1_SKY_MAX = SKY_ANNULUS_MAX;      // sky pixels of one annulus
inline constexpr int M1_SKY_MIN = SKY_ANNULUS_MIN;      // fewer sky pixels give no sky
inline constexpr int M1_COMBINE_MAX = 999;              // measurements of one star and filter
inline constexpr double M1_REJECT_K = 7.5;              // rejection threshold of find_avg_uvz1

// Robust weighted mean of x(0..n-1) with weights w: with 10 values or fewer
// mean 0, scatter 9999, count 0; otherwise, starting with every value in,
// repeated passes take the weighted mean m and the scatter s = sum w |x - m| /
// sum w over the values in and drop every value farther than 3 s from m, until
// a pass drops none; count = values left in.
SkyEstimate meth1_barsigw(const float* x, const float* w, int n);

// Buffers of one sky annulus.
using Meth1SkyBuffer = SkyBuffer;

// Sky around raster position (x, y), nearest pixel (ic, jc) = trunc(x + 0.5):
// the residual values of the unmasked pixels (ic + a, jc + b) with
// (rin - 0.5)^2 <= a^2 + b^2 <= (rout + 0.5)^2 and 2 <= ic + a, jc + b <= 300,
// weighted 1 / (pixe^2 + model^2 + pixm^2) scaled to average 1, through
// meth1_barsigw. Fewer than 10 pixels give sky, scatter and count 0; more than
// 1000 stop the run; a mean that is not above -99999 gives sky 0, scatter
// 999999.875, count 0. Pixels whose residual or weight is not a finite number
// carry no sky.
SkyEstimate meth1_find_sky(float x, float y, int rin, int rout, View2<const float> resid,
                           View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                           View2<const float> pixm, Meth1SkyBuffer& buffer);

// Model of the other stars on the fitting box ic +- half, jc +- half.
class Meth1NeighbourBox {
 public:
  static constexpr int HALF_MAX = RAP_MAX + 1;
  static constexpr int SIDE_MAX = 2 * HALF_MAX + 1;

  // Centres the box (half 1..HALF_MAX) and sets it to 0.
  void reset(int ic, int jc, int half);
  int ic() const { return ic_; }
  int jc() const { return jc_; }
  int half() const { return half_; }
  bool contains(int i, int j) const {
    return i >= ic_ - half_ && i <= ic_ + half_ && j >= jc_ - half_ && j <= jc_ + half_;
  }
  float& operator()(int i, int j) { return v_[index(i, j)]; }
  float operator()(int i, int j) const { return v_[index(i, j)]; }

 private:
  std::size_t index(int i, int j) const {
    const int a = i - ic_ + half_, b = j - jc_ + half_;
    detail::check_index("neighbour box x", a + 1, 2 * half_ + 1);
    detail::check_index("neighbour box y", b + 1, 2 * half_ + 1);
    return static_cast<std::size_t>(a + SIDE_MAX * b);
  }
  int ic_ = 0, jc_ = 0, half_ = 1;
  std::array<float, SIDE_MAX * SIDE_MAX> v_{};
};

// Result of one method-1 fit (raster position, flux, noise, quality numbers).
struct Meth1Fit {
  float x = 0.0f, y = 0.0f, z = 0.0f, sz = M1_SZ_FAILED, q = 0.0f, o = 0.0f;
  short f = 0;
};

// Fits star (ic, jc) with half-size r (1..RAP_MAX) on d = pixel - neighbours -
// sky over the box of `nb` (centred on (ic, jc), half r + 1, inside the
// raster). The peak is the pixel of the 3 x 3 around (ic, jc) with the largest
// d; the fit is given up (f = 0, sz = 9999) when a pixel of the peak's +- r box
// is masked, not a finite number, has a larger d than the peak, or has a noise
// sqrt(pixe^2 + nb^2 + pixm^2 + ss^2) that is zero or not finite while others
// are not. Otherwise six passes of 7 x 7 trial points (steps 0.2 ... 0.005
// pixel) minimise chi = sum w (d - p t)^2, t = sum d / sum p, w = 1 / noise^2
// normalised to sum 1. Outputs the kept point, t, sz = sqrt(sum noise^2),
// f = 1, o = sum nb / sum p and q = sum p d / (|d| |p|) (0 when d or p is 0
// throughout). A box whose noise is zero throughout is dumped pixel by pixel
// and stops the run ("sz1: ").
Meth1Fit meth1_find_xyz(int ic, int jc, float sky, float sky_scatter, int r, View2<const float> pixv,
                        View2<const std::uint8_t> mask, const Meth1NeighbourBox& nb, View2<const float> pixe,
                        View2<const float> pixm, const LocalPsf& psf, bool verbose);

// Joint average of n measurements (u, v, z) with weights w (normalised by the
// caller), rejecting with threshold k; in(0..n-1) tells which were kept.
struct Average3 {
  double u = 0.0, v = 0.0, z = 0.0, su = 0.0, sv = 0.0, sz = 0.0;
  int kept = 0;
};
// Drops weights <= 0, then alternates low-weight trimming (the smallest weight
// below 0.2 x the mean weight of those in, one at a time, while 2 or more are
// in) with rejecting the one measurement whose leave-one-out distance
// D = |(du/su, dv/sv, dz/sz)| is largest and above k, while 3 or more are in.
// Scatters are sum w |x - mean| / (sum w - max w) (with fewer than 3 in:
// / sum w; one in: 9.9, 9.9, 9999.9). None in: 0, 0, 0, scatters 99999,
// kept 0. Stops the run with more than 999 measurements.
Average3 barsig_3dw_mrej(const float* u, const float* v, const float* z, const double* w, int n, double k,
                         std::uint8_t* in);

// Method 1 on stars 1..ls over the tile's exposures 1..te.ns (psf_n element
// n - 1 for exposure n): writes u1_ln ... f1_ln, with s1_ln, ss1_ln the sky of
// every star. Only stars whose whole fitting box lies on the raster and whose
// sky has more than 10 values kept are fitted. `verbose` writes the progress
// markers of the method.
void meth1_xyz_tile(int ls, const LocalList& local, LocalExposureResults& ln, const TileExposures& te,
                    std::span<const LocalPsf> psf_n, bool verbose);

// Combines, for stars 1..ls and both filter slots, the exposures of the slot
// with f1_ln = 1 (weights 1 / sz1_ln^2) into u1_lf, v1_lf, su1_lf, sv1_lf,
// z1_lf, sz1_lf, f1_lf, g1_lf, q1_lf, o1_lf; g1_ln marks the kept ones.
void find_avg_uvz1(int ls, int ns, const Array1<int>& fff_n, LocalExposureResults& ln, LocalList& local);

}  // namespace zeb
