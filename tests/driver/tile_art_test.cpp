// The tile's artificial-star list, its "LOGL.LOCAL_ART" record and the search
// window around an injected star.
#include "driver/tile_art.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/test_support.h"

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

TEST(TileArt, LocalArtFileHoldsOneLinePerStar) {
  test::TempDir dir;
  TileArtStar a, b;
  a.id = 1;
  b.id = 7;
  b.z = {10.0, 20.0};
  write_local_art({a, b}, 2, "LOGL.LOCAL_ART");
  EXPECT_EQ(test::read_file("LOGL.LOCAL_ART"),
            " 001 0000001         0.00000      0.00000            0.00000         0.00000\n"
            " 002 0000007         0.00000      0.00000           10.00000        20.00000\n");
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
