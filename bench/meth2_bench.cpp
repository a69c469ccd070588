// Methods 2 and 3 on one synthetic tile: 12 exposures (dithered rasters,
// Gaussian PSF, sky and a fixed pseudo-random star field) and 500 stars, RAP 2.
// Each iteration measures every star in every exposure in the given mode and
// combines the results per filter; time_per_star_exposure is the CPU time of
// one iteration divided by Ls x Ns.
#include <benchmark/benchmark.h>

#include <random>

#include "measure/meth0_field.h"
#include "measure/meth2.h"

namespace {

void BM_Meth2Tile(benchmark::State& state) {
  const int ns = 12;
  const int mode = static_cast<int>(state.range(0));
  const int ls = static_cast<int>(state.range(1));
  zeb::test::GaussianField field(ns, 1.2f, 20.0f, 3.0f);
  for (int n = 1; n <= ns; ++n) field.set_shift(n, 0.31 * (n % 4) - 0.4, 0.27 * (n % 3) - 0.3);
  std::mt19937 gen(5);
  std::uniform_real_distribution<float> pos(4.0f, 298.0f), lz(2.0f, 4.5f), noise(-2.0f, 2.0f);
  for (int k = 0; k < ls; ++k) {
    const float u = pos(gen), v = pos(gen), z = std::pow(10.0f, lz(gen));
    field.draw_all(u, v, z);
    field.list_star(u, v, z);
  }
  auto& pix = field.te().pixv_n;
  for (long k = 0; k < static_cast<long>(pix.size()); ++k) pix.data()[k] += noise(gen);
  for (auto _ : state) {
    zeb::meth2_xyz_tile(ls, field.local(), field.ln(), field.te(), field.psfs(), mode);
    zeb::find_avg_z2(ls, ns, field.te().fff_n, field.ln(), field.local(), mode);
    benchmark::DoNotOptimize(field.local().z2_lf(1, 1));
  }
  state.counters["time_per_star_exposure"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * ls * ns, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Meth2Tile)->Args({2, 500})->Args({3, 500})->Args({2, 2000})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
