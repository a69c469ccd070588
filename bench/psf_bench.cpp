// rpsf_phot, the innermost kernel: nanoseconds per call in each regime (beyond
// 12 pixels, bilinear 4..12, quadratic within 4), and over the 26 x 26 pixel
// window that modelling one star touches. Offsets are prepared beforehand so
// that only the evaluations are timed.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/array.h"
#include "psf/psf.h"

namespace {

zeb::LocalPsf gaussian_psf() {
  zeb::Array2<float> g(zeb::PSF_NPIX, zeb::PSF_NPIX);
  for (int b = 1; b <= zeb::PSF_NPIX; ++b)
    for (int a = 1; a <= zeb::PSF_NPIX; ++a) {
      const float dx = (a - 51) / 4.0f, dy = (b - 51) / 4.0f;
      g(a, b) = 0.1f * std::exp(-(dx * dx + dy * dy) / 2.0f);
    }
  return zeb::LocalPsf(zeb::View2<const float>(g.data(), g.nx(), g.ny()));
}

// 4096 offsets with radius in [r_lo, r_hi).
std::vector<float> offsets(float r_lo, float r_hi) {
  std::mt19937 gen(11);
  std::uniform_real_distribution<float> ur(r_lo, r_hi), ua(0.0f, 6.2831853f);
  std::vector<float> xy;
  for (int k = 0; k < 4096; ++k) {
    const float r = ur(gen), a = ua(gen);
    xy.push_back(r * std::cos(a));
    xy.push_back(r * std::sin(a));
  }
  return xy;
}

void run_regime(benchmark::State& state, float r_lo, float r_hi) {
  const zeb::LocalPsf psf = gaussian_psf();
  const std::vector<float> xy = offsets(r_lo, r_hi);
  const std::size_t n = xy.size() / 2;
  for (auto _ : state) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) sum += zeb::rpsf_phot(xy[2 * k], xy[2 * k + 1], psf);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<long long>(state.iterations()) * static_cast<long long>(n));
  state.counters["ns_per_call"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(n),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RpsfPhot_Beyond12(benchmark::State& s) { run_regime(s, 12.5f, 20.0f); }
void BM_RpsfPhot_Bilinear(benchmark::State& s) { run_regime(s, 4.05f, 12.0f); }
void BM_RpsfPhot_Quadratic(benchmark::State& s) { run_regime(s, 0.0f, 3.99f); }

// One star's model window: every pixel of 26 x 26 around a star at a
// sub-pixel position, as the model image is built.
void BM_RpsfPhot_StarWindow(benchmark::State& state) {
  const zeb::LocalPsf psf = gaussian_psf();
  const float x = 150.37f, y = 149.81f;
  const int i0 = static_cast<int>(x - 12), i1 = static_cast<int>(x + 13);
  const int j0 = static_cast<int>(y - 12), j1 = static_cast<int>(y + 13);
  long long calls = 0;
  for (auto _ : state) {
    float sum = 0.0f;
    for (int j = j0; j <= j1; ++j)
      for (int i = i0; i <= i1; ++i) sum += zeb::rpsf_phot(i - x, j - y, psf);
    benchmark::DoNotOptimize(sum);
    calls += static_cast<long long>(i1 - i0 + 1) * (j1 - j0 + 1);
  }
  state.counters["ns_per_call"] =
      benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Preparing a local PSF (copy and coefficients), once per exposure and tile.
void BM_LocalPsf_Assign(benchmark::State& state) {
  zeb::Array2<float> g(zeb::PSF_NPIX, zeb::PSF_NPIX, 0.01f);
  zeb::LocalPsf psf;
  for (auto _ : state) {
    psf.assign(zeb::View2<const float>(g.data(), g.nx(), g.ny()));
    benchmark::DoNotOptimize(psf.data());
  }
}

}  // namespace

BENCHMARK(BM_RpsfPhot_Beyond12);
BENCHMARK(BM_RpsfPhot_Bilinear);
BENCHMARK(BM_RpsfPhot_Quadratic);
BENCHMARK(BM_RpsfPhot_StarWindow);
BENCHMARK(BM_LocalPsf_Assign);
BENCHMARK_MAIN();
