#include "measure/exposure_stars.h"

#include <iostream>
#include <limits>
#include <string>

#include "core/fortran_format.h"
#include "core/robust_stats.h"
#include "core/stop.h"

namespace zeb {

namespace {

constexpr int SKY_EDGE_LO = 2, SKY_EDGE_HI = RASTER - 1;  // sky pixels lie in 2..300

}  // namespace

void predict_exposure(Predictions& pr, const LocalList& local, int ls, const ExposureViews& ev, int filter) {
  for (int l = 1; l <= ls; ++l) {
    const float x = xt_tuv(local.u0_l(l), local.v0_l(l), ev.xtab, ev.ytab);
    const float y = yt_tuv(local.u0_l(l), local.v0_l(l), ev.xtab, ev.ytab);
    const int i0 = nearest_pixel(x), j0 = nearest_pixel(y);
    const bool finite = i0 != OFF_RASTER && j0 != OFF_RASTER;
    pr.x0[l - 1] = finite ? x : std::numeric_limits<float>::quiet_NaN();
    pr.y0[l - 1] = finite ? y : std::numeric_limits<float>::quiet_NaN();
    pr.i0[l - 1] = finite ? i0 : OFF_RASTER;
    pr.j0[l - 1] = finite ? j0 : OFF_RASTER;
    pr.zi[l - 1] = model_flux(local.z0_lf(l, filter));
  }
}

SkyEstimate weighted_sky_mean(const float* v, const float* w, int n) {
  SkyEstimate r;
  if (n <= SKY_ANNULUS_MIN) {
    r.scatter = SKY_TOO_FEW_SCATTER;
    return r;
  }
  const ClippedMean m = clipped_weighted_mean(v, w, std::min(n, SKY_ANNULUS_MAX));
  r.centre = static_cast<float>(m.mean);
  r.scatter = static_cast<float>(m.scatter);
  r.count = m.used;
  return r;
}

SkyEstimate annulus_sky(float x, float y, float r_in, float r_out, View2<const float> residual,
                        View2<const std::uint8_t> mask, View2<const float> model, View2<const float> pixe,
                        View2<const float> pixm, SkyBuffer& buffer) {
  SkyEstimate none;
  const int ic = nearest_pixel(x), jc = nearest_pixel(y);
  if (ic == OFF_RASTER || jc == OFF_RASTER) return none;
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
      // A pixel whose value or weight is not a finite number (an error of 0,
      // a pixel that is not a number) would turn the whole mean into one.
      if (!std::isfinite(value) || !std::isfinite(w)) continue;
      if (n == SKY_ANNULUS_MAX) stop_run("find_sky_meth2:  Ls.gt.1000");
      buffer.value[static_cast<std::size_t>(n)] = value;
      buffer.weight[static_cast<std::size_t>(n)] = w;
      sw += w;
      ++n;
    }
  }
  if (n < SKY_ANNULUS_MIN) return none;
  const double scale = n / sw;  // weights to average 1
  for (int k = 0; k < n; ++k) {
    float& w = buffer.weight[static_cast<std::size_t>(k)];
    w = static_cast<float>(w * scale);
  }
  return weighted_sky_mean(buffer.value.data(), buffer.weight.data(), n);
}

namespace {

template <typename T>
bool raster_ok(const Array3<T>& a, int ns) {
  return ns == 0 || (a.n1() == RASTER && a.n2() == RASTER && a.n3() >= ns);
}

}  // namespace

void check_tile_inputs(std::string_view routine, int ls, const LocalExposureResults& ln, const TileExposures& te,
                       std::span<const LocalPsf> psf_n, int rap_min, int rap_max) {
  const std::string name(routine);
  const int ns = te.ns;
  const bool sizes_ok = ls >= 0 && ls <= LDIM && ns >= 0 && ns <= NDIM && ln.ns >= ns &&
                        static_cast<int>(psf_n.size()) >= ns && raster_ok(te.pixv_n, ns) && raster_ok(te.pixe_n, ns) &&
                        raster_ok(te.pixm_n, ns) && raster_ok(te.pixu_n, ns);
  if (!sizes_ok) {
    write_list(std::cout, name + ": arrays not sized for the tile... Ls: ", ls, "    Ns: ", ns);
    stop_run();
  }
  for (int n = 1; n <= ns; ++n) {
    if (te.fff_n(n) < 1 || te.fff_n(n) > FDIM) {
      write_list(std::cout, name + ": filter slot out of range... n: ", n, "    F: ", te.fff_n(n));
      stop_run();
    }
    if (te.rap_n(n) < rap_min || te.rap_n(n) > rap_max) {
      write_list(std::cout, name + ": RAP must be", rap_min, "..", rap_max, "... n: ", n, "    RAP: ", te.rap_n(n));
      stop_run();
    }
  }
}

}  // namespace zeb
