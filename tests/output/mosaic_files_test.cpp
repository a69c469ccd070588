// Mosaic files end to end at the routine level: created at start-up, strips
// reset per row, hand-built tile stacks pasted and written, then read back
// with astropy and compared pixel by pixel (j2 values through BSCALE/BZERO).
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "measure/tile_stacks.h"
#include "output/mosaic.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::capture;
using test::Captured;
using test::read_file;
using test::TempDir;
using test::write_file;

// Constant stacks of one filter slot.
struct FlatStacks {
  Array2<float> v{301, 301}, s{301, 301}, m{301, 301};
  Array2<std::int16_t> n{301, 301};
  FlatStacks(float vv, float ss, float mm, std::int16_t nn) {
    v.fill(vv);
    s.fill(ss);
    m.fill(mm);
    n.fill(nn);
  }
  TileFilterStacks views() const { return {v.view(), s.view(), m.view(), n.view()}; }
};

struct FlatMaps {
  Array2<std::int16_t> p{301, 301}, q{301, 301}, d{301, 301}, c{301, 301}, y{301, 301};
  FlatMaps() {
    p.fill(7);
    q.fill(8);
    d.fill(9);
    c.fill(10);
    y.fill(1);
  }
  TileFindingMaps views() const { return {p.view(), q.view(), d.view(), c.view(), y.view()}; }
};

struct RunSwitches {
  Settings st;
  FilterSlots filters;
  RunSwitches(char mode, int x1, int x2) {
    st.cmode = mode;
    st.mosaic_x1 = x1;
    st.mosaic_x2 = x2;
    filters.allocate(2);
    filters.fs = 2;
    filters.scl_f(1) = 2.0f;  // BSCALE 0.5, BZERO 16000
    filters.scl_f(2) = 0.5f;  // BSCALE 2, BZERO 64000
  }
};

// Pastes a tile with filter-1 values v1 at tile column uref_t.
void paste(Mosaics& m, int uref_t, float v1, bool verbose = false) {
  FlatStacks f1(v1, -3.5f, 1.0f, 3), f2(50.0f, 8.0f, 0.0f, 2);
  FlatMaps maps;
  Array2<std::uint8_t> mask(301, 301);
  init_stacku(mask);
  const std::array<TileFilterStacks, 2> stacks{f1.views(), f2.views()};
  const TileFindingMaps mv = maps.views();
  paste_tile_stacks(m, stacks, &mv, mask.view(), uref_t, verbose);
}

// Reads pixels (file, column, row) with astropy; one line per query, the value
// in %g, or "shape" queries giving BITPIX and the array shape.
std::vector<std::string> astropy_values(const std::string& queries) {
  write_file("queries.txt", queries);
  write_file("check.py",
             "import warnings\n"
             "warnings.simplefilter('ignore')\n"
             "from astropy.io import fits\n"
             "cache = {}\n"
             "for line in open('queries.txt'):\n"
             "    q = line.split()\n"
             "    if q[1] == 'shape':\n"
             "        with fits.open(q[0]) as f:\n"
             "            print(f[0].header['BITPIX'], f[0].shape[1], f[0].shape[0])\n"
             "        continue\n"
             "    if q[0] not in cache:\n"
             "        with fits.open(q[0]) as f:\n"
             "            cache[q[0]] = f[0].data\n"
             "    print('%g' % cache[q[0]][int(q[2]) - 1, int(q[1]) - 1])\n");
  EXPECT_EQ(std::system("/usr/bin/python3 check.py > out.txt 2>&1"), 0) << read_file("out.txt");
  return test::read_lines("out.txt");
}

struct Pixel {
  std::string file;
  int col, row;
  std::string want;
};

void expect_pixels(const std::vector<Pixel>& pixels) {
  std::string q;
  for (const Pixel& p : pixels) q += p.file + ' ' + std::to_string(p.col) + ' ' + std::to_string(p.row) + '\n';
  const std::vector<std::string> got = astropy_values(q);
  ASSERT_EQ(got.size(), pixels.size());
  for (std::size_t k = 0; k < pixels.size(); ++k)
    EXPECT_EQ(got[k], pixels[k].want) << pixels[k].file << " (" << pixels[k].col << ", " << pixels[k].row << ")";
}

