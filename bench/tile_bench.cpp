// Preparing one tile: every overlapping exposure's raster read, calibrated,
// blanked and masked (init_tile_a + init_tile_b), with 50 bright stars near
// the tile. The exposures are synthetic WFC3/IR calibrated files of 1014 x
// 1014 pixels written once into a temporary directory; the tile centre falls
// on a slightly different raw pixel in each.
//
// Reported: time per prepared tile and, as the counter "per_exposure", the
// time per exposure. BM_MaskTemplates shows what a template set costs when it
// is built (the run builds one per camera and keeps it).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "tile/fits_builder.h"
#include "tile/init_tile.h"
#include "tile/tile_geometry.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using namespace zeb::test;

constexpr int kUref = 436, kVref = 316;
constexpr int kSide = 1014;

struct Field {
  std::filesystem::path dir;
  ImageSlots slots;
  BrightStars bright;

  explicit Field(int exposures) {
    dir = std::filesystem::temp_directory_path() / ("zeb_tile_bench_" + std::to_string(exposures));
    std::filesystem::create_directories(dir);
    slots = make_slots(exposures);
    std::mt19937 rng(7);
    std::normal_distribution<float> sky(100.0f, 5.0f);
    const std::size_t n = static_cast<std::size_t>(kSide) * kSide;
    std::vector<float> sci(n), err(n, 10.0f);
    std::vector<std::int16_t> dq(n, 0);
    for (auto& v : sci) v = sky(rng);
    for (int k = 0; k < 97; ++k) dq[static_cast<std::size_t>(k) * 10007 % n] = 256;
    for (int g = 1; g <= exposures; ++g) {
      const std::string name = (dir / ("ir" + std::to_string(g) + "_flt.fits")).string();
      if (!std::filesystem::exists(name)) write_bytes(name, ir_file(kSide, kSide, sci, err, dq));
      place_slot(slots, g, 9, kUref, kVref, 480.3 + 3.7 * g, 520.6 - 2.9 * g, name, 1 + g % 2);
    }
    std::uniform_real_distribution<double> pos(-300.0, 300.0);
    std::uniform_real_distribution<float> flux(1.0e4f, 1.0e6f);
    for (int b = 1; b <= 50; ++b) {
      bright.uref_b(b) = kUref + pos(rng);
      bright.vref_b(b) = kVref + pos(rng);
      bright.zref_bf(b, 1) = flux(rng);
      bright.zref_bf(b, 2) = flux(rng);
    }
    bright.bs = 50;
  }
  ~Field() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void BM_PrepareTile(benchmark::State& state) {
  const int exposures = static_cast<int>(state.range(0));
  Field field(exposures);
  Settings settings;
  for (auto _ : state) {
    TileExposures te;
    init_tile_a(4, 3, kUref, kVref, field.slots, te, false);
    te.allocate_rasters(te.ns);
    LocalBrightStars local;
    init_tile_b(4, 3, kUref, kVref, te, field.bright, local, settings);
    benchmark::DoNotOptimize(te.pixm_n.data());
    if (te.ns != exposures || local.bbs != 50) state.SkipWithError("unexpected tile");
  }
  state.counters["per_exposure"] =
      benchmark::Counter(static_cast<double>(exposures), benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_PrepareTile)->Arg(1)->Arg(12)->Unit(benchmark::kMillisecond);

void BM_MaskTemplates(benchmark::State& state) {
  for (auto _ : state) {
    clear_mask_template_cache();
    benchmark::DoNotOptimize(mask_templates(9, 48.1f, -48.1f).get());
  }
}
BENCHMARK(BM_MaskTemplates)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
