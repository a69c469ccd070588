// Mosaic writing: creation of a 2400 x 2400 j2 mosaic and 16 strip writes of
// 2400 x 301, against a plain sequential write of the same number of bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/array.h"
#include "imageio/fits.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSide = 2400;
constexpr int kStripRows = 301;
constexpr int kStrips = 16;

// A scratch directory for the benchmark's files, removed at the end.
class Scratch {
 public:
  Scratch() : dir_(fs::temp_directory_path() / ("zeb_bench_fits_" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

 private:
  fs::path dir_;
};

zeb::Array2<std::int16_t> make_strip() {
  zeb::Array2<std::int16_t> a(kSide, kStripRows);
  for (int j = 1; j <= kStripRows; ++j)
    for (int i = 1; i <= kSide; ++i) a(i, j) = static_cast<std::int16_t>((i + 7 * j) % 2000 - 32000);
  return a;
}

// Row where strip s starts: 16 strips spread over the 2400 rows (they overlap,
// as the tile rows' strips of a run overlap their neighbours' margins).
int strip_start(int s) { return 1 + s * (kSide - kStripRows) / (kStrips - 1); }

void BM_J2MosaicCreate(benchmark::State& state) {
  Scratch scratch;
  std::string name = scratch.file("mosaic.fits");
  for (auto _ : state) zeb::writfits_j2_init(name, kSide, kSide, 1.0f, 2.0f);
  state.SetBytesProcessed(state.iterations() * int64_t{kSide} * kSide * 2);
}
BENCHMARK(BM_J2MosaicCreate)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_J2MosaicStrips(benchmark::State& state) {
  Scratch scratch;
  std::string name = scratch.file("mosaic.fits");
  zeb::writfits_j2_init(name, kSide, kSide, 1.0f, 2.0f);
  zeb::Array2<std::int16_t> strip = make_strip();
  long records = 0;
  for (auto _ : state) {
    for (int s = 0; s < kStrips; ++s)
      records += zeb::writfits_j2_rastx(name, strip.view(), 1, strip_start(s), 1, kSide, 1, kStripRows, kSide,
                                        kStripRows, kSide, kSide);
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kStrips} * kSide * kStripRows * 2);
  state.counters["records_per_pass"] = static_cast<double>(records) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_J2MosaicStrips)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reference: the same bytes as the strip writes, read and written back in
// place sequentially in 1 MB blocks.
void BM_SequentialReadWriteReference(benchmark::State& state) {
  Scratch scratch;
  std::string name = scratch.file("mosaic.fits");
  zeb::writfits_j2_init(name, kSide, kSide, 1.0f, 2.0f);
  const std::size_t total = std::size_t{kStrips} * kSide * kStripRows * 2;
  const std::size_t file_bytes = std::size_t{kSide} * kSide * 2;
  std::vector<unsigned char> block(1 << 20);
  int fd = ::open(name.c_str(), O_RDWR);
  for (auto _ : state) {
    for (std::size_t done = 0; done < total; done += block.size()) {
      std::size_t n = std::min(block.size(), total - done);
      off_t at = static_cast<off_t>(2880 + done % (file_bytes - n));
      if (::pread(fd, block.data(), n, at) < 0 || ::pwrite(fd, block.data(), n, at) < 0) state.SkipWithError("I/O");
    }
  }
  ::close(fd);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(total));
}
BENCHMARK(BM_SequentialReadWriteReference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
