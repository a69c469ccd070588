#include "measure/meth1.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/robust_stats.h"
#include "core/stop.h"
#include "geometry/tile_tables.h"
#include "measure/exposure_stars.h"
#include "measure/tile_model.h"

namespace zeb {

namespace {

constexpr int FIT_PASSES = 6;
constexpr float FIT_STEPS[FIT_PASSES] = {0.2f, 0.1f, 0.05f, 0.02f, 0.01f, 0.005f};
constexpr int FIT_SPAN = 3;  // trial points centre + (-3..3) steps on each axis
constexpr int FIT_BOX_MAX = (2 * RAP_MAX + 1) * (2 * RAP_MAX + 1);
constexpr float BAD_MEAN = -99999.0f;
constexpr double ONE_SCATTER_POS = 9.9, ONE_SCATTER_FLUX = 9999.9;
constexpr double NONE_SCATTER = 99999.0;
constexpr double SINGLE_FLUX_SCATTER = 99999.0;
constexpr double TRIM_FRACTION = 0.2;
constexpr double FLOOR_POS = 0.01, FLOOR_FLUX = 0.01;

// Everything a worker works with in one exposure, kept for the run: nothing
// is allocated per call, per star or per pixel.
struct Workspace : ExposureStarsWork {
  explicit Workspace(int ls) : ExposureStarsWork(ls), model(RASTER, RASTER), resid(RASTER, RASTER) {}
  Array2<float> model, resid;
  Meth1SkyBuffer sky;
  Meth1NeighbourBox nb;
};

// The model image of all stars of the exposure, from their predicted
// positions and modelling fluxes.
void build_model(Workspace& ws, int ls, const LocalPsf& psf) {
  model_stars(ws.pred.x0, ws.pred.y0, ws.pred.zi, ls, psf, ws.model.view());
}

void build_residual(Workspace& ws, const ExposureViews& ev) {
  for (int j = 1; j <= RASTER; ++j)
    for (int i = 1; i <= RASTER; ++i) ws.resid(i, j) = ev.pixv(i, j) - ws.model(i, j);
}

void reset_star(LocalExposureResults& ln, int l, int n) {
  ln.x1_ln(l, n) = 0.0f;
  ln.y1_ln(l, n) = 0.0f;
  ln.u1_ln(l, n) = 0.0f;
  ln.v1_ln(l, n) = 0.0f;
  ln.z1_ln(l, n) = 0.0f;
  ln.sz1_ln(l, n) = M1_SZ_RESET;
  ln.f1_ln(l, n) = 0;
  // q and o are reset too: otherwise a star that is not fitted would keep
  // what an earlier pass left in its entry, which in mode A is the answer to
  // the previous injected star, and the per-exposure log would show it.
  ln.q1_ln(l, n) = 0.0f;
  ln.o1_ln(l, n) = 0.0f;
}

// Neighbour model of star l on the box: the other stars with a positive flux
// whose PSF reaches it, summed in ascending star order.
void fill_neighbours(Workspace& ws, int l, const LocalPsf& psf) {
  const Predictions& pr = ws.pred;
  Meth1NeighbourBox& nb = ws.nb;
  const int ic = nb.ic(), jc = nb.jc(), half = nb.half();
  const float reach = static_cast<float>(half + PSF_REACH + 1);
  ws.grid.gather(static_cast<float>(ic) - reach, static_cast<float>(ic) + reach, static_cast<float>(jc) - reach,
                 static_cast<float>(jc) + reach, l, pr.x0.data(), pr.y0.data(), ws.candidates);
  for (const int k : ws.candidates) {
    if (!(pr.zi[k] > 0.0f)) continue;
    const PsfPhase phase(pr.x0[k], pr.y0[k]);
    for (int j = jc - half; j <= jc + half; ++j)
      for (int i = ic - half; i <= ic + half; ++i) nb(i, j) += pr.zi[k] * phase.at(i, j, psf);
  }
}

void verbose_star(bool verbose, int step, int l) {
  if (verbose) write_list(std::cout, "----------> " + std::to_string(step) + ") L ", l);
}

// Measures star l (0-based) in exposure n.
void measure_star(Workspace& ws, int l, int n, LocalExposureResults& ln, const ExposureViews& ev, int r,
                  const LocalPsf& psf, bool verbose) {
  const int star = l + 1;
  const float x = ws.pred.x0[l], y = ws.pred.y0[l];
  const int ic = ws.pred.i0[l], jc = ws.pred.j0[l];
  verbose_star(verbose, 1, star);
  const SkyEstimate sky =
      meth1_find_sky(x, y, 2 * r, 4 * r, ws.resid.view(), ev.pixu, ws.model.view(), ev.pixe, ev.pixm, ws.sky);
  ln.s1_ln(star, n) = sky.centre;
  ln.ss1_ln(star, n) = sky.scatter;
  verbose_star(verbose, 2, star);
  reset_star(ln, star, n);
  verbose_star(verbose, 3, star);
  // The whole box, not only its lower corner, must lie on the raster: every
  // pixel of it is read by the fit.
  const int half = r + 1;
  if (!on_raster(ic - half, jc - half) || !on_raster(ic + half, jc + half) || sky.count <= M1_SKY_MIN) return;
  verbose_star(verbose, 4, star);
  ws.nb.reset(ic, jc, half);
  fill_neighbours(ws, l, psf);
  verbose_star(verbose, 5, star);
  const Meth1Fit fit = meth1_find_xyz(ic, jc, sky.centre, sky.scatter, r, ev.pixv, ev.pixu, ws.nb, ev.pixe, ev.pixm,
                                      psf, verbose);
  ln.x1_ln(star, n) = fit.x;
  ln.y1_ln(star, n) = fit.y;
  ln.z1_ln(star, n) = fit.z;
  ln.sz1_ln(star, n) = fit.sz;
  ln.q1_ln(star, n) = fit.q;
  ln.o1_ln(star, n) = fit.o;
  ln.f1_ln(star, n) = fit.f;
  verbose_star(verbose, 6, star);
  if (fit.x > 1.0f && fit.x < static_cast<float>(RASTER) && fit.y > 1.0f && fit.y < static_cast<float>(RASTER)) {
    ln.u1_ln(star, n) = ut_txy(fit.x, fit.y, ev.utab, ev.vtab);
    ln.v1_ln(star, n) = vt_txy(fit.x, fit.y, ev.utab, ev.vtab);
  }
  verbose_star(verbose, 7, star);
}

// The fitting box around the peak laid out flat: pixel coordinates, d,
// normalised weights, noise and neighbours.
struct FitPixels {
  int n = 0;
  std::array<float, FIT_BOX_MAX> d, w, e, nb;
  std::array<int, FIT_BOX_MAX> i, j;
};

struct Trial {
  double t = 0.0, chi = 0.0;
  bool ok = false;
};

Trial evaluate_trial(const FitPixels& fp, double sum_d, float tx, float ty, const LocalPsf& psf,
                     std::array<float, FIT_BOX_MAX>& p) {
  Trial tr;
  double sum_p = 0.0;
  const auto count = static_cast<std::size_t>(fp.n);
  const PsfPhase phase(tx, ty);
  for (std::size_t k = 0; k < count; ++k) {
    p[k] = phase.at(fp.i[k], fp.j[k], psf);
    sum_p += p[k];
  }
  // A trial point where the PSF puts no light into the box has no flux.
  if (!(sum_p > 0.0)) return tr;
  tr.t = sum_d / sum_p;
  for (std::size_t k = 0; k < count; ++k) {
    const double res = static_cast<double>(fp.d[k]) - static_cast<double>(p[k]) * tr.t;
    tr.chi += static_cast<double>(fp.w[k]) * res * res;
  }
  tr.ok = true;
  return tr;
}

// The record of one box pixel when the fit's noise is zero throughout.
void dump_zero_noise(const FitPixels& fp, int ip, int jp, const std::array<float, FIT_BOX_MAX>& p,
                     View2<const float> pixe, View2<const float> pixm, float sz) {
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k) {
    const int i = fp.i[k], j = fp.j[k];
    write_record(std::cout, "(3x,i3.3,1x,i3.3,1x,i2,1x,i2,3x,f15.5,1x,f15.5,3x,f8.1,1x,f8.1,3x,f8.6,1x,f8.6)", i, j,
                 i - ip, j - jp, fp.d[k], pixe(i, j), fp.nb[k], pixm(i, j), p[k], fp.w[k]);
  }
  write_list(std::cout, "sz1: ", sz);
  stop_run();
}

}  // namespace

