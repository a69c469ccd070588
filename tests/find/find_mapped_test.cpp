// find_tile on exposures mapped by init_tile_a: three WFC3/IR exposures whose
// rasters reach the tile through the camera's distortion solution and the
// slot's transformation (one raw pixel per reference pixel, so two tile-grid
// steps per raster pixel), each centred on a different raw pixel.
#include <gtest/gtest.h>

#include <cmath>

#include "find/find_test_util.h"
#include "find/find_tile.h"
#include "tile/tile_geometry.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using namespace zeb::test;

constexpr int kUref = 436, kVref = 316;  // tile (4, 3)

TEST(FindTileMapped, StarsLandAtTheirTileGridPositionsThroughTheTables) {
  ImageSlots slots = make_slots(3);
  place_slot(slots, 1, 9, kUref, kVref, 480.3, 520.6, "a_flt.fits");
  place_slot(slots, 2, 9, kUref, kVref, 300.8, 700.2, "b_flt.fits");
  place_slot(slots, 3, 9, kUref, kVref, 650.5, 410.9, "c_flt.fits");
  TestTile t(3);
  init_tile_a(4, 3, kUref, kVref, slots, t.te, false);
  ASSERT_EQ(t.te.ns, 3);
  for (int n = 1; n <= 3; ++n)
    for (int y = 1; y <= TILE_GRID; ++y)
      for (int x = 1; x <= TILE_GRID; ++x) t.te.pixe_n(x, y, n) = 1.0f;
  // Stars given on the tile grid, put into each raster where its tables say.
  const float stars[][2] = {{157.6f, 135.2f}, {60.3f, 240.9f}, {250.2f, 61.7f}};
  for (const auto& s : stars)
    for (int n = 1; n <= 3; ++n) {
      const TabView xtab = tab_of(t.te.xtab_n, n), ytab = tab_of(t.te.ytab_n, n);
      t.add_star(n, xt_tuv(s[0], s[1], xtab, ytab), yt_tuv(s[0], s[1], xtab, ytab), 3000.0f);
    }
  // Found by Q at the refined positions: within a quarter of a raster pixel
  // (half a grid step) of the truth.
  t.settings.pmin_nit(1) = 99;
  t.settings.dmin_nit(1) = 99;
  EXPECT_EQ(t.find(1), 3);
  for (const auto& s : stars) {
    int hit = 0;
    for (int l = 1; l <= t.ls; ++l)
      if (std::hypot(t.local->u0_l(l) - s[0], t.local->v0_l(l) - s[1]) < 0.5f) hit = l;
    EXPECT_NE(hit, 0) << s[0] << " " << s[1];
    if (hit) {
      EXPECT_EQ(t.local->y0_l(hit), FOUND_BY_Q);
      EXPECT_EQ(t.local->cfnd_l(hit), 3);
    }
  }
  // The tile lies inside all three rasters: covered by all three, apart from
  // its very edge.
  EXPECT_EQ(t.maps.stackc_t(151, 151), 3);
  EXPECT_EQ(t.maps.stackc_t(20, 280), 3);
}

}  // namespace
