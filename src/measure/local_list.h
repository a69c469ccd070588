// The local list of one tile: the stars loaded from the master list around the
// tile and those found in it, with every per-star (_l) and per-star-per-filter
// (_lf) quantity of the measurement methods. Capacity LDIM stars, FDIM filter
// slots; created when a tile starts and released when it ends.
//
// Quantity names carry the method digit 0 to 3: z flux, sz its scatter,
// q PSF-fit quality, o neighbour contamination, f measurements used,
// g measurements kept; u, v (and x, y) positions with their scatters su, sv.
// The per-star-per-exposure arrays (_ln) belong to the tile loop's measurement
// work and are added with it.
#pragma once

#include "core/array.h"
#include "core/limits.h"

namespace zeb {

struct LocalList {
  // Per star, 1..LDIM.
  Array1<double> uu_l{LDIM}, vv_l{LDIM};  // position in the reference frame
  Array1<float> u0_l{LDIM}, v0_l{LDIM};   // position on the tile grid, 2 (uu - UREF_T) + 151
  Array1<float> uf_l{LDIM}, vf_l{LDIM};   // tile-grid position at load or discovery
  Array1<float> su0_l{LDIM}, sv0_l{LDIM}; // scatter of the method-0 position (9.99: not measured)
  Array1<float> um_l{LDIM}, vm_l{LDIM}, zm_l{LDIM}, mf_l{LDIM};
  Array1<int> n0_l{LDIM};  // master index; EMPTY_SLOT for an empty slot; 0 found here, not yet committed
  Array1<int> gg_l{LDIM};  // 1: write into the master list at the end of the tile
  Array1<int> w0_l{LDIM};  // finding iteration that produced the star (0: starting list)
  // Finding criterion (1 = Q, 2 = D, 3 = P). Held as an integer: it is a code,
  // written with an integer descriptor in the logs.
  Array1<int> y0_l{LDIM};
  Array1<int> b0_l{LDIM}, o0_l{LDIM}, r0_l{LDIM};
  // Finding records: coverage and the Q, D, P requirements and counts.
  Array1<int> cfnd_l{LDIM}, qmin_l{LDIM}, qfnd_l{LDIM}, dmin_l{LDIM}, dfnd_l{LDIM}, pmin_l{LDIM}, pfnd_l{LDIM};
  // Bright-neighbour data.
  Array1<double> ubri_l{LDIM}, vbri_l{LDIM};
  Array1<float> zbri_l{LDIM}, flux_l{LDIM}, mask_l{LDIM};

  // Per star and filter slot, LDIM x FDIM.
  // Method 0.
  Array2<float> z0_lf{LDIM, FDIM}, sz0_lf{LDIM, FDIM};
  Array2<short> f0_lf{LDIM, FDIM}, g0_lf{LDIM, FDIM};
  // Method 1, with its per-filter positions.
  Array2<float> u1_lf{LDIM, FDIM}, su1_lf{LDIM, FDIM}, v1_lf{LDIM, FDIM}, sv1_lf{LDIM, FDIM};
  Array2<float> x1_lf{LDIM, FDIM}, y1_lf{LDIM, FDIM}, z1_lf{LDIM, FDIM}, sz1_lf{LDIM, FDIM};
  Array2<float> s1_lf{LDIM, FDIM}, ss1_lf{LDIM, FDIM}, q1_lf{LDIM, FDIM}, o1_lf{LDIM, FDIM};
  Array2<short> f1_lf{LDIM, FDIM}, g1_lf{LDIM, FDIM};
  // Method 2.
  Array2<float> x2_lf{LDIM, FDIM}, y2_lf{LDIM, FDIM}, z2_lf{LDIM, FDIM}, sz2_lf{LDIM, FDIM};
  Array2<float> s2_lf{LDIM, FDIM}, ss2_lf{LDIM, FDIM}, q2_lf{LDIM, FDIM}, o2_lf{LDIM, FDIM};
  Array2<short> f2_lf{LDIM, FDIM}, g2_lf{LDIM, FDIM};
  // Method 3 (method 2 in its second mode).
  Array2<float> x3_lf{LDIM, FDIM}, y3_lf{LDIM, FDIM}, z3_lf{LDIM, FDIM}, sz3_lf{LDIM, FDIM};
  Array2<float> s3_lf{LDIM, FDIM}, ss3_lf{LDIM, FDIM}, q3_lf{LDIM, FDIM}, o3_lf{LDIM, FDIM};
  Array2<short> f3_lf{LDIM, FDIM}, g3_lf{LDIM, FDIM};
  // Local sky level and its scatter around the star.
  Array2<float> barsky_lf{LDIM, FDIM}, rmssky_lf{LDIM, FDIM};

  // n0_l of a slot that holds no star.
  static constexpr int EMPTY_SLOT = NSTMAX;

  // Calls f on every per-star array, then g on every per-star-per-filter array.
  template <typename F, typename G>
  void for_each_array(F&& f, G&& g);
};

// Clears all LDIM entries: the position scatters su0_l, sv0_l to 9.99 (not
// measured), the masking factor mask_l to 1 (no masking), n0_l to EMPTY_SLOT
// (no star) and every other field to 0.
void reset_local(LocalList& local);

// Clears entry L alone to the state reset_local leaves every entry in.
void reset_entry(int l, LocalList& local);

// Blanks entry L: its position, every per-star field and its per-filter results
// for both filter slots become 0.
void null_l(int l, LocalList& local);

template <typename F, typename G>
void LocalList::for_each_array(F&& f, G&& g) {
  f(uu_l); f(vv_l); f(u0_l); f(v0_l); f(uf_l); f(vf_l); f(su0_l); f(sv0_l);
  f(um_l); f(vm_l); f(zm_l); f(mf_l); f(n0_l); f(gg_l); f(w0_l); f(y0_l); f(b0_l); f(o0_l); f(r0_l);
  f(cfnd_l); f(qmin_l); f(qfnd_l); f(dmin_l); f(dfnd_l); f(pmin_l); f(pfnd_l);
  f(ubri_l); f(vbri_l); f(zbri_l); f(flux_l); f(mask_l);

  g(z0_lf); g(sz0_lf); g(f0_lf); g(g0_lf);
  g(u1_lf); g(su1_lf); g(v1_lf); g(sv1_lf); g(x1_lf); g(y1_lf); g(z1_lf); g(sz1_lf);
  g(s1_lf); g(ss1_lf); g(q1_lf); g(o1_lf); g(f1_lf); g(g1_lf);
  g(x2_lf); g(y2_lf); g(z2_lf); g(sz2_lf); g(s2_lf); g(ss2_lf); g(q2_lf); g(o2_lf); g(f2_lf); g(g2_lf);
  g(x3_lf); g(y3_lf); g(z3_lf); g(sz3_lf); g(s3_lf); g(ss3_lf); g(q3_lf); g(o3_lf); g(f3_lf); g(g3_lf);
  g(barsky_lf); g(rmssky_lf);
}

}  // namespace zeb