SkyEstimate meth1_barsigw(const float* x, const float* w, int n) { return weighted_sky_mean(x, w, n); }

SkyEstimate meth1_find_sky(float x, float y, int rin, int rout, View2<const float> resid,
                           View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                           View2<const float> pixm, Meth1SkyBuffer& buffer) {
  SkyEstimate sky = annulus_sky(x, y, static_cast<float>(rin), static_cast<float>(rout), resid, mask, model, pixe,
                                pixm, buffer);
  if (!(sky.centre > BAD_MEAN)) {
    sky.centre = 0.0f;
    sky.scatter = M1_SKY_BAD_SCATTER;
    sky.count = 0;
  }
  return sky;
}

void Meth1NeighbourBox::reset(int ic, int jc, int half) {
  ic_ = ic;
  jc_ = jc;
  half_ = std::clamp(half, 1, HALF_MAX);
  v_.fill(0.0f);
}

Meth1Fit meth1_find_xyz(int ic, int jc, float sky, float sky_scatter, int r, View2<const float> pixv,
                        View2<const std::uint8_t> mask, const Meth1NeighbourBox& nb, View2<const float> pixe,
                        View2<const float> pixm, const LocalPsf& psf, bool verbose) {
  Meth1Fit fit;
  if (verbose) write_list(std::cout, "enter meth1_find_xyz...");
  // Everything read below lies on the neighbour box, which the caller keeps on
  // the raster: the peak moves one pixel, its +- r box reaches r further.
  if (r < 1 || r > RAP_MAX || nb.ic() != ic || nb.jc() != jc || nb.half() != r + 1 ||
      !on_raster(ic - r - 1, jc - r - 1) || !on_raster(ic + r + 1, jc + r + 1))
    return fit;
  auto d_at = [&](int i, int j) { return pixv(i, j) - nb(i, j) - sky; };

  int ip = ic, jp = jc;
  float dp = d_at(ic, jc);
  for (int i = ic - 1; i <= ic + 1; ++i)
    for (int j = jc - 1; j <= jc + 1; ++j)
      if (d_at(i, j) > dp) {
        ip = i;
        jp = j;
        dp = d_at(i, j);
      }
  if (!std::isfinite(dp)) return fit;

  FitPixels fp;
  double sum_d = 0.0, sum_s2 = 0.0;
  bool unweighable = false;
  for (int j = jp - r; j <= jp + r; ++j) {
    for (int i = ip - r; i <= ip + r; ++i) {
      const float d = d_at(i, j);
      // A masked pixel, one that is not a number, or one above the peak: the
      // star is not measured here.
      if (mask(i, j) != 0 || !std::isfinite(d) || !std::isfinite(pixe(i, j)) || !std::isfinite(pixm(i, j)) ||
          d > dp)
        return fit;
      const float e = pixe(i, j), nv = nb(i, j), m = pixm(i, j);
      const float s2 = e * e + nv * nv + m * m + sky_scatter * sky_scatter;
      if (!(s2 > 0.0f) || !std::isfinite(s2)) unweighable = true;
      const auto k = static_cast<std::size_t>(fp.n++);
      fp.i[k] = i;
      fp.j[k] = j;
      fp.d[k] = d;
      fp.e[k] = s2;
      fp.nb[k] = nv;
      sum_d += d;
      sum_s2 += s2;
    }
  }
  const float sz = static_cast<float>(std::sqrt(sum_s2));
  const bool zero_noise = sz == 0.0f;
  // Some pixels without noise among others with noise would take all the
  // weight (1 / 0): such a box cannot be weighted and the star is not fitted.
  // A box without noise at all is a fault of the input and is reported below.
  if (unweighable && !zero_noise) return fit;
  double sum_w = 0.0;
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k) {
    fp.w[k] = zero_noise ? std::numeric_limits<float>::quiet_NaN() : 1.0f / fp.e[k];
    sum_w += fp.w[k];
  }
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k) fp.w[k] = static_cast<float>(fp.w[k] / sum_w);

  std::array<float, FIT_BOX_MAX> p;
  float kx = static_cast<float>(ip), ky = static_cast<float>(jp);
  Trial kept;
  for (int pass = 0; pass < FIT_PASSES; ++pass) {
    if (verbose) write_list(std::cout, "      meth1_find_xyz... NIT: ", pass + 1, ip, jp);
    const float step = FIT_STEPS[pass];
    const float cx = kx, cy = ky;
    for (int a = -FIT_SPAN; a <= FIT_SPAN; ++a) {
      for (int b = -FIT_SPAN; b <= FIT_SPAN; ++b) {
        // The centre of a later pass is the point kept so far: it cannot be
        // strictly better than itself.
        if (kept.ok && a == 0 && b == 0) continue;
        const float tx = cx + static_cast<float>(a) * step, ty = cy + static_cast<float>(b) * step;
        const Trial tr = evaluate_trial(fp, sum_d, tx, ty, psf, p);
        if (!tr.ok) continue;
        if (!kept.ok || tr.chi < kept.chi) {
          kept = tr;
          kx = tx;
          ky = ty;
        }
      }
    }
  }
  if (!kept.ok) return fit;  // the PSF puts no light anywhere near the peak

  // PSF at the kept point, for q and o (and the dump).
  double sum_p = 0.0, sum_pd = 0.0, sum_dd = 0.0, sum_pp = 0.0, sum_nb = 0.0;
  const PsfPhase kept_phase(kx, ky);
  for (std::size_t k = 0; k < static_cast<std::size_t>(fp.n); ++k) {
    p[k] = kept_phase.at(fp.i[k], fp.j[k], psf);
    sum_p += p[k];
    sum_pd += static_cast<double>(p[k]) * fp.d[k];
    sum_dd += static_cast<double>(fp.d[k]) * fp.d[k];
    sum_pp += static_cast<double>(p[k]) * p[k];
    sum_nb += fp.nb[k];
  }
  if (zero_noise) dump_zero_noise(fp, ip, jp, p, pixe, pixm, sz);
  fit.x = kx;
  fit.y = ky;
  fit.z = static_cast<float>(kept.t);
  fit.sz = sz;
  fit.f = 1;
  fit.o = static_cast<float>(sum_nb / sum_p);
  // Data or PSF that are 0 throughout correlate with nothing.
  const double norm = std::sqrt(sum_dd) * std::sqrt(sum_pp);
  fit.q = norm > 0.0 ? static_cast<float>(sum_pd / norm) : 0.0f;
  if (verbose) write_list(std::cout, " EXIT meth1_find_xyz...");
  return fit;
}

