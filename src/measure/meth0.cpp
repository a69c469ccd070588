#include "measure/meth0.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/robust_stats.h"
#include "core/stop.h"
#include "core/text.h"
#include "geometry/tile_tables.h"
#include "measure/exposure_stars.h"
#include "measure/tile_model.h"

namespace zeb {

namespace {

constexpr int CORE_HALF = 3;            // the 7 x 7 pixels that must be clean for a measurement
constexpr int EDGE_LO = 6, EDGE_HI = 296;  // nearest pixels a star is measured at
constexpr float CLOSE_R2 = 6.25f;       // close neighbours: closer than 2.5 pixels
constexpr float TRIAL_NEAR_R2 = 0.64f;  // a trial point closer than 0.8 pixel to a close neighbour is skipped
constexpr float FIT_BEST_START = 9.0e19f;
constexpr int FIT_PASSES = 9;
constexpr float FIT_STEPS[FIT_PASSES] = {0.4f, 0.25f, 0.15f, 0.1f, 0.06f, 0.04f, 0.03f, 0.02f, 0.01f};
constexpr int FIT_BOX_MAX = (2 * RAP_MAX + 1) * (2 * RAP_MAX + 1);

// Everything a worker works with in one exposure, kept for the run: nothing
// is allocated per call, per star or per pixel.
struct Workspace : ExposureStarsWork {
  explicit Workspace(int ls) : ExposureStarsWork(ls), model(RASTER, RASTER) {}
  Array2<float> model;
  std::array<Point2, CLOSE_MAX> close{};
  int nclose = 0;
  PreparedBox box;
  std::array<float, SKY_MAX> sky{};
};

void reset_outputs(LocalExposureResults& ln, int ls, int n) {
  for (int l = 1; l <= ls; ++l) {
    ln.u0_ln(l, n) = 0.0f;
    ln.v0_ln(l, n) = 0.0f;
    ln.z0_ln(l, n) = 0.0f;
    ln.sz0_ln(l, n) = NO_FLUX_ERROR;
    ln.gp0_ln(l, n) = 0;
    ln.gz0_ln(l, n) = 0;
  }
}

// The model image of all stars of the exposure, from their predicted
// positions and modelling fluxes.
void build_model(Workspace& ws, int ls, const LocalPsf& psf) {
  model_stars(ws.pred.x0, ws.pred.y0, ws.pred.zi, ls, psf, ws.model.view());
}

// A star is measured only when its nearest pixel lies in 6..296 on both axes
// and the 7 x 7 pixels around it are all usable.
bool measurable(const ExposureViews& ev, int i0, int j0) {
  if (i0 < EDGE_LO || i0 > EDGE_HI || j0 < EDGE_LO || j0 > EDGE_HI) return false;
  for (int j = j0 - CORE_HALF; j <= j0 + CORE_HALF; ++j)
    for (int i = i0 - CORE_HALF; i <= i0 + CORE_HALF; ++i)
      if (!pixel_usable(ev, i, j)) return false;
  return true;
}

// May this exposure move a star of code w0? Character w0 (codes below 1 count
// as 1) of the exposure's position mask must be '1'; codes 6 and 7 never move.
bool may_move(int w0, const std::string& pos) {
  const int code = std::max(1, w0);
  if (code == 6 || code == 7) return false;
  return char_at(pos, static_cast<std::size_t>(code)) == '1';
}

// Collects the stars whose PSF can reach the prepared box of star l (in
// ascending order, for the neighbour model) and its close neighbours.
void gather_neighbours(Workspace& ws, int l, int half) {
  const Predictions& pr = ws.pred;
  const float reach = static_cast<float>(half + PSF_REACH) + 0.5f;
  const float x0 = pr.x0[l], y0 = pr.y0[l];
  ws.grid.gather(x0 - reach, x0 + reach, y0 - reach, y0 + reach, l, pr.x0.data(), pr.y0.data(), ws.candidates);
  ws.nclose = 0;
  for (const int k : ws.candidates) {
    const float dx = pr.x0[k] - x0, dy = pr.y0[k] - y0;
    if (dx * dx + dy * dy >= CLOSE_R2) continue;
    if (ws.nclose == CLOSE_MAX) stop_run("Ps.gt.99");
    ws.close[static_cast<std::size_t>(ws.nclose++)] = Point2{pr.x0[k], pr.y0[k]};
  }
}

// P, E and W of star l on its prepared box: P = pixel - N, N the model of the
// other stars summed in star order (only stars within reach contribute; the
// others would add exact zeros), E = sqrt(pixe^2 + pixm^2), W = the star's PSF.
void prepare_box(Workspace& ws, int l, int half, const ExposureViews& ev, const LocalPsf& psf) {
  const Predictions& pr = ws.pred;
  PreparedBox& box = ws.box;
  const int i0 = pr.i0[l], j0 = pr.j0[l];
  box.reset(i0, j0, half);
  const PsfPhase own(pr.x0[l], pr.y0[l]);
  for (int j = j0 - half; j <= j0 + half; ++j) {
    for (int i = i0 - half; i <= i0 + half; ++i) {
      // The 7 x 7 core was checked already; beyond it a pixel enters when it
      // is on the raster and usable (a fit box larger than 5 x 5 reaches it).
      if (!on_raster(i, j) || !pixel_usable(ev, i, j)) continue;
      box.set_usable(i, j);
      const float pe = ev.pixe(i, j), pm = ev.pixm(i, j);
      box.e(i, j) = std::sqrt(pe * pe + pm * pm);
      box.w(i, j) = own.at(i, j, psf);
    }
  }
  for (const int k : ws.candidates) {
    if (pr.zi[k] == 0.0f) continue;
    const int ilo = std::max(i0 - half, pr.i0[k] - PSF_REACH), ihi = std::min(i0 + half, pr.i0[k] + PSF_REACH);
    const int jlo = std::max(j0 - half, pr.j0[k] - PSF_REACH), jhi = std::min(j0 + half, pr.j0[k] + PSF_REACH);
    const PsfPhase neighbour(pr.x0[k], pr.y0[k]);
    for (int j = jlo; j <= jhi; ++j)
      for (int i = ilo; i <= ihi; ++i)
        if (box.usable(i, j)) box.nb(i, j) += pr.zi[k] * neighbour.at(i, j, psf);
  }
  for (int j = j0 - half; j <= j0 + half; ++j)
    for (int i = i0 - half; i <= i0 + half; ++i)
      if (box.usable(i, j)) box.p(i, j) = ev.pixv(i, j) - box.nb(i, j);
}

// Fits star l in exposure n and writes its per-exposure outputs.
void measure_star(Workspace& ws, int l, int n, const LocalList& local, LocalExposureResults& ln,
                  const TileExposures& te, const ExposureViews& ev, const LocalPsf& psf) {
  const Predictions& pr = ws.pred;
  const int i0 = pr.i0[l], j0 = pr.j0[l];
  if (!measurable(ev, i0, j0)) return;
  const int star = l + 1;
  const bool use = may_move(local.w0_l(star), te.pos_n(n));
  const int h = te.rap_n(n);
  // The fit box ic +- h may lie one pixel off (i0, j0), and the peak test
  // reads the 5 x 5 pixels around ic: both stay inside i0 +- max(3, h + 1).
  const int half = std::max(CORE_HALF, h + 1);
  gather_neighbours(ws, l, half);
  const SkyEstimate sky = find_sky(ev.pixv, ev.pixu, ws.model.view(), i0, j0, ws.sky);
  prepare_box(ws, l, half, ev, psf);
  cap_tempw(ws.box);
  const Meth0Fit fit = quik_xyz(ws.box, pr.x0[l], pr.y0[l], h, use, sky.centre,
                                std::span<const Point2>(ws.close.data(), static_cast<std::size_t>(ws.nclose)), psf);
  if (use) {
    ln.u0_ln(star, n) = ut_txy(fit.xa, fit.ya, ev.utab, ev.vtab);
    ln.v0_ln(star, n) = vt_txy(fit.xa, fit.ya, ev.utab, ev.vtab);
    ln.gp0_ln(star, n) = fit.gp;
  }
  ln.gz0_ln(star, n) = fit.gz;
  ln.z0_ln(star, n) = fit.za;
  ln.sz0_ln(star, n) = fit.sza;
}

}  // namespace

void PreparedBox::reset(int i0, int j0, int half) {
  i0_ = i0;
  j0_ = j0;
  half_ = std::clamp(half, 3, HALF_MAX);
  p_.fill(0.0f);
  e_.fill(0.0f);
  w_.fill(0.0f);
  n_.fill(0.0f);
  usable_.fill(0);
}

SkyEstimate find_sky_barsig(const float* v, int n) {
  float c = 0.0f;
  float s = 9.0e9f;
  int count = 0;
  int previous = -1;
  for (int pass = 1; pass <= 20; ++pass) {
    const float limit = 2.25f * s;
    double sum = 0.0, dev = 0.0;
    count = 0;
    for (int k = 0; k < n; ++k) {
      const float d = std::fabs(v[k] - c);
      if (!(d <= limit)) continue;
      sum += v[k];
      dev += d;
      ++count;
    }
    if (count > 0) c = static_cast<float>(sum / count);
    if (count > 1) s = static_cast<float>(dev / (count - 1));
    if (pass >= 2 && (static_cast<double>(count) < 0.35 * n || count == previous)) break;
    previous = count;
  }
  SkyEstimate r;
  r.centre = c;
  r.scatter = count <= 1 ? SINGLE_VALUE_SCATTER : s;
  r.count = count;
  return r;
}

SkyEstimate find_sky(View2<const float> pixv, View2<const std::uint8_t> pixu, View2<const float> model, int i0,
                     int j0, std::array<float, SKY_MAX>& buffer) {
  int n = 0;
  for (int b = -PSF_REACH; b <= PSF_REACH; ++b) {
    for (int a = -PSF_REACH; a <= PSF_REACH; ++a) {
      const int r2 = a * a + b * b;
      if (r2 < 64 || r2 >= 144) continue;
      const int i = i0 + a, j = j0 + b;
      if (!on_raster(i, j) || pixu(i, j) != 0) continue;
      const float value = pixv(i, j) - model(i, j);
      if (!std::isfinite(value)) continue;  // a pixel that is not a number carries no sky
      buffer[static_cast<std::size_t>(n++)] = value;
    }
  }
  return find_sky_barsig(buffer.data(), n);
}

void cap_tempw(PreparedBox& box) {
  const int i0 = box.i0(), j0 = box.j0(), half = box.half();
  float c = 0.0f;
  for (int j = j0 - 1; j <= j0 + 1; ++j)
    for (int i = i0 - 1; i <= i0 + 1; ++i) c += box.w(i, j);
  for (int j = j0 - 1; j <= j0 + 1; ++j)
    for (int i = i0 - 1; i <= i0 + 1; ++i) box.w(i, j) = c;
  for (int j = j0 - half; j <= j0 + half; ++j)
    for (int i = i0 - half; i <= i0 + half; ++i)
      if (box.w(i, j) > c) box.w(i, j) = c;
}

namespace {

// The 20 pixels a peak must not be exceeded by: the 5 x 5 square around it
// without its centre and its four corners.
constexpr int PEAK_RING[20][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1},
                                  {-2, -1}, {-2, 0}, {-2, 1}, {2, -1}, {2, 0}, {2, 1},
                                  {-1, -2}, {0, -2}, {1, -2}, {-1, 2}, {0, 2}, {1, 2}};

bool near_close_neighbour(float tx, float ty, std::span<const Point2> close) {
  for (const Point2& c : close) {
    const float dx = tx - c.x, dy = ty - c.y;
    if (dx * dx + dy * dy < TRIAL_NEAR_R2) return true;
  }
  return false;
}

// The fit box ic +- h, jc +- h laid out flat for the trials: the pixel
// offsets, P - sa and the normalised weights.
struct FitPixels {
  int n = 0;
  std::array<int, FIT_BOX_MAX> i, j;
  std::array<float, FIT_BOX_MAX> d, w;
  double spw = 0.0;  // sum (P - sa) W, the same for every trial
};

void collect_fit_pixels(const PreparedBox& box, int ic, int jc, int h, float sa, FitPixels& fp) {
  fp.n = 0;
  for (int j = jc - h; j <= jc + h; ++j)
    for (int i = ic - h; i <= ic + h; ++i) {
      const std::size_t k = static_cast<std::size_t>(fp.n++);
      fp.i[k] = i;
      fp.j[k] = j;
      fp.d[k] = box.p(i, j) - sa;
      fp.w[k] = box.w(i, j);
    }
  fp.spw = 0.0;
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k) fp.spw += static_cast<double>(fp.d[k]) * fp.w[k];
}

