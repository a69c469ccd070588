// The zero-point correction maps against values read off the embedded tables by hand.
#include "tile/calibration_maps.h"

#include <gtest/gtest.h>

namespace zeb {
namespace {

// Table values used below (wfc3ir_zp.txt, node (i, j)):
// (1,1) 0.04690  (2,1) 0.04617  (1,2) 0.04617  (2,2) 0.04543
// (63,63) -0.04413  (64,63) -0.04487  (63,64) -0.04487  (64,64) -0.04560
TEST(Wfc3IrZpa, NodesAndInterpolationBetweenThem) {
  EXPECT_NEAR(wfc3ir_zpa(8.0, 8.0), 0.04690, 1e-7);
  EXPECT_NEAR(wfc3ir_zpa(24.0, 8.0), 0.04617, 1e-7);
  EXPECT_NEAR(wfc3ir_zpa(8.0, 24.0), 0.04617, 1e-7);
  EXPECT_NEAR(wfc3ir_zpa(16.0, 8.0), 0.5 * (0.04690 + 0.04617), 1e-7);
  EXPECT_NEAR(wfc3ir_zpa(16.0, 16.0), 0.25 * (0.04690 + 0.04617 + 0.04617 + 0.04543), 1e-7);
}

TEST(Wfc3IrZpa, PositionsBeyondTheNodesUseTheEdgeCell) {
  // Below the first node the coordinate is held at node 1.
  EXPECT_NEAR(wfc3ir_zpa(1.0, -20.0), 0.04690, 1e-7);
  // At and beyond the last node it is held at 63.99: weight 0.99 on node 64.
  double far = 0.0001 * -0.04413 + 0.0099 * -0.04487 + 0.0099 * -0.04487 + 0.9801 * -0.04560;
  EXPECT_NEAR(wfc3ir_zpa(1016.0, 1016.0), far, 2e-6);
  EXPECT_FLOAT_EQ(wfc3ir_zpa(1016.0, 1016.0), wfc3ir_zpa(3000.0, 1e6));
}

TEST(Wfc3UvZpa, UsesItsOwnTableAndNodeSpacing) {
  // wfc3uv_zp.txt: node (1,1) -0.03800, node (2,1) -0.03564.
  EXPECT_NEAR(wfc3uv_zpa(32.0, 32.0), -0.03800, 1e-7);
  EXPECT_NEAR(wfc3uv_zpa(96.0, 32.0), -0.03564, 1e-7);
  EXPECT_NEAR(wfc3uv_zpa(64.0, 32.0), 0.5 * (-0.03800 - 0.03564), 1e-7);
}

}  // namespace
}  // namespace zeb
