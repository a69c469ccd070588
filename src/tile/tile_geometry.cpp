#include "tile/tile_geometry.h"

#include <cmath>
#include <iostream>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "core/text.h"
#include "geometry/distortion.h"
#include "setup/image_slots.h"

namespace zeb {

namespace {

constexpr int kRasterHalf = 150;  // raster pixels on either side of the centre

// Extent of one chip: i range then j range, inclusive.
struct ChipExtent {
  int imin, imax, jmin, jmax;
};

ChipExtent chip_extent(int kkk, int c, const char* caller) {
  if (c < 1 || c > 4 || kkk < 1 || kkk > 10) stop_run(std::string(caller) + ": c out of bounds");
  constexpr ChipExtent none{0, 0, 0, 0};
  switch (kkk) {
    case 5:  // ACS/WFC and WFC3/UVIS: one 4096 x 4096 frame, chip 1 above chip 2
    case 8:
      if (c == 1) return {1, 4096, 2049, 4096};
      if (c == 2) return {1, 4096, 1, 2048};
      return none;
    case 7:
      return c == 1 ? ChipExtent{1, 1024, 1, 1024} : none;
    case 9:
      return c == 1 ? ChipExtent{1, 1014, 1, 1014} : none;
    default:
      return none;
  }
}

// Tile-grid coordinate of a reference-frame coordinate.
double grid_of(double u, int uref_t) { return 2.0 * (u - uref_t) + 151.0; }

// A position so far outside every detector (the largest is 4096 pixels) that
// no raster around it can reach a chip; beyond it the nearest pixel would not
// even fit an int.
constexpr double kFarAway = 1.0e6;

void stop_too_many_exposures(int ns) {
  write_list(std::cout, std::string(17, ' '));
  write_list(std::cout, "Ns.gt._NDIM_ --- ");
  write_list(std::cout, " Ns   : ", ns);
  write_list(std::cout, "_NDIM_: ", NDIM);
  write_list(std::cout, std::string(17, ' '));
  stop_run();
}

// Copies slot g, chip c into record n.
void fill_record(const ImageSlots& s, int g, int c, int n, TileExposures& te) {
  te.ggg_n(n) = g;
  te.ccc_n(n) = c;
  te.kkk_n(n) = s.kkk_g(g);
  te.fff_n(n) = s.fff_g(g);
  te.rap_n(n) = s.rap_g(g);
  te.flt_n(n) = s.flt_g(g);
  te.sky_n(n) = s.sky_g(g);
  te.exp_n(n) = s.exp_g(g);
  te.msk_n(n) = s.msk_g(g);
  te.oth_n(n) = s.oth_g(g);
  te.pos_n(n) = s.pos_g(g);
  te.fnd_n(n) = s.fnd_g(g);
  te.scl_n(n) = s.sc_cg(c, g);
  te.zpu_n(n) = s.zp_cg(c, g);
  te.ucen_n(n) = s.ucen_cg(c, g);
  te.vcen_n(n) = s.vcen_cg(c, g);
  te.icen_n(n) = s.icen_cg(c, g);
  te.jcen_n(n) = s.jcen_cg(c, g);
  te.xcen_n(n) = s.xcen_cg(c, g);
  te.ycen_n(n) = s.ycen_cg(c, g);
  te.ag_n(n) = s.ag_cg(c, g);
  te.bg_n(n) = s.bg_cg(c, g);
  te.cg_n(n) = s.cg_cg(c, g);
  te.dg_n(n) = s.dg_cg(c, g);
  te.ga_n(n) = s.ga_cg(c, g);
  te.gb_n(n) = s.gb_cg(c, g);
  te.gc_n(n) = s.gc_cg(c, g);
  te.gd_n(n) = s.gd_cg(c, g);
  te.filepsf_n(n) = s.filepsf_g(g);
  te.filegcs_n(n) = s.filegcs_g(g);
  // The slot's file name already carries the directory prefix and the slot's
  // sub-directory (the set-up composed it, and read its header through it), so
  // it is the exposure's path as it stands: prefixing them a second time would
  // name a file that does not exist whenever a prefix is set.
  te.filepix_n(n) = pad(s.filename_g(g), 80);
}

}  // namespace

int imin_kkk_c(int kkk, int c) { return chip_extent(kkk, c, "imin_KKK_C").imin; }
int imax_kkk_c(int kkk, int c) { return chip_extent(kkk, c, "imax_KKK_C").imax; }
int jmin_kkk_c(int kkk, int c) { return chip_extent(kkk, c, "jmin_KKK_C").jmin; }
int jmax_kkk_c(int kkk, int c) { return chip_extent(kkk, c, "jmax_KKK_C").jmax; }

float xr_uv(double u, double v, TabView xtab, TabView, int itil, int, int uref_t, int vref_t) {
  const float xt = rtab_tt(static_cast<float>(grid_of(u, uref_t)), static_cast<float>(grid_of(v, vref_t)), xtab);
  return xt - 151.0f + static_cast<float>(itil);
}

float yr_uv(double u, double v, TabView, TabView ytab, int, int jtil, int uref_t, int vref_t) {
  const float yt = rtab_tt(static_cast<float>(grid_of(u, uref_t)), static_cast<float>(grid_of(v, vref_t)), ytab);
  return yt - 151.0f + static_cast<float>(jtil);
}

namespace {

// The determinant of the exposure's linear map; a singular map ties the whole
// exposure to one line of the sky, and no table can be built from it.
double invertible_det(double ga, double gb, double gc, double gd) {
  const double det = gd * ga - gc * gb;
  if (det == 0.0 || !std::isfinite(det)) {
    write_list(std::cout, "trans_tile: the transformation of the exposure cannot be inverted");
    write_list(std::cout, "  GA GB GC GD: ", ga, gb, gc, gd);
    stop_run("trans_tile: singular transformation");
  }
  return det;
}

}  // namespace

void trans_tile(int uref_t, int vref_t, int itil, int jtil, double xtil, double ytil, double util, double vtil,
                double ga, double gb, double gc, double gd, int kkk, int chip, int flt, const std::string& filegcs,
                View2<float> utab, View2<float> vtab, View2<float> xtab, View2<float> ytab) {
  const double det = invertible_det(ga, gb, gc, gd);
  const double ap = gd / det, bp = -gb / det, cp = -gc / det, dp = ga / det;

  for (int l = 1; l <= TAB_NODES; ++l) {
    for (int k = 1; k <= TAB_NODES; ++k) {
      // Tile-grid node -> raster.
      const float ut = static_cast<float>(10 * (k - 1) + 1);
      const float vt = static_cast<float>(10 * (l - 1) + 1);
      const float u = (ut - 151.0f) / 2.0f + static_cast<float>(uref_t);
      const float v = (vt - 151.0f) / 2.0f + static_cast<float>(vref_t);
      const double xc = xtil + ap * (u - util) + bp * (v - vtil);
      const double yc = ytil + cp * (u - util) + dp * (v - vtil);
      double x = 0.0, y = 0.0;
      cg_cf(xc, yc, x, y, kkk, flt, chip, filegcs);
      xtab(k, l) = static_cast<float>(x - itil + 151);
      ytab(k, l) = static_cast<float>(y - jtil + 151);

      // Raster node -> tile grid.
      const double xr = itil + 10 * (k - 1) + 1 - 151;
      const double yr = jtil + 10 * (l - 1) + 1 - 151;
      double xcr = 0.0, ycr = 0.0;
      gc_cf(xr, yr, xcr, ycr, kkk, flt, chip, filegcs);
      const double ur = util + ga * (xcr - xtil) + gb * (ycr - ytil);
      const double vr = vtil + gc * (xcr - xtil) + gd * (ycr - ytil);
      utab(k, l) = static_cast<float>(grid_of(ur, uref_t));
      vtab(k, l) = static_cast<float>(grid_of(vr, vref_t));
    }
  }
}

void init_tile_a(int /*it*/, int /*jt*/, int uref_t, int vref_t, const ImageSlots& s, TileExposures& te,
                 bool verbose) {
  te.ns = 0;
  for (int g = 1; g <= s.gs; ++g) {
    const int kkk = s.kkk_g(g);
    const int cs = cs_kkk(kkk);
    if (cs > s.ucen_cg.nx()) {
      // The per-chip transformation arrays hold fewer chips than the camera
      // has; reading past them would take another slot's numbers.
      write_list(std::cout, "init_tile_a: image slot ", g, " has camera code ", kkk, " with ", cs, " chips;");
      write_list(std::cout, "the transformation arrays hold ", static_cast<int>(s.ucen_cg.nx()), " chips per slot");
      stop_run("init_tile_a: too many chips for the transformation arrays");
    }
    for (int c = 1; c <= cs; ++c) {
      const double xc = s.xcen_cg(c, g) + (uref_t - s.ucen_cg(c, g)) * s.ag_cg(c, g) +
                        (vref_t - s.vcen_cg(c, g)) * s.bg_cg(c, g);
      const double yc = s.ycen_cg(c, g) + (uref_t - s.ucen_cg(c, g)) * s.cg_cg(c, g) +
                        (vref_t - s.vcen_cg(c, g)) * s.dg_cg(c, g);
      if (!std::isfinite(xc) || !std::isfinite(yc)) {
        write_list(std::cout, "init_tile_a: the transformation of image slot ", g, " chip ", c,
                   " maps the tile centre to no finite position");
        write_list(std::cout, "  UREF_T: ", uref_t, vref_t);
        stop_run("init_tile_a: transformation gives no position");
      }
      // Far outside every detector the distortion polynomials mean nothing
      // (their inverse may not even converge): such a chip cannot reach the tile.
      if (std::fabs(xc) > kFarAway || std::fabs(yc) > kFarAway) continue;
      double x = 0.0, y = 0.0;
      cg_cf(xc, yc, x, y, kkk, s.flt_g(g), c, s.filegcs_g(g));
      if (!(std::fabs(x) <= kFarAway && std::fabs(y) <= kFarAway)) continue;
      const int itil = static_cast<int>(x + 0.5);  // truncation toward zero
      const int jtil = static_cast<int>(y + 0.5);

      const bool overlaps = itil - kRasterHalf < imax_kkk_c(kkk, c) && imin_kkk_c(kkk, c) < itil + kRasterHalf &&
                            jtil - kRasterHalf < jmax_kkk_c(kkk, c) && jmin_kkk_c(kkk, c) < jtil + kRasterHalf;
      if (!overlaps) continue;

      if (te.ns + 1 > NDIM) stop_too_many_exposures(te.ns + 1);
      const int n = ++te.ns;
      fill_record(s, g, c, n, te);

      double xtil = 0.0, ytil = 0.0;
      gc_cf(itil, jtil, xtil, ytil, kkk, s.flt_g(g), c, s.filegcs_g(g));
      te.itil_n(n) = itil;
      te.jtil_n(n) = jtil;
      te.xtil_n(n) = xtil;
      te.ytil_n(n) = ytil;
      te.util_n(n) = s.ucen_cg(c, g) + s.ga_cg(c, g) * (xtil - s.xcen_cg(c, g)) + s.gb_cg(c, g) * (ytil - s.ycen_cg(c, g));
      te.vtil_n(n) = s.vcen_cg(c, g) + s.gc_cg(c, g) * (xtil - s.xcen_cg(c, g)) + s.gd_cg(c, g) * (ytil - s.ycen_cg(c, g));

      // The tables are built below, side by side; a map that cannot be
      // inverted stops the run here, where building them one by one would.
      invertible_det(te.ga_n(n), te.gb_n(n), te.gc_n(n), te.gd_n(n));
    }
  }
  // Every distortion the tables use was already evaluated above for the same
  // camera, filter and chip, so nothing below can stop the run.
  parallel_for(1, te.ns, [&](int n, int) {
    trans_tile(uref_t, vref_t, te.itil_n(n), te.jtil_n(n), te.xtil_n(n), te.ytil_n(n), te.util_n(n), te.vtil_n(n),
               te.ga_n(n), te.gb_n(n), te.gc_n(n), te.gd_n(n), te.kkk_n(n), te.ccc_n(n), te.flt_n(n),
               te.filegcs_n(n), te.utab_n.plane(n), te.vtab_n.plane(n), te.xtab_n.plane(n), te.ytab_n.plane(n));
  });
  if (verbose) write_list(std::cout, "EXIT init_tile1...  Ns: ", te.ns);
}

}  // namespace zeb
