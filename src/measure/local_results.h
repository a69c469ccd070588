// Per-star-per-exposure results (_ln) of the measurement methods for one tile:
// LDIM stars by the tile's Ns exposures, element (L, n). Created when a tile
// starts (sized for its Ns) and released when it ends; every method resets the
// fields it writes at the start of its pass, so a fresh set holds zeros.
//
// Quantity names carry the method digit: u, v positions on the tile grid,
// x, y positions in the exposure raster, z flux, sz its error, s, ss local sky
// and its scatter, q PSF-fit quality, o neighbour contamination, f measured,
// g kept by the combination; gp and gz flag a usable method-0 position and flux.
#pragma once

#include "core/array.h"
#include "core/limits.h"

namespace zeb {

struct LocalExposureResults {
  int ns = 0;  // exposures the arrays are sized for

  // Method 0.
  Array2<float> u0_ln, v0_ln, z0_ln, sz0_ln;
  Array2<short> gz0_ln, gp0_ln;
  // Method 1.
  Array2<float> u1_ln, v1_ln, x1_ln, y1_ln, z1_ln, sz1_ln, s1_ln, ss1_ln, q1_ln, o1_ln;
  Array2<short> f1_ln, g1_ln;
  // Method 2.
  Array2<float> x2_ln, y2_ln, z2_ln, sz2_ln, s2_ln, ss2_ln, q2_ln, o2_ln;
  Array2<short> f2_ln, g2_ln;
  // Method 3 (method 2 in its second mode).
  Array2<float> x3_ln, y3_ln, z3_ln, sz3_ln, s3_ln, ss3_ln, q3_ln, o3_ln;
  Array2<short> f3_ln, g3_ln;

  LocalExposureResults() = default;
  explicit LocalExposureResults(int ns_alloc) { allocate(ns_alloc); }

  // Sizes every array for LDIM stars and `ns_alloc` exposures, all zero.
  void allocate(int ns_alloc);

  // Calls f on every float array, then g on every int16 array.
  template <typename F, typename G>
  void for_each_array(F&& f, G&& g);
};

template <typename F, typename G>
void LocalExposureResults::for_each_array(F&& f, G&& g) {
  f(u0_ln); f(v0_ln); f(z0_ln); f(sz0_ln);
  f(u1_ln); f(v1_ln); f(x1_ln); f(y1_ln); f(z1_ln); f(sz1_ln); f(s1_ln); f(ss1_ln); f(q1_ln); f(o1_ln);
  f(x2_ln); f(y2_ln); f(z2_ln); f(sz2_ln); f(s2_ln); f(ss2_ln); f(q2_ln); f(o2_ln);
  f(x3_ln); f(y3_ln); f(z3_ln); f(sz3_ln); f(s3_ln); f(ss3_ln); f(q3_ln); f(o3_ln);
  g(gz0_ln); g(gp0_ln); g(f1_ln); g(g1_ln); g(f2_ln); g(g2_ln); g(f3_ln); g(g3_ln);
}

}  // namespace zeb
