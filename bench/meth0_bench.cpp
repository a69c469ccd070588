// Method 0 on one synthetic tile: 12 exposures (dithered rasters, Gaussian
// PSF, sky and a fixed pseudo-random star field) and 500 stars, RAP 2. Each
// iteration restores the list's starting positions and fluxes and measures
// every star in every exposure; ns_per_star_exposure is the time of one call
// divided by Ls x Ns.
#include <benchmark/benchmark.h>

#include "measure/meth0.h"
#include "measure/meth0_field.h"

namespace {

void BM_Meth0Tile(benchmark::State& state) {
  const int ns = 12;
  const int ls = static_cast<int>(state.range(0));
  zeb::test::GaussianField field(ns, 1.2f, 20.0f, 3.0f);
  zeb::test::fill_benchmark_tile(field, ns, ls);
  zeb::LocalList& local = field.local();
  const zeb::LocalList start = local;
  for (auto _ : state) {
    state.PauseTiming();
    local = start;
    state.ResumeTiming();
    zeb::meth0_xyz_tile(ls, local, field.ln(), field.te(), field.psfs(), false);
    benchmark::DoNotOptimize(local.u0_l(1));
  }
  state.counters["ns_per_star_exposure"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * ls * ns, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Meth0Tile)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
