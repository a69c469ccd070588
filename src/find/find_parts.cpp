// The small parts of source finding: requirements by coverage, the line fit
// and PSF refinement of a candidate, the sort of a sky ring, and the geometry
// helpers of the fine grid.
#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>

#include "core/bubble_order.h"
#include "core/fortran_format.h"
#include "core/stop.h"
#include "find/find_internal.h"
#include "find/find_tile.h"
#include "psf/psf.h"

namespace zeb {

namespace {

// The parameter file refuses such radii; settings made otherwise are held to
// the same range.
void check_spreading_radius(const char* name, float value, int nit) {
  if (spreading_radius_ok(value)) return;
  write_list(std::cout, "find_tile: spreading radius out of range 0..10 in iteration ", nit);
  write_list(std::cout, std::string("  ") + name + ": ", value);
  stop_run("find_tile: bad spreading radius");
}

}  // namespace

FindSettings find_settings(const Settings& settings, int nit) {
  if (nit < 1 || nit > NITDIM) {
    write_list(std::cout, "find_tile: no finding settings for iteration ", nit);
    stop_run("find_tile: NIT out of range");
  }
  FindSettings s;
  s.hmin = settings.hmin_nit(nit);
  s.ssig = settings.ssig_nit(nit);
  s.qmin = settings.qmin_nit(nit);
  s.dmin = settings.dmin_nit(nit);
  s.pmin = settings.pmin_nit(nit);
  s.qsel = settings.qsel_nit(nit);
  s.qsep = settings.qsep_nit(nit);
  s.dsep = settings.dsep_nit(nit);
  s.psep = settings.psep_nit(nit);
  s.oprx = settings.oprx_nit(nit);
  s.oprv = settings.oprv_nit(nit);
  s.jsig = settings.jsig_nit(nit);
  check_spreading_radius("QSEP", s.qsep, nit);
  check_spreading_radius("DSEP", s.dsep, nit);
  check_spreading_radius("PSEP", s.psep, nit);
  return s;
}

// ---------------------------------------------------------------------------
// Requirements by coverage.

namespace {

constexpr int NO_REQUIREMENT = 99;  // more exposures than any point can have
constexpr int QREQ_TABLE = 150;
constexpr int PREQ_TABLE = 999;

int qreq_formula(int c) {
  if (c <= 0) return NO_REQUIREMENT;
  static constexpr int small[] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 6};  // c = 1..10
  if (c <= 10) return small[c - 1];
  return static_cast<int>(0.6f * static_cast<float>(c));
}

int preq_formula(int c) {
  if (c <= 0) return NO_REQUIREMENT;
  // Upper ends of the ranges 1-4, 5, 6, 7-8, ..., 47-50; the requirement of
  // range k (from 0) is k + 3.
  static constexpr int upper[] = {4, 5, 6, 8, 9, 10, 12, 14, 16, 18, 20, 23, 26, 30, 33, 36, 40, 43, 46, 50};
  for (int k = 0; k < static_cast<int>(std::size(upper)); ++k)
    if (c <= upper[k]) return k + 3;
  // From 51 on in steps of five, except the ten-wide steps 121-130 and 191-200.
  if (c <= 120) return 23 + (c - 51) / 5;
  if (c <= 130) return 37;
  if (c <= 190) return 38 + (c - 131) / 5;
  if (c <= 200) return 50;
  if (c <= 600) return 51 + (c - 201) / 5;
  if (c <= PREQ_TABLE) return static_cast<int>(130.0f * static_cast<float>(c) / 600.0f + 1.0f);
  return static_cast<int>(33LL * c / 150);
}

template <int N, int (*F)(int)>
const std::array<int, N + 1>& requirement_table() {
  static const std::array<int, N + 1> table = [] {
    std::array<int, N + 1> t{};
    for (int c = 0; c <= N; ++c) t[static_cast<std::size_t>(c)] = F(c);
    return t;
  }();
  return table;
}

}  // namespace

int qreq_n(int c) {
  if (c >= 1 && c <= QREQ_TABLE) return requirement_table<QREQ_TABLE, qreq_formula>()[static_cast<std::size_t>(c)];
  return qreq_formula(c);
}

