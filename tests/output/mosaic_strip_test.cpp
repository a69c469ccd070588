// Pasting of tile images into the mosaic strips: the X1 weighted 3 x 3 mean,
// the offset, truncation and clipping of real pastes, the unaveraged 16-bit
// pastes, the stack mask, and the columns at the mosaic edge.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/array.h"
#include "measure/tile_stacks.h"
#include "output/mosaic.h"

namespace zeb {
namespace {

struct Strip {
  Array2<std::int16_t> a;
  explicit Strip(int zoom) : a(zoom == 1 ? 1200 : 2400, zoom == 1 ? 151 : 301) { a.fill(-32025); }
};

Array2<std::uint8_t> stack_mask() {
  Array2<std::uint8_t> m(301, 301);
  init_stacku(m);
  return m;
}

Array2<float> flat_tile(float value) {
  Array2<float> t(301, 301);
  t.fill(value);
  return t;
}

// Grid pixel (151, 151) is the centre of 1x pixel (76, 76): centre 14, edge
// neighbours 6, corners 2. Mean = (14 + 0.5 * 4 * 6 + 0.25 * 4 * 2) / (1 + 2 + 1) = 28 / 4 = 7.
void put_cross(Array2<float>& t) {
  t(151, 151) = 14;
  t(150, 151) = t(152, 151) = t(151, 150) = t(151, 152) = 6;
  t(150, 150) = t(152, 150) = t(150, 152) = t(152, 152) = 2;
}

TEST(StripPasteX1, RealPasteIsTheWeightedThreeByThreeMeanScaledAndOffset) {
  Strip s(1);
  Array2<float> t = flat_tile(10.0f);
  put_cross(t);
  Array2<std::uint8_t> mask = stack_mask();
  // Tile IT = 2: uref_t = 196, 1x pixel 76 goes to column 196, strip row 76.
  strip1_update_r4_j2(s.a.view(), t.view(), mask.view(), 196, 2.0f);
  EXPECT_EQ(s.a(196, 76), 2 * 7 - 32000);
  // 1x pixel 77 (grid 153) still sees grid column 152: centre 10, edges 10,
  // 10, 10 and 6, corners 10, 10, 2, 2: (10 + 0.5 * 36 + 0.25 * 24) / 4 = 8.5.
  EXPECT_EQ(s.a(197, 76), 17 - 32000);
  // A flat neighbourhood gives the value itself.
  EXPECT_EQ(s.a(198, 76), 2 * 10 - 32000);
  EXPECT_EQ(s.a(196, 78), 2 * 10 - 32000);

  // A masked neighbour drops out with its weight: the left edge pixel (value
  // 1000 now) is gone, mean = (14 + 0.5 * 3 * 6 + 2) / 3.5 = 25 / 3.5 = 7.142857,
  // x 2 = 14.2857, - 32000 = -31985.71, truncated toward zero: -31985.
  t(150, 151) = 1000.0f;
  mask(150, 151) = 0;
  strip1_update_r4_j2(s.a.view(), t.view(), mask.view(), 196, 2.0f);
  EXPECT_EQ(s.a(196, 76), -31985);

  // A masked centre is not pasted at all: the strip keeps what it held.
  mask(151, 151) = 0;
  s.a(196, 76) = 123;
  strip1_update_r4_j2(s.a.view(), t.view(), mask.view(), 196, 2.0f);
  EXPECT_EQ(s.a(196, 76), 123);

  // With the mask 1 at the centre only, the neighbours (50) carry no weight.
  t.fill(50.0f);
  t(151, 151) = 3.0f;
  mask.fill(0);
  mask(151, 151) = 1;
  strip1_update_r4_j2(s.a.view(), t.view(), mask.view(), 196, 1.0f);
  EXPECT_EQ(s.a(196, 76), 3 - 32000);
  EXPECT_EQ(s.a(197, 76), 17 - 32000);  // grid (153, 151) masked: untouched
}

TEST(StripPasteX1, RealPasteTruncatesTowardZeroAndClips) {
  Array2<std::uint8_t> mask = stack_mask();
  auto paste_value = [&](float v, float scale) {
    Strip s(1);
    Array2<float> t = flat_tile(v);
    strip1_update_r4_j2(s.a.view(), t.view(), mask.view(), 76, scale);
    return static_cast<int>(s.a(76, 76));
  };
  EXPECT_EQ(paste_value(0.25f, 1.0f), -31999);     // -31999.75 -> -31999
  EXPECT_EQ(paste_value(40000.5f, 1.0f), 8000);    // 8000.5 -> 8000
  EXPECT_EQ(paste_value(-750.0f, 1.0f), -32750);   // exactly the low clip
  EXPECT_EQ(paste_value(-751.0f, 1.0f), -32750);   // below it
  EXPECT_EQ(paste_value(64750.0f, 1.0f), 32750);   // exactly the high clip
  EXPECT_EQ(paste_value(99999.0f, 1.0f), 32750);   // a flagged stack point
  EXPECT_EQ(paste_value(1.0e30f, 1.0f), 32750);
  EXPECT_EQ(paste_value(std::numeric_limits<float>::infinity(), 1.0f), 32750);
  EXPECT_EQ(paste_value(std::numeric_limits<float>::quiet_NaN(), 1.0f), -32750);
  EXPECT_EQ(paste_value(100.0f, 0.5f), 50 - 32000);
}

TEST(StripPasteX1, LastTileColumnWritesOnlyUpToTheMosaicEdge) {
  Strip s(1);
  Array2<float> t = flat_tile(5.0f);
  Array2<std::uint8_t> mask = stack_mask();
  // IT = 10: uref_t = 1156, columns 1096..1216 of which 1096..1200 exist.
  strip1_update_r4_j2(s.a.view(), t.view(), mask.view(), 1156, 1.0f);
  EXPECT_EQ(s.a(1095, 76), -32025);
  EXPECT_EQ(s.a(1096, 76), 5 - 32000);
  EXPECT_EQ(s.a(1200, 76), 5 - 32000);
  EXPECT_EQ(s.a(1, 77), -32025);  // nothing spilled into the next strip row
  Array2<std::int16_t> ti(301, 301);
  ti.fill(2);
  strip1_update_i2_j2(s.a.view(), ti.view(), mask.view(), 1156);
  EXPECT_EQ(s.a(1200, 136), 2 - 32000);
  EXPECT_EQ(s.a(1, 137), -32025);
  // IT = 11 lies wholly outside the mosaic.
  Strip far(1);
  strip1_update_r4_j2(far.a.view(), t.view(), mask.view(), 1276, 1.0f);
  for (int j = 1; j <= 151; ++j)
    for (int i = 1; i <= 1200; ++i) ASSERT_EQ(far.a(i, j), -32025);
}

TEST(StripPasteX2, RealPasteTakesEachGridPixel) {
  Strip s(2);
  Array2<float> t = flat_tile(10.0f);
  put_cross(t);
  Array2<std::uint8_t> mask = stack_mask();
  // uref_t = 196: grid i goes to column i + 392 - 151; (151, 151) to (392, 151).
  strip2_update_r4_j2(s.a.view(), t.view(), mask.view(), 196, 4.0f);
  EXPECT_EQ(s.a(392, 151), 4 * 14 - 32000);
  EXPECT_EQ(s.a(391, 151), 4 * 6 - 32000);
  EXPECT_EQ(s.a(391, 150), 4 * 2 - 32000);
  EXPECT_EQ(s.a(393, 153), 4 * 10 - 32000);
  // Grid 31..271 only: columns 272..512, strip rows 31..271.
  EXPECT_EQ(s.a(271, 31), -32025);
  EXPECT_EQ(s.a(272, 31), 40 - 32000);
  EXPECT_EQ(s.a(512, 271), 40 - 32000);
  EXPECT_EQ(s.a(513, 271), -32025);
  EXPECT_EQ(s.a(300, 30), -32025);
  EXPECT_EQ(s.a(300, 272), -32025);
  // The mask is honoured pixel by pixel.
  mask(200, 100) = 0;
  t(200, 100) = 77.0f;
  t(201, 100) = 77.0f;
  strip2_update_r4_j2(s.a.view(), t.view(), mask.view(), 196, 1.0f);
  EXPECT_EQ(s.a(200 + 241, 100), 40 - 32000);
  EXPECT_EQ(s.a(201 + 241, 100), 77 - 32000);
}

}  // namespace
}  // namespace zeb
