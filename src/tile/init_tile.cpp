#include "tile/init_tile.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

#include "core/files.h"
#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "tile/exposure_readers.h"
#include "tile/tile_geometry.h"

namespace zeb {

namespace {

constexpr float kBlankValue = -500.0f, kBlankError = 99999.0f;

// Scale that brings an exposure to the run's zero point: 10^(zpu / 2.5). A
// zero point so far out that the scale is not a normal number would turn every
// pixel into zero or infinity: that is refused rather than measured.
float zero_point_scale(float zpu, int n) {
  const float p = std::pow(10.0f, zpu / 2.5f);
  if (!std::isnormal(p)) {
    write_list(std::cout, "init_tile_b: exposure ", n, " has zero point ", zpu, " (magnitudes);");
    write_list(std::cout, "10**(ZP/2.5) is no usable scale");
    stop_run("init_tile_b: zero point out of range");
  }
  return p;
}

// Scales values and errors to the run's zero point, blanks every pixel that is
// off the entry's own chip or more than 5 grid steps outside the tile grid,
// and clears the mask level.
void calibrate_and_blank(TileExposures& te, int n) {
  const float p = zero_point_scale(te.zpu_n(n), n);
  const int kkk = te.kkk_n(n), c = te.ccc_n(n);
  const int imin = imin_kkk_c(kkk, c), imax = imax_kkk_c(kkk, c);
  const int jmin = jmin_kkk_c(kkk, c), jmax = jmax_kkk_c(kkk, c);
  const int itil = te.itil_n(n), jtil = te.jtil_n(n);
  const TabView utab = tab_of(te.utab_n, n), vtab = tab_of(te.vtab_n, n);
  View2<float> v = te.pixv_n.plane(n), e = te.pixe_n.plane(n), m = te.pixm_n.plane(n);
  View2<std::uint8_t> u = te.pixu_n.plane(n);
  for (int yt = 1; yt <= TILE_GRID; ++yt) {
    const int y = jtil + yt - 151;
    const TableAxis& ay = pixel_axis(yt);
    for (int xt = 1; xt <= TILE_GRID; ++xt) {
      const int x = itil + xt - 151;
      v(xt, yt) /= p;
      e(xt, yt) /= p;
      bool blank = x < imin || x > imax || y < jmin || y > jmax;
      const TableAxis& ax = pixel_axis(xt);
      const float ut = rtab_at(ax, ay, utab);
      const float vt = rtab_at(ax, ay, vtab);
      if (ut < -4.0f || ut > 306.0f || vt < -4.0f || vt > 306.0f) blank = true;
      if (blank) {
        v(xt, yt) = kBlankValue;
        e(xt, yt) = kBlankError;
        u(xt, yt) = kPixNoData;
      }
      m(xt, yt) = 0.0f;
    }
  }
}

void write_mask_banner(int uref_t, int vref_t, int bs, int bbs) {
  write_list(std::cout);
  write_list(std::cout, "INIT_TILE:  MASK_TILE...   ");
  write_list(std::cout);
  write_list(std::cout, "                   UREF_T: ", uref_t);
  write_list(std::cout, "                   VREF_T: ", vref_t);
  write_list(std::cout, "                   _TDIM_: ", TILE_GRID);
  write_list(std::cout);
  write_list(std::cout, "       CALL MASK...   Bs: ", bs, bbs);
  write_list(std::cout);
  write_list(std::cout);
}

}  // namespace

void write_exposure_line(std::ostream& os, int it, int jt, int uref_t, int vref_t, const TileExposures& te, int n) {
  const int itil = te.itil_n(n), jtil = te.jtil_n(n);
  write_record(os,
               "(i3.3,1x,i3.3,5x,i4.4,1x,i4.4,5x,                                  'N',i3.3,1x,'G',i3.3,1x,'C',i1,                                            1x,2f7.1,                                                         1x,2f7.1,                                                         1x,i5.4,1x,i5.4,                                                  1x,'[',i5.4,':',i5.4,                                                ',',i5.4,':',i5.4,']',                                         1x,2f7.1,                                                         1x,2i5,1x,i1,                                                     1x,f15.5,                                                         1x,i1,f12.5,                                                      1x,a20,                                                           1x,a20,                                                           1x,a80)",
               it, jt, uref_t, vref_t, n, te.ggg_n(n), te.ccc_n(n), te.util_n(n), te.vtil_n(n), te.xtil_n(n),
               te.ytil_n(n), itil, jtil, itil - 150, itil + 150, jtil - 150, jtil + 150, te.ucen_n(n), te.vcen_n(n),
               te.icen_n(n), te.jcen_n(n), te.fff_n(n), te.pixv_n(151, 151, n), static_cast<int>(te.pixu_n(151, 151, n)),
               te.sky_n(n), pad(te.filepsf_n(n), 20), pad(te.filegcs_n(n), 20), pad(te.filepix_n(n), 80));
}

int init_tile_b(int it, int jt, int uref_t, int vref_t, TileExposures& te, const BrightStars& bright,
                LocalBrightStars& local, const Settings& settings) {
  const bool verbose = settings.verbose != 0;
  const int ns = te.ns;
  if (ns > te.pixv_n.n3()) {
    write_list(std::cout, "init_tile_b: rasters for ", static_cast<int>(te.pixv_n.n3()), " exposures, Ns: ", ns);
    stop_run("init_tile_b: rasters not allocated for Ns");
  }
  if (verbose) {
    write_list(std::cout, "ENTER init_tile_b... Ns: ", ns);
    write_list(std::cout, "init_tile_b... read in Ns: ", ns);
  }
  // The exposures are read and calibrated side by side, each into its own
  // rasters. Their FITS header carry-over tables are kept apart, and the run
  // gets those of the last exposure whose reader filled them, as if they had
  // been read one after the other.
  // The files each opened are noted for the run in that order too.
  std::vector<FitsCarryOver> carry(static_cast<std::size_t>(std::max(ns, 0)));
  std::vector<char> carried(carry.size(), 0);
  std::vector<std::vector<std::string>> opened(carry.size());
  parallel_for(1, ns, [&](int n, int) {
    {
      CarryOverScope scope(carry[static_cast<std::size_t>(n - 1)]);
      HeldInputNotes notes;
      read_tile(te.filepix_n(n), te.kkk_n(n), te.ccc_n(n), te.itil_n(n), te.jtil_n(n), te.pixv_n.plane(n),
                te.pixe_n.plane(n), te.pixu_n.plane(n), te.sky_n(n));
      carried[static_cast<std::size_t>(n - 1)] = scope.used();
      opened[static_cast<std::size_t>(n - 1)] = notes.paths();
    }
    if (verbose) write_exposure_line(std::cout, it, jt, uref_t, vref_t, te, n);
    calibrate_and_blank(te, n);
    if (verbose) write_exposure_line(std::cout, it, jt, uref_t, vref_t, te, n);
  });
  for (const auto& paths : opened)
    for (const std::string& path : paths) note_input_file(path);
  for (int n = ns; n >= 1; --n)
    if (carried[static_cast<std::size_t>(n - 1)]) {
      fits_carry_over() = std::move(carry[static_cast<std::size_t>(n - 1)]);
      break;
    }

  if (verbose) write_list(std::cout, "      init_tile --- C   Ns: ", ns, bright.bs);
  find_loc_brite(uref_t, vref_t, bright, local, verbose, settings.show_tile != 0);
  if (verbose) write_mask_banner(uref_t, vref_t, bright.bs, local.bbs);

  parallel_for(1, ns, [&](int n, int) {
    if (verbose && (n < 10 || n % 25 == 0)) write_list(std::cout, "----> N", n, " / ", ns);
    mask_tile(te.pixm_n.plane(n), te.kkk_n(n), te.fff_n(n), uref_t, vref_t, te.itil_n(n), te.jtil_n(n),
              tab_of(te.xtab_n, n), tab_of(te.ytab_n, n), local);
  });
  if (verbose) write_list(std::cout, "RETURN FROM init_tile...");
  return local.bbs;
}

}  // namespace zeb
