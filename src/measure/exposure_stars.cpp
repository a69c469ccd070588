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

void NeighbourGrid::build(const Predictions& pr, int ls) {
  std::fill(start_.begin(), start_.end(), 0);
  for (int l = 0; l < ls; ++l) {
    const int c = cell_of(pr.x0[l], pr.y0[l]);
    if (c >= 0) ++start_[c + 1];
  }
  for (int c = 0; c < NCELL * NCELL; ++c) start_[c + 1] += start_[c];
  std::copy(start_.begin(), start_.end() - 1, fill_.begin());
  for (int l = 0; l < ls; ++l) {
    const int c = cell_of(pr.x0[l], pr.y0[l]);
    if (c >= 0) members_[fill_[c]++] = l;
  }
}

void NeighbourGrid::gather(float xlo, float xhi, float ylo, float yhi, int self, const Predictions& pr,
                           std::vector<int>& out) const {
  out.clear();
  const int cx0 = clamp_cell(xlo), cx1 = clamp_cell(xhi);
  const int cy0 = clamp_cell(ylo), cy1 = clamp_cell(yhi);
  for (int cy = cy0; cy <= cy1; ++cy) {
    for (int cx = cx0; cx <= cx1; ++cx) {
      const int c = cx + NCELL * cy;
      for (int k = start_[c]; k < start_[c + 1]; ++k) {
        const int l = members_[k];
        if (l == self) continue;
        if (pr.x0[l] >= xlo && pr.x0[l] <= xhi && pr.y0[l] >= ylo && pr.y0[l] <= yhi) out.push_back(l);
      }
    }
  }
  std::sort(out.begin(), out.end());
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
