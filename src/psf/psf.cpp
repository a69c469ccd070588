#include "psf/psf.h"

#include <algorithm>
#include <cmath>

namespace zeb {

LocalPsf::LocalPsf() : p_(PSF_NGRID, 0.0f), cells_(static_cast<std::size_t>(PSF_QCELL_N) * PSF_QCELL_N) {
  prepare();
}

LocalPsf::LocalPsf(View2<const float> grid) : LocalPsf() { assign(grid); }

void LocalPsf::assign(View2<const float> grid) {
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a) p_[static_cast<std::size_t>((a - 1) + PSF_NPIX * (b - 1))] = grid(a, b);
  prepare();
}

void LocalPsf::prepare() {
  auto P = [this](int a, int b) { return p_[static_cast<std::size_t>((a - 1) + PSF_NPIX * (b - 1))]; };
  for (int iy = PSF_QCELL_LO; iy <= PSF_QCELL_HI; ++iy) {
    for (int ix = PSF_QCELL_LO; ix <= PSF_QCELL_HI; ++ix) {
      Cell& cell = cells_[static_cast<std::size_t>((ix - PSF_QCELL_LO) + PSF_QCELL_N * (iy - PSF_QCELL_LO))];
      // Cross coefficient of each corner: a diagonal difference inside the cell.
      const float e[4] = {P(ix + 1, iy + 1) - P(ix, iy), P(ix + 1, iy) - P(ix, iy + 1),
                          P(ix, iy + 1) - P(ix + 1, iy), P(ix, iy) - P(ix + 1, iy + 1)};
      for (int k = 0; k < 4; ++k) {
        const int cx = ix + (k & 1);
        const int cy = iy + (k >> 1);
        const float a = P(cx, cy);
        cell.a[k] = a;
        cell.b[k] = (P(cx + 1, cy) - P(cx - 1, cy)) / 2.0f;
        cell.c[k] = (P(cx, cy + 1) - P(cx, cy - 1)) / 2.0f;
        cell.d[k] = (P(cx + 1, cy) + P(cx - 1, cy) - 2.0f * a) / 2.0f;
        cell.f[k] = (P(cx, cy + 1) + P(cx, cy - 1) - 2.0f * a) / 2.0f;
        cell.e[k] = e[k];
      }
    }
  }
}

void psf_taper(View2<float> psf, float r_in, float r_out) {
  for (int j = 1; j <= PSF_NPIX; ++j) {
    for (int i = 1; i <= PSF_NPIX; ++i) {
      const int di = i - PSF_CENTRE, dj = j - PSF_CENTRE;
      const float r = std::sqrt(static_cast<float>(di * di + dj * dj)) / 4.0f;
      const float factor = std::clamp(1.0f - (r - r_in) / (r_out - r_in), 0.0f, 1.0f);
      psf(i, j) *= factor;
    }
  }
}

}  // namespace zeb
