// Source finding on one realistic tile: 12 exposures of 301 x 301 raw pixels,
// one raw pixel per reference pixel (two tile-grid steps), each shifted by a
// fraction of a pixel, with sky noise and 300 stars of fluxes from 100 to
// 100000 spread over the tile; the local list starts empty.
//
// Reported: time per find_tile call for iteration 1 (HMIN 5), iteration 4
// (HMIN 2, the last with Q) and iteration 8 (HMIN 99), and the counter
// "sources" (new sources of one call); the third argument 1 adds the joint
// criterion (JSIG 5), whose map over all 12 exposures is the difference
// between {12, 1, 1} and {12, 1, 0}. BM_FindTileFreshWorkspace is the same
// call with its working maps allocated anew each time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>

#include "find/find_test_util.h"
#include "find/find_tile.h"
#include "tile/tile_geometry.h"

namespace {

using namespace zeb;
using namespace zeb::test;

constexpr int kStars = 300;

std::unique_ptr<TestTile> realistic_tile(int ns) {
  auto t = std::make_unique<TestTile>(ns);
  std::mt19937 rng(11);
  std::normal_distribution<float> noise(0.0f, 5.0f);
  std::uniform_real_distribution<float> shift(-1.0f, 1.0f), grid(-10.0f, 312.0f), mag(2.0f, 5.0f);
  for (int n = 1; n <= ns; ++n) {
    linear_tables(t->te, n, 2.0f, shift(rng), shift(rng));
    for (int y = 1; y <= TILE_GRID; ++y)
      for (int x = 1; x <= TILE_GRID; ++x) {
        t->te.pixd_n(x, y, n) = noise(rng);
        t->te.pixe_n(x, y, n) = 5.0f;
      }
  }
  for (int k = 0; k < kStars; ++k) {
    const float u = grid(rng), v = grid(rng), flux = std::pow(10.0f, mag(rng));
    for (int n = 1; n <= ns; ++n) {
      // Raster position of tile-grid point (u, v) through the exposure's own
      // (linear) tables.
      const TabView xtab = tab_of(t->te.xtab_n, n), ytab = tab_of(t->te.ytab_n, n);
      const float x = xt_tuv(u, v, xtab, ytab), y = yt_tuv(u, v, xtab, ytab);
      t->add_star(n, x, y, flux);
    }
  }
  return t;
}

void BM_FindTile(benchmark::State& state) {
  const int ns = static_cast<int>(state.range(0));
  const int nit = static_cast<int>(state.range(1));
  auto t = realistic_tile(ns);
  if (state.range(2) != 0) t->settings.jsig_nit(nit) = 5.0f;
  FindWorkspace workspace;  // kept between calls, as the tile loop keeps it
  int found = 0;
  for (auto _ : state) {
    t->ls = 0;
    found = find_tile(nit, t->settings, {}, t->te, t->psf_n, *t->local, t->ls, t->maps, workspace);
    benchmark::DoNotOptimize(t->maps.stacky_t.data());
  }
  state.counters["sources"] = found;
}
BENCHMARK(BM_FindTile)
    ->Args({12, 1, 0})
    ->Args({12, 1, 1})
    ->Args({12, 4, 0})
    ->Args({12, 8, 0})
    ->Args({1, 1, 0})
    ->Unit(benchmark::kMillisecond);

void BM_FindTileFreshWorkspace(benchmark::State& state) {
  auto t = realistic_tile(12);
  for (auto _ : state) {
    t->ls = 0;
    benchmark::DoNotOptimize(t->find(1));
  }
}
BENCHMARK(BM_FindTileFreshWorkspace)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