namespace {

int count_in(const std::uint8_t* in, int n) {
  int c = 0;
  for (int k = 0; k < n; ++k) c += in[k];
  return c;
}

// |a - b| in units of s; a scale of 0 (identical values) makes any difference
// infinitely far and none no distance.
double scaled(double diff, double s) { return diff == 0.0 ? 0.0 : std::fabs(diff) / s; }

}  // namespace

Average3 barsig_3dw_mrej(const float* u, const float* v, const float* z, const double* w, int n, double k,
                         std::uint8_t* in) {
  if (n > M1_COMBINE_MAX) stop_run("barsig_3DW_MREJ: Ls.gt.999");
  Average3 r;
  for (int j = 0; j < n; ++j) in[j] = w[j] > 0.0 ? 1 : 0;  // also drops weights that are not numbers
  for (;;) {
    trim_low_weights(w, n, TRIM_FRACTION, in);
    const int c = count_in(in, n);
    if (c == 0) {
      r.su = r.sv = r.sz = NONE_SCATTER;
      return r;
    }
    if (c < 3) {
      const WeightedMoments mu = weighted_moments(u, w, in, n, -1), mv = weighted_moments(v, w, in, n, -1),
                            mz = weighted_moments(z, w, in, n, -1);
      r.u = mu.mean;
      r.v = mv.mean;
      r.z = mz.mean;
      if (c == 1) {
        r.su = ONE_SCATTER_POS;
        r.sv = ONE_SCATTER_POS;
        r.sz = ONE_SCATTER_FLUX;
      } else {
        r.su = mu.dev / mu.wsum;
        r.sv = mv.dev / mv.wsum;
        r.sz = mz.dev / mz.wsum;
      }
      r.kept = c;
      return r;
    }
    double worst_d = 0.0;
    int worst = -1;
    for (int j = 0; j < n; ++j) {
      if (!in[j]) continue;
      const WeightedMoments mu = weighted_moments(u, w, in, n, j), mv = weighted_moments(v, w, in, n, j),
                            mz = weighted_moments(z, w, in, n, j);
      if (mu.wmax == mu.wsum) stop_run("3MREJ wtot.eq.wmax");
      const double rest = mu.wsum - mu.wmax;
      const double su = std::max(FLOOR_POS, mu.dev / rest), sv = std::max(FLOOR_POS, mv.dev / rest);
      // The flux floor is a hundredth of the others' mean flux, sign and all:
      // it keeps a bright star's tiny scatter from rejecting it, while for a
      // mean at or below zero (a star lost in the noise) there is no such
      // scale and the others' own scatter alone measures a departure.
      const double sz = std::max(FLOOR_FLUX * mz.mean, mz.dev / rest);
      const double du = scaled(u[j] - mu.mean, su), dv = scaled(v[j] - mv.mean, sv), dz = scaled(z[j] - mz.mean, sz);
      const double d = std::sqrt(du * du + dv * dv + dz * dz);
      if (worst < 0 || d > worst_d) {
        worst_d = d;
        worst = j;
      }
    }
    if (!(worst_d > k)) break;
    in[worst] = 0;
  }
  const WeightedMoments mu = weighted_moments(u, w, in, n, -1), mv = weighted_moments(v, w, in, n, -1),
                        mz = weighted_moments(z, w, in, n, -1);
  if (!(mu.wsum > 0.0)) stop_run("3MREJ wtot.le.0");
  r.kept = count_in(in, n);
  r.u = mu.mean;
  r.v = mv.mean;
  r.z = mz.mean;
  const double rest = mu.wsum - mu.wmax;
  r.su = mu.dev / rest;
  r.sv = mv.dev / rest;
  r.sz = r.kept == 1 ? SINGLE_FLUX_SCATTER : mz.dev / rest;
  return r;
}

