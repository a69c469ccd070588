#include "measure/tile_model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>

#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/parallel.h"
#include "core/stop.h"

namespace zeb {

namespace {

void check_span(std::span<const float> s, int ls, const char* what, const std::string& routine = "mod_tile") {
  if (ls > static_cast<long>(s.size())) {
    write_list(std::cout, routine + ": ", ls, " stars but ", static_cast<long>(s.size()), " entries in ", what);
    stop_run(routine + ": star list shorter than Ls");
  }
}

}  // namespace

void add_star_model(float x, float y, float z, const LocalPsf& psf, View2<float> model) {
  const PixelRange ri = raster_window(x - MODEL_WINDOW_LO, x + MODEL_WINDOW_HI);
  const PixelRange rj = raster_window(y - MODEL_WINDOW_LO, y + MODEL_WINDOW_HI);
  const PsfPhase phase(x, y);
  for (int j = rj.first; j <= rj.last; ++j) {
    float* row = &model(1, j);  // row[i - 1] is pixel (i, j)
    for (int i = ri.first; i <= ri.last; ++i) row[i - 1] += z * phase.at(i, j, psf);
  }
}

void model_stars(std::span<const float> x, std::span<const float> y, std::span<const float> z, int ls,
                 const LocalPsf& psf, View2<float> model) {
  check_span(x, ls, "x", "model_stars");
  check_span(y, ls, "y", "model_stars");
  check_span(z, ls, "the fluxes", "model_stars");
  std::fill(model.data(), model.data() + model.nx() * model.ny(), 0.0f);
  for (int l = 0; l < ls; ++l) {
    const std::size_t k = static_cast<std::size_t>(l);
    if (!(z[k] >= 0.0f) || !std::isfinite(z[k])) continue;
    add_star_model(x[k], y[k], z[k], psf, model);
  }
}

PixelRange raster_window(float lo, float hi) {
  PixelRange r;
  if (!(hi >= 1.0f) || !(lo < static_cast<float>(TILE_GRID + 1))) return r;  // also NaN
  r.first = lo < 1.0f ? 1 : static_cast<int>(lo);
  r.last = hi >= static_cast<float>(TILE_GRID) ? TILE_GRID : static_cast<int>(hi);
  return r;
}

void mod_tile(std::span<const float> u0_l, std::span<const float> v0_l, std::span<const float> z_l, int ls,
              TabView xtab, TabView ytab, const LocalPsf& psf, View2<float> model) {
  check_span(u0_l, ls, "u0_l");
  check_span(v0_l, ls, "v0_l");
  check_span(z_l, ls, "the fluxes");
  std::fill(model.data(), model.data() + model.nx() * model.ny(), 0.0f);
  for (int l = 0; l < ls; ++l) {
    const float z = z_l[static_cast<std::size_t>(l)];
    // An infinite flux would fill the window with infinities (and NaN where
    // the PSF is 0): it is treated like a flux that is not a number.
    if (!(z >= 0.0f) || !std::isfinite(z)) continue;
    const float x = xt_tuv(u0_l[static_cast<std::size_t>(l)], v0_l[static_cast<std::size_t>(l)], xtab, ytab);
    const float y = yt_tuv(u0_l[static_cast<std::size_t>(l)], v0_l[static_cast<std::size_t>(l)], xtab, ytab);
    add_star_model(x, y, z, psf, model);
  }
}

void sub_tile(View2<const float> pix, View2<const float> model, View2<float> residual,
              View2<const std::uint8_t> mask) {
  const long n = pix.nx() * pix.ny();
  const float* p = pix.data();
  const float* m = model.data();
  const std::uint8_t* u = mask.data();
  float* r = residual.data();
  // r = p - m where the mask is 0, else +0: written as a bit mask so that the
  // compiler does many pixels at a time (the same values as the branch).
  for (long k = 0; k < n; ++k) {
    const float d = p[k] - m[k];
    std::uint32_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    bits &= 0u - static_cast<std::uint32_t>(u[k] == 0);
    std::memcpy(&r[k], &bits, sizeof bits);
  }
}

namespace {

void shape_like(const Array3<float>& from, Array3<float>& to) {
  if (to.n1() != from.n1() || to.n2() != from.n2() || to.n3() != from.n3()) to.resize(from.n1(), from.n2(), from.n3());
}

// Exposures 1..min(ns, planes) of `from`, one plane at a time on the threads.
template <typename Body>
void for_each_plane(int ns, const Array3<float>& from, const Body& body) {
  parallel_for(1, static_cast<int>(std::min<long>(ns, from.n3())), [&](int k, int) { body(k); });
}

void copy_plane(const Array3<float>& from, Array3<float>& to, int k) {
  const View2<const float> a = from.plane(k);
  std::copy(a.data(), a.data() + a.size(), to.plane(k).data());
}

}  // namespace

void hold_pixv(int ns, const Array3<float>& from, Array3<float>& to) {
  shape_like(from, to);
  for_each_plane(ns, from, [&](int k) { copy_plane(from, to, k); });
}

void init_pixsub(int ns, const Array3<float>& pixv_n, Array3<float>& pixd_n, Array3<float>& pixf_n) {
  shape_like(pixv_n, pixd_n);
  shape_like(pixv_n, pixf_n);
  for_each_plane(ns, pixv_n, [&](int k) {
    copy_plane(pixv_n, pixd_n, k);
    const View2<float> f = pixf_n.plane(k);
    std::fill(f.data(), f.data() + f.size(), 0.0f);
  });
}

}  // namespace zeb
