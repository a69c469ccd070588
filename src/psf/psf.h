// The PSF model: a 101 x 101 grid sampled four times per detector pixel,
// 1-based, x fastest, centre at element (51, 51). Element (a, b) is the
// fraction of a star's flux that falls into a pixel whose centre lies
// ((a - 51) / 4, (b - 51) / 4) pixels from the star.
//
// A LocalPsf is one such grid made ready for evaluation: besides the grid it
// keeps, for every cell of the inner region, the coefficients of the quadratic
// surfaces that rpsf_phot blends there. The coefficients are computed with the
// same single-precision operations rpsf_phot would otherwise perform on every
// call, so evaluating through them gives bit-identical results; they only move
// that work from once per call to once per PSF. A tile keeps one LocalPsf per
// exposure (built from its tapered local PSF) and reads it through rpsf_phot.
#pragma once

#include <cstring>
#include <vector>

#include "core/array.h"
#include "core/limits.h"

namespace zeb {

inline constexpr int PSF_CENTRE = 51;
inline constexpr int PSF_NGRID = PSF_NPIX * PSF_NPIX;  // 10201 values

// rpsf_phot regimes, written as squared radii so that no square root is needed:
// the largest single-precision r2 whose square root is <= 4 (16 + 2^-19: the
// exact root of the next float above 16 rounds down to 4) and <= 12 (144
// itself). As the single-precision square root is correctly rounded and
// monotone, r2 <= these thresholds is exactly sqrt(r2) <= 4 and sqrt(r2) <= 12.
inline constexpr float PSF_R2_QUADRATIC = 0x1.000002p+4f;
inline constexpr float PSF_R2_MAX = 144.0f;

// Cells (ix, iy) the quadratic regime can reach: r <= 4 pixels keeps
// 4 dx + 51 within 35..67 on both axes.
inline constexpr int PSF_QCELL_LO = 35;
inline constexpr int PSF_QCELL_HI = 67;
inline constexpr int PSF_QCELL_N = PSF_QCELL_HI - PSF_QCELL_LO + 1;

namespace detail {
// Four single-precision lanes (the compiler's vector extension): element-wise
// arithmetic with the rounding of the scalar operations.
using Float4 = float __attribute__((vector_size(16)));
inline Float4 load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
}  // namespace detail

class LocalPsf {
 public:
  // Quadratic surfaces of the four corners of one cell, corner k = 0..3 being
  // (ix, iy), (ix + 1, iy), (ix, iy + 1), (ix + 1, iy + 1):
  // V = a + b ex + c ey + d ex^2 + e ex ey + f ey^2.
  struct alignas(32) Cell {
    float a[4], b[4], c[4], d[4], e[4], f[4];
  };

  LocalPsf();  // an all-zero PSF
  explicit LocalPsf(View2<const float> grid);

  // Takes a copy of a 101 x 101 grid and prepares its coefficients; storage is
  // reused, so refilling an existing LocalPsf allocates nothing.
  void assign(View2<const float> grid);

  View2<const float> grid() const { return View2<const float>(p_.data(), PSF_NPIX, PSF_NPIX); }
  const float* data() const { return p_.data(); }
  const Cell& cell(int ix, int iy) const {
    detail::check_index("quadratic cell x", ix - PSF_QCELL_LO + 1, PSF_QCELL_N);
    detail::check_index("quadratic cell y", iy - PSF_QCELL_LO + 1, PSF_QCELL_N);
    return cells_[static_cast<std::size_t>((ix - PSF_QCELL_LO) + PSF_QCELL_N * (iy - PSF_QCELL_LO))];
  }