void meth1_xyz_tile(int ls, const LocalList& local, LocalExposureResults& ln, const TileExposures& te,
                    std::span<const LocalPsf> psf_n, bool verbose) {
  // RAP is the half-size of the fitting box; the box of RAP + 1 around the
  // star must fit a neighbour box of at most 27 x 27 pixels.
  check_tile_inputs("meth1_xyz_tile", ls, ln, te, psf_n, RAP_MIN, RAP_MAX);
  if (verbose) write_list(std::cout, "ENTERED meth1_xyz_tile...");
  // The exposures are measured independently: each writes only its own results.
  static PerWorker<Workspace> work;
  work.fit(te.ns, ls);
  if (verbose) write_list(std::cout, "Go thru images one by one...");
  parallel_for(1, te.ns, [&](int n, int worker) {
    Workspace& ws = work[worker];
    if (verbose) write_list(std::cout, "N = ", n);
    const ExposureViews ev = views_of(te, n);
    const LocalPsf& psf = psf_n[static_cast<std::size_t>(n - 1)];
    if (verbose) write_list(std::cout, "-----> a ");
    predict_exposure(ws.pred, local, ls, ev, te.fff_n(n));
    if (verbose) write_list(std::cout, "-----> b ");
    build_model(ws, ls, psf);
    if (verbose) write_list(std::cout, "-----> c ");
    build_residual(ws, ev);
    ws.grid.build(ws.pred.x0.data(), ws.pred.y0.data(), ls);
    if (verbose) write_list(std::cout, "-----> d ");
    for (int l = 0; l < ls; ++l) measure_star(ws, l, n, ln, ev, te.rap_n(n), psf, verbose);
    if (verbose) write_list(std::cout, "-----> e ");
  });
}

