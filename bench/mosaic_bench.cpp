// Mosaic strips of one row of tiles on a 10 x 10-tile field (both samplings,
// two filter slots): pasting the ten tiles' stacks, and writing the strips into
// the 26 mosaic files at the end of the row.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/array.h"
#include "output/mosaic.h"

namespace {

namespace fs = std::filesystem;

// A scratch working directory (the mosaics are named relative to it), removed
// at the end.
class Scratch {
 public:
  Scratch() : old_(fs::current_path()), dir_(fs::temp_directory_path() / ("zeb_bench_mosaic_" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::current_path(old_, ec);
    fs::remove_all(dir_, ec);
  }

 private:
  fs::path old_, dir_;
};

struct TileImages {
  zeb::Array2<float> v{301, 301}, s{301, 301}, m{301, 301};
  zeb::Array2<std::int16_t> n{301, 301};
  zeb::Array2<std::uint8_t> mask{301, 301};
  TileImages() {
    for (int j = 1; j <= 301; ++j) {
      for (int i = 1; i <= 301; ++i) {
        v(i, j) = 100.0f + static_cast<float>((i * 7 + j * 3) % 50);
        s(i, j) = static_cast<float>((i + j) % 11) - 5.0f;
        m(i, j) = 1.0f;
        n(i, j) = 3;
        mask(i, j) = i >= 17 && i <= 285 && j >= 17 && j <= 285;
      }
    }
  }
};

zeb::Mosaics make_mosaics() {
  zeb::Settings st;
  st.cmode = 'R';
  zeb::FilterSlots filters;
  filters.allocate(2);
  filters.fs = 2;
  return zeb::init_mosaics(st, filters);
}

void paste_row(zeb::Mosaics& m, const TileImages& t) {
  const zeb::TileFilterStacks f{t.v.view(), t.s.view(), t.m.view(), t.n.view()};
  const std::array<zeb::TileFilterStacks, 2> stacks{f, f};
  for (int it = 1; it <= 10; ++it) zeb::paste_tile_stacks(m, stacks, nullptr, t.mask.view(), (it - 1) * 120 + 76, false);
}

void BM_PasteRowOfTenTiles(benchmark::State& state) {
  Scratch scratch;
  zeb::Mosaics m = make_mosaics();
  TileImages t;
  for (auto _ : state) {
    zeb::init_strips(m);
    paste_row(m, t);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PasteRowOfTenTiles)->Unit(benchmark::kMillisecond);

void BM_WriteRowOfStrips(benchmark::State& state) {
  Scratch scratch;
  zeb::Mosaics m = make_mosaics();
  TileImages t;
  zeb::init_strips(m);
  paste_row(m, t);
  m.row_has_data = true;
  for (auto _ : state) zeb::write_strips(m, 5 * 120 - 44, false);  // JT = 5
}
BENCHMARK(BM_WriteRowOfStrips)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
