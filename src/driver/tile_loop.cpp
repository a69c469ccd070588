#include "driver/tile_loop.h"

#include <array>
#include <iostream>
#include <memory>
#include <vector>

#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/stop.h"
#include "measure/local_list.h"
#include "measure/psf.h"
#include "measure/psf_library.h"
#include "output/progress.h"
#include "tile/bright_mask.h"
#include "tile/init_tile.h"
#include "tile/tile_exposures.h"
#include "tile/tile_geometry.h"

namespace zeb {

namespace {

constexpr int NIT_COUNTS = 9;
constexpr const char* ROW_STARS = "('******************************')";
constexpr const char* TILE_STARS = "('*****************************************')";

// Everything one tile holds while it is processed; released when the tile ends.
struct Tile {
  TileLimits limits;
  TileExposures exposures;
  LocalBrightStars bright;
  int bbs = 0;
  Array3<float> psf_n;             // local PSFs, 101 x 101 x Ns, tapered
  std::vector<LocalPsf> psf_eval;  // the same, ready for evaluation
  std::unique_ptr<LocalList> local = std::make_unique<LocalList>();
  int ls = 0, lo = 1;
  std::array<int, NIT_COUNTS> found{};  // stars added by the finding step of each iteration
  int narti = 0, nartf = 0;
};

void print_row_banner(int jt, int vref_t) {
  std::cout << '\n';
  write_record(std::cout, ROW_STARS);
  write_record(std::cout, ROW_STARS);
  write_record(std::cout, "('*****                    *****')");
  write_record(std::cout, "('*****      JT =  ',i5,3x,'*****')", jt);
  write_record(std::cout, "('*****  VREF_T =  ',i5,3x,'*****')", vref_t);
  write_record(std::cout, "('*****                    *****')");
  write_record(std::cout, ROW_STARS);
  write_record(std::cout, ROW_STARS);
  std::cout << '\n';
}

void print_tile_banner(const TileRange& range, const TileLimits& t, const MasterList& master, int narts) {
  write_record(std::cout, TILE_STARS);
  write_record(std::cout, TILE_STARS);
  write_record(std::cout, "('***         ')");
  write_record(std::cout, "('***     IT: ',3i4.2)", t.it, range.itmin, range.itmax);
  write_record(std::cout, "('***     JT: ',3i4.2)", t.jt, range.jtmin, range.jtmax);
  write_record(std::cout, "('***         ')");
  write_record(std::cout, "('***      U: ',3i7.4)", t.uref_t - 75, t.uref_t, t.uref_t + 75);
  write_record(std::cout, "('***      V: ',3i7.4)", t.vref_t - 75, t.vref_t, t.vref_t + 75);
  write_record(std::cout, "('***    2xU: ',3i7.4)", 2 * (t.uref_t - 75), 2 * t.uref_t, 2 * (t.uref_t + 75));
  write_record(std::cout, "('***    2xV: ',3i7.4)", 2 * (t.vref_t - 75), 2 * t.vref_t, 2 * (t.vref_t + 75));
  write_record(std::cout, "('***         ')");
  write_record(std::cout, "('*** NMASTi: ',i7)", master.nmasti);
  write_record(std::cout, "('*** NMASTs: ',i7)", master.nmasts);
  write_record(std::cout, "('***  NARTs: ',i7)", narts);
  write_record(std::cout, "('***         ')");
  write_record(std::cout, TILE_STARS);
  write_record(std::cout, TILE_STARS);
  write_record(std::cout, "('call init tile_a... UVREF',i6)", t.uref_t, t.vref_t);
}

// Builds every exposure's local PSF at its raster centre, tapers it to zero
// between 6 and 11 pixels from the centre, and prepares it for evaluation.
void make_local_psfs(Tile& tile, const FilterSlots& filters, bool verbose) {
  const TileExposures& te = tile.exposures;
  tile.psf_n.resize(PSF_NPIX, PSF_NPIX, te.ns);
  get_psfloc_ns(te.ns, te.itil_n, te.jtil_n, te.fff_n, te.kkk_n, filters.psf_f, tile.psf_n, te.filepsf_n, verbose);
  tile.psf_eval.resize(static_cast<std::size_t>(te.ns));
  for (int n = 1; n <= te.ns; ++n) {
    psf_taper(tile.psf_n.plane(n), 6.0f, 11.0f);
    tile.psf_eval[static_cast<std::size_t>(n - 1)].assign(tile.psf_n.plane(n));
  }
}

void print_end_of_tile(const Tile& tile, const MasterList& master, int nmasto) {
  const TileLimits& t = tile.limits;
  write_list(std::cout, std::string(16, ' '));
  write_list(std::cout, "UPDATE NMASTs...");
  write_list(std::cout, "       NMASTs: ", master.nmasts);
  write_list(std::cout, "       UREF_T: ", t.uref_t, t.vref_t);
  write_list(std::cout, "       UPRIME: ", t.uref_t - 60, t.uref_t + 60);
  write_list(std::cout, "       VPRIME: ", t.vref_t - 60, t.vref_t + 60);
  write_list(std::cout, std::string(16, ' '));
  write_list(std::cout, "          ");
  write_list(std::cout, "END TILE: ", t.it, t.jt);
  write_list(std::cout, "  NMASTo: ", nmasto);
  write_list(std::cout, "  NMASTs: ", master.nmasts);
  write_list(std::cout, "          ");
}

// One pass of a tile (steps 21 to 33): the local list loaded and, later,
// searched, measured and committed.
void run_pass(RunState& run, const SpatialHash& hash_000, Tile& tile, int nartu, std::ostream& setup_log) {
  const Settings& st = run.settings;
  MasterList& master = run.master;
  // Search window: the whole tile grid.
  tile.limits = tile_limits(tile.limits.it, tile.limits.jt);
  (void)nartu;

  tile.ls = load_local_list(tile.limits, hash_000, master, *tile.local, st.verbose != 0);
  tile.lo = tile.ls + 1;
  const int nmasto = master.nmasts;
  const TileLimits& t = tile.limits;
  progress_line({t.it, t.jt, t.uref_t, t.vref_t, 0, tile.exposures.ns, tile.ls, tile.narti, tile.nartf});
  write_setup_line(setup_log, t.it, t.jt, t.uref_t, t.vref_t, run.slots.gs, tile.exposures.ns, tile.bbs,
                   run.filters.fs, tile.ls, master.nmasts);

  const int nit_done = 0;
  std::vector<FArg> end{t.it, t.jt, t.uref_t, t.vref_t, nit_done, tile.exposures.ns, tile.narti, tile.nartf,
                        tile.lo - 1};
  for (int c : tile.found) end.emplace_back(c);
  end.emplace_back(master.nmasts - nmasto);
  end.emplace_back(st.cmode);
  end.emplace_back(master.nmasts);
  progress_line(end);
  if (st.verbose) print_end_of_tile(tile, master, nmasto);
}

void run_tile(RunState& run, const SpatialHash& hash_000, const SpatialHash& hash_art, const TileRange& range,
              int it, int jt, std::ostream& setup_log) {
  const Settings& st = run.settings;
  const bool verbose = st.verbose != 0;
  // Tile indices address the 99 x 99 hash grid.
  if (it > HASHDM) stop_run("IT.gt._HASHDM_");
  if (jt > HASHDM) stop_run("JT.gt._HASHDM_");
  if (it < 1 || jt < 1) {
    write_list(std::cout, "TILE INDICES START AT 1:  IT: ", it, "  JT: ", jt);
    stop_run("IT.lt.1 or JT.lt.1");
  }
  if (st.cmode == 'A' && hash_art.cell(it, jt).empty()) return;
  Tile tile;
  tile.limits = tile_limits(it, jt);
  const TileLimits& t = tile.limits;
  if (!tile_in_window(st, t.uref_t, t.vref_t)) return;
  if (!tile_has_oneoff(st, t.uref_t, t.vref_t)) return;
  if (verbose) print_tile_banner(range, t, run.master, run.art.narts);
  progress_line({it, jt, t.uref_t, t.vref_t, 0});

  TileExposures& te = tile.exposures;
  init_tile_a(it, jt, t.uref_t, t.vref_t, run.slots, te, verbose);  // stops beyond NDIM exposures
  if (te.ns == 0) return;
  progress_line({it, jt, t.uref_t, t.vref_t, 0, tile.narti, tile.nartf, te.ns});
  if (verbose) write_record(std::cout, "('allocate for Ns = ',i3)", te.ns);
  te.allocate_rasters(te.ns);

  if (verbose) write_record(std::cout, "('call init tile_b... UVREF',i6)", t.uref_t, t.vref_t);
  tile.bbs = init_tile_b(it, jt, t.uref_t, t.vref_t, te, run.bright, tile.bright, st);

  if (verbose) write_record(std::cout, "('init flags of gg_l, n0_l ...')");
  if (verbose) write_record(std::cout, "('update stack+...')");
  if (verbose) write_record(std::cout, "('get_loc_psf...',f8.5)");
  make_local_psfs(tile, run.filters, verbose);
  te.pixv_h = te.pixv_n;
  te.pixe_h = te.pixe_n;
  reset_local(*tile.local);

  // Artificial stars of the tile (modes A and C).
  if (st.cmode == 'A' || st.cmode == 'C') {
    tile.narti = 1;
    tile.nartf = static_cast<int>(hash_art.cell(it, jt).size());
    if (verbose) {
      write_list(std::cout, "LOCAL ARTs...");
      write_list(std::cout, "   it: ", it, jt, tile.nartf);
      write_list(std::cout, "NARTf: ", tile.nartf);
    }
    if (st.cmode == 'C') {
      tile.narti = 0;
      tile.nartf = 0;
    }
  }
  if (verbose) {
    write_list(std::cout, " NARTi: ", tile.narti);
    write_list(std::cout, " NARTf: ", tile.nartf);
    write_list(std::cout, " NARTo: ", 0);
  }
  const int first = st.cmode == 'A' ? tile.narti : 0;
  const int last = st.cmode == 'A' ? tile.nartf : 0;
  for (int nartu = first; nartu <= last; ++nartu) run_pass(run, hash_000, tile, nartu, setup_log);
}

}  // namespace

TileRange tile_range(Settings& st) {
  if (st.ijtminmaxu[0] == -1) {
    write_record(std::cout, "('DETERMINE TILES ON THE FLY...  ')");
    st.ijtminmaxu = {1, 10, 1, 10};
    write_record(std::cout, "('----->  _PXDIMX1_: ',i5)", PXDIMX1);
    write_record(std::cout, "('----->  _PXDIMY1_: ',i5)", PXDIMY1);
    std::cout << '\n';
  }
  TileRange r{st.ijtminmaxu[0], st.ijtminmaxu[1], st.ijtminmaxu[2], st.ijtminmaxu[3]};
  write_record(std::cout, "('TILES TO TO GO THROUGH...  ')");
  write_record(std::cout, "('-----> IT: ',2i4)", r.itmin, r.itmax);
  write_record(std::cout, "('-----> JT: ',2i4)", r.jtmin, r.jtmax);
  std::cout << "\n\n";
  write_record(std::cout, "('START THE ITERATIONS...')");
  std::cout << '\n';
  return r;
}

bool tile_in_window(const Settings& st, int uref_t, int vref_t) {
  return st.umin <= uref_t + 60 && st.umax >= uref_t - 60 && st.vmin <= vref_t + 60 && st.vmax >= vref_t - 60;
}

bool tile_has_oneoff(const Settings& st, int uref_t, int vref_t) {
  if (!st.oneoff) return true;
  return uref_t - 60 <= st.oneoffx && st.oneoffx <= uref_t + 60 && vref_t - 60 <= st.oneoffy &&
         st.oneoffy <= vref_t + 60;
}

void run_tile_loop(RunState& run, const SpatialHash& hash_000, const SpatialHash& hash_art, std::ostream& setup_log) {
  const TileRange range = tile_range(run.settings);
  for (int jt = range.jtmin; jt <= range.jtmax; ++jt) {
    const int vref_t = (jt - 1) * 120 + 76;
    print_row_banner(jt, vref_t);
    for (int it = range.itmin; it <= range.itmax; ++it)
      run_tile(run, hash_000, hash_art, range, it, jt, setup_log);
    write_list(std::cout, "exit IT loop...");
    std::cout.flush();
  }
}

}  // namespace zeb