// Flux and residual of one trial position over the fit box: t = sum (P - sa) W
// / sum p W, R = sum |P - sa - p t| W with p the PSF at the trial position
// (sums in double).
struct Trial {
  double t = 0.0, r = 0.0;
};

Trial evaluate_trial(const FitPixels& fp, float tx, float ty, const LocalPsf& psf, std::array<float, FIT_BOX_MAX>& p) {
  double sppw = 0.0;
  const PsfPhase phase(tx, ty);
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k) {
    p[k] = phase.at(fp.i[k], fp.j[k], psf);
    sppw += static_cast<double>(p[k]) * fp.w[k];
  }
  Trial tr;
  tr.t = fp.spw / sppw;
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k)
    tr.r += std::fabs(static_cast<double>(fp.d[k]) - p[k] * tr.t) * fp.w[k];
  return tr;
}

}  // namespace

Meth0Fit quik_xyz(PreparedBox& box, float xa, float ya, int h, bool use, float sa, std::span<const Point2> close,
                  const LocalPsf& psf) {
  Meth0Fit fit;
  fit.xa = xa;
  fit.ya = ya;
  if (!(xa > 0.0f && xa < static_cast<float>(RASTER + 1) && ya > 0.0f && ya < static_cast<float>(RASTER + 1)) ||
      h < 0 || h > RAP_MAX)
    return fit;
  int ic = static_cast<int>(xa + 0.5f), jc = static_cast<int>(ya + 0.5f);
  // Everything the fit reads must lie on the prepared box: the centre may move
  // one pixel, then the peak test reads 2 pixels and the fit box h pixels
  // around it. A start that far from the box centre has nothing to be fitted on.
  const int reach = std::max(2, h) + 1;
  if (std::abs(ic - box.i0()) + reach > box.half() || std::abs(jc - box.j0()) + reach > box.half()) return fit;
  bool peak = use;
  if (peak) {
    const int ia = static_cast<int>(xa), ja = static_cast<int>(ya);
    for (int j = ja; j <= ja + 1; ++j)
      for (int i = ia; i <= ia + 1; ++i)
        if (box.p(i, j) > box.p(ic, jc)) {
          ic = i;
          jc = j;
        }
    for (const auto& d : PEAK_RING)
      if (box.p(ic + d[0], jc + d[1]) > box.p(ic, jc)) peak = false;
  }

  double sumw = 0.0;
  for (int j = jc - h; j <= jc + h; ++j)
    for (int i = ic - h; i <= ic + h; ++i) sumw += box.w(i, j);
  // Weights that sum to nothing (a PSF without flux here) cannot be normalised:
  // the star gets no fit.
  if (!(sumw > 0.0) || !std::isfinite(sumw)) return fit;
  double see = 0.0;
  for (int j = jc - h; j <= jc + h; ++j) {
    for (int i = ic - h; i <= ic + h; ++i) {
      box.w(i, j) = static_cast<float>(box.w(i, j) / sumw);
      see += static_cast<double>(box.e(i, j)) * box.e(i, j) * box.w(i, j);
    }
  }
  const float sz = static_cast<float>(std::sqrt(see));

  float sx = peak ? static_cast<float>(ic) : xa;
  float sy = peak ? static_cast<float>(jc) : ya;
  const int passes = peak ? FIT_PASSES : 1;
  FitPixels fp;
  collect_fit_pixels(box, ic, jc, h, sa, fp);
  std::array<float, FIT_BOX_MAX> p;
  // The centre trial of a pass is the point the previous pass kept, with the
  // same inputs: its flux and residual are taken over instead of recomputed.
  Trial previous;
  for (int pass = 0; pass < passes; ++pass) {
    const float d = peak ? FIT_STEPS[pass] : 0.0f;
    // Without a step the nine trial points coincide: one evaluation decides.
    const int span = peak ? 1 : 0;
    double best = FIT_BEST_START;
    bool kept = false;
    float kx = sx, ky = sy;
    Trial kt;
    for (int a = -span; a <= span; ++a) {
      for (int b = -span; b <= span; ++b) {
        const float tx = sx + static_cast<float>(a) * d, ty = sy + static_cast<float>(b) * d;
        if (near_close_neighbour(tx, ty, close)) continue;
        const Trial tr =
            pass > 0 && a == 0 && b == 0 ? previous : evaluate_trial(fp, tx, ty, psf, p);
        if (tr.r < best) {
          best = tr.r;
          kx = tx;
          ky = ty;
          kt = tr;
          kept = true;
        }
      }
    }
    // A pass that keeps no point (every trial next to a close neighbour, or no
    // residual that is a number) ends the fit with what the earlier passes kept.
    if (!kept) break;
    sx = kx;
    sy = ky;
    fit.xa = kx;
    fit.ya = ky;
    previous = kt;
    fit.za = static_cast<float>(kt.t);
    fit.sza = sz;
    fit.gz = 1;
    if (peak) fit.gp = 1;
  }
  return fit;
}

