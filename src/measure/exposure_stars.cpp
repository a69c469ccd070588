#include "measure/exposure_stars.h"

#include <iostream>
#include <limits>
#include <string>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace zeb {

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
