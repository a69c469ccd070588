// A synthetic tile for the measurement methods: Ns exposures whose rasters
// map onto the tile grid by a shift (xt = ut + dx_n, yt = vt + dy_n), a
// circular Gaussian PSF of width sigma as every exposure's local PSF, and stars
// drawn into the rasters with the analytic Gaussian (not through rpsf_phot).
// The Gaussian is normalised so that its sum over pixel centres is 1 to within
// 1e-6, so a star of flux z puts z into its pixels.
#pragma once

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "core/array.h"
#include "core/limits.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "psf/psf.h"
#include "tile/tile_exposures.h"

namespace zeb::test {

// The field both method tests measure: a Gaussian PSF on a flat sky, and the
// accuracy an isolated star's fit must reach in it.
constexpr float SIGMA = 1.2f;
constexpr float SKY = 10.0f;
constexpr double POS_TOL = 0.01;
constexpr double FLUX_TOL = 0.001;

class GaussianField {
 public:
  GaussianField(int ns, float sigma, float sky, float pixel_error)
      : sigma_(sigma), norm_(1.0 / (2.0 * M_PI * sigma * sigma)), local_(std::make_unique<LocalList>()), ln_(ns) {
    te_.ns = ns;
    te_.allocate_rasters(ns);
    te_.pixv_n.fill(sky);
    te_.pixe_n.fill(pixel_error);
    Array2<float> grid(PSF_NPIX, PSF_NPIX);
    for (int b = 1; b <= PSF_NPIX; ++b)
      for (int a = 1; a <= PSF_NPIX; ++a) grid(a, b) = static_cast<float>(profile((a - 51) / 4.0, (b - 51) / 4.0));
    psfs_.assign(static_cast<std::size_t>(ns), LocalPsf(grid.view()));
    dx_.assign(static_cast<std::size_t>(ns), 0.0);
    dy_.assign(static_cast<std::size_t>(ns), 0.0);
    for (int n = 1; n <= ns; ++n) {
      te_.fff_n(n) = 1;
      te_.rap_n(n) = 2;
      te_.pos_n(n) = "111111111";
      te_.fnd_n(n) = "111111111";
      set_shift(n, 0.0, 0.0);
    }
    reset_local(*local_);
  }

  // Flux fraction of a pixel centred (dx, dy) pixels from the star.
  double profile(double dx, double dy) const {
    const double r2 = dx * dx + dy * dy;
    return r2 > 144.0 ? 0.0 : norm_ * std::exp(-r2 / (2.0 * sigma_ * sigma_));
  }

  // Exposure n sees tile-grid point (ut, vt) at raster (ut + dx, vt + dy).
  void set_shift(int n, double dx, double dy) {
    dx_[static_cast<std::size_t>(n - 1)] = dx;
    dy_[static_cast<std::size_t>(n - 1)] = dy;
    for (int l = 1; l <= 31; ++l)
      for (int k = 1; k <= 31; ++k) {
        const double node_u = 10.0 * (k - 1) + 1.0, node_v = 10.0 * (l - 1) + 1.0;
        te_.xtab_n(k, l, n) = static_cast<float>(node_u + dx);
        te_.ytab_n(k, l, n) = static_cast<float>(node_v + dy);
        te_.utab_n(k, l, n) = static_cast<float>(node_u - dx);
        te_.vtab_n(k, l, n) = static_cast<float>(node_v - dy);
      }
  }
  double raster_x(int n, double ut) const { return ut + dx_[static_cast<std::size_t>(n - 1)]; }
  double raster_y(int n, double vt) const { return vt + dy_[static_cast<std::size_t>(n - 1)]; }

  // Draws a star of flux z at tile-grid (ut, vt) into exposure n.
  void draw(int n, double ut, double vt, double z) {
    const double x = raster_x(n, ut), y = raster_y(n, vt);
    const int i0 = static_cast<int>(std::floor(x)), j0 = static_cast<int>(std::floor(y));
    for (int j = std::max(1, j0 - 13); j <= std::min(TILE_GRID, j0 + 13); ++j)
      for (int i = std::max(1, i0 - 13); i <= std::min(TILE_GRID, i0 + 13); ++i)
        te_.pixv_n(i, j, n) += static_cast<float>(z * profile(i - x, j - y));
  }
  void draw_all(double ut, double vt, double z) {
    for (int n = 1; n <= te_.ns; ++n) draw(n, ut, vt, z);
  }

  // Appends a star to the local list at tile-grid (u, v) with starting flux z
  // in both filter slots and code w; returns its index L.
  int list_star(float u, float v, float z, int w = 1) {
    const int l = ++ls_;
    local_->u0_l(l) = u;
    local_->v0_l(l) = v;
    local_->w0_l(l) = w;
    for (int f = 1; f <= FDIM; ++f) local_->z0_lf(l, f) = z;
    return l;
  }

  TileExposures& te() { return te_; }
  LocalList& local() { return *local_; }
  LocalExposureResults& ln() { return ln_; }
  std::vector<LocalPsf>& psfs() { return psfs_; }
  int ls() const { return ls_; }

 private:
  double sigma_, norm_;
  TileExposures te_;
  std::vector<LocalPsf> psfs_;
  std::unique_ptr<LocalList> local_;
  LocalExposureResults ln_;
  std::vector<double> dx_, dy_;
  int ls_ = 0;
};

// The benchmark tile of the measurement methods: the field's ns exposures
// dithered by fixed fractions, and ls stars of a fixed pseudo-random field
// (positions 4..298, log flux 2..4.5) drawn into every exposure and listed
// with small position errors at 80% of their flux.
inline void fill_benchmark_tile(GaussianField& field, int ns, int ls) {
  for (int n = 1; n <= ns; ++n) field.set_shift(n, 0.31 * (n % 4) - 0.4, 0.27 * (n % 3) - 0.3);
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> pos(4.0f, 298.0f), lz(2.0f, 4.5f), jitter(-0.3f, 0.3f);
  for (int k = 0; k < ls; ++k) {
    const float u = pos(gen), v = pos(gen), z = std::pow(10.0f, lz(gen));
    field.draw_all(u, v, z);
    field.list_star(u + jitter(gen), v + jitter(gen), 0.8f * z);
  }
}

}  // namespace zeb::test