PositionAverage barsig_2dw_rejj(const float* u, const float* v, double* w, int n, double k) {
  PositionAverage r;
  for (;;) {
    int g = 0;
    double sw = 0.0;
    for (int i = 0; i < n; ++i)
      if (w[i] > 0.0) {
        ++g;
        sw += w[i];
      }
    if (g == 0 || !(sw > 0.0)) return r;
    if (g < 3) break;
    double worst_r = k;
    int worst = -1;
    for (int i = 0; i < n; ++i) {
      if (!(w[i] > 0.0)) continue;
      double so = 0.0, su = 0.0, sv = 0.0;
      for (int j = 0; j < n; ++j)
        if (j != i && w[j] > 0.0) {
          so += w[j];
          su += w[j] * u[j];
          sv += w[j] * v[j];
        }
      const double ub = su / so, vb = sv / so;
      double sd = 0.0;
      for (int j = 0; j < n; ++j)
        if (j != i && w[j] > 0.0) sd += w[j] * std::hypot(u[j] - ub, v[j] - vb);
      const double ri = std::hypot(u[i] - ub, v[i] - vb) / (sd / so);
      if (ri > worst_r) {
        worst_r = ri;
        worst = i;
      }
    }
    if (worst < 0) break;
    w[worst] = 0.0;
  }
  double sw = 0.0, su = 0.0, sv = 0.0;
  int g = 0;
  for (int i = 0; i < n; ++i)
    if (w[i] > 0.0) {
      ++g;
      sw += w[i];
      su += w[i] * u[i];
      sv += w[i] * v[i];
    }
  const double ub = su / sw, vb = sv / sw;
  double du = 0.0, dv = 0.0;
  for (int i = 0; i < n; ++i)
    if (w[i] > 0.0) {
      du += std::fabs(u[i] - ub) * w[i];
      dv += std::fabs(v[i] - vb) * w[i];
    }
  r.u = static_cast<float>(ub);
  r.v = static_cast<float>(vb);
  r.su = static_cast<float>(du / sw);
  r.sv = static_cast<float>(dv / sw);
  r.g = g;
  return r;
}

