#include "driver/tile_iterations.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <string>

#include "core/fortran_format.h"
#include "core/parallel.h"
#include "core/stop.h"
#include "core/text.h"
#include "driver/tile_diagnostics.h"
#include "driver/tile_images.h"
#include "imageio/fits.h"
#include "measure/meth0.h"
#include "measure/meth1.h"
#include "measure/meth2.h"
#include "output/progress.h"

namespace zeb {

namespace {

void print_nit_banner(const Tile& tile, int nit, const RunState& run) {
  const TileLimits& t = tile.limits;
  write_record(std::cout, "('                     ')");
  write_record(std::cout, "('**************************')");
  write_record(std::cout, "('***                    ***')");
  write_record(std::cout, "('***      NIT: ',i6,'   ***')", nit);
  write_record(std::cout, "('***       IJ: ',2i3,'   ***')", t.it, t.jt);
  write_record(std::cout, "('***    NARTu: ',i6,'   ***')", tile.pass.nartu);
  write_record(std::cout, "('***    NARTf: ',i6,'   ***')", tile.art_range.nartf);
  write_record(std::cout, "('***   UREF_T: ',i6,'   ***')", t.uref_t);
  write_record(std::cout, "('***   VREF_T: ',i6,'   ***')", t.vref_t);
  write_record(std::cout, "('***                    ***')");
  write_record(std::cout, "('***   NMASTo: ',i6,'   ***')", tile.nmasto);
  write_record(std::cout, "('***   NMASTs: ',i6,'   ***')", run.master.nmasts);
  write_record(std::cout, "('***       Bs: ',i6,'   ***')", run.bright.bs);
  write_record(std::cout, "('***       Lo: ',i6,'   ***')", tile.lo);
  write_record(std::cout, "('***       Ls: ',i6,'   ***')", tile.ls);
  write_record(std::cout, "('***                    ***')");
  write_record(std::cout, "('**************************')");
  write_record(std::cout, "('                     ')");
}

// Exposures whose finding mask selects iteration nit get the model of all
// local stars rebuilt and subtracted.
void resubtract_for_iteration(Tile& tile, int nit) {
  TileExposures& te = tile.exposures;
  parallel_for(1, te.ns, [&](int n, int) {
    if (char_at(te.fnd_n(n), static_cast<std::size_t>(nit)) == '1')
      model_and_subtract(te, tile.psf_eval, *tile.local, tile.ls, n);
  });
}

// A step of the final measurement announced with the sizes it works on.
void announce_sizes(const char* step, int ls, int ns) {
  write_list(std::cout, step);
  write_list(std::cout, "------> about to enter...  Ls = ", ls, LDIM);
  write_list(std::cout, "------>                    Ns = ", ns, NDIM);
}

void write_map(const std::string& name, const Array2<std::int16_t>& map) {
  writfits_i2(name, View2<const std::int16_t>(map.data(), TILE_GRID, TILE_GRID), TILE_GRID, TILE_GRID);
}

void measure_with_method0(Tile& tile, bool verbose) {
  meth0_xyz_tile(tile.ls, *tile.local, *tile.results, tile.exposures, tile.psf_eval, verbose);
}

}  // namespace

void record_art_peak(const FindingMaps& maps, int nit, ArtPass& pass, bool verbose) {
  const int i1 = std::max(1, static_cast<int>(pass.ia - 0.5)), i2 = std::min(TILE_GRID, static_cast<int>(pass.ia + 0.5));
  const int j1 = std::max(1, static_cast<int>(pass.ja - 0.5)), j2 = std::min(TILE_GRID, static_cast<int>(pass.ja + 0.5));
  for (int i = i1; i <= i2; ++i)
    for (int j = j1; j <= j2; ++j)
      if (maps.stackp_t(i, j) >= pass.peak_p) {
        pass.peak_p = maps.stackp_t(i, j);
        pass.peak_q = maps.stackq_t(i, j);
        pass.peak_d = maps.stackd_t(i, j);
        pass.peak_c = maps.stackc_t(i, j);
        pass.peak_nit = nit;
        pass.peak_i = i;
        pass.peak_j = j;
        if (!verbose) continue;
        write_list(std::cout, "----> FILLFIND: ", i, j, pass.peak_p, pass.peak_q, pass.peak_c, nit);
        write_map("stackp_t.fits", maps.stackp_t);
        write_map("stackq_t.fits", maps.stackq_t);
        write_map("stackd_t.fits", maps.stackd_t);
        write_map("stackc_t.fits", maps.stackc_t);
        write_map("stacky_t.fits", maps.stacky_t);
      }
}

int finding_iterations(Tile& tile, const RunState& run, CatalogueLogs& logs) {
  const Settings& st = run.settings;
  const bool verbose = st.verbose != 0;
  if (st.cmode == 'D') {
    tile.lo = 1;
    return 0;
  }
  const int nitmin = st.nitminmaxu[0], nitmax = st.nitminmaxu[1];
  if (nitmin < 0) stop_run("need to define NITMIN and NITMAX in input file");
  const TileLimits& t = tile.limits;
  const FindWindow window{tile.window.i1, tile.window.i2, tile.window.j1, tile.window.j2};
  int nit = nitmin;
  for (; nit <= nitmax; ++nit) {
    if (verbose) print_nit_banner(tile, nit, run);
    resubtract_for_iteration(tile, nit);
    if (st.show_tiles) show_iteration_stacks(tile, nit, run.filters.fs);
    if (verbose) write_list(std::cout, "ZEB: find_tile...");
    const int before = tile.ls;
    if (tile.find_work)
      find_tile(nit, st, window, tile.exposures, tile.psf_n, *tile.local, tile.ls, *tile.maps, *tile.find_work);
    else
      find_tile(nit, st, window, tile.exposures, tile.psf_n, *tile.local, tile.ls, *tile.maps);
    tile.found[static_cast<std::size_t>(nit - 1)] = tile.ls - before;
    std::vector<FArg> line{t.it, t.jt, t.uref_t, t.vref_t, nit, tile.exposures.ns, tile.art_range.narti,
                            tile.art_range.nartf, tile.lo - 1};
    for (int c : tile.found) line.emplace_back(c);
    progress_line(line);
    if (st.cmode == 'A') record_art_peak(*tile.maps, nit, tile.pass, verbose);
    if (st.show_tiles) show_iteration_maps(tile, nit, st, logs);
    if (verbose) write_list(std::cout, "ZEB: call meth0_xyz_tile: ", tile.lo, tile.ls, nit);
    measure_with_method0(tile, verbose);
  }
  return nit;
}

void final_measurement(Tile& tile, const RunState& run) {
  const bool verbose = run.settings.verbose != 0;
  TileExposures& te = tile.exposures;
  if (verbose) {
    write_list(std::cout, "ZEB: XYZ_TILE: ", tile.lo, tile.ls);
    write_list(std::cout, "ZEB: call meth0_xyz_tile: ", tile.lo, tile.ls, 99);
  }
  measure_with_method0(tile, verbose);
  if (verbose) write_list(std::cout, "ZEB: MOD_TILE...  1...Ns: ", te.ns);
  model_and_subtract_all(te, tile.psf_eval, *tile.local, tile.ls);
  LocalList& local = *tile.local;
  LocalExposureResults& ln = *tile.results;
  if (verbose) write_list(std::cout, "ZEB: METH2_XYZ_TILE...");
  meth2_xyz_tile(tile.ls, local, ln, te, tile.psf_eval, 2);
  if (verbose) write_list(std::cout, "ZEB: METH2_FIND_AVG_Z2...");
  find_avg_z2(tile.ls, te.ns, te.fff_n, ln, local, 2);
  if (verbose) announce_sizes("ZEB: METH1_XYZ_TILE...", tile.ls, te.ns);
  meth1_xyz_tile(tile.ls, local, ln, te, tile.psf_eval, verbose);
  if (verbose) write_list(std::cout, "ZEB: METH1_FIND_AVG_UVZ1...");
  find_avg_uvz1(tile.ls, te.ns, te.fff_n, ln, local);
  meth2_xyz_tile(tile.ls, local, ln, te, tile.psf_eval, 3);
  if (verbose) write_list(std::cout, "ZEB: METH3_FIND_AVG_Z3...");
  find_avg_z2(tile.ls, te.ns, te.fff_n, ln, local, 3);
  if (verbose) announce_sizes("ZEB: RMSSKY_XYZ_TILE...", tile.ls, te.ns);
  sky_of_local_stars(te, *tile.local, tile.ls, run.filters.fs, verbose);
  if (verbose) write_list(std::cout, "------> exit...");
}

void choose_reported_star(Tile& tile) {
  LocalList& l = *tile.local;
  const TileLimits& t = tile.limits;
  const ArtPass& p = tile.pass;
  double best = 9.999;
  int chosen = 0;
  for (int k = 1; k <= tile.ls; ++k) {
    const double u = 0.5 * (l.u0_l(k) - 151.0) + t.uref_t, v = 0.5 * (l.v0_l(k) - 151.0) + t.vref_t;
    const double d = std::sqrt((u - p.star.u) * (u - p.star.u) + (v - p.star.v) * (v - p.star.v));
    if (d < best) {
      best = d;
      chosen = k;
    }
  }
  for (int k = 1; k <= tile.ls; ++k) {
    l.gg_l(k) = 0;
    l.n0_l(k) = 0;
  }
  if (chosen == 0) {
    tile.ls = 1;
    null_l(1, l);
    chosen = 1;
  }
  l.n0_l(chosen) = p.star.id;
  l.gg_l(chosen) = 1;
}

int commit_pass(Tile& tile, RunState& run) {
  if (run.settings.verbose) write_list(std::cout, "DO L = 1, Ls...  ", tile.ls);
  int added = 0;
  if (run.settings.cmode == 'A')
    commit_art_report(tile.limits, tile.ls, *tile.local, tile.art_report);
  else
    added = commit_tile(run.settings.cmode, tile.limits, tile.ls, *tile.local, run.master);
  if (run.settings.verbose) write_list(std::cout, "       NMASTs: ", run.master.nmasts);
  return added;
}

}  // namespace zeb
