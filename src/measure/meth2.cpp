#include "measure/meth2.h"

#include <algorithm>
#include <cmath>
#include <iostream>
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

constexpr int SKY_COUNT_MIN = 10;  // a star is measured only with at least 10 sky values kept
constexpr float CORE_R2 = 0.5625f; // mode 3: pixels closer than 0.75 pixel
constexpr double TRIM_FRACTION = 0.2;
constexpr double SCATTER_FLOOR = 0.005;

void check_mode(int mode) {
  if (mode != 2 && mode != 3) stop_run("M2M3 must be 2 or 3");
}

// Everything a worker works with in one exposure, kept for the run: nothing
// is allocated per call, per star or per pixel.
struct Workspace : ExposureStarsWork {
  explicit Workspace(int ls)
      : ExposureStarsWork(ls), model(RASTER, RASTER), residual(RASTER, RASTER), neighbours(RASTER, RASTER) {}
  Array2<float> model, residual, neighbours;
  Sky2Buffer sky;
};

// Raster positions of stars 1..ls in exposure n and their modelling fluxes,
// the positions also stored in the mode's x, y arrays (0 where the mapping
// gives no usable number).
void predict_positions(Workspace& ws, const LocalList& local, int ls, int n, const ExposureViews& ev, int filter,
                       Meth2Ln& out) {
  predict_exposure(ws.pred, local, ls, ev, filter);
  for (int l = 1; l <= ls; ++l) {
    const std::size_t k = static_cast<std::size_t>(l - 1);
    out.x(l, n) = std::isfinite(ws.pred.x0[k]) ? ws.pred.x0[k] : 0.0f;
    out.y(l, n) = std::isfinite(ws.pred.y0[k]) ? ws.pred.y0[k] : 0.0f;
  }
}

// Every output of the exposure before its stars are measured. Sky, q and o
// are reset with the flux: a star that is not measured must not keep what an
// earlier pass left in its entry (in mode A the previous injected star's
// answer), which the per-exposure log would show.
void reset_outputs(Meth2Ln& out, int ls, int n) {
  for (int l = 1; l <= ls; ++l) {
    out.z(l, n) = 0.0f;
    out.sz(l, n) = M2_NO_FLUX_ERROR;
    out.s(l, n) = 0.0f;
    out.ss(l, n) = 0.0f;
    out.q(l, n) = 0.0f;
    out.o(l, n) = 0.0f;
    out.f(l, n) = 0;
  }
}

// Model image of all stars (each star's positive flux times its PSF) and the
// residual pixels - model.
void build_model(Workspace& ws, int ls, const ExposureViews& ev, const LocalPsf& psf) {
  model_stars(ws.pred.x0, ws.pred.y0, ws.pred.zi, ls, psf, ws.model.view());
  for (int j = 1; j <= RASTER; ++j)
    for (int i = 1; i <= RASTER; ++i) ws.residual(i, j) = ev.pixv(i, j) - ws.model(i, j);
}

// Neighbour image of star l (0-based) on ic +- half, jc +- half: the other
// stars' positive fluxes times their PSFs, summed in star order.
void fill_neighbours(Workspace& ws, int l, int ic, int jc, int half, const LocalPsf& psf) {
  const Predictions& pr = ws.pred;
  const float xs = pr.x0[static_cast<std::size_t>(l)], ys = pr.y0[static_cast<std::size_t>(l)];
  for (int j = jc - half; j <= jc + half; ++j)
    for (int i = ic - half; i <= ic + half; ++i) ws.neighbours(i, j) = 0.0f;
  // The box lies within half + 0.5 pixel of the star; a PSF reaches 12 pixels.
  const float reach = static_cast<float>(half) + PSF_REACH + 1.0f;
  ws.grid.gather(xs - reach, xs + reach, ys - reach, ys + reach, l, pr.x0.data(), pr.y0.data(), ws.candidates);
  for (const int k : ws.candidates) {
    const float zk = pr.zi[static_cast<std::size_t>(k)];
    if (zk == 0.0f) continue;
    const PsfPhase phase(pr.x0[static_cast<std::size_t>(k)], pr.y0[static_cast<std::size_t>(k)]);
    for (int j = jc - half; j <= jc + half; ++j)
      for (int i = ic - half; i <= ic + half; ++i) ws.neighbours(i, j) += zk * phase.at(i, j, psf);
  }
}