int preq_n(int c) {
  if (c >= 1 && c <= PREQ_TABLE) return requirement_table<PREQ_TABLE, preq_formula>()[static_cast<std::size_t>(c)];
  return preq_formula(c);
}

int dreq_n(int c) {
  if (c == 2 || c == 3) return 2;
  if (c >= 4 && c <= 6) return 3;
  if (c > 6) return c / 2 + 1;
  return NO_REQUIREMENT;
}

// ---------------------------------------------------------------------------
// Line fit and PSF refinement.

namespace {

// The parts of a line fit from its weighted sums, dn = s sxx - sx^2 being
// the spread in x. The correlation: t = (s syy - sy^2) dn = 0 means no spread
// in x or in y, and the correlation is then taken as 0 (a division by zero
// would give an infinite or undefined one).
float line_correlation(float s, float sx, float sy, float sxy, float syy_spread, float dn) {
  const float t = syy_spread * dn;
  return t > 0.0f ? (s * sxy - sx * sy) / std::sqrt(t) : 0.0f;
}
// The line itself: without spread in x it is undefined, and a and b stay 0
// rather than becoming infinities.
void line_coefficients(float s, float sx, float sy, float sxx, float sxy, float dn, LineFit& fit) {
  if (dn == 0.0f) return;
  fit.a = (sxx * sy - sx * sxy) / dn;
  fit.b = (s * sxy - sx * sy) / dn;
}

LineFit line_from_sums(float s, float sx, float sy, float sxx, float sxy, float syy) {
  LineFit fit;
  const float dn = s * sxx - sx * sx;
  line_coefficients(s, sx, sy, sxx, sxy, dn, fit);
  fit.r = line_correlation(s, sx, sy, sxy, s * syy - sy * sy, dn);
  return fit;
}

}  // namespace

LineFit linfitw(const float* x, const float* y, const float* w, int n) {
  float s = 0.0f, sx = 0.0f, sy = 0.0f, sxx = 0.0f, sxy = 0.0f, syy = 0.0f;
  for (int k = 0; k < n; ++k) {
    s += w[k];
    sx += w[k] * x[k];
    sy += w[k] * y[k];
    sxx += w[k] * x[k] * x[k];
    sxy += w[k] * x[k] * y[k];
    syy += w[k] * y[k] * y[k];
  }
  return line_from_sums(s, sx, sy, sxx, sxy, syy);
}

namespace {
constexpr float RMS_CAP = 9.99f;
}

QoptKernels::QoptKernels(View2<const float> psf) {
  for (int ox = -2, o = 0; ox <= 2; ++ox)
    for (int oy = -2; oy <= 2; ++oy, ++o) {
      float* mo = m[o];
      int k = 0;
      for (int kx = -2; kx <= 2; ++kx)
        for (int ky = -2; ky <= 2; ++ky, ++k) mo[k] = psf(PSF_CENTRE + 4 * kx + ox, PSF_CENTRE + 4 * ky + oy);
      // linfitw's sums of x and x^2 with unit weights: w x = x and (w x) x = x x exactly.
      float s1 = 0.0f, s2 = 0.0f;
      for (k = 0; k < TAPS; ++k) {
        s1 += mo[k];
        s2 += mo[k] * mo[k];
      }
      sx[o] = s1;
      sxx[o] = s2;
      dn[o] = static_cast<float>(TAPS) * s2 - s1 * s1;  // s = 25, the sum of 25 unit weights
    }
}

QoptResult find_qopt(int xt, int yt, View2<const float> d, View2<const float> e, View2<const float> psf) {
  return find_qopt(xt, yt, d, e, QoptKernels(psf));
}

