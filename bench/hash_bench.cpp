// Spatial hash of a full starting list (199999 stars) and the loading of the
// local lists of all 100 tiles of a 10 x 10 frame through it.
//
// The stars are spread uniformly over 1320 x 1320 reference pixels (the 10 x 10
// frame and the margin its edge tiles load from), which puts about 2600 stars
// in each full tile, within the local list's 2999.
#include <benchmark/benchmark.h>

#include <iostream>
#include <random>
#include <streambuf>

#include "driver/master_hash.h"

namespace {

using namespace zeb;

// Swallows the progress lines push_hash writes.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct QuietOutput {
  NullBuffer sink;
  std::streambuf* old = std::cout.rdbuf(&sink);
  ~QuietOutput() { std::cout.rdbuf(old); }
};

const MasterList& full_master() {
  static const MasterList master = [] {
    MasterList m;
    m.allocate(FDIM);
    std::mt19937_64 rng(20240601);
    std::uniform_real_distribution<double> pos(0.0, 1320.0);
    for (int n = 1; n <= NSTMAX; ++n) {
      m.umast0(n) = pos(rng);
      m.vmast0(n) = pos(rng);
      m.zmast0(n, 1) = 100.0f;
      m.zmast0(n, 2) = 200.0f;
    }
    m.nmasti = m.nmasts = NSTMAX;
    return m;
  }();
  return master;
}

void BM_PushHash(benchmark::State& state) {
  const MasterList& m = full_master();
  QuietOutput quiet;
  SpatialHash hash;
  for (auto _ : state) {
    init_hash(hash);
    push_hash(hash, 0, m.nmasti, m.umast0, m.vmast0);
    benchmark::DoNotOptimize(hash.nash.data());
  }
  state.SetItemsProcessed(state.iterations() * m.nmasti);
  state.counters["hash_bytes"] = static_cast<double>(hash.storage_bytes());
  state.counters["bytes_per_star"] =
      static_cast<double>(hash.storage_bytes() - HASHDM * HASHDM * (sizeof(short) + sizeof(std::vector<int>))) /
      m.nmasti;
}
BENCHMARK(BM_PushHash)->Unit(benchmark::kMillisecond);

void BM_LoadAllTiles(benchmark::State& state) {
  const MasterList& m = full_master();
  SpatialHash hash;
  {
    QuietOutput quiet;
    push_hash(hash, 0, m.nmasti, m.umast0, m.vmast0);
  }
  LocalList local;
  long loaded = 0;
  for (auto _ : state) {
    loaded = 0;
    for (int jt = 1; jt <= 10; ++jt)
      for (int it = 1; it <= 10; ++it) loaded += load_local_list(tile_limits(it, jt), hash, m, local, false);
    benchmark::DoNotOptimize(local.u0_l.data());
  }
  state.SetItemsProcessed(state.iterations() * 100);
  state.counters["stars_loaded"] = static_cast<double>(loaded);
  state.counters["hash_bytes"] = static_cast<double>(hash.storage_bytes());
}
BENCHMARK(BM_LoadAllTiles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