// Measures star l (0-based) of exposure n.
void measure_star(Workspace& ws, int l, int n, int mode, int rap, const ExposureViews& ev, const LocalPsf& psf,
                  Meth2Ln& out) {
  const int star = l + 1;
  const float x = ws.pred.x0[static_cast<std::size_t>(l)], y = ws.pred.y0[static_cast<std::size_t>(l)];
  const int ic = ws.pred.i0[static_cast<std::size_t>(l)], jc = ws.pred.j0[static_cast<std::size_t>(l)];
  if (ic == OFF_RASTER || jc == OFF_RASTER) return;
  const float r_in = mode == 2 ? 2.0f * static_cast<float>(rap) : 2.0f;
  const float r_out = mode == 2 ? 4.0f * static_cast<float>(rap) : 4.0f;
  const Meth2Sky sky = find_sky_meth2(x, y, r_in, r_out, ws.residual.view(), ev.pixu, ws.model.view(), ev.pixe,
                                      ev.pixm, ws.sky);
  out.s(star, n) = sky.sky;
  out.ss(star, n) = sky.scatter;
  const float ss = sky.scatter > 0.0f ? sky.scatter : M2_NO_SKY_SCATTER;
  if (ic < rap + 1 || ic > RASTER - rap || jc < rap + 1 || jc > RASTER - rap || sky.count < SKY_COUNT_MIN) return;
  const int h = mode == 2 ? rap : 0;
  fill_neighbours(ws, l, ic, jc, std::max(h, 1), psf);
  const Meth2Flux m = find_zwt_meth2(x, y, sky.sky, h, ss, ev.pixv, ev.pixu, ws.neighbours.view(), ev.pixm,
                                     ws.model.view(), psf);
  out.z(star, n) = m.z;
  out.sz(star, n) = m.sz;
  out.q(star, n) = m.q;
  out.o(star, n) = m.o;
  out.f(star, n) = m.f;
}

// The kept measurement farthest from the others' mean in units of their
// scatter, when that exceeds k; else -1.
int worst_outlier(const float* z, const double* w, const std::uint8_t* kept, int n, double k) {
  double worst_d = 0.0;
  int worst = -1;
  for (int j = 0; j < n; ++j) {
    if (!kept[j]) continue;
    const WeightedMoments o = weighted_moments(z, w, kept, n, j);
    if (o.wsum == o.wmax) stop_run("1MREJ wtot.eq.wmax");
    const double s = std::max(o.dev / (o.wsum - o.wmax), SCATTER_FLOOR * o.mean);
    const double d = std::fabs(z[j] - o.mean) / s;
    if (worst < 0 ? d > k : d > worst_d) {
      worst_d = d;
      worst = j;
    }
  }
  return worst;
}

}  // namespace

Meth2Ln meth2_ln(LocalExposureResults& ln, int mode) {
  check_mode(mode);
  if (mode == 2)
    return {ln.x2_ln, ln.y2_ln, ln.z2_ln, ln.sz2_ln, ln.s2_ln, ln.ss2_ln, ln.q2_ln, ln.o2_ln, ln.f2_ln, ln.g2_ln};
  return {ln.x3_ln, ln.y3_ln, ln.z3_ln, ln.sz3_ln, ln.s3_ln, ln.ss3_ln, ln.q3_ln, ln.o3_ln, ln.f3_ln, ln.g3_ln};
}

Meth2Lf meth2_lf(LocalList& local, int mode) {
  check_mode(mode);
  if (mode == 2) return {local.z2_lf, local.sz2_lf, local.q2_lf, local.o2_lf, local.f2_lf, local.g2_lf};
  return {local.z3_lf, local.sz3_lf, local.q3_lf, local.o3_lf, local.f3_lf, local.g3_lf};
}

namespace {

Meth2Sky meth2_sky(const SkyEstimate& e) { return {e.centre, e.scatter, e.count}; }

}  // namespace

Meth2Sky barsigw_meth2(const float* v, const float* w, int n) { return meth2_sky(weighted_sky_mean(v, w, n)); }