// The line fit of linfitw with unit weights, its PSF-only sums taken from the
// kernels: each sum is the one linfitw accumulates, in the same order, so the
// results are the same bit for bit.
QoptResult find_qopt(int xt, int yt, View2<const float> d, View2<const float> e, const QoptKernels& kernels) {
  QoptResult res;
  if (xt < 4 || xt > 297 || yt < 4 || yt > 297) return res;
  constexpr int TAPS = QoptKernels::TAPS;
  float dk[TAPS], ek[TAPS];
  // The data do not depend on the trial offset.
  int k = 0;
  for (int kx = -2; kx <= 2; ++kx)
    for (int ky = -2; ky <= 2; ++ky, ++k) {
      dk[k] = d(xt + kx, yt + ky);
      ek[k] = e(xt + kx, yt + ky);
    }
  float s = 0.0f, sy = 0.0f, syy = 0.0f;
  for (k = 0; k < TAPS; ++k) {
    s += 1.0f;
    sy += dk[k];
    syy += dk[k] * dk[k];
  }
  // The line itself is worked out only for an offset whose correlation is
  // the best so far.
  const float syy_spread = s * syy - sy * sy;
  int best = -1;
  for (int ox = -2, o = 0; ox <= 2; ++ox) {
    for (int oy = -2; oy <= 2; ++oy, ++o) {
      const float* m = kernels.m[o];
      float sxy = 0.0f;
      for (k = 0; k < TAPS; ++k) sxy += m[k] * dk[k];
      const float r = line_correlation(s, kernels.sx[o], sy, sxy, syy_spread, kernels.dn[o]);
      if (!(r > res.q)) continue;
      LineFit fit;
      line_coefficients(s, kernels.sx[o], sy, kernels.sxx[o], sxy, kernels.dn[o], fit);
      best = o;
      res.q = r;
      res.xq = static_cast<float>(xt) - static_cast<float>(ox) / 4.0f;
      res.yq = static_cast<float>(yt) - static_cast<float>(oy) / 4.0f;
      res.sky = fit.a;
      res.flux = fit.b;
    }
  }
  // The scatter about the line of the offset kept.
  if (best >= 0) {
    const float* m = kernels.m[best];
    float chi2 = 0.0f;
    for (int j = 0; j < TAPS; ++j) {
      const float z = (dk[j] - res.flux * m[j] - res.sky) / ek[j];
      chi2 += z * z;
    }
    const float rms = std::sqrt(chi2 / 23.0f);
    res.rms = rms < RMS_CAP ? rms : RMS_CAP;  // also caps a scatter that is not a number
  }
  return res;
}

// ---------------------------------------------------------------------------
// Fine-grid geometry.

namespace find_detail {

FineWindow fine_window(const FindWindow& w) {
  FineWindow f;
  f.a1 = std::max(1, 4 * (w.i1 - 151) + 601);
  f.a2 = std::min(FINE_GRID, 4 * (w.i2 - 151) + 601);
  f.b1 = std::max(1, 4 * (w.j1 - 151) + 601);
  f.b2 = std::min(FINE_GRID, 4 * (w.j2 - 151) + 601);
  return f;
}

FindWindow clip_window(const FindWindow& w) {
  FindWindow c;
  c.i1 = std::max(1, w.i1);
  c.i2 = std::min(TILE_GRID, w.i2);
  c.j1 = std::max(1, w.j1);
  c.j2 = std::min(TILE_GRID, w.j2);
  return c;
}

std::vector<Offset> disc_offsets(int r) {
  std::vector<Offset> out;
  if (r < 0) return out;
  const double lim = (r + 0.5) * (r + 0.5);
  for (int dy = -r; dy <= r; ++dy)
    for (int dx = -r; dx <= r; ++dx)
      if (static_cast<double>(dx) * dx + static_cast<double>(dy) * dy <= lim) out.push_back({dx, dy});
  return out;
}

std::vector<int> disc_half_widths(int r) {
  std::vector<int> half;
  const double lim = (r + 0.5) * (r + 0.5);
  for (int dy = 0; dy <= r; ++dy) {
    int dx = r;
    while (static_cast<double>(dx) * dx + static_cast<double>(dy) * dy > lim) --dx;
    half.push_back(dx);
  }
  return half;
}

int fine_radius(float s, float add) {
  const float r = 4.0f * s + add;
  if (!(r > -1.0f)) return -1;  // negative or not a number: no disc
  // 2 x 1201 covers every pair of fine pixels.
  if (r >= 2.0f * FINE_GRID) return 2 * FINE_GRID;
  return static_cast<int>(r);
}

}  // namespace find_detail

}  // namespace zeb
