// Hand-built tiles for the finding tests: exposures whose raster maps onto the
// tile grid through simple linear tables, a Gaussian PSF, and stars placed
// directly into the residual rasters.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "core/array.h"
#include "find/find_tile.h"
#include "measure/local_list.h"
#include "psf/psf.h"
#include "setup/run_state.h"
#include "tile/tile_exposures.h"

namespace zeb::test {

inline constexpr float kSigma = 1.0f;  // PSF width, raster pixels

inline float gauss(float dx, float dy) {
  return std::exp(-(dx * dx + dy * dy) / (2.0f * kSigma * kSigma)) / (2.0f * 3.14159265f * kSigma * kSigma);
}

// Tables of a linear map ut = 151 + scale (xt - 151) + shift (likewise v), and
// its inverse, exact at the nodes.
inline void linear_tables(TileExposures& te, int n, float scale, float shift_u = 0.0f, float shift_v = 0.0f) {
  for (int l = 1; l <= TAB_NODES; ++l)
    for (int k = 1; k <= TAB_NODES; ++k) {
      const float node_k = static_cast<float>(10 * (k - 1) + 1), node_l = static_cast<float>(10 * (l - 1) + 1);
      te.utab_n(k, l, n) = 151.0f + scale * (node_k - 151.0f) + shift_u;
      te.vtab_n(k, l, n) = 151.0f + scale * (node_l - 151.0f) + shift_v;
      te.xtab_n(k, l, n) = 151.0f + (node_k - 151.0f - shift_u) / scale;
      te.ytab_n(k, l, n) = 151.0f + (node_l - 151.0f - shift_v) / scale;
    }
}

// A tile of ns exposures with flat zero residuals, unit errors, no flags, no
// mask or model level, factors msk_n = 2 and oth_n = 1, every exposure taking
// part in every iteration, identity tables (raster pixel = tile-grid point)
// and the Gaussian PSF.
struct TestTile {
  TileExposures te;
  Array3<float> psf_n;
  std::unique_ptr<LocalList> local = std::make_unique<LocalList>();
  int ls = 0;
  Settings settings;
  FindingMaps maps;

  explicit TestTile(int ns) {
    te.ns = ns;
    te.allocate_rasters(ns);
    psf_n.resize(PSF_NPIX, PSF_NPIX, ns);
    for (int n = 1; n <= ns; ++n) {
      te.fnd_n(n) = "111111111";
      te.msk_n(n) = 2.0f;
      te.oth_n(n) = 1.0f;
      linear_tables(te, n, 1.0f);
      for (int y = 1; y <= TILE_GRID; ++y)
        for (int x = 1; x <= TILE_GRID; ++x) te.pixe_n(x, y, n) = 1.0f;
      set_gaussian_psf(n);
    }
    reset_local(*local);
  }

  void set_gaussian_psf(int n) {
    for (int b = 1; b <= PSF_NPIX; ++b)
      for (int a = 1; a <= PSF_NPIX; ++a)
        psf_n(a, b, n) = gauss(static_cast<float>(a - PSF_CENTRE) / 4.0f, static_cast<float>(b - PSF_CENTRE) / 4.0f);
  }

  // Adds a star of the given flux centred at raster position (x0, y0) of
  // exposure n (pixels within 8 of the centre).
  void add_star(int n, float x0, float y0, float flux) {
    const int ic = static_cast<int>(std::lround(x0)), jc = static_cast<int>(std::lround(y0));
    for (int y = jc - 8; y <= jc + 8; ++y)
      for (int x = ic - 8; x <= ic + 8; ++x)
        if (x >= 1 && x <= TILE_GRID && y >= 1 && y <= TILE_GRID)
          te.pixd_n(x, y, n) += flux * gauss(static_cast<float>(x) - x0, static_cast<float>(y) - y0);
  }
  void add_star_all(float x0, float y0, float flux) {
    for (int n = 1; n <= te.ns; ++n) add_star(n, x0, y0, flux);
  }

  // A known star in the local list at tile-grid position (u, v).
  void add_known(float u, float v, int w0) {
    ++ls;
    local->u0_l(ls) = u;
    local->v0_l(ls) = v;
    local->w0_l(ls) = w0;
    local->n0_l(ls) = 1000 + ls;
  }

  int find(int nit, FindWindow window = {}) { return find_tile(nit, settings, window, te, psf_n, *local, ls, maps); }
};

}  // namespace zeb::test
