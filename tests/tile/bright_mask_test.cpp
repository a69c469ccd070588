// The bright-star mask (profiles, the stars near a tile, halo and spikes)
// and the calibration maps: zero points and pixel areas.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "support/test_support.h"
#include "tile/bright_mask.h"
#include "tile/calibration_maps.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using namespace zeb::test;


TEST(Profiles, InterpolateBetweenNodesAndVanishOutside) {
  // r = 1 lies in the first interval (0..5) at f = 1/5.
  EXPECT_FLOAT_EQ(rprof_ik(1, 9), 0.0007f + 0.2f * (0.0005f - 0.0007f));
  EXPECT_FLOAT_EQ(sprof_ik(1, 9), 0.2f * 0.0002f);
  // r = 11 in 10..15 at f = 1/5 (HRC).
  EXPECT_FLOAT_EQ(rprof_ik(11, 7), 0.002f + 0.2f * (0.0006f - 0.002f));
  EXPECT_FLOAT_EQ(sprof_ik(11, 7), 0.0003f + 0.2f * (0.0001f - 0.0003f));
  // Half-width rounds: camera 9 between 400 (10) and 500 (11).
  EXPECT_EQ(wprof_ik(425, 9), 10);
  EXPECT_EQ(wprof_ik(450, 9), 11);
  EXPECT_EQ(wprof_ik(1001, 9), 15);
  EXPECT_EQ(wprof_ik(30, 7), 5);
  // 1000 and 1001 use the last interval (f = 1 and 1.01).
  EXPECT_NEAR(sprof_ik(1000, 9), 0.00000001f, 1e-14);
  EXPECT_NEAR(sprof_ik(1001, 9), 0.00000002f - 1.01f * 0.00000001f, 1e-14);
  // Nothing below 1, beyond 1001, or for codes without a camera.
  EXPECT_EQ(rprof_ik(0, 9), 0.0f);
  EXPECT_EQ(sprof_ik(1002, 9), 0.0f);
  EXPECT_EQ(wprof_ik(0, 9), 0);
  EXPECT_EQ(rprof_ik(1, 2), 0.0f);
  EXPECT_EQ(sprof_ik(5, 11), 0.0f);
  EXPECT_EQ(rprof_ik(5, -3), 0.0f);
}

BrightStars stars(const std::vector<std::array<double, 4>>& list) {
  BrightStars b;
  for (const auto& s : list) {
    ++b.bs;
    b.uref_b(b.bs) = s[0];
    b.vref_b(b.bs) = s[1];
    b.zref_bf(b.bs, 1) = static_cast<float>(s[2]);
    b.zref_bf(b.bs, 2) = static_cast<float>(s[3]);
  }
  return b;
}

TEST(FindLocBrite, KeepsStarsWithin750PixelsInOrder) {
  // Star 2 is exactly 750 away, star 3 at (450, 600), star 1 just beyond 750.
  BrightStars b = stars({{kUref, kVref + 750.01, 5, 5}, {kUref + 750, kVref, 10000, 100}, {kUref + 450, kVref + 600, 7, 8}});
  LocalBrightStars local;
  auto r = capture([&] { find_loc_brite(kUref, kVref, b, local, true, false); });
  ASSERT_FALSE(r.stopped);
  ASSERT_EQ(local.bbs, 2);
  EXPECT_EQ(local.ubri(1), kUref + 750.0);
  EXPECT_EQ(local.zbri(1, 2), 100.0f);
  EXPECT_EQ(local.vbri(2), kVref + 600.0);
  auto lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "ENTER FIND_LOC_BRITE:  ...");
  EXPECT_EQ(lines[1], std::string("  0001") + " " + "    2" + " " + "     " + "  1186.0" + " " + "   316.0" + " " +
                          "     10000" + " " + "-10.000" + "  " + "       100" + " " + " -5.000");
}

// Flat templates: every pixel within radius bin 1001 holds 1, no spikes.
MaskTemplates flat_disc() {
  static std::vector<float> one(1002, 1.0f), zero(1002, 0.0f);
  static std::vector<int> none(1002, 0);
  return build_mask_templates(one.data(), zero.data(), none.data(), 0.0f, 90.0f);
}