Meth2Sky find_sky_meth2(float x, float y, float r_in, float r_out, View2<const float> residual,
                        View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                        View2<const float> pixm, Sky2Buffer& buffer) {
  return meth2_sky(annulus_sky(x, y, r_in, r_out, residual, mask, model, pixe, pixm, buffer));
}

Meth2Flux find_zwt_meth2(float x, float y, float sky, int h, float ss, View2<const float> pix,
                         View2<const std::uint8_t> mask, View2<const float> neighbours, View2<const float> pixm,
                         View2<const float> model, const LocalPsf& psf) {
  Meth2Flux r;
  const int ic = nearest_pixel(x), jc = nearest_pixel(y);
  if (ic == OFF_RASTER || jc == OFF_RASTER || h < 0) return r;
  const int half = std::max(h, 1);
  if (ic - half < 1 || ic + half > RASTER || jc - half < 1 || jc + half > RASTER) return r;
  Meth2Flux failed;
  failed.sz = M2_FAILED_ERROR;
  for (int j = jc - half; j <= jc + half; ++j)
    for (int i = ic - half; i <= ic + half; ++i)
      if (mask(i, j) != 0 || !std::isfinite(pix(i, j)) || !std::isfinite(neighbours(i, j)) ||
          !std::isfinite(pixm(i, j)) || !std::isfinite(model(i, j)))
        return failed;
  const double ss2 = static_cast<double>(ss) * ss;
  double swz = 0.0, sw = 0.0, swn = 0.0, swp = 0.0, sdp = 0.0, sdd = 0.0, spp = 0.0;
  for (int j = jc - half; j <= jc + half; ++j) {
    for (int i = ic - half; i <= ic + half; ++i) {
      const float dx = static_cast<float>(i) - x, dy = static_cast<float>(j) - y;
      if (h == 0 && !(dx * dx + dy * dy < CORE_R2)) continue;
      const double p = rpsf_phot(dx, dy, psf);
      const double d = static_cast<double>(pix(i, j)) - neighbours(i, j) - sky;
      sdp += d * p;
      sdd += d * d;
      spp += p * p;
      // A pixel where the PSF is 0 has weight 0 (its estimate d / p has no value).
      if (p == 0.0) continue;
      const double pm = pixm(i, j);
      const double e = (model(i, j) + ss2 + pm * pm) / p;
      const double w = 1.0 / (e * e);
      if (!std::isfinite(w)) continue;
      swz += w * (d / p);
      sw += w;
      swn += w * neighbours(i, j);
      swp += w * p;
    }
  }
  if (!(sw > 0.0)) return r;
  r.z = static_cast<float>(swz / sw);
  r.sz = static_cast<float>(std::sqrt(1.0 / sw));
  // A correlation without spread in the data or the PSF, and a contamination
  // ratio without PSF weight, have no value: 0.
  const double norm = std::sqrt(sdd * spp);
  r.q = norm > 0.0 ? static_cast<float>(sdp / norm) : 0.0f;
  r.o = swp != 0.0 ? static_cast<float>(swn / swp) : 0.0f;
  r.f = 1;
  return r;
}

void meth2_xyz_tile(int ls, const LocalList& local, LocalExposureResults& ln, const TileExposures& te,
                    std::span<const LocalPsf> psf_n, int mode) {
  check_mode(mode);
  // The same box half-sizes as methods 0 and 1: the sky radii and the box
  // grow with RAP, and a PSF reaches no pixel beyond 12.
  check_tile_inputs("meth2_xyz_tile", ls, ln, te, psf_n, RAP_MIN, RAP_MAX);
  Meth2Ln out = meth2_ln(ln, mode);
  // The exposures are measured independently: each writes only its own results.
  static PerWorker<Workspace> work;
  work.fit(te.ns, ls);
  parallel_for(1, te.ns, [&](int n, int worker) {
    Workspace& ws = work[worker];
    const ExposureViews ev = views_of(te, n);
    const LocalPsf& psf = psf_n[static_cast<std::size_t>(n - 1)];
    const int filter = te.fff_n(n);
    reset_outputs(out, ls, n);
    predict_positions(ws, local, ls, n, ev, filter, out);
    build_model(ws, ls, ev, psf);
    ws.grid.build(ws.pred.x0.data(), ws.pred.y0.data(), ls);
    for (int l = 0; l < ls; ++l) measure_star(ws, l, n, mode, te.rap_n(n), ev, psf, out);
  });
}