 private:
  void prepare();
  std::vector<float> p_;
  std::vector<Cell> cells_;
};

// Value of the PSF for a pixel whose centre lies (dx, dy) pixels from the star
// (pixel centre minus star centre). Beyond 12 pixels (or for offsets that are
// not numbers) it is 0; from 4 to 12 pixels it interpolates the grid
// bilinearly; within 4 pixels it blends, with the bilinear weights, the
// quadratic surfaces expanded about the four grid points around the offset.
// All arithmetic is single precision, evaluated in this order (the reference
// definition the precomputed cells reproduce bit for bit):
//   rx = 4 dx + 51, ix = trunc(rx), fx = rx - ix (likewise y);
//   weights w00 = (1-fx)(1-fy), w10 = fx(1-fy), w01 = (1-fx)fy, w11 = fx fy;
//   bilinear: ((w00 P00 + w10 P10) + w01 P01) + w11 P11;
//   quadratic: V = ((((A + B ex) + C ey) + D (ex ex)) + E (ex ey)) + F (ey ey)
//   about each corner, B = (P+x - P-x) / 2, D = ((P+x + P-x) - 2A) / 2 (C, F
//   along y), E the diagonal difference of the cell for that corner, blended as
//   ((w00 V00 + w10 V10) + w01 V01) + w11 V11.
// Pure, allocation-free.
namespace detail {
// The two blends of rpsf_phot, given the cell's fractions as lanes: the
// bilinear weights w = (w00, w10, w01, w11), the corner offsets ex, ey and
// their products. Each lane performs the scalar operations in the scalar
// order, so the values are those of four separate evaluations.
struct CellPhase {
  Float4 w, ex, ey, exx, exy, eyy;
  CellPhase() = default;
  CellPhase(float fx, float fy) {
    const float gx = 1.0f - fx;
    const float gy = 1.0f - fy;
    w = Float4{gx * gy, fx * gy, gx * fy, fx * fy};
    ex = Float4{fx, fx - 1.0f, fx, fx - 1.0f};
    ey = Float4{fy, fy, fy - 1.0f, fy - 1.0f};
    exx = ex * ex;
    exy = ex * ey;
    eyy = ey * ey;
  }
};
// Bilinear between the grid values around grid element (ix, iy).
inline float blend_grid(const LocalPsf& psf, int ix, int iy, const CellPhase& ph) {
  const float* p = psf.data() + (ix - 1) + PSF_NPIX * (iy - 1);
  return ph.w[0] * p[0] + ph.w[1] * p[1] + ph.w[2] * p[PSF_NPIX] + ph.w[3] * p[PSF_NPIX + 1];
}
// The quadratic surfaces of cell (ix, iy), blended.
inline float blend_cell(const LocalPsf& psf, int ix, int iy, const CellPhase& ph) {
  const LocalPsf::Cell& c = psf.cell(ix, iy);
  const Float4 v = load4(c.a) + load4(c.b) * ph.ex + load4(c.c) * ph.ey + load4(c.d) * ph.exx +
                   load4(c.e) * ph.exy + load4(c.f) * ph.eyy;
  const Float4 wv = ph.w * v;
  return wv[0] + wv[1] + wv[2] + wv[3];
}
}  // namespace detail

inline float rpsf_phot(float dx, float dy, const LocalPsf& psf) {
  const float r2 = dx * dx + dy * dy;
  // Written so that a NaN offset also gives 0 (and never reaches the grid).
  if (!(r2 <= PSF_R2_MAX)) return 0.0f;
  const float rx = 4.0f * dx + 51.0f;
  const float ry = 4.0f * dy + 51.0f;
  const int ix = static_cast<int>(rx);  // rx >= 3 here: truncation is the floor
  const int iy = static_cast<int>(ry);
  const detail::CellPhase ph(rx - static_cast<float>(ix), ry - static_cast<float>(iy));
  if (r2 > PSF_R2_QUADRATIC) return detail::blend_grid(psf, ix, iy, ph);
  return detail::blend_cell(psf, ix, iy, ph);
}

// The PSF at many pixels around one star position (tx, ty), as the fits and
// models ask for it: the position's sub-pixel phase (the cell fractions and
// blending weights of rpsf_phot) is worked out once and shared by every pixel.
// Sharing is exact where it is used: for 16 <= tx, ty < 512 and whole-pixel
// centres i within 12 pixels, i - tx and 4 (i - tx) + 51 need at most 24
// significant bits, so single precision holds them exactly; rx then moves by
// exactly 4 per pixel, its integer part by 4 and its fraction not at all. At
// positions nearer the origin the phase is not shared and every pixel is
// evaluated by rpsf_phot itself.
class PsfPhase {
 public:
  PsfPhase() = default;  // the star at (0, 0)
  PsfPhase(float tx, float ty) : tx_(tx), ty_(ty) {
    shared_ = tx >= 16.0f && tx < 512.0f && ty >= 16.0f && ty < 512.0f;
    if (!shared_) return;
    i_ref_ = static_cast<int>(tx);
    j_ref_ = static_cast<int>(ty);
    const float rx = 4.0f * (static_cast<float>(i_ref_) - tx) + 51.0f;
    const float ry = 4.0f * (static_cast<float>(j_ref_) - ty) + 51.0f;
    ix_ref_ = static_cast<int>(rx);
    iy_ref_ = static_cast<int>(ry);
    phase_ = detail::CellPhase(rx - static_cast<float>(ix_ref_), ry - static_cast<float>(iy_ref_));
  }

  // rpsf_phot(i - tx, j - ty, psf), bit for bit, for the whole pixel (i, j).
  float at(int i, int j, const LocalPsf& psf) const {
    const float dx = static_cast<float>(i) - tx_;
    const float dy = static_cast<float>(j) - ty_;
    if (!shared_) return rpsf_phot(dx, dy, psf);
    const float r2 = dx * dx + dy * dy;
    if (!(r2 <= PSF_R2_MAX)) return 0.0f;
    const int ix = ix_ref_ + 4 * (i - i_ref_);
    const int iy = iy_ref_ + 4 * (j - j_ref_);
    if (r2 > PSF_R2_QUADRATIC) return detail::blend_grid(psf, ix, iy, phase_);
    return detail::blend_cell(psf, ix, iy, phase_);
  }

 private:
  float tx_ = 0.0f, ty_ = 0.0f;
  bool shared_ = false;
  int i_ref_ = 0, j_ref_ = 0, ix_ref_ = 0, iy_ref_ = 0;
  detail::CellPhase phase_;
};

// Multiplies a 101 x 101 PSF by a taper that is 1 within r_in pixels of the
// centre and falls linearly to 0 at r_out pixels (the grid being sampled four
// times per pixel): factor = 1 - (r - r_in) / (r_out - r_in), clipped to [0, 1].
// The tile loop uses r_in = 6, r_out = 11.
void psf_taper(View2<float> psf, float r_in, float r_out);

}  // namespace zeb
