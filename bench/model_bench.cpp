// The star model and the stacks on one tile of the simulated "bench" field
// (16 WFC3/IR exposures, 8 per filter, 60000 stars over 10 x 10 tiles). The
// field is written once into a temporary directory by the simulator (it is
// kept for later runs), zeb sets it up, tile (5, 5) is prepared, and the true
// stars around the tile (positions and fluxes of the simulation) form its local
// list.
//
// Reported:
//   BM_ModTile            one exposure's model image of every local star
//                         (counter stars: local stars; ns_per_star)
//   BM_ModelSubtractAll   model and residual of all 16 exposures
//   BM_StackTile/<K>      one image kind stacked for both filters, K = 3
//                         (clipped) and 99.9 (plain weighted mean)
//   BM_StackFinal         the four stacks of the end of a tile
#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "driver/master_hash.h"
#include "driver/prescan.h"
#include "driver/tile_images.h"
#include "field_files.h"
#include "imageio/fits.h"
#include "measure/tile_model.h"
#include "measure/tile_stacks.h"
#include "score.h"
#include "setup/param_file.h"
#include "tile/init_tile.h"
#include "tile/tile_geometry.h"

namespace {

constexpr int kIt = 5, kJt = 5;

struct BenchTile {
  zeb::RunState run;
  zeb::TileExposures te;
  zeb::LocalBrightStars bright;
  zeb::Array3<float> psf_n;
  std::vector<zeb::LocalPsf> psfs;
  std::unique_ptr<zeb::LocalList> local = std::make_unique<zeb::LocalList>();
  std::unique_ptr<zeb::TileStacks> stacks = std::make_unique<zeb::TileStacks>();
  int ls = 0;

  BenchTile() {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "zeb_model_bench_field";
    if (!std::filesystem::exists(dir / zebsim::kParamFile))
      zebsim::write_field(zebsim::field_preset("bench"), dir.string());
    const std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    // The set-up and tile preparation talk on standard output: keep it quiet.
    std::ostringstream sink;
    std::streambuf* out = std::cout.rdbuf(sink.rdbuf());
    zeb::reset_fits_carry_over();
    const zeb::PrescanCounts counts = zeb::extract_gsfscs(zebsim::kParamFile, run.settings.verbose);
    run.master.allocate(zeb::FDIM);
    run.art.allocate(zeb::FDIM);
    zeb::zeb_setup(zebsim::kParamFile, counts, run);
    const zeb::TileLimits t = zeb::tile_limits(kIt, kJt);
    zeb::init_tile_a(kIt, kJt, t.uref_t, t.vref_t, run.slots, te, false);
    te.allocate_rasters(te.ns);
    zeb::init_tile_b(kIt, kJt, t.uref_t, t.vref_t, te, run.bright, bright, run.settings);
    zeb::make_local_psfs(te, run.filters, psf_n, psfs, false);
    zeb::reset_local(*local);
    for (const zebsim::TruthStar& s : zebsim::read_truth(zebsim::kTruthFile).stars) {
      const double ug = 2.0 * (s.u - t.uref_t) + 151.0, vg = 2.0 * (s.v - t.vref_t) + 151.0;
      if (ug < -40.0 || ug > 341.0 || vg < -40.0 || vg > 341.0 || ls == zeb::LDIM) continue;
      ++ls;
      local->u0_l(ls) = static_cast<float>(ug);
      local->v0_l(ls) = static_cast<float>(vg);
      local->z0_lf(ls, 1) = static_cast<float>(s.flux[0]);
      local->z0_lf(ls, 2) = static_cast<float>(s.flux[1]);
    }
    zeb::reset_working_images(te);
    std::cout.rdbuf(out);
    std::filesystem::current_path(old);
  }
};

BenchTile& tile() {
  static BenchTile t;
  return t;
}

void BM_ModTile(benchmark::State& state) {
  BenchTile& t = tile();
  const std::span<const float> u(t.local->u0_l.data(), zeb::LDIM), v(t.local->v0_l.data(), zeb::LDIM);
  const std::span<const float> z(&t.local->z0_lf(1, 1), zeb::LDIM);
  for (auto _ : state) {
    zeb::mod_tile(u, v, z, t.ls, zeb::tab_of(t.te.xtab_n, 1), zeb::tab_of(t.te.ytab_n, 1), t.psfs[0],
                  t.te.pixf_n.plane(1));
    benchmark::DoNotOptimize(t.te.pixf_n.data());
  }
  state.counters["stars"] = t.ls;
  state.counters["ns_per_star"] = benchmark::Counter(static_cast<double>(t.ls), benchmark::Counter::kIsIterationInvariantRate |
                                                                                  benchmark::Counter::kInvert);
}
BENCHMARK(BM_ModTile)->Unit(benchmark::kMillisecond);

void BM_ModelSubtractAll(benchmark::State& state) {
  BenchTile& t = tile();
  for (auto _ : state) {
    zeb::model_and_subtract_all(t.te, t.psfs, *t.local, t.ls);
    benchmark::DoNotOptimize(t.te.pixd_n.data());
  }
  state.counters["exposures"] = t.te.ns;
}
BENCHMARK(BM_ModelSubtractAll)->Unit(benchmark::kMillisecond);

void BM_StackTile(benchmark::State& state) {
  BenchTile& t = tile();
  const float k = state.range(0) == 3 ? zeb::STACK_CLIP : zeb::STACK_NO_CLIP;
  for (auto _ : state) {
    zeb::stack_tile(t.te.ns, t.te.fff_n, t.te.xtab_n, t.te.ytab_n, t.te.pixv_n, t.te.pixe_n, t.te.pixu_n,
                    t.stacks->stackv_tf, &t.stacks->stackn_tf, k);
    benchmark::DoNotOptimize(t.stacks->stackv_tf.data());
  }
  state.counters["exposures"] = t.te.ns;
}
BENCHMARK(BM_StackTile)->Arg(3)->Arg(99)->Unit(benchmark::kMillisecond);

void BM_StackFinal(benchmark::State& state) {
  BenchTile& t = tile();
  zeb::model_and_subtract_all(t.te, t.psfs, *t.local, t.ls);
  for (auto _ : state) {
    zeb::stack_values_and_masks(t.te, *t.stacks);
    zeb::stack_residuals(t.te, *t.stacks);
    zeb::stack_model(t.te, *t.stacks);
    benchmark::DoNotOptimize(t.stacks->stacks_tf.data());
  }
}
BENCHMARK(BM_StackFinal)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
