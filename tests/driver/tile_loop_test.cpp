// The tile loop's own decisions: the tile range, which tiles are skipped, the
// hash-grid stops, and the lines it prints.
//
// The measuring part of a tile pass that the driver decides itself: the
// finding-map peak of an injected star, the star that answers for it, and the
// guards of the finding iterations.
//
// The tile's artificial-star list, its "LOGL.LOCAL_ART" record and the search
// window around an injected star.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "driver/tile_art.h"
#include "driver/tile_iterations.h"
#include "driver/tile_loop.h"
#include "support/test_support.h"

using zeb::test::capture;
using zeb::test::Captured;
using zeb::test::split_lines;

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

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : split_lines(text))
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

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

TEST(TileLoop, ModeASkipsTilesWithoutArtificialStars) {
  EmptyRun r;
  r.run.settings.cmode = 'A';
  r.run.settings.ijtminmaxu = {1, 2, 1, 1};
  r.hash_art.members[zeb::SpatialHash::offset(2, 1)].push_back(1);
  r.hash_art.nash(2, 1) = 1;
  Captured c = r.loop();
  std::vector<std::string> want = {" IT002 JT001      0196  0076     NIT0"};
  EXPECT_EQ(lines_starting(c.out, " IT"), want);
}

using zeb::test::capture;

TEST(ArtPeak, BracketingPixelsWithTiesGoingToTheLaterPixelAndIteration) {
  zeb::FindingMaps maps;
  maps.stackp_t(10, 20) = 3;
  maps.stackp_t(11, 20) = 3;  // same P, later in i: wins
  maps.stackq_t(11, 20) = 7;
  maps.stackc_t(11, 20) = 5;
  maps.stackp_t(12, 20) = 9;  // outside the bracket of 10.6
  zeb::ArtPass p;
  p.ia = 10.6;  // pixels trunc(10.1) = 10 .. trunc(11.1) = 11
  p.ja = 20.4;  // 19 .. 20
  zeb::record_art_peak(maps, 2, p, false);
  EXPECT_EQ(p.peak_p, 3);
  EXPECT_EQ(p.peak_q, 7);
  EXPECT_EQ(p.peak_c, 5);
  EXPECT_EQ(p.peak_nit, 2);
  EXPECT_EQ(p.peak_i, 11);
  EXPECT_EQ(p.peak_j, 20);
  // A later iteration with an equal peak takes the record; a weaker one does not.
  zeb::record_art_peak(maps, 3, p, false);
  EXPECT_EQ(p.peak_nit, 3);
  maps.stackp_t(11, 20) = 1;
  maps.stackp_t(10, 20) = 1;
  zeb::record_art_peak(maps, 4, p, false);
  EXPECT_EQ(p.peak_nit, 3);
  EXPECT_EQ(p.peak_p, 3);
}

namespace {

zeb::Tile tile_with_stars(std::initializer_list<std::pair<double, double>> grid) {
  zeb::Tile t;
  t.limits = zeb::tile_limits(2, 3);  // UREF_T 196, VREF_T 316
  zeb::reset_local(*t.local);
  int k = 0;
  for (auto [u0, v0] : grid) {
    ++k;
    t.local->u0_l(k) = static_cast<float>(u0);
    t.local->v0_l(k) = static_cast<float>(v0);
    t.local->n0_l(k) = 100 + k;
    t.local->gg_l(k) = 1;
    t.local->z0_lf(k, 1) = 50.0f;
  }
  t.ls = k;
  t.pass.star.id = 77;
  t.pass.star.u = 200.0;  // grid 159
  t.pass.star.v = 320.0;  // grid 159
  return t;
}

}  // namespace

TEST(ReportedStar, NearestLocalStarWithinTheRadiusAnswers) {
  // Star 2 lies 4 grid steps (2 pixels) away, star 1 further, star 3 beyond 9.999.
  zeb::Tile t = tile_with_stars({{150.0, 159.0}, {163.0, 159.0}, {159.0, 179.0}});
  zeb::choose_reported_star(t);
  EXPECT_EQ(t.ls, 3);
  EXPECT_EQ(t.local->n0_l(2), 77);
  EXPECT_EQ(t.local->gg_l(2), 1);
  EXPECT_EQ(t.local->gg_l(1), 0);
  EXPECT_EQ(t.local->gg_l(3), 0);
  EXPECT_EQ(t.local->n0_l(1), 0);
}

namespace zeb {
namespace {

TEST(TileArt, ListFollowsTheHashCellOrder) {
  ArtificialStars art;
  art.allocate(FDIM);
  art.uart0(2) = 150.5;
  art.vart0(2) = 160.25;
  art.zart0(2, 1) = 1000.0;
  art.zart0(2, 2) = 2000.0;
  art.uart0(5) = 140.0;
  std::vector<TileArtStar> list = tile_art_list({5, 2}, art);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, 5);
  EXPECT_EQ(list[0].u, 140.0);
  EXPECT_EQ(list[1].id, 2);
  EXPECT_EQ(list[1].v, 160.25);
  EXPECT_EQ(list[1].z[1], 2000.0);
}

TEST(TileArt, LocalArtLine) {
  TileArtStar s;
  s.id = 42;
  s.u = 123.456789;
  s.v = 7.5;
  s.z = {1234.5, 0.03125};
  // 1x i3.3 1x i7.7 4x f12.5 1x f12.5 4x, then f15.5 1x per filter; the record
  // ends at the third flux, which has no value (a trailing 1x writes nothing).
  EXPECT_EQ(local_art_line(1, s, 2),
            " 001 0000042       123.45679      7.50000         1234.50000         0.03125");
  EXPECT_EQ(local_art_line(12, s, 1), " 012 0000042       123.45679      7.50000         1234.50000");
}

TEST(TileArt, WindowAroundTheInjectedStar) {
  SearchWindow w = art_window(60.7, 290.2);
  EXPECT_EQ(w.i1, 20);   // trunc(20.7)
  EXPECT_EQ(w.i2, 100);  // trunc(100.7)
  EXPECT_EQ(w.j1, 250);
  EXPECT_EQ(w.j2, 301);  // min(301, 330.2)
  w = art_window(10.5, 151.0);
  EXPECT_EQ(w.i1, 1);
  EXPECT_EQ(w.i2, 50);
  EXPECT_EQ(w.j1, 111);
  EXPECT_EQ(w.j2, 191);
  // A star outside the grid gives a window that holds nothing, without overflow.
  w = art_window(1.0e12, -1.0e12);
  EXPECT_GT(w.i1, w.i2);
  EXPECT_GT(w.j1, w.j2);
  EXPECT_DOUBLE_EQ(tile_grid_of(200.25, 196), 159.5);
}

}  // namespace
}  // namespace zeb
