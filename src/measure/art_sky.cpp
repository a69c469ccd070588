#include "measure/art_sky.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <vector>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "measure/noise.h"
#include "core/robust_stats.h"
#include "measure/tile_model.h"

namespace zeb {

namespace {

constexpr float kArtHalfWindow = 12.5f;
constexpr float kCoreRadius = 2.5f;
constexpr float kSkyHalfBox = 5.0f;
constexpr float kSkyInner = 2.5f, kSkyOuter = 4.5f;
constexpr int kSkyMinPixels = 5;
constexpr int kSkyBoxMax = 12;  // the box spans 11 pixels; one spare for rounding

// The filter slot of exposure n, which indexes per-filter arrays.
int filter_of(const Array1<int>& fff_n, int n, const char* routine) {
  const int f = fff_n(n);
  if (f < 1 || f > FDIM) {
    write_list(std::cout, routine, ": exposure ", n, " has filter slot ", f);
    stop_run(std::string(routine) + ": filter slot out of range");
  }
  return f;
}

void check_rasters(const char* routine, int ns, long have, long tables, long psfs) {
  if (ns < 0 || ns > NDIM || ns > have || ns > tables || ns > psfs) {
    write_list(std::cout, routine, ": Ns: ", ns, " rasters: ", have, " tables: ", tables);
    stop_run(std::string(routine) + ": rasters do not hold Ns exposures");
  }
}

// A flux worth adding: finite and positive (negative or not-a-number fluxes
// would make the noise amplitude sqrt(m) not a number and spoil the pixels).
float usable_flux(float z) { return (z > 0.0f && std::isfinite(z)) ? z : 0.0f; }

// sqrt(exp_f / exp_n): the noise of light collected in exp_f seconds scaled to
// the exposure. An exposure time that gives no finite scale cannot receive a
// star: the run stops rather than write infinities into its pixels.
float noise_scale(float exp_f, float exp_n, int n) {
  const float s = std::sqrt(exp_f / exp_n);
  if (!std::isfinite(s) || !(exp_n > 0.0f)) {
    write_list(std::cout, "add_art: exposure", n, "has exposure time", exp_n, "against the filter's", exp_f);
    stop_run("add_art: exposure time not positive");
  }
  return s;
}

// Recorded core pixels of one filter: values and weights.
struct CoreSamples {
  std::vector<float> value, weight;
  int count = 0;
  void record(float x, float w) {
    if (++count > ART_CORE_MAX) stop_run("Ls(F).gt.9999");
    value.push_back(x);
    weight.push_back(w);
  }
};

// Weight PSF / error^2 of a core pixel. An error so small that the weight
// overflows gives the largest weight; a pixel without PSF light, or with an
// error that is not a number, gives none (instead of 0 / 0).
float core_weight(float p, float e) {
  if (!(p > 0.0f)) return 0.0f;
  const float w = p / (e * e);
  if (std::isnan(w)) return 0.0f;
  return w > FLT_MAX ? FLT_MAX : w;
}

// Adds the star to one exposure's raster and records its core pixels.
void add_to_exposure(View2<float> pix, View2<const float> err, View2<const std::uint8_t> flags, const LocalPsf& psf,
                     float x, float y, float z, float scale, CoreSamples& core) {
  const PixelRange ri = raster_window(x - kArtHalfWindow, x + kArtHalfWindow);
  const PixelRange rj = raster_window(y - kArtHalfWindow, y + kArtHalfWindow);
  for (int j = rj.first; j <= rj.last; ++j) {
    const float dy = static_cast<float>(j) - y;
    for (int i = ri.first; i <= ri.last; ++i) {
      if (flags(i, j) != 0) continue;
      const float dx = static_cast<float>(i) - x;
      float p = rpsf_phot(dx, dy, psf);
      if (!(p >= 0.0f)) p = 0.0f;
      const float r = std::sqrt(dx * dx + dy * dy);
      if (r < kCoreRadius) core.record(pix(i, j), core_weight(p, err(i, j)));
      const float m = z * p;
      const float sigma = m > 0.0f ? std::sqrt(m) * scale : 0.0f;
      pix(i, j) += m + sigma * noise_sig();
    }
  }
}

}  // namespace

ArtLevels add_art(int ns, Array3<float>& pixv_n, const Array3<float>& pixe_n, const Array3<std::uint8_t>& pixu_n,
                  std::span<const LocalPsf> psf_n, float u, float v, const std::array<float, FDIM>& z,
                  const Array1<int>& fff_n, const Array1<float>& exp_f, const Array1<float>& exp_n,
                  const Array3<float>& xtab_n, const Array3<float>& ytab_n, bool verbose) {
  check_rasters("add_art", ns, std::min({pixv_n.n3(), pixe_n.n3(), pixu_n.n3()}),
                std::min(xtab_n.n3(), ytab_n.n3()), static_cast<long>(psf_n.size()));
  std::array<CoreSamples, FDIM> core;
  for (int n = 1; n <= ns; ++n) {
    const int f = filter_of(fff_n, n, "add_art");
    if (f > exp_f.n()) stop_run("add_art: no exposure time for the filter slot");
    const float zf = usable_flux(z[static_cast<std::size_t>(f - 1)]);
    // Light and noise need a finite scale; a star of no flux changes nothing.
    const float scale = zf > 0.0f ? noise_scale(exp_f(f), exp_n(n), n) : 0.0f;
    const TabView xtab = tab_of(xtab_n, n), ytab = tab_of(ytab_n, n);
    const float x = xt_tuv(u, v, xtab, ytab), y = yt_tuv(u, v, xtab, ytab);
    add_to_exposure(pixv_n.plane(n), pixe_n.plane(n), pixu_n.plane(n), psf_n[static_cast<std::size_t>(n - 1)], x, y,
                    zf, scale, core[static_cast<std::size_t>(f - 1)]);
  }
  ArtLevels out;
  for (int f = 1; f <= FDIM; ++f) {
    const CoreSamples& c = core[static_cast<std::size_t>(f - 1)];
    const RobustMean r = barsigw(c.value.data(), c.weight.data(), c.count, 3.0f);
    const std::size_t k = static_cast<std::size_t>(f - 1);
    out.level[k] = r.mean;
    out.scatter[k] = r.scatter;
    out.count[k] = c.count;
    out.used[k] = r.used;
    if (verbose) write_list(std::cout, "---> F: ", f, r.mean, r.scatter, c.count, r.used);
  }
  return out;
}

namespace {

// Mean and mean absolute deviation of the annulus pixels of one exposure
// around (x, y), or false when the box holds a flagged pixel or the annulus
// fewer than kSkyMinPixels pixels.
bool annulus_sky(View2<const float> pix, View2<const std::uint8_t> flags, float x, float y, float& sky,
                 float& scatter) {
  const PixelRange ri = raster_window(x - kSkyHalfBox + 0.5f, x + kSkyHalfBox + 0.5f);
  const PixelRange rj = raster_window(y - kSkyHalfBox + 0.5f, y + kSkyHalfBox + 0.5f);
  for (int j = rj.first; j <= rj.last; ++j)
    for (int i = ri.first; i <= ri.last; ++i)
      if (flags(i, j) != 0) return false;
  float ring[kSkyBoxMax * kSkyBoxMax];
  int count = 0;
  double sum = 0.0;
  for (int j = rj.first; j <= rj.last; ++j)
    for (int i = ri.first; i <= ri.last; ++i) {
      const float dx = static_cast<float>(i) - x, dy = static_cast<float>(j) - y;
      const float r = std::sqrt(dx * dx + dy * dy);
      if (r < kSkyInner || r > kSkyOuter || count == kSkyBoxMax * kSkyBoxMax) continue;
      ring[count++] = pix(i, j);
      sum += pix(i, j);
    }
  if (count < kSkyMinPixels) return false;
  const double a = sum / count;
  double dev = 0.0;
  for (int k = 0; k < count; ++k) dev += std::fabs(ring[k] - a);
  sky = static_cast<float>(a);
  scatter = static_cast<float>(dev / (count - 1));
  return true;
}

}  // namespace

void rmssky_xyz_tile(int ls, std::span<const float> u0_l, std::span<const float> v0_l, int ns,
                     const Array3<float>& xtab_n, const Array3<float>& ytab_n, const Array3<float>& pixv_n,
                     const Array3<std::uint8_t>& pixu_n, int fs, const Array1<int>& fff_n, Array2<float>& sky,
                     Array2<float>& scatter, bool verbose) {
  if (verbose) {
    write_record(std::cout, "('rmssky_xyz_tile...')");
    write_record(std::cout, "('---> Ls = ',1x,i4)", ls);
    write_record(std::cout, "('---> Ns = ',1x,i4)", ns);
    write_record(std::cout, "('---> Fs = ',1x,i4)", fs);
  }
  check_rasters("rmssky_xyz_tile", ns, std::min(pixv_n.n3(), pixu_n.n3()), std::min(xtab_n.n3(), ytab_n.n3()), ns);
  const bool lists_ok = ls >= 0 && ls <= static_cast<long>(u0_l.size()) && ls <= static_cast<long>(v0_l.size()) &&
                        ls <= sky.nx() && ls <= scatter.nx() && sky.ny() >= FDIM && scatter.ny() >= FDIM;
  if (!lists_ok) {
    write_list(std::cout, "rmssky_xyz_tile: Ls: ", ls, " does not fit the star or result arrays");
    stop_run("rmssky_xyz_tile: Ls beyond the arrays");
  }
  // Every star's sky is its own: blocks of stars go to the threads.
  constexpr int BLOCK = 32;
  parallel_for(0, (ls - 1) / BLOCK, [&](int block, int) {
    float skies[NDIM], scats[NDIM];
    for (int l = block * BLOCK + 1; l <= std::min(ls, (block + 1) * BLOCK); ++l) {
      const float u = u0_l[static_cast<std::size_t>(l - 1)], v = v0_l[static_cast<std::size_t>(l - 1)];
      for (int f = 1; f <= FDIM; ++f) {
        int k = 0;
        for (int n = 1; n <= ns; ++n) {
          if (filter_of(fff_n, n, "rmssky_xyz_tile") != f) continue;
          const TabView xtab = tab_of(xtab_n, n), ytab = tab_of(ytab_n, n);
          const float x = xt_tuv(u, v, xtab, ytab), y = yt_tuv(u, v, xtab, ytab);
          if (annulus_sky(pixv_n.plane(n), pixu_n.plane(n), x, y, skies[k], scats[k])) ++k;
        }
        float mean = 0.0f, sigma = 0.0f;
        int used = 0;
        barsig(std::span<const float>(skies, static_cast<std::size_t>(k)), k, mean, sigma, used);
        sky(l, f) = mean;
        barsig(std::span<const float>(scats, static_cast<std::size_t>(k)), k, mean, sigma, used);
        scatter(l, f) = mean;
      }
    }
  });
}

}  // namespace zeb