MrejAverage barsig_1dw_mrej(const float* z, const double* w, int n, double k, std::uint8_t* used,
                            std::uint8_t* kept) {
  if (n > MREJ_MAX) stop_run("barsig_1DW_MREJ: Ls.gt.999");
  MrejAverage r;
  for (int j = 0; j < n; ++j) {
    used[j] = w[j] > 0.0 ? 1 : 0;  // also out: a weight that is not a number
    kept[j] = used[j];
  }
  for (;;) {
    trim_low_weights(w, n, TRIM_FRACTION, kept, used);
    int nk = 0;
    for (int j = 0; j < n; ++j) nk += kept[j];
    if (nk < 3) break;
    const int worst = worst_outlier(z, w, kept, n, k);
    if (worst < 0) break;
    kept[worst] = 0;
  }
  for (int j = 0; j < n; ++j) {
    r.used += used[j];
    r.kept += kept[j];
  }
  if (r.kept == 0) return r;
  const WeightedMoments all = weighted_moments(z, w, kept, n, -1);
  if (!(all.wsum > 0.0)) stop_run("1MREJ wtot.le.0");
  r.mean = all.mean;
  if (r.kept == 1) return r;
  if (all.wsum == all.wmax) stop_run("1MREJ wtot.eq.wmax");
  r.scatter = all.dev / (all.wsum - all.wmax);
  return r;
}

void find_avg_z2(int ls, int ns, const Array1<int>& fff_n, LocalExposureResults& ln, LocalList& local, int mode) {
  check_mode(mode);
  if (ls < 0 || ls > LDIM || ns < 0 || ns > NDIM || ln.ns < ns) {
    write_list(std::cout, "find_avg_z2: arrays not sized for the tile... Ls: ", ls, "    Ns: ", ns);
    stop_run();
  }
  Meth2Ln per = meth2_ln(ln, mode);
  Meth2Lf avg = meth2_lf(local, mode);
  std::array<float, NDIM> z{}, q{}, o{};
  std::array<double, NDIM> w{};
  std::array<int, NDIM> exposure{};
  std::array<std::uint8_t, NDIM> used{}, kept{};
  for (int l = 1; l <= ls; ++l) {
    for (int n = 1; n <= ns; ++n) per.g(l, n) = 0;
    for (int filter = 1; filter <= FDIM; ++filter) {
      int m = 0;
      double sw = 0.0;
      for (int n = 1; n <= ns; ++n) {
        if (fff_n(n) != filter || per.f(l, n) != 1) continue;
        const std::size_t k = static_cast<std::size_t>(m++);
        const double sz = per.sz(l, n);
        z[k] = per.z(l, n);
        q[k] = per.q(l, n);
        o[k] = per.o(l, n);
        w[k] = 1.0 / (sz * sz);
        if (!std::isfinite(w[k])) w[k] = 0.0;  // an error of 0 or not a number gives no usable weight
        exposure[k] = n;
        sw += w[k];
      }
      for (int k = 0; k < m; ++k) {
        double& wk = w[static_cast<std::size_t>(k)];
        wk = sw > 0.0 ? wk / sw : 0.0;
      }
      const MrejAverage a = barsig_1dw_mrej(z.data(), w.data(), m, M2_REJECT_K, used.data(), kept.data());
      double wk = 0.0, swq = 0.0, swo = 0.0;
      for (int k = 0; k < m; ++k) {
        const std::size_t s = static_cast<std::size_t>(k);
        per.g(l, exposure[s]) = kept[s];
        if (!kept[s]) continue;
        wk += w[s];
        swq += w[s] * q[s];
        swo += w[s] * o[s];
      }
      avg.z(l, filter) = static_cast<float>(a.mean);
      avg.sz(l, filter) = static_cast<float>(a.scatter);
      avg.f(l, filter) = static_cast<short>(a.used);
      avg.g(l, filter) = static_cast<short>(a.kept);
      const double qbar = wk > 0.0 ? swq / wk : 0.0;
      avg.q(l, filter) = qbar >= 0.0 ? static_cast<float>(qbar) : 0.0f;  // negative or not a number: 0
      avg.o(l, filter) = wk > 0.0 ? static_cast<float>(swo / wk) : 0.0f;
    }
  }
}

}  // namespace zeb