FluxAverage barsig_1dwx(const float* z, const double* w, int n, int skip) {
  const WeightedMoments m = weighted_moments_if(z, w, n, skip, [w](int k) { return w[k] > 0.0; });
  FluxAverage r;
  r.count = m.count;
  if (r.count == 0) {
    r.mean = std::numeric_limits<double>::quiet_NaN();
    r.scatter = NO_FLUX_ERROR;
    return r;
  }
  r.mean = m.mean;
  // One measurement has no scatter of its own. Counted rather than compared
  // as wmax == sum of weights, so that rounding of the sum cannot decide it.
  r.scatter = r.count == 1 ? NO_FLUX_ERROR : m.dev / (m.wsum - m.wmax);
  return r;
}

FluxAverage barsig_1dw_rej(const float* z, double* w, int n, double k) {
  double sw = 0.0, sw2 = 0.0;
  for (int i = 0; i < n; ++i) {
    if (!(w[i] >= 0.0)) w[i] = 0.0;  // not a number, or negative
    sw += w[i];
    sw2 += w[i] * w[i];
  }
  const double wbar = sw2 / sw;
  for (int i = 0; i < n; ++i)
    if (w[i] < 0.1 * wbar) w[i] = 0.0;
  for (;;) {
    double worst_r = k;
    int worst = -1;
    for (int i = 0; i < n; ++i) {
      if (!(w[i] > 0.0)) continue;
      const FluxAverage others = barsig_1dwx(z, w, n, i);
      const double ri = (z[i] - others.mean) / others.scatter;
      if (ri > worst_r) {
        worst_r = ri;
        worst = i;
      }
    }
    if (worst < 0) break;
    w[worst] = 0.0;
  }
  return barsig_1dwx(z, w, n, -1);
}

