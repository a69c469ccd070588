// Method 1 on one synthetic tile: 12 exposures (dithered rasters, Gaussian
// PSF, sky and a fixed pseudo-random star field) and 500 stars, RAP 2. Each
// iteration restores the list's starting positions and fluxes and measures
// every star in every exposure; us_per_star_exposure is the time of one call
// divided by Ls x Ns.
#include <benchmark/benchmark.h>

#include "measure/meth1.h"
#include "measure/meth0_field.h"

namespace {

void BM_Meth1Tile(benchmark::State& state) {
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
    zeb::meth1_xyz_tile(ls, local, field.ln(), field.te(), field.psfs(), false);
    zeb::find_avg_uvz1(ls, ns, field.te().fff_n, field.ln(), local);
    benchmark::DoNotOptimize(local.u0_l(1));
  }
  state.counters["us_per_star_exposure"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * ls * ns, benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::OneK::kIs1000);
}
BENCHMARK(BM_Meth1Tile)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
