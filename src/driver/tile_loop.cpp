#include "driver/tile_loop.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <limits>
#include <memory>
#include <vector>

#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/stop.h"
#include "driver/run_progress.h"
#include "driver/tile_art.h"
#include "driver/tile_diagnostics.h"
#include "driver/tile_images.h"
#include "driver/tile_iterations.h"
#include "driver/tile_state.h"
#include "measure/local_list.h"
#include "psf/psf.h"
#include "measure/tile_stacks.h"
#include "output/progress.h"
#include "output/star_records.h"
#include "tile/bright_mask.h"
#include "tile/init_tile.h"
#include "tile/tile_exposures.h"
#include "tile/tile_geometry.h"

namespace zeb {

namespace {

constexpr const char* ROW_STARS = "('******************************')";
constexpr const char* TILE_STARS = "('*****************************************')";


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

// Before the passes: clear the stacks, keep the untouched exposures, set the
// working images and clear the local list.
void prepare_exposure_images(Tile& tile) {
  init_stacks(*tile.stacks);
  hold_exposures(tile.exposures);
  reset_working_images(tile.exposures);
  reset_local(*tile.local);
}

// The artificial stars of the tile's hash cell (modes A and C), logged with VERBOSE+.
void collect_tile_art(Tile& tile, const RunState& run, const SpatialHash& hash_art, bool verbose) {
  const TileLimits& t = tile.limits;
  const std::vector<int>& cell = hash_art.cell(t.it, t.jt);
  // The stars of a tile are numbered in its records with three digits (the
  // pass number of ".INPUT", the index of "LOGL.LOCAL_ART"): more would be
  // written as asterisks.
  if (cell.size() > static_cast<std::size_t>(ART_LOCAL_MAX)) {
    write_list(std::cout, " ");
    write_list(std::cout, "MORE ARTIFICIAL STARS IN ONE TILE THAN ITS RECORDS CAN NUMBER");
    write_list(std::cout, "   IT, JT: ", t.it, t.jt);
    write_list(std::cout, "    NARTf: ", static_cast<long>(cell.size()));
    write_list(std::cout, "    limit: ", ART_LOCAL_MAX);
    write_list(std::cout, " ");
    stop_run("NARTf.gt.999");
  }
  tile.art = tile_art_list(cell, run.art);
  tile.art_range = {1, static_cast<int>(tile.art.size())};
  if (verbose) {
    write_local_art(tile.art, run.filters.fs, "LOGL.LOCAL_ART");
    write_list(std::cout, "LOCAL ARTs...");
    write_list(std::cout, "   it: ", t.it, t.jt, tile.art_range.nartf);
    write_list(std::cout, "NARTf: ", tile.art_range.nartf);
  }
}

// Mode C: every artificial star of the tile added to all exposures at once.
// The working images are set again afterwards: they are what the finding
// iterations search wherever they do not rebuild the residual, and they must
// hold the stars that were just added.
void inject_all_art(Tile& tile, const FilterSlots& filters, bool verbose) {
  const TileLimits& t = tile.limits;
  for (const TileArtStar& a : tile.art)
    add_art_to_tile(tile.exposures, tile.psf_eval, tile_grid_of(a.u, t.uref_t), tile_grid_of(a.v, t.vref_t), a.z,
                    filters, verbose);
  reset_working_images(tile.exposures);
}

// Mode A, at the start of each pass: artificial star NARTu injected into fresh
// copies of the exposures; its window, the light add_art found under it and
// its local sky are recorded, and its peak record starts again at -1. The
// working images are set from the new exposures (see inject_all_art).
void inject_pass_star(Tile& tile, int nartu, const RunState& run, bool verbose) {
  const TileLimits& t = tile.limits;
  ArtPass& p = tile.pass;
  p = ArtPass{};
  p.nartu = nartu;
  p.star = tile.art.at(static_cast<std::size_t>(nartu - 1));
  p.ia = tile_grid_of(p.star.u, t.uref_t);
  p.ja = tile_grid_of(p.star.v, t.vref_t);
  tile.window = art_window(p.ia, p.ja);
  restore_exposures(tile.exposures);
  p.levels = add_art_to_tile(tile.exposures, tile.psf_eval, p.ia, p.ja, p.star.z, run.filters, verbose);
  sky_at(tile.exposures, p.ia, p.ja, run.filters.fs, p.sky, p.sky_scatter, verbose);
  reset_working_images(tile.exposures);
}

// The tile's final stacks and finding maps (those of the last finding
// iteration) into the mosaic strips.
void paste_into_strips(const Tile& tile, Mosaics& mosaics, bool verbose) {
  const TileStacks& s = *tile.stacks;
  std::array<TileFilterStacks, FDIM> per_filter;
  for (int k = 1; k <= FDIM; ++k)
    per_filter[static_cast<std::size_t>(k - 1)] = {s.stackv_tf.plane(k), s.stacks_tf.plane(k), s.stackm_tf.plane(k),
                                                   s.stackn_tf.plane(k)};
  const FindingMaps& m = *tile.maps;
  const TileFindingMaps maps{m.stackp_t.view(), m.stackq_t.view(), m.stackd_t.view(), m.stackc_t.view(),
                             m.stacky_t.view()};
  paste_tile_stacks(mosaics, per_filter, &maps, s.stacktu.view(), tile.limits.uref_t, verbose);
}

// Grid points beyond a pass's search window that its stars' records read:
// a star loaded or found in the window lies at most 2 points outside it, and
// its local flux sums 5 points around it.
constexpr int kRecordReach = 8;

// The value and mask stacks the catalogue records of the pass read (the local
// flux and mask level of each star's XYFIND record): over the search window
// and the records' reach around it, the whole tile outside mode A. They depend
// on the exposures alone, so they are also the final V and M stacks.
void stack_for_records(Tile& tile) {
  const SearchWindow& w = tile.window;
  const StackWindow around{w.i1 - kRecordReach, w.i2 + kRecordReach, w.j1 - kRecordReach, w.j2 + kRecordReach};
  stack_values_and_masks(tile.exposures, *tile.stacks, around);
}

// End of a tile: the final residual of every exposure and the per-filter stacks
// of the tile, for the mosaics and the diagnostic images (not in mode A, and
// only when something shows them). The value and mask stacks were formed for
// the records.
void final_residual_and_stacks(Tile& tile, const Settings& st, int fs, CatalogueLogs& logs, Mosaics* mosaics) {
  if (st.cmode == 'A' || !(st.show_tile || st.mosaic_x1 || st.mosaic_x2)) return;
  const bool verbose = st.verbose != 0;
  const int ns = tile.exposures.ns;
  const LocalList& local = *tile.local;
  if (st.show_tile) logs.reg_tile(tile.ls, local.u0_l, local.v0_l, local.w0_l, 9, st);
  if (verbose) write_list(std::cout, "ZEB: MOD2_TILE...  1...Ns: ", ns);
  model_and_subtract_all(tile.exposures, tile.psf_eval, local, tile.ls);
  write_list(std::cout, "ZEB: STAK_TILE...  1...Ns: ", ns);
  stack_residuals_and_model(tile.exposures, *tile.stacks);
  if (st.show_tile) {
    write_list(std::cout, "ZEB: SHOW_TILE...  1...Ns: ", ns);
    show_final_images(tile, fs);
  }
  if (mosaics) paste_into_strips(tile, *mosaics, verbose);
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

// The catalogue records of the stars the pass committed, in local-list order;
// in mode A also the pass's ".INPUT" line.
void write_committed_records(Tile& tile, const RunState& run, CatalogueLogs& logs) {
  const Settings& st = run.settings;
  const TileLimits& t = tile.limits;
  const TilePlace place{t.it, t.jt, t.uref_t, t.vref_t};
  LocalList& local = *tile.local;
  // Mode A reports through its own one-entry list (commit_art_report).
  const bool report = st.cmode == 'A';
  for (int l = 1; l <= tile.ls; ++l) {
    if (local.gg_l(l) != 1) continue;
    const int n = local.n0_l(l);
    write_star_records(logs, local, l, report ? tile.art_report : run.master, report ? 1 : n, StarId{st.cmode, n},
                       place, tile.exposures, *tile.results, *tile.stacks, run.bright, st);
  }
  if (st.cmode == 'A' && logs.input())
    write_art_input_line(*logs.input(),
                         art_input_line(tile.pass, t.it, t.jt, tile.art_range.nartf, tile.window));
}

// A pass outside the run's part (ARTSHARD): its star is injected all the same
// and nothing else is done. Injection draws one normal deviate per unmasked
// pixel around the star from the run's single random sequence, so every pass
// the run measures draws its noise from the same place in the sequence as in
// a run that measures all passes.
void draw_pass_noise(Tile& tile, int nartu, const RunState& run) {
  const TileArtStar& a = tile.art.at(static_cast<std::size_t>(nartu - 1));
  add_art_to_tile(tile.exposures, tile.psf_eval, tile_grid_of(a.u, tile.limits.uref_t),
                  tile_grid_of(a.v, tile.limits.vref_t), a.z, run.filters, false);
}

// One pass of a tile (steps 21 to 33): the local list loaded and, later,
// searched, measured and committed.
void run_pass(RunState& run, const SpatialHash& hash_000, Tile& tile, int nartu, CatalogueLogs& logs,
              Mosaics* mosaics) {
  const Settings& st = run.settings;
  MasterList& master = run.master;
  tile.window = SearchWindow{};
  if (st.cmode == 'A') inject_pass_star(tile, nartu, run, st.verbose != 0);
  const SearchWindow& w = tile.window;
  tile.limits = tile_limits(tile.limits.it, tile.limits.jt, w.i1, w.i2, w.j1, w.j2);

  tile.ls = load_local_list(tile.limits, hash_000, master, *tile.local, st.verbose != 0);
  tile.lo = tile.ls + 1;
  tile.nmasto = master.nmasts;
  const int nmasto = tile.nmasto;
  const TileLimits& t = tile.limits;
  progress_line({t.it, t.jt, t.uref_t, t.vref_t, 0, tile.exposures.ns, tile.ls, tile.art_range.narti,
                 tile.art_range.nartf});
  write_setup_line(logs.setup(), t.it, t.jt, t.uref_t, t.vref_t, run.slots.gs, tile.exposures.ns, tile.bbs,
                   run.filters.fs, tile.ls, master.nmasts);

  const int nit_done = finding_iterations(tile, run, logs);
  final_measurement(tile, run);
  if (st.cmode == 'A') choose_reported_star(tile);
  stack_for_records(tile);
  commit_pass(tile, run);
  for (int l = 1; l <= tile.ls; ++l)
    if (tile.local->gg_l(l) == 1) tile.committed.push_back(tile.local->n0_l(l));
  write_committed_records(tile, run, logs);

  std::vector<FArg> end{t.it, t.jt, t.uref_t, t.vref_t, nit_done, tile.exposures.ns, tile.art_range.narti,
                        tile.art_range.nartf, tile.lo - 1};
  for (int c : tile.found) end.emplace_back(c);
  end.emplace_back(master.nmasts - nmasto);
  end.emplace_back(st.cmode);
  end.emplace_back(master.nmasts);
  progress_line(end);
  final_residual_and_stacks(tile, st, run.filters.fs, logs, mosaics);
  if (st.verbose) print_end_of_tile(tile, master, nmasto);
}

// True when tile (IT, JT) of the hash grid is worked on: in mode A only a
// tile holding artificial stars, and only one that meets the window and the
// ONEOFF position.
bool tile_wanted(const Settings& st, const SpatialHash& hash_art, int it, int jt) {
  if (st.cmode == 'A' && hash_art.cell(it, jt).empty()) return false;
  const TileLimits t = tile_limits(it, jt);
  return tile_in_window(st, t.uref_t, t.vref_t) && tile_has_oneoff(st, t.uref_t, t.vref_t);
}

// The artificial-star passes a mode-A run measures. Passes are numbered 1, 2,
// ... in the order the run makes them (tiles in order, the stars of a tile in
// list order). A pass's results depend only on the starting list, the tile's
// exposures and its place in the random sequence, never on another pass's
// results, so any consecutive range of passes can be measured by a run of its
// own (ARTSHARD k n), and the records of the n parts, put one after the other,
// are those of the whole run.
struct PassPart {
  long first = 1, last = std::numeric_limits<long>::max();
  long seen = 0;  // passes met so far
  // Counts the next pass; true when the run measures it.
  bool next() {
    ++seen;
    return seen >= first && seen <= last;
  }
  bool done() const { return seen >= last; }
};

// Passes in the tiles of the range the run works on: the most the run can
// make (a tile without exposures makes none).
long count_art_passes(const Settings& st, const TileRange& r, const SpatialHash& hash_art) {
  long passes = 0;
  for (int jt = std::max(r.jtmin, 1); jt <= std::min(r.jtmax, HASHDM); ++jt)
    for (int it = std::max(r.itmin, 1); it <= std::min(r.itmax, HASHDM); ++it)
      if (tile_wanted(st, hash_art, it, jt)) passes += static_cast<long>(hash_art.cell(it, jt).size());
  return passes;
}

// Part k of n: passes (k - 1) P / n + 1 .. k P / n of the P the run can make;
// the last part also takes any pass beyond P. Announced on standard output.
PassPart art_pass_part(const Settings& st, const TileRange& r, const SpatialHash& hash_art) {
  PassPart part;
  if (st.cmode != 'A' || st.art_parts < 1) return part;
  const long p = count_art_passes(st, r, hash_art), k = st.art_part, n = st.art_parts;
  part.first = (k - 1) * p / n + 1;
  const long last = k * p / n;
  if (k < n) part.last = last;
  write_record(std::cout, "('ARTSHARD',i4,' OF',i4,': PASSES',i7,' TO',i7,' OF',i7)", k, n, part.first, last, p);
  return part;
}

// Runs tile (it, jt); returns true when it had exposures and was worked on,
// with the master entries it wrote in `done`.
bool run_tile(RunState& run, const SpatialHash& hash_000, const SpatialHash& hash_art, const TileRange& range,
              int it, int jt, ArtRange& last_range, PassPart& part, CatalogueLogs& logs, Mosaics* mosaics,
              FindWorkspace& find_work, TileExposures& rasters, FinishedTile& done) {
  const Settings& st = run.settings;
  const bool verbose = st.verbose != 0;
  // Tile indices address the 99 x 99 hash grid.
  if (it > HASHDM) stop_run("IT.gt._HASHDM_");
  if (jt > HASHDM) stop_run("JT.gt._HASHDM_");
  if (it < 1 || jt < 1) {
    write_list(std::cout, "TILE INDICES START AT 1:  IT: ", it, "  JT: ", jt);
    stop_run("IT.lt.1 or JT.lt.1");
  }
  if (!tile_wanted(st, hash_art, it, jt)) return false;
  if (part.done()) return false;  // the run's part has no pass left
  Tile tile;
  tile.find_work = &find_work;
  // The tile works in the run's rasters and gives them back when it ends.
  struct RasterLoan {
    TileExposures& tile;
    TileExposures& run;
    RasterLoan(TileExposures& t, TileExposures& r) : tile(t), run(r) { tile.swap_rasters(run); }
    ~RasterLoan() { tile.swap_rasters(run); }
    RasterLoan(const RasterLoan&) = delete;
    RasterLoan& operator=(const RasterLoan&) = delete;
  } loan(tile.exposures, rasters);
  tile.limits = tile_limits(it, jt);
  const TileLimits& t = tile.limits;
  if (verbose) print_tile_banner(range, t, run.master, run.art.narts);
  progress_line({it, jt, t.uref_t, t.vref_t, 0});

  TileExposures& te = tile.exposures;
  init_tile_a(it, jt, t.uref_t, t.vref_t, run.slots, te, verbose);  // stops beyond NDIM exposures
  if (te.ns == 0) return false;
  if (mosaics) mosaics->row_has_data = true;
  progress_line({it, jt, t.uref_t, t.vref_t, 0, last_range.narti, last_range.nartf, te.ns});
  if (verbose) write_record(std::cout, "('allocate for Ns = ',i3)", te.ns);
  te.allocate_rasters(te.ns);
  tile.stacks = std::make_unique<TileStacks>();
  tile.results = std::make_unique<LocalExposureResults>(te.ns);
  init_stacku(tile.stacks->stacktu);

  if (verbose) write_record(std::cout, "('call init tile_b... UVREF',i6)", t.uref_t, t.vref_t);
  tile.bbs = init_tile_b(it, jt, t.uref_t, t.vref_t, te, run.bright, tile.bright, st);

  if (verbose) write_record(std::cout, "('init flags of gg_l, n0_l ...')");
  if (verbose) write_record(std::cout, "('update stack+...')");
  if (verbose) write_record(std::cout, "('get_loc_psf...',f8.5)");
  make_local_psfs(tile.exposures, run.filters, tile.psf_n, tile.psf_eval, verbose);
  prepare_exposure_images(tile);

  tile.art_range = {};
  if (st.cmode == 'A' || st.cmode == 'C') collect_tile_art(tile, run, hash_art, verbose);
  if (st.cmode == 'C') {
    inject_all_art(tile, run.filters, verbose);
    tile.art_range = {};
  }
  last_range = tile.art_range;
  if (verbose) {
    write_list(std::cout, " NARTi: ", tile.art_range.narti);
    write_list(std::cout, " NARTf: ", tile.art_range.nartf);
    write_list(std::cout, " NARTo: ", 0);
  }
  const int first = st.cmode == 'A' ? tile.art_range.narti : 0;
  const int last = st.cmode == 'A' ? tile.art_range.nartf : 0;
  for (int nartu = first; nartu <= last; ++nartu) {
    if (st.cmode != 'A' || part.next())
      run_pass(run, hash_000, tile, nartu, logs, mosaics);
    else
      draw_pass_noise(tile, nartu, run);
  }
  done.it = it;
  done.jt = jt;
  done.uref_t = t.uref_t;
  done.art_passes = part.seen;
  done.committed = std::move(tile.committed);
  std::sort(done.committed.begin(), done.committed.end());
  done.committed.erase(std::unique(done.committed.begin(), done.committed.end()), done.committed.end());
  return true;
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

void run_tile_loop(RunState& run, const SpatialHash& hash_000, const SpatialHash& hash_art, CatalogueLogs& logs,
                   Mosaics* mosaics, RunProgress* progress, TileLoopObserver* observer, LoopStart start) {
  const TileRange range = tile_range(run.settings);
  // Tile indices outside the hash grid stop the run when the loop meets them.
  auto on_grid = [](int i) { return i >= 1 && i <= HASHDM; };
  auto reported = [&](int it, int jt) {
    return progress && on_grid(it) && on_grid(jt) && tile_wanted(run.settings, hash_art, it, jt);
  };
  if (progress) {
    int total = 0;
    for (int jt = range.jtmin; jt <= range.jtmax; ++jt)
      for (int it = range.itmin; it <= range.itmax; ++it) total += reported(it, jt) ? 1 : 0;
    progress->start_tiles(total);
  }
  PassPart part = art_pass_part(run.settings, range, hash_art);
  part.seen = start.art_passes;  // a resumed run continues the count of passes
  // The artificial-star range as the last tile or pass left it: the progress
  // line of a tile's exposures shows it before the tile sets its own.
  ArtRange last_range;
  FindWorkspace find_work;  // the working maps of finding, for every search of the run
  TileExposures rasters;    // the rasters every tile of the run works in
  for (int jt = std::max(range.jtmin, start.jt); jt <= range.jtmax; ++jt) {
    const bool resumed_row = jt == start.jt;
    const int vref_t = (jt - 1) * 120 + 76;
    print_row_banner(jt, vref_t);
    // A row resumed in its middle keeps the strips its finished tiles left.
    if (mosaics && !(resumed_row && start.mid_row)) init_strips(*mosaics);
    for (int it = resumed_row ? std::max(range.itmin, start.next_it) : range.itmin; it <= range.itmax; ++it) {
      FinishedTile done;
      const bool worked =
          run_tile(run, hash_000, hash_art, range, it, jt, last_range, part, logs, mosaics, find_work, rasters, done);
      logs.flush();  // the tile's records reach the files together
      if (worked && observer) observer->tile_finished(done);
      if (reported(it, jt)) progress->tile_done(it, jt, logs.stars());
    }
    write_list(std::cout, "exit IT loop...");
    if (mosaics) write_strips(*mosaics, vref_t, run.settings.verbose != 0);
    std::cout.flush();
    if (observer) observer->row_finished(jt);
  }
}

}  // namespace zeb