TEST(AddStarMask, ReachAndCutOffAt1150RawPixels) {
  const MaskTemplates t = flat_disc();
  EXPECT_EQ(t.halo.at(1001, 1001), 1.0f);
  EXPECT_EQ(t.halo.at(2001, 1001), 1.0f);  // offset 1000: radius bin 1001
  EXPECT_EQ(t.halo.at(2001, 1045), 1.0f);  // sqrt(1000^2 + 44^2) < 1001
  EXPECT_EQ(t.halo.at(2001, 1046), 0.0f);  // sqrt(1000^2 + 45^2) > 1001
  EXPECT_TRUE(t.spike_a.rows.empty());

  const int itil = 2000, jtil = 2000;
  Array2<float> sum(301, 301, 0.0f);
  // 1149 to the left: raster columns 1 and 2 lie 999 and 1000 pixels away.
  add_star_mask(sum.view(), t, 2.0f, itil - 1149, jtil, itil, jtil);
  EXPECT_EQ(sum(1, 151), 4.0f);
  EXPECT_EQ(sum(2, 151), 4.0f);
  EXPECT_EQ(sum(3, 151), 0.0f);
  EXPECT_EQ(sum(1, 150), 4.0f);
  // 1150 away the star is out of reach, although its template would touch
  // column 1.
  Array2<float> none(301, 301, 0.0f);
  add_star_mask(none.view(), t, 2.0f, itil - 1150, jtil, itil, jtil);
  add_star_mask(none.view(), t, 2.0f, itil, jtil + 1150, itil, jtil);
  for (std::size_t k = 0; k < none.size(); ++k) ASSERT_EQ(none.data()[k], 0.0f);
  // Below the raster: the star 1149 down reaches the bottom rows.
  Array2<float> below(301, 301, 0.0f);
  add_star_mask(below.view(), t, 1.0f, itil + 30, jtil - 1149, itil, jtil);
  EXPECT_EQ(below(181, 1), 1.0f);
  EXPECT_EQ(below(181, 3), 0.0f);
}

struct MaskCase {
  TileExposures te;
  LocalBrightStars local;
  Array2<float> pixm{301, 301, -1.0f};
  MaskCase() { identity_tables(te, 1); }
  void add(double u, double v, float f1, float f2) {
    ++local.bbs;
    local.ubri(local.bbs) = u;
    local.vbri(local.bbs) = v;
    local.zbri(local.bbs, 1) = f1;
    local.zbri(local.bbs, 2) = f2;
  }
  // The raster is centred on raw (512, 512); one reference pixel is two raw
  // pixels (the tables are the identity between raster and tile grid).
  void run(int kkk, int fff = 1) {
    mask_tile(pixm.view(), kkk, fff, kUref, kVref, 512, 512, tab_of(te.xtab_n, 1), tab_of(te.ytab_n, 1), local);
  }
  bool all_zero() const {
    for (std::size_t k = 0; k < pixm.size(); ++k)
      if (pixm.data()[k] != 0.0f) return false;
    return true;
  }
};

TEST(MaskTile, HaloAndSpikesOfAnHrcStar) {
  clear_mask_template_cache();
  MaskCase m;
  m.add(kUref + 5.0, kVref, 1000.0f, 0.0f);  // raw (522, 512): raster (161, 151)
  m.run(7);
  // At the star: radius bin 1, both spikes and the halo.
  EXPECT_NEAR(m.pixm(161, 151), 1000.0 * std::sqrt(2 * 0.00004 * 0.00004 + 0.0054 * 0.0054), 1e-4);
  // 10 pixels to the left: bin 11; the -6 degree spike passes within
  // 10 sin 6 = 1.05 < 5 pixels, the 90 degree spike does not.
  EXPECT_NEAR(m.pixm(151, 151), 1000.0 * std::sqrt(0.00026 * 0.00026 + 0.00172 * 0.00172), 1e-4);
  // Beyond the HRC's halo and spike radii nothing is left.
  EXPECT_EQ(m.pixm(1, 301), 0.0f);
  EXPECT_EQ(mask_template_builds(), 1);
  // The star has no light in filter slot 2.
  m.run(7, 2);
  EXPECT_TRUE(m.all_zero());
}

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

TEST(ZeroPointMaps, UvisNodesLieEvery64Pixels) {
  EXPECT_FLOAT_EQ(wfc3uv_zpa(32.0, 32.0), kUv11);
  EXPECT_FLOAT_EQ(wfc3uv_zpa(96.0, 32.0), kUv21);
  EXPECT_FLOAT_EQ(wfc3uv_zpa(64.0, 32.0), (kUv11 + kUv21) / 2);
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
