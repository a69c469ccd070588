// Method 1 on one synthetic tile: 12 exposures (dithered rasters, Gaussian
// PSF, sky and a fixed pseudo-random star field) and 500 stars, RAP 2. Each
// iteration restores the list's starting positions and fluxes and measures
// every star in every exposure; us_per_star_exposure is the time of one call
// divided by Ls x Ns.
#include <benchmark/benchmark.h>

#include <random>

#include "measure/meth1.h"
#include "measure/meth0_field.h"

namespace {

void BM_Meth1Tile(benchmark::State& state) {
  const int ns = 12;
  const int ls = static_cast<int>(state.range(0));
  zeb::test::GaussianField field(ns, 1.2f, 20.0f, 3.0f);
  for (int n = 1; n <= ns; ++n) field.set_shift(n, 0.31 * (n % 4) - 0.4, 0.27 * (n % 3) - 0.3);
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> pos(4.0f, 298.0f), lz(2.0f, 4.5f), jitter(-0.3f, 0.3f);
  for (int k = 0; k < ls; ++k) {
    const float u = pos(gen), v = pos(gen), z = std::pow(10.0f, lz(gen));
    field.draw_all(u, v, z);
    field.list_star(u + jitter(gen), v + jitter(gen), 0.8f * z);
  }
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