namespace {

void find_avg_xy_of(int first, int last, int ns, const LocalExposureResults& ln, LocalList& local) {
  std::array<float, NDIM> u{}, v{};
  std::array<double, NDIM> w{};
  for (int l = first; l <= last; ++l) {
    int f = 0;
    for (int n = 1; n <= ns; ++n) {
      if (ln.gp0_ln(l, n) != 1 || !(ln.z0_ln(l, n) > 0.0f)) continue;
      u[static_cast<std::size_t>(f)] = ln.u0_ln(l, n);
      v[static_cast<std::size_t>(f)] = ln.v0_ln(l, n);
      ++f;
    }
    for (int k = 0; k < f; ++k) w[static_cast<std::size_t>(k)] = 1.0 / f;
    const PositionAverage avg = barsig_2dw_rejj(u.data(), v.data(), w.data(), f, REJECT_K);
    if (avg.g > 0) {
      local.u0_l(l) = avg.u;
      local.v0_l(l) = avg.v;
      local.su0_l(l) = avg.su;
      local.sv0_l(l) = avg.sv;
    }
  }
}

}  // namespace

void find_avg_xy(int ls, int ns, const LocalExposureResults& ln, LocalList& local) {
  // Each star's average is its own: blocks of stars go to the threads.
  constexpr int BLOCK = 64;
  parallel_for(0, (ls - 1) / BLOCK, [&](int block, int) {
    const int first = block * BLOCK + 1, last = std::min(ls, first + BLOCK - 1);
    find_avg_xy_of(first, last, ns, ln, local);
  });
}