void find_avg_uvz1(int ls, int ns, const Array1<int>& fff_n, LocalExposureResults& ln, LocalList& local) {
  std::array<float, NDIM> u{}, v{}, z{}, q{}, o{};
  std::array<double, NDIM> w{};
  std::array<int, NDIM> exposure{};
  std::array<std::uint8_t, NDIM> in{};
  const int nsafe = std::clamp(ns, 0, NDIM);
  for (int l = 1; l <= ls; ++l) {
    for (int filter = 1; filter <= FDIM; ++filter) {
      int used = 0;
      double sw = 0.0;
      for (int n = 1; n <= nsafe; ++n) {
        if (fff_n(n) != filter) continue;
        ln.g1_ln(l, n) = 0;  // an exposure that is not used is not kept either
        if (ln.f1_ln(l, n) != 1) continue;
        const auto k = static_cast<std::size_t>(used++);
        const double sz = ln.sz1_ln(l, n);
        exposure[k] = n;
        u[k] = ln.u1_ln(l, n);
        v[k] = ln.v1_ln(l, n);
        z[k] = ln.z1_ln(l, n);
        q[k] = ln.q1_ln(l, n);
        o[k] = ln.o1_ln(l, n);
        w[k] = 1.0 / (sz * sz);
        sw += w[k];
      }
      for (int k = 0; k < used; ++k) w[static_cast<std::size_t>(k)] /= sw;
      const Average3 avg = barsig_3dw_mrej(u.data(), v.data(), z.data(), w.data(), used, M1_REJECT_K, in.data());
      local.u1_lf(l, filter) = static_cast<float>(avg.u);
      local.v1_lf(l, filter) = static_cast<float>(avg.v);
      local.su1_lf(l, filter) = static_cast<float>(avg.su);
      local.sv1_lf(l, filter) = static_cast<float>(avg.sv);
      local.z1_lf(l, filter) = static_cast<float>(avg.z);
      local.sz1_lf(l, filter) = static_cast<float>(avg.sz);
      local.f1_lf(l, filter) = static_cast<short>(used);
      local.g1_lf(l, filter) = static_cast<short>(avg.kept);
      double wk = 0.0, swq = 0.0, swo = 0.0;
      for (int k = 0; k < used; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        ln.g1_ln(l, exposure[kk]) = in[kk];
        if (!in[kk]) continue;
        wk += w[kk];
        swq += w[kk] * q[kk];
        swo += w[kk] * o[kk];
      }
      // Without a kept measurement the star has no quality numbers (rather
      // than those of whatever an earlier pass left).
      local.q1_lf(l, filter) = wk > 0.0 ? static_cast<float>(std::max(0.0, swq / wk)) : 0.0f;
      local.o1_lf(l, filter) = wk > 0.0 ? static_cast<float>(swo / wk) : 0.0f;
    }
  }
}

}  // namespace zeb
