#include "tile/calibration_maps.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace zeb;

// First values of the embedded tables (row 1: nodes (1,1), (2,1); row 2
// starts with node (1,2)).
constexpr float kIr11 = 0.0469f, kIr21 = 0.04617f, kIr12 = 0.04617f, kIr6464 = -0.0456f;
constexpr float kUv11 = -0.038f, kUv21 = -0.03564f;

TEST(ZeroPointMaps, IrNodesAndCells) {
  // Node k at raw 8 + 16 (k - 1).
  EXPECT_FLOAT_EQ(wfc3ir_zpa(8.0, 8.0), kIr11);
  EXPECT_FLOAT_EQ(wfc3ir_zpa(24.0, 8.0), kIr21);
  EXPECT_FLOAT_EQ(wfc3ir_zpa(8.0, 24.0), kIr12);
  // Half way between nodes 1 and 2 along x.
  EXPECT_FLOAT_EQ(wfc3ir_zpa(16.0, 8.0), (kIr11 + kIr21) / 2);
  // Below the first node the first node holds; the map is not extrapolated.
  EXPECT_FLOAT_EQ(wfc3ir_zpa(-500.0, 1.0), kIr11);
  // Past the last node the coordinate is held at 63.99: within 1% of the last
  // cell's end, never beyond the table.
  EXPECT_NEAR(wfc3ir_zpa(5000.0, 5000.0), kIr6464, 0.0005);
  EXPECT_TRUE(std::isfinite(wfc3ir_zpa(NAN, 8.0)));
}

TEST(ZeroPointMaps, AnAsymmetricMapIsReadAndLookedUpTheRightWayRound) {
  // The file holds row j on line j, i fastest; node (i, j) here is i + 100 j.
  std::vector<double> numbers;
  for (int j = 1; j <= 64; ++j)
    for (int i = 1; i <= 64; ++i) numbers.push_back(i + 100.0 * j);
  const Array2<float> t = zp_table(numbers);
  EXPECT_EQ(t(2, 1), 102.0f);
  // Nodes at 8 + 16 (k - 1): x = 24 is node 2, y = 56 node 4; half way to
  // node 3 along x.
  EXPECT_FLOAT_EQ(zp_map_value(t, 24.0, 56.0, 8.0f, 16.0f), 402.0f);
  EXPECT_FLOAT_EQ(zp_map_value(t, 32.0, 56.0, 8.0f, 16.0f), 402.5f);
}

TEST(ZeroPointMaps, UvisNodesLieEvery64Pixels) {
  EXPECT_FLOAT_EQ(wfc3uv_zpa(32.0, 32.0), kUv11);
  EXPECT_FLOAT_EQ(wfc3uv_zpa(96.0, 32.0), kUv21);
  EXPECT_FLOAT_EQ(wfc3uv_zpa(64.0, 32.0), (kUv11 + kUv21) / 2);
}

TEST(PixelArea, LowerChipCentreIsTheUnitAndOtherPlacesFollowThePolynomial) {
  // At X = Y = 0 of the lower chip the Jacobian is the normalisation itself.
  EXPECT_FLOAT_EQ(pixarea_wfc(2048, 1024), 1.0f);
  EXPECT_NEAR(wfc_zpa(2048.9, 1024.9), -0.03018f, 1e-6);
  // Lower chip at X = 1, Y = 0: 1.0407189 (worked from the coefficients).
  EXPECT_NEAR(pixarea_wfc(4096, 1024), 1.0407189f, 2e-6);
  // Upper chip centre (2048, 3072): set A's linear terms over set B's,
  // ((2048 - 25.8109722)(1024 - 22.5819912) - 7.5227451 x 166.6364441) / 2121654.36.
  EXPECT_NEAR(pixarea_wfc(2048, 3072), 0.95387966f, 2e-6);
  EXPECT_NEAR(wfc_zpa(2048.0, 3072.0), 0.0210860f, 1e-5);
}

}  // namespace
