// Run-wide data: everything the set-up fills and the tile loop reads for the
// whole run. The driver owns one of each; routines take what they need as
// explicit arguments. Names follow the system's own: _g per image slot,
// _f per filter slot, _cg per chip and image slot, _b per bright star.
#pragma once

#include <array>
#include <string>

#include "core/array.h"
#include "core/limits.h"

namespace zeb {

// A spreading radius of finding (QSEP, DSEP, PSEP, tile-grid steps) merges
// the candidates of one star across exposures: a fraction of a reference
// pixel to a few pixels. Beyond 10 steps (5 reference pixels) it would merge
// neighbouring stars wholesale, and the work of spreading grows with its
// square; such a value, a negative one or one that is not a number is refused.
inline constexpr float MAX_SPREADING = 10.0f;
inline bool spreading_radius_ok(float s) { return s >= 0.0f && s <= MAX_SPREADING; }

inline constexpr float JSIG_OFF = 99.99f;

// Run mode, switches, window, tile and iteration ranges, per-iteration tables.
struct Settings {
  char cmode = ' ';          // R, D, A or C
  std::string label = "       ";  // run label, 7 characters
  bool oneoff = false;
  int oneoffx = 0, oneoffy = 0;
  int lognimfo = 0, logfinfo = 0;
  int verbose = 0;
  int mosaic_x1 = 1, mosaic_x2 = 1;
  int show_tile = 0, show_tiles = 0;
  int umin = 0, umax = 1200, vmin = 0, vmax = 1200;   // reference-frame window
  std::array<int, 4> ijtminmaxu{-1, -1, -1, -1};      // IT min, IT max, JT min, JT max
  std::array<int, 2> nitminmaxu{-1, -1};              // NITMIN, NITMAX
  std::string direct;        // directory prefix
  int ndirect = 0;
  // ARTSHARD k n (mode A): this run measures and reports only part k of n of
  // its artificial-star passes; 0 and 0 when it measures them all.
  int art_part = 0, art_parts = 0;

  // Per-iteration settings, 1-based NIT 1..10; entry 11 ("NIT00") exists for
  // the region style only.
  Array1<int> hmin_nit{NITDIM + 1};
  Array1<float> ssig_nit{NITDIM + 1};
  Array1<int> qmin_nit{NITDIM + 1};
  Array1<float> qsel_nit{NITDIM + 1};
  Array1<float> qsep_nit{NITDIM + 1};
  Array1<int> pmin_nit{NITDIM + 1};
  Array1<float> psep_nit{NITDIM + 1};
  Array1<int> dmin_nit{NITDIM + 1};
  Array1<float> dsep_nit{NITDIM + 1};
  Array1<float> oprx_nit{NITDIM + 1};
  Array1<float> oprv_nit{NITDIM + 1};
  Array1<float> rsiz_nit{NITDIM + 1};
  Array1<int> rwid_nit{NITDIM + 1};
  Array1<std::string> rcol_nit{NITDIM + 1};  // 7 characters, blank-padded
  // Threshold of the joint finding criterion, in sigma; JSIG_OFF (the
  // default) or above leaves the criterion out of that iteration.
  Array1<float> jsig_nit{NITDIM + 1};
  bool jsig_given = false;  // an iteration line set JSIG

  Settings();  // fills the per-iteration defaults
};

// One entry per image slot G = 1..Gs, and the per-chip arrays (C = 1..2, G).
struct ImageSlots {
  int gs = 0;  // slots defined so far (the set-up grows it up to the pre-scan count)
  Array1<std::string> filename_g, subdir_g, filepsf_g, filegcs_g, filemat_g;
  Array1<int> nsubdir_g, fff_g, rap_g, kkk_g, flt_g;
  Array1<std::string> pos_g, fnd_g;  // 9 characters each
  Array1<float> sky_g, zpu_g, msk_g, oth_g, exp_g;

  Array2<double> ucen_cg, vcen_cg, xcen_cg, ycen_cg;
  Array2<int> icen_cg, jcen_cg;
  Array2<double> ag_cg, bg_cg, cg_cg, dg_cg, ga_cg, gb_cg, gc_cg, gd_cg;
  Array2<float> zp_cg, sc_cg;

  // Allocates for `gs_alloc` slots (from the pre-scan) and `cs` chips per slot.
  void allocate(int gs_alloc, int cs);
  int allocated() const { return filename_g.n(); }
};

// Per filter slot F = 1..2.
struct FilterSlots {
  // Camera PSF array of each filter slot (101 x 101 x 9 x 10, fiducial
  // (ip, jp) = plane(ip, jp)); empty until a PSF3IR, PSFHRC, PSFACS or PSF3UV
  // file is read for the slot.
  Array1<Array4<float>> psf_f{FDIM};
  int fs = 0;
  Array1<float> exp_f, scl_f;
  // Camera PSF file requested for the filter slot (PSF3UV, PSF3IR, PSFHRC,
  // PSFACS: the keyword in psfkind_f, "" when none) and its name.
  Array1<std::string> psfkind_f, psffile_f;
  void allocate(int fs_alloc);
};

// Bright reference stars, 1..Bs.
struct BrightStars {
  int bs = 0;
  Array1<double> uref_b{BDIM}, vref_b{BDIM};
  Array2<float> zref_bf{BDIM, FDIM};
  Array1<int> nref_b{BDIM};
};

// The master star list, indexed by identifier 1..NSTMAX.
struct MasterList {
  int nmasti = 0;  // stars after the set-up
  int nmasts = 0;  // stars now
  Array1<double> umast0, vmast0;
  Array1<float> xmast0, ymast0;
  Array1<int> wmast0;
  Array2<float> zmast0, szmast0, smast0, ssmast0;
  Array2<short> fmast0, gmast0;
  Array2<float> zmast1, szmast1, qmast1, omast1;
  Array2<short> fmast1, gmast1;
  Array2<float> zmast2, szmast2, qmast2, omast2;
  Array2<short> fmast2, gmast2;
  Array2<float> zmast3, szmast3, qmast3, omast3;
  Array2<short> fmast3, gmast3;
  Array2<float> barsky, rmssky;
  // Entries 1..capacity: the run's list holds NSTMAX, the one entry a
  // mode-A pass reports through holds 1.
  void allocate(int fs, int capacity = NSTMAX);
  bool allocated() const { return umast0.n() == NSTMAX && zmast0.ny() >= FDIM; }
};

// Artificial stars 1..NARTs.
struct ArtificialStars {
  int narts = 0;
  Array1<double> uart0, vart0;
  Array2<double> zart0;
  void allocate(int fs);
  bool allocated() const { return uart0.n() == ARTMAX && zart0.ny() >= FDIM; }
};

}  // namespace zeb

namespace zeb {

// Everything the set-up fills for the driver, grouped.
struct RunState {
  Settings settings;
  ImageSlots slots;
  FilterSlots filters;
  BrightStars bright;
  MasterList master;
  ArtificialStars art;
};

}  // namespace zeb
