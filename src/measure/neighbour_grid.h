// Spatial index of star positions in one exposure raster, for the neighbour
// sums of the measurement methods: square cells of 8 pixels over raster
// coordinates -16..320 (every position whose PSF, zero beyond 12 pixels, can
// reach the raster), members of a cell in ascending star order. Positions
// outside that square or not numbers are left out: they reach no pixel.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace zeb {

class NeighbourGrid {
 public:
  explicit NeighbourGrid(int ls) : start_(NCELL * NCELL + 1), fill_(NCELL * NCELL), members_(ls) {}
  // Room for ls stars.
  void reserve(int ls) {
    if (static_cast<std::size_t>(ls) > members_.size()) members_.resize(static_cast<std::size_t>(ls));
  }

  // Indexes stars 0..ls-1 at (x[l], y[l]); ls must not exceed the capacity.
  void build(const float* x, const float* y, int ls) {
    std::fill(start_.begin(), start_.end(), 0);
    for (int l = 0; l < ls; ++l) {
      const int c = cell_of(x[l], y[l]);
      if (c >= 0) ++start_[c + 1];
    }
    for (int c = 0; c < NCELL * NCELL; ++c) start_[c + 1] += start_[c];
    std::copy(start_.begin(), start_.end() - 1, fill_.begin());
    for (int l = 0; l < ls; ++l) {
      const int c = cell_of(x[l], y[l]);
      if (c >= 0) members_[fill_[c]++] = l;
    }
  }

  // Stars other than `self` whose position lies in [xlo, xhi] x [ylo, yhi],
  // into `out` in ascending order (out must have reserved room for all stars).
  void gather(float xlo, float xhi, float ylo, float yhi, int self, const float* x, const float* y,
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
          if (x[l] >= xlo && x[l] <= xhi && y[l] >= ylo && y[l] <= yhi) out.push_back(l);
        }
      }
    }
    std::sort(out.begin(), out.end());
  }

 private:
  static constexpr float ORIGIN = -16.0f;
  static constexpr float CELL = 8.0f;
  static constexpr int NCELL = 42;  // 42 x 8 = 336 pixels: -16 .. 320

  static int clamp_cell(float x) {
    const float f = std::floor((x - ORIGIN) / CELL);
    if (!(f >= 0.0f)) return 0;
    if (f >= static_cast<float>(NCELL - 1)) return NCELL - 1;
    return static_cast<int>(f);
  }
  static int cell_of(float x, float y) {
    const float lim = ORIGIN + CELL * NCELL;
    if (!(x >= ORIGIN && x < lim && y >= ORIGIN && y < lim)) return -1;
    return clamp_cell(x) + NCELL * clamp_cell(y);
  }

  std::vector<int> start_;  // first member of each cell, then the end
  std::vector<int> fill_;   // next free place of each cell while building
  std::vector<int> members_;
};

}  // namespace zeb
