// mod_tile, sub_tile and the working copies on hand-built rasters: a constant
// PSF makes every modelled pixel within 12 pixels of a star exactly z c.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "measure/tile_model.h"
#include "measure/tile_raster_util.h"

namespace zeb {
namespace {

using test::constant_psf;
using test::ShiftTables;

constexpr float kC = 0.0078125f;  // 2^-7: z kC is exact

// Pixel (i, j) of a star at whole raster pixel (x, y) with flux z.
float expected_pixel(int i, int j, int x, int y, float z) {
  const int d2 = (i - x) * (i - x) + (j - y) * (j - y);
  return d2 <= 144 ? z * kC : 0.0f;
}

struct Model {
  std::vector<float> u, v, z;
  Array2<float> image{TILE_GRID, TILE_GRID, -1.0f};  // mod_tile must clear it
  void star(float uu, float vv, float zz) {
    u.push_back(uu);
    v.push_back(vv);
    z.push_back(zz);
  }
  void build(const ShiftTables& t, int n = 1) {
    mod_tile(u, v, z, static_cast<int>(u.size()), tab_of(t.xtab_n, n), tab_of(t.ytab_n, n), constant_psf(kC),
             image.view());
  }
};

TEST(ModTile, StarAddsZTimesPsfWithinTwelvePixelsOfItsRasterPosition) {
  ShiftTables t(1);
  t.shift(1, 5.0f, -3.0f);  // grid (151, 141) is raster (156, 138)
  Model m;
  m.star(151.0f, 141.0f, 256.0f);
  m.build(t);
  int lit = 0;
  for (int j = 1; j <= TILE_GRID; ++j)
    for (int i = 1; i <= TILE_GRID; ++i) {
      ASSERT_EQ(m.image(i, j), expected_pixel(i, j, 156, 138, 256.0f)) << i << ' ' << j;
      lit += m.image(i, j) != 0.0f;
    }
  // Lattice points within 12 of a point: 1 + 4 (12 + sum_{a=1..12} floor(sqrt(144 - a^2))) = 1 + 4 (12 + 98) = 441.
  EXPECT_EQ(lit, 441);
}

TEST(ModTile, StarsAddUpAndUnusableFluxesAddNothing) {
  ShiftTables t(1);
  Model m;
  m.star(151.0f, 141.0f, 256.0f);
  m.star(161.0f, 141.0f, 128.0f);
  m.star(131.0f, 131.0f, -50.0f);
  m.star(121.0f, 121.0f, std::numeric_limits<float>::quiet_NaN());
  m.star(111.0f, 111.0f, std::numeric_limits<float>::infinity());
  m.build(t);
  for (int j = 100; j <= 200; ++j)
    for (int i = 100; i <= 200; ++i)
      ASSERT_EQ(m.image(i, j), expected_pixel(i, j, 151, 141, 256.0f) + expected_pixel(i, j, 161, 141, 128.0f))
          << i << ' ' << j;
}

TEST(ModTile, StarsAtAndBeyondTheRasterEdge) {
  ShiftTables t(1);
  Model m;
  m.star(1.0f, 301.0f, 256.0f);  // corner: its window is cut to the raster
  m.star(1.0e9f, 5.0f, 256.0f);  // far off: nothing, and no integer overflow
  m.star(std::numeric_limits<float>::quiet_NaN(), 5.0f, 256.0f);
  m.star(-12.5f, 151.0f, 256.0f);  // more than 12 pixels off: no pixel reached
  m.build(t);
  for (int j = 1; j <= TILE_GRID; ++j)
    for (int i = 1; i <= TILE_GRID; ++i)
      ASSERT_EQ(m.image(i, j), expected_pixel(i, j, 1, 301, 256.0f)) << i << ' ' << j;
}

TEST(ModTile, NoStarsGiveAnEmptyModel) {
  ShiftTables t(1);
  Model m;
  m.build(t);
  for (long k = 0; k < m.image.size(); ++k) ASSERT_EQ(m.image.data()[k], 0.0f);
}

TEST(SubTile, ResidualIsPixelMinusModelAndZeroWhereFlagged) {
  Array2<float> pix(TILE_GRID, TILE_GRID, 100.0f), model(TILE_GRID, TILE_GRID, 0.0f), res(TILE_GRID, TILE_GRID, 7.0f);
  Array2<std::uint8_t> mask(TILE_GRID, TILE_GRID, 0);
  model(10, 20) = 30.5f;
  model(11, 20) = 30.5f;
  mask(11, 20) = 1;
  mask(12, 20) = 3;  // any non-zero flag
  sub_tile(pix.view(), model.view(), res.view(), mask.view());
  EXPECT_EQ(res(10, 20), 69.5f);
  EXPECT_EQ(res(11, 20), 0.0f);
  EXPECT_EQ(res(12, 20), 0.0f);
  EXPECT_EQ(res(13, 20), 100.0f);
}

TEST(WorkingCopies, HeldCopyIsExactAndWorkingImagesStartFromTheValues) {
  Array3<float> v(TILE_GRID, TILE_GRID, 3), held, d(TILE_GRID, TILE_GRID, 3, 5.0f), f(TILE_GRID, TILE_GRID, 3, 5.0f);
  for (long k = 0; k < v.size(); ++k) v.data()[k] = std::sin(static_cast<float>(k)) * 1.0e3f;
  hold_pixv(2, v, held);
  ASSERT_EQ(held.n3(), 3);
  for (long k = 0; k < 2L * TILE_GRID * TILE_GRID; ++k) ASSERT_EQ(held.data()[k], v.data()[k]);
  init_pixsub(3, v, d, f);
  for (long k = 0; k < v.size(); ++k) {
    ASSERT_EQ(d.data()[k], v.data()[k]);
    ASSERT_EQ(f.data()[k], 0.0f);
  }
}

}  // namespace
}  // namespace zeb