void find_avg_z_f(int ls, int ns, const Array1<int>& fff_n, const LocalExposureResults& ln, LocalList& local) {
  std::array<float, NDIM> z{};
  std::array<double, NDIM> w{};
  for (int l = 1; l <= ls; ++l) {
    for (int filter = 1; filter <= FDIM; ++filter) {
      int f = 0;
      double sw = 0.0;
      for (int n = 1; n <= ns; ++n) {
        if (fff_n(n) != filter || ln.gz0_ln(l, n) != 1) continue;
        const double sz = ln.sz0_ln(l, n);
        z[static_cast<std::size_t>(f)] = ln.z0_ln(l, n);
        w[static_cast<std::size_t>(f)] = 1.0 / (sz * sz);
        sw += w[static_cast<std::size_t>(f)];
        ++f;
      }
      for (int k = 0; k < f; ++k) w[static_cast<std::size_t>(k)] /= sw;
      const FluxAverage avg = barsig_1dw_rej(z.data(), w.data(), f, REJECT_K);
      int g = avg.count;
      float zbar = static_cast<float>(avg.mean), scatter = static_cast<float>(avg.scatter);
      if (std::isnan(avg.mean) || avg.mean <= -9.0e9) {
        f = 0;
        g = 0;
        zbar = 0.0f;
        scatter = NO_FLUX_SCATTER;
      }
      local.f0_lf(l, filter) = static_cast<short>(f);
      local.g0_lf(l, filter) = static_cast<short>(g);
      if (g > 0) {
        local.z0_lf(l, filter) = zbar;
        local.sz0_lf(l, filter) = scatter;
      }
    }
  }
}

void meth0_xyz_tile(int ls, LocalList& local, LocalExposureResults& ln, const TileExposures& te,
                    std::span<const LocalPsf> psf_n, bool verbose) {
  // RAP is the fitting box's half-size. A box of one pixel fits every trial
  // position with a residual of 0, so the search would drift off the star;
  // a box beyond 12 pixels would only add pixels the PSF does not reach.
  check_tile_inputs("meth0_xyz_tile", ls, ln, te, psf_n, RAP_MIN, RAP_MAX);
  const int ns = te.ns;
  static PerWorker<Workspace> work;
  work.fit(ns, ls);
  // The predictions of an exposure are made when its turn comes; nothing of the
  // list changes before all exposures are measured, so they are those the list
  // had on entry, and the exposures are measured independently (each writes
  // only its own results).
  if (verbose) write_list(std::cout, "     ---> new_positns... 1--->N: ", ns, "    Ls: ", ls);
  parallel_for(1, ns, [&](int n, int worker) {
    Workspace& ws = work[worker];
    const ExposureViews ev = views_of(te, n);
    const LocalPsf& psf = psf_n[static_cast<std::size_t>(n - 1)];
    predict_exposure(ws.pred, local, ls, ev, te.fff_n(n));
    reset_outputs(ln, ls, n);
    build_model(ws, ls, psf);
    ws.grid.build(ws.pred.x0.data(), ws.pred.y0.data(), ls);
    for (int l = 0; l < ls; ++l) measure_star(ws, l, n, local, ln, te, ev, psf);
  });
  if (verbose) write_list(std::cout, "     ---> find_avg_xy_f... 1--->N: ", ns, "    Ls: ", ls);
  find_avg_xy(ls, ns, ln, local);
  find_avg_z_f(ls, ns, te.fff_n, ln, local);
}

}  // namespace zeb
