// The tile loop's own decisions: the tile range, which tiles are skipped, and
// the lines it prints. (A mode-A run skipping the tiles without artificial
// stars is an end-to-end run on the demo field.)
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "driver/tile_loop.h"
#include "support/test_support.h"

using namespace zeb::test;

namespace {

struct EmptyRun {
  zeb::RunState run;
  zeb::SpatialHash hash_000, hash_art;
  zeb::test::TempDir dir;  // the run's logs are written here
  EmptyRun() {
    run.master.allocate(2);
    run.art.allocate(2);
    run.slots.allocate(zeb::GDIM, zeb::CDIM);
    run.filters.allocate(2);
    run.settings.cmode = 'R';
  }
  Captured loop() {
    return capture([&] {
      zeb::CatalogueLogs logs(run.settings);
      zeb::run_tile_loop(run, hash_000, hash_art, logs);
    });
  }
};

}  // namespace

TEST(TileRange, UnsetRangeCoversTenByTenTiles) {
  zeb::Settings s;
  zeb::TileRange r{};
  Captured c = capture([&] { r = zeb::tile_range(s); });
  EXPECT_EQ(r.itmin, 1);
  EXPECT_EQ(r.itmax, 10);
  EXPECT_EQ(r.jtmin, 1);
  EXPECT_EQ(r.jtmax, 10);
  std::vector<std::string> want = {"DETERMINE TILES ON THE FLY...  ",
                                   "----->  _PXDIMX1_:  1200",
                                   "----->  _PXDIMY1_:  1200",
                                   "",
                                   "TILES TO TO GO THROUGH...  ",
                                   "-----> IT:    1  10",
                                   "-----> JT:    1  10",
                                   "",
                                   "",
                                   "START THE ITERATIONS...",
                                   ""};
  EXPECT_EQ(split_lines(c.out), want);
}

TEST(TileSkips, WindowMeetsTheInnerRegion) {
  zeb::Settings s;
  s.umin = 0;
  s.umax = 1200;
  s.vmin = 0;
  s.vmax = 1200;
  EXPECT_TRUE(zeb::tile_in_window(s, 76, 76));
  // Tile 11 (UREF_T 1276): its inner region starts at 1216, beyond U MAX.
  EXPECT_FALSE(zeb::tile_in_window(s, 1276, 76));
  s.umax = 1216;  // U MAX >= UREF_T - 60 holds with equality
  EXPECT_TRUE(zeb::tile_in_window(s, 1276, 76));
  s.vmin = 137;  // V MIN <= VREF_T + 60 fails by one
  EXPECT_FALSE(zeb::tile_in_window(s, 76, 76));
}

TEST(TileLoop, TilesWithoutExposuresAreSkippedAfterTheirFirstProgressLine) {
  EmptyRun r;
  r.run.settings.ijtminmaxu = {1, 2, 3, 3};
  Captured c = r.loop();
  ASSERT_FALSE(c.stopped) << c.out;
  std::vector<std::string> want = {" IT001 JT003      0076  0316     NIT0", " IT002 JT003      0196  0316     NIT0"};
  EXPECT_EQ(lines_starting(c.out, " IT"), want);
  EXPECT_EQ(zeb::test::read_file(r.dir.file("LOGK.SETUP")), "");
  auto banner = lines_starting(c.out, "*****  VREF_T");
  ASSERT_EQ(banner.size(), 1u);
  EXPECT_EQ(banner[0], "*****  VREF_T =    316   *****");
  EXPECT_EQ(lines_starting(c.out, " exit IT loop...").size(), 1u);
}