TEST(MosaicFiles, StartUpCreatesEveryFileBlankAtFullSize) {
  TempDir dir;
  RunSwitches r('R', 1, 1);
  Mosaics m;
  Captured c = capture([&] { m = init_mosaics(r.st, r.filters); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(c.out,
            "ALLOCATE MOSAIC STRIP-STACKS...  \nALLOCATE MOSAIC STRIP-STACKS...  \n"
            "INITIALIZE X1 MOSAICS...  \nINITIALIZE X2 MOSAICS...  \n");
  ASSERT_TRUE(m.x1 && m.x2);
  std::string q;
  for (const char* x : {"X1", "X2"}) {
    for (const char* s : {"V1", "S1", "M1", "N1", "V2", "S2", "M2", "N2", "P0", "Q0", "D0", "C0", "Y0"})
      q += std::string("LOGR.STACK_") + x + '_' + s + ".fits shape\n";
  }
  const std::vector<std::string> got = astropy_values(q);
  ASSERT_EQ(got.size(), 26u);
  for (int z = 0; z < 2; ++z) {
    const std::string side = z == 0 ? "1200 1200" : "2400 2400";
    for (int k = 0; k < 13; ++k) {
      const bool j2 = k < 8 && k % 4 != 3;
      EXPECT_EQ(got[static_cast<std::size_t>(13 * z + k)], (j2 ? "16 " : "8 ") + side) << z << ' ' << k;
    }
  }
  // Blank: -25/s in the j2 files, 255 in the byte files.
  expect_pixels({{"LOGR.STACK_X1_V1.fits", 1, 1, "-12.5"},
                 {"LOGR.STACK_X1_V2.fits", 1200, 1200, "-50"},
                 {"LOGR.STACK_X2_S1.fits", 2400, 1, "-12.5"},
                 {"LOGR.STACK_X2_N2.fits", 7, 9, "255"},
                 {"LOGR.STACK_X1_Y0.fits", 600, 600, "255"}});
}

TEST(MosaicFiles, PastedRowsReadBackValueByValue) {
  TempDir dir;
  RunSwitches r('R', 1, 1);
  Mosaics m;
  Captured c = capture([&] {
    m = init_mosaics(r.st, r.filters);
    // Row JT = 1 (VREF_T 76): tiles IT = 1 and IT = 10 (the last column).
    init_strips(m);
    m.row_has_data = true;
    paste(m, 76, 100.0f, true);
    paste(m, 1156, 200.0f);
    write_strips(m, 76, true);
    // Row JT = 5 had no tile with data: nothing is written.
    init_strips(m);
    write_strips(m, 556, false);
    // Row JT = 10 (VREF_T 1156), the last row: only rows up to 1200 exist.
    init_strips(m);
    m.row_has_data = true;
    paste(m, 76, 300.0f);
    write_strips(m, 1156, false);
  });
  ASSERT_FALSE(c.stopped) << c.out;
  const std::string reset = "INITIALIZE THE STRIP...  \nINITIALIZE THE STRIP...  DONE\n";
  EXPECT_EQ(c.out, "ALLOCATE MOSAIC STRIP-STACKS...  \nALLOCATE MOSAIC STRIP-STACKS...  \n"
                   "INITIALIZE X1 MOSAICS...  \nINITIALIZE X2 MOSAICS...  \n" +
                       reset + reset +
                       " ZEB: MOSAIC_X1...\n    : MOSAIC_X1...\n    : MOSAIC_X2...\n"
                       " call rastX...\n ret. rastX...\n" +
                       reset + reset + reset + reset);
  const std::string v1 = "LOGR.STACK_X1_V1.fits", y = "LOGR.STACK_X1_Y0.fits";
  expect_pixels({
      // X1, tile (1, 1): columns and rows 16..136.
      {v1, 16, 16, "100"},
      {v1, 136, 136, "100"},
      {v1, 76, 76, "100"},
      {v1, 15, 16, "-12.5"},   // strip fill (-25 / 2)
      {v1, 137, 60, "-12.5"},  // strip fill between the tiles
      {"LOGR.STACK_X1_S1.fits", 16, 16, "-3.5"},
      {"LOGR.STACK_X1_M1.fits", 16, 16, "1"},
      {"LOGR.STACK_X1_N1.fits", 16, 16, "3"},
      {"LOGR.STACK_X1_N1.fits", 500, 50, "255"},  // count fill -1
      {"LOGR.STACK_X1_V2.fits", 100, 100, "50"},
      {"LOGR.STACK_X1_S2.fits", 100, 100, "8"},
      {"LOGR.STACK_X1_M2.fits", 100, 100, "0"},
      {"LOGR.STACK_X1_N2.fits", 100, 100, "2"},
      {"LOGR.STACK_X1_P0.fits", 16, 16, "7"},
      {"LOGR.STACK_X1_Q0.fits", 16, 16, "8"},
      {"LOGR.STACK_X1_D0.fits", 16, 16, "9"},
      {"LOGR.STACK_X1_C0.fits", 16, 16, "10"},
      {"LOGR.STACK_X1_P0.fits", 500, 16, "255"},
      // Tile (10, 1): columns 1096..1200.
      {v1, 1095, 80, "-12.5"},
      {v1, 1096, 80, "200"},
      {v1, 1200, 136, "200"},
      // The Y map tells the written rows apart: 0 where the strip kept its
      // fill, 255 where the file kept its creation value.
      {y, 50, 15, "255"},
      {y, 50, 16, "1"},
      {y, 500, 16, "0"},
      {y, 50, 136, "1"},
      {y, 50, 137, "255"},
      {y, 500, 500, "255"},  // row of tiles without data
      // Row JT = 10: rows 1096..1200.
      {v1, 16, 1095, "-12.5"},
      {v1, 16, 1096, "300"},
      {v1, 136, 1200, "300"},
      {y, 16, 1095, "255"},
      {y, 16, 1096, "1"},
      {y, 500, 1200, "0"},
      // X2: column 2u, row 2v; tile (1, 1) covers 32..272, tile (10, 1)
      // columns 2192..2400, row JT = 10 rows 2192..2400.
      {"LOGR.STACK_X2_V1.fits", 152, 152, "100"},
      {"LOGR.STACK_X2_V1.fits", 32, 32, "100"},
      {"LOGR.STACK_X2_V1.fits", 31, 32, "-12.5"},
      {"LOGR.STACK_X2_V1.fits", 272, 272, "100"},
      {"LOGR.STACK_X2_V1.fits", 2191, 100, "-12.5"},
      {"LOGR.STACK_X2_V1.fits", 2192, 100, "200"},
      {"LOGR.STACK_X2_V1.fits", 2400, 272, "200"},
      {"LOGR.STACK_X2_V1.fits", 32, 2192, "300"},
      {"LOGR.STACK_X2_V1.fits", 272, 2400, "300"},
      {"LOGR.STACK_X2_S2.fits", 100, 100, "8"},
      {"LOGR.STACK_X2_N1.fits", 100, 100, "3"},
      {"LOGR.STACK_X2_Y0.fits", 100, 31, "255"},
      {"LOGR.STACK_X2_Y0.fits", 100, 32, "1"},
      {"LOGR.STACK_X2_Y0.fits", 1000, 32, "0"},
      {"LOGR.STACK_X2_Y0.fits", 100, 273, "255"},
      {"LOGR.STACK_X2_Y0.fits", 32, 2191, "255"},
  });
}

TEST(MosaicFiles, ModeAAndSwitchedOffMosaicsCreateNothing) {
  for (const auto& [mode, x1, x2] : {std::tuple{'A', 1, 1}, std::tuple{'R', 0, 0}, std::tuple{'C', 0, 0}}) {
    TempDir dir;
    RunSwitches r(mode, x1, x2);
    Mosaics m;
    Captured c = capture([&] {
      m = init_mosaics(r.st, r.filters);
      init_strips(m);
      m.row_has_data = true;
      paste(m, 76, 1.0f, true);
      write_strips(m, 76, true);
    });
    ASSERT_FALSE(c.stopped) << c.out;
    EXPECT_FALSE(m.on()) << mode;
    EXPECT_EQ(c.out, "") << mode;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << mode;
  }
}

TEST(MosaicFiles, OneSamplingOnWritesOnlyItsFiles) {
  TempDir dir;
  RunSwitches r('D', 0, 1);
  Mosaics m;
  Captured c = capture([&] {
    m = init_mosaics(r.st, r.filters);
    init_strips(m);
    m.row_has_data = true;
    paste(m, 76, 1.0f, true);
    write_strips(m, 76, false);
  });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(c.out,
            "ALLOCATE MOSAIC STRIP-STACKS...  \nINITIALIZE X2 MOSAICS...  \n"
            "INITIALIZE THE STRIP...  \nINITIALIZE THE STRIP...  DONE\n    : MOSAIC_X2...\n");
  EXPECT_FALSE(std::filesystem::exists("LOGR.STACK_X1_V1.fits"));
  EXPECT_TRUE(std::filesystem::exists("LOGR.STACK_X2_Y0.fits"));
  EXPECT_EQ(m.x1, nullptr);
}

TEST(MosaicFiles, FileNamesFollowTheirFormats) {
  EXPECT_EQ(stack_file_name(1, 'V', 1), "LOGR.STACK_X1_V1.fits");
  EXPECT_EQ(stack_file_name(2, 'N', 2), "LOGR.STACK_X2_N2.fits");
  EXPECT_EQ(stack_file_name(1, 'S', 2), "LOGR.STACK_X1_S2.fits");
  EXPECT_EQ(map_file_name(2, 'C'), "LOGR.STACK_X2_C0.fits");
  EXPECT_EQ(map_file_name(1, 'Y'), "LOGR.STACK_X1_Y0.fits");
}

}  // namespace
}  // namespace zeb
