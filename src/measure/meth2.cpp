#include "measure/meth2.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "geometry/tile_tables.h"
#include "measure/meth0.h"
#include "measure/neighbour_grid.h"
#include "measure/tile_model.h"

namespace zeb {

namespace {

constexpr int RASTER = TILE_GRID;  // raster side, 301 pixels
constexpr int SKY_EDGE_LO = 2, SKY_EDGE_HI = RASTER - 1;  // sky pixels lie in 2..300
constexpr int SKY_MIN = 10;        // fewer sky pixels give no sky
constexpr int SKY_COUNT_MIN = 10;  // a star is measured only with at least 10 sky values kept
constexpr float PSF_REACH = 12.0f; // a PSF is exactly zero beyond 12 pixels
constexpr float CORE_R2 = 0.5625f; // mode 3: pixels closer than 0.75 pixel
constexpr double TRIM_FRACTION = 0.2;
constexpr double SCATTER_FLOOR = 0.005;

void check_mode(int mode) {
  if (mode != 2 && mode != 3) stop_run("M2M3 must be 2 or 3");
}

// Nearest pixel trunc(x + 0.5); false for a position that is not a number or
// lies far off the raster (no conversion could hold it, and it reaches no pixel).
bool nearest_pixel(float x, int& i) {
  if (!(x > -1.0e6f && x < 1.0e6f)) return false;
  i = static_cast<int>(x + 0.5f);
  return true;
}

float positive_or_zero(float z) { return std::isfinite(z) && z > 0.0f ? z : 0.0f; }

struct ExposureViews {
  View2<const float> pixv, pixe, pixm;
  View2<const std::uint8_t> pixu;
  TabView xtab, ytab;
};

ExposureViews views_of(const TileExposures& te, int n) {
  return {te.pixv_n.plane(n), te.pixe_n.plane(n), te.pixm_n.plane(n), te.pixu_n.plane(n),
          tab_of(te.xtab_n, n), tab_of(te.ytab_n, n)};
}

// Everything one call works with, created on entry: nothing is allocated per
// star or per pixel.
struct Workspace {
  explicit Workspace(int ls)
      : x(static_cast<std::size_t>(ls)), y(static_cast<std::size_t>(ls)), z(static_cast<std::size_t>(ls)),
        grid(ls), model(RASTER, RASTER), residual(RASTER, RASTER), neighbours(RASTER, RASTER) {
    candidates.reserve(static_cast<std::size_t>(ls));
  }
  std::vector<float> x, y, z;  // raster position and modelling flux of star L (element L - 1)
  NeighbourGrid grid;
  std::vector<int> candidates;
  Array2<float> model, residual, neighbours;
  Sky2Buffer sky;
};

// Raster positions of stars 1..ls in exposure n, stored in the mode's x, y
// arrays (0 where the mapping gives no number), and their modelling fluxes.
void predict_exposure(Workspace& ws, const LocalList& local, int ls, int n, const ExposureViews& ev, int filter,
                      Meth2Ln& out) {
  for (int l = 1; l <= ls; ++l) {
    const float x = xt_tuv(local.u0_l(l), local.v0_l(l), ev.xtab, ev.ytab);
    const float y = yt_tuv(local.u0_l(l), local.v0_l(l), ev.xtab, ev.ytab);
    const std::size_t k = static_cast<std::size_t>(l - 1);
    ws.x[k] = x;
    ws.y[k] = y;
    ws.z[k] = positive_or_zero(local.z0_lf(l, filter));
    out.x(l, n) = std::isfinite(x) ? x : 0.0f;
    out.y(l, n) = std::isfinite(y) ? y : 0.0f;
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
// residual pixels - model. The model window of a star, trunc(x - 12) ..
// trunc(x + 13), holds every pixel its PSF reaches.
void build_model(Workspace& ws, const LocalList& local, int ls, const ExposureViews& ev,
                 const LocalPsf& psf) {
  const std::span<const float> u(&local.u0_l(1), static_cast<std::size_t>(ls));
  const std::span<const float> v(&local.v0_l(1), static_cast<std::size_t>(ls));
  const std::span<const float> z(ws.z.data(), static_cast<std::size_t>(ls));
  mod_tile(u, v, z, ls, ev.xtab, ev.ytab, psf, ws.model.view());
  for (int j = 1; j <= RASTER; ++j)
    for (int i = 1; i <= RASTER; ++i) ws.residual(i, j) = ev.pixv(i, j) - ws.model(i, j);
}

// Neighbour image of star l (0-based) on ic +- half, jc +- half: the other
// stars' positive fluxes times their PSFs, summed in star order.
void fill_neighbours(Workspace& ws, int l, int ic, int jc, int half, const LocalPsf& psf) {
  const float xs = ws.x[static_cast<std::size_t>(l)], ys = ws.y[static_cast<std::size_t>(l)];
  for (int j = jc - half; j <= jc + half; ++j)
    for (int i = ic - half; i <= ic + half; ++i) ws.neighbours(i, j) = 0.0f;
  // The box lies within half + 0.5 pixel of the star; a PSF reaches 12 pixels.
  const float reach = static_cast<float>(half) + PSF_REACH + 1.0f;
  ws.grid.gather(xs - reach, xs + reach, ys - reach, ys + reach, l, ws.x.data(), ws.y.data(), ws.candidates);
  for (const int k : ws.candidates) {
    const float zk = ws.z[static_cast<std::size_t>(k)];
    if (zk == 0.0f) continue;
    const float xk = ws.x[static_cast<std::size_t>(k)], yk = ws.y[static_cast<std::size_t>(k)];
    for (int j = jc - half; j <= jc + half; ++j)
      for (int i = ic - half; i <= ic + half; ++i)
        ws.neighbours(i, j) += zk * rpsf_phot(static_cast<float>(i) - xk, static_cast<float>(j) - yk, psf);
  }
}

// Measures star l (0-based) of exposure n.
void measure_star(Workspace& ws, int l, int n, int mode, int rap, const ExposureViews& ev, const LocalPsf& psf,
                  Meth2Ln& out) {
  const int star = l + 1;
  const float x = ws.x[static_cast<std::size_t>(l)], y = ws.y[static_cast<std::size_t>(l)];
  int ic = 0, jc = 0;
  if (!nearest_pixel(x, ic) || !nearest_pixel(y, jc)) return;
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

template <typename T>
bool raster_ok(const Array3<T>& a, int ns) {
  return ns == 0 || (a.n1() == RASTER && a.n2() == RASTER && a.n3() >= ns);
}

// Checks what the caller hands over, so that no index leaves its array.
void check_inputs(int ls, const LocalExposureResults& ln, const TileExposures& te, std::span<const LocalPsf> psf_n) {
  const int ns = te.ns;
  const bool sizes_ok = ls >= 0 && ls <= LDIM && ns >= 0 && ns <= NDIM && ln.ns >= ns &&
                        static_cast<int>(psf_n.size()) >= ns && raster_ok(te.pixv_n, ns) && raster_ok(te.pixe_n, ns) &&
                        raster_ok(te.pixm_n, ns) && raster_ok(te.pixu_n, ns);
  if (!sizes_ok) {
    write_list(std::cout, "meth2_xyz_tile: arrays not sized for the tile... Ls: ", ls, "    Ns: ", ns);
    stop_run();
  }
  for (int n = 1; n <= ns; ++n) {
    if (te.fff_n(n) < 1 || te.fff_n(n) > FDIM) {
      write_list(std::cout, "meth2_xyz_tile: filter slot out of range... n: ", n, "    F: ", te.fff_n(n));
      stop_run();
    }
    // The same box half-sizes as method 0: the sky radii and the box grow
    // with RAP, and a PSF reaches no pixel beyond 12.
    if (te.rap_n(n) < RAP_MIN || te.rap_n(n) > RAP_MAX) {
      write_list(std::cout, "meth2_xyz_tile: RAP must be", RAP_MIN, "..", RAP_MAX, "... n: ", n, "    RAP: ",
                 te.rap_n(n));
      stop_run();
    }
  }
}

// Weighted mean and scatter sum w |z - m| / (sum w - max w) of the kept
// measurements except `skip` (-1: none).
struct LeaveOneOut {
  double mean = 0.0, wsum = 0.0, wmax = 0.0, dev = 0.0;
};
LeaveOneOut kept_mean(const float* z, const double* w, const std::uint8_t* kept, int n, int skip) {
  LeaveOneOut r;
  double swz = 0.0;
  for (int k = 0; k < n; ++k) {
    if (k == skip || !kept[k]) continue;
    r.wsum += w[k];
    swz += w[k] * z[k];
    r.wmax = std::max(r.wmax, w[k]);
  }
  r.mean = swz / r.wsum;
  for (int k = 0; k < n; ++k)
    if (k != skip && kept[k]) r.dev += w[k] * std::fabs(z[k] - r.mean);
  return r;
}

// Removes from both sets, one at a time, the lightest kept measurement (first
// on ties) while it weighs less than 0.2 of the kept ones' mean weight.
void trim_low_weights(const double* w, int n, std::uint8_t* used, std::uint8_t* kept) {
  for (;;) {
    int nk = 0, lightest = -1;
    double sw = 0.0;
    for (int k = 0; k < n; ++k) {
      if (!kept[k]) continue;
      ++nk;
      sw += w[k];
      if (lightest < 0 || w[k] < w[lightest]) lightest = k;
    }
    if (nk == 0 || !(w[lightest] < TRIM_FRACTION * (sw / nk))) return;
    used[lightest] = 0;
    kept[lightest] = 0;
  }
}

// The kept measurement farthest from the others' mean in units of their
// scatter, when that exceeds k; else -1.
int worst_outlier(const float* z, const double* w, const std::uint8_t* kept, int n, double k) {
  double worst_d = 0.0;
  int worst = -1;
  for (int j = 0; j < n; ++j) {
    if (!kept[j]) continue;
    const LeaveOneOut o = kept_mean(z, w, kept, n, j);
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

Meth2Sky barsigw_meth2(const float* v, const float* w, int n) {
  Meth2Sky r;
  if (n <= SKY_MIN) {
    r.scatter = M2_SKY_TOO_FEW;
    return r;
  }
  std::array<bool, SKY2_MAX> in{};
  const int m = std::min(n, SKY2_MAX);
  std::fill(in.begin(), in.begin() + m, true);
  for (;;) {
    double sw = 0.0, swv = 0.0;
    int count = 0;
    for (int k = 0; k < m; ++k)
      if (in[static_cast<std::size_t>(k)]) {
        sw += w[k];
        swv += static_cast<double>(w[k]) * v[k];
        ++count;
      }
    const double mean = swv / sw;
    double dev = 0.0;
    for (int k = 0; k < m; ++k)
      if (in[static_cast<std::size_t>(k)]) dev += w[k] * std::fabs(v[k] - mean);
    const double scatter = dev / sw;
    r.sky = static_cast<float>(mean);
    r.scatter = static_cast<float>(scatter);
    r.count = count;
    bool dropped = false;
    for (int k = 0; k < m; ++k)
      if (in[static_cast<std::size_t>(k)] && std::fabs(v[k] - mean) > 3.0 * scatter) {
        in[static_cast<std::size_t>(k)] = false;
        dropped = true;
      }
    if (!dropped) return r;
  }
}

Meth2Sky find_sky_meth2(float x, float y, float r_in, float r_out, View2<const float> residual,
                        View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                        View2<const float> pixm, Sky2Buffer& buffer) {
  Meth2Sky none;
  int ic = 0, jc = 0;
  if (!nearest_pixel(x, ic) || !nearest_pixel(y, jc)) return none;
  const double lo = static_cast<double>(r_in) - 0.5, hi = static_cast<double>(r_out) + 0.5;
  const double lo2 = lo * lo, hi2 = hi * hi;
  const int reach = static_cast<int>(std::ceil(hi));
  const int jlo = std::max(SKY_EDGE_LO, jc - reach), jhi = std::min(SKY_EDGE_HI, jc + reach);
  const int ilo = std::max(SKY_EDGE_LO, ic - reach), ihi = std::min(SKY_EDGE_HI, ic + reach);
  int n = 0;
  double sw = 0.0;
  for (int j = jlo; j <= jhi; ++j) {
    for (int i = ilo; i <= ihi; ++i) {
      const double a = i - ic, b = j - jc;
      const double r2 = a * a + b * b;
      if (r2 < lo2 || r2 > hi2 || mask(i, j) != 0) continue;
      const float value = residual(i, j);
      const float pe = pixe(i, j), md = model(i, j), pm = pixm(i, j);
      const float w = 1.0f / (pe * pe + md * md + pm * pm);
      // A pixel whose value or weight is not a finite number carries no sky.
      if (!std::isfinite(value) || !std::isfinite(w)) continue;
      if (n == SKY2_MAX) stop_run("find_sky_meth2:  Ls.gt.1000");
      buffer.v[static_cast<std::size_t>(n)] = value;
      buffer.w[static_cast<std::size_t>(n)] = w;
      sw += w;
      ++n;
    }
  }
  if (n < SKY_MIN) return none;
  const double scale = n / sw;  // weights to average 1
  for (int k = 0; k < n; ++k) {
    float& w = buffer.w[static_cast<std::size_t>(k)];
    w = static_cast<float>(w * scale);
  }
  return barsigw_meth2(buffer.v.data(), buffer.w.data(), n);
}

Meth2Flux find_zwt_meth2(float x, float y, float sky, int h, float ss, View2<const float> pix,
                         View2<const std::uint8_t> mask, View2<const float> neighbours, View2<const float> pixm,
                         View2<const float> model, const LocalPsf& psf) {
  Meth2Flux r;
  int ic = 0, jc = 0;
  if (!nearest_pixel(x, ic) || !nearest_pixel(y, jc) || h < 0) return r;
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
  check_inputs(ls, ln, te, psf_n);
  Meth2Ln out = meth2_ln(ln, mode);
  // The exposures are measured independently: each writes only its own results.
  PerWorker<Workspace> work(te.ns, ls);
  parallel_for(1, te.ns, [&](int n, int worker) {
    Workspace& ws = work[worker];
    const ExposureViews ev = views_of(te, n);
    const LocalPsf& psf = psf_n[static_cast<std::size_t>(n - 1)];
    const int filter = te.fff_n(n);
    reset_outputs(out, ls, n);
    predict_exposure(ws, local, ls, n, ev, filter, out);
    build_model(ws, local, ls, ev, psf);
    ws.grid.build(ws.x.data(), ws.y.data(), ls);
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
    trim_low_weights(w, n, used, kept);
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
  const LeaveOneOut all = kept_mean(z, w, kept, n, -1);
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
