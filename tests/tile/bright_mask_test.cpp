#include "tile/bright_mask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "support/test_support.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using namespace zeb::test;

constexpr int kUref = 436, kVref = 316;

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

TEST(FindLocBrite, ShowTileWritesTheListAndRegionFile) {
  TempDir dir;
  std::filesystem::create_directory("AUX");
  BrightStars b = stars({{kUref + 750, kVref, 10000, 100}});
  LocalBrightStars local;
  find_loc_brite(kUref, kVref, b, local, false, true);
  EXPECT_EQ(read_file("AUX/SHOW_TILE_LOG.BRITE.000"),
            std::string("   ") + "  1651.00000" + " " + "   151.00000" + " " + "  10000.0" + " " + "00001" + " " +
                "     10000" + "       100\n");
  EXPECT_EQ(read_file("AUX/SHOW_TILE_LOG.BRITE.reg"),
            "# Region file format: DS9 version 3.0\nglobal color=yellow\n"
            "linear;circle(   1651.0,   151.0, 2.500) # color=yellow  width=4\n");
}

TEST(FindLocBrite, ShowTileWithoutAuxDirectoryEndsTheRunClearly) {
  TempDir dir;
  BrightStars b = stars({{kUref, kVref, 1, 1}});
  LocalBrightStars local;
  auto r = capture([&] { find_loc_brite(kUref, kVref, b, local, false, true); });
  EXPECT_TRUE(r.errored);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("AUX/"), std::string::npos) << r.err;
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

// The templates keep only the lit span of each row; every pixel must still be
// what the definition gives: bin r = trunc(sqrt(dx^2 + dy^2) + 1) up to 1001,
// the halo profile, and the spike profile within the half-width of the line.
TEST(MaskTemplates, SpansHoldEveryLitPixelOfTheDefinition) {
  std::vector<float> halo(1002), spike(1002);
  std::vector<int> width(1002);
  for (int r = 1; r <= 1001; ++r) {
    halo[r] = rprof_ik(r, 9);
    spike[r] = sprof_ik(r, 9);
    width[r] = wprof_ik(r, 9);
  }
  for (auto [a, b] : {std::pair{48.1f, -48.1f}, std::pair{0.0f, 90.0f}}) {
    const MaskTemplates t = build_mask_templates(halo.data(), spike.data(), width.data(), a, b);
    const float ra = a * 3.14159f / 180.0f, rb = b * 3.14159f / 180.0f;
    long lit = 0;
    for (int y = 1; y <= 2001; ++y) {
      for (int x = 1; x <= 2001; ++x) {
        const int dx = x - 1001, dy = y - 1001;
        const int r = static_cast<int>(std::sqrt(static_cast<float>(dx * dx + dy * dy)) + 1.0f);
        float h = 0, sa = 0, sb = 0;
        if (r <= 1001) {
          h = halo[r];
          if (std::fabs(dx * std::sin(ra) - dy * std::cos(ra)) < width[r]) sa = spike[r];
          if (std::fabs(dx * std::sin(rb) - dy * std::cos(rb)) < width[r]) sb = spike[r];
        }
        lit += sa > 0;
        ASSERT_EQ(t.halo.at(x, y), h > 0 ? h : 0.0f) << x << ' ' << y;
        ASSERT_EQ(t.spike_a.at(x, y), sa > 0 ? sa : 0.0f) << a << ' ' << x << ' ' << y;
        ASSERT_EQ(t.spike_b.at(x, y), sb > 0 ? sb : 0.0f) << b << ' ' << x << ' ' << y;
      }
    }
    EXPECT_GT(lit, 2 * 2 * 1000 * 5);  // both arms, about 2000 pixels long and 10 or more wide
  }
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

TEST(MaskTile, TemplatesAreBuiltOnlyWhenNeededAndKept) {
  clear_mask_template_cache();
  MaskCase m;
  m.run(9);  // no bright star
  EXPECT_TRUE(m.all_zero());
  m.add(kUref + 1.0, kVref + 1.0, 5000.0f, 5000.0f);
  m.run(2);  // a code without a camera has no light
  EXPECT_TRUE(m.all_zero());
  EXPECT_EQ(mask_template_builds(), 0);
  m.run(9);
  EXPECT_GT(m.pixm(153, 153), 0.0f);
  m.run(9);
  m.run(7);
  m.run(9);
  EXPECT_EQ(mask_template_builds(), 2);  // one set for camera 9, one for 7
  // The IR spikes run at 48.1 degrees: along the diagonal from the star the
  // mask is far above what lies off both spikes at the same radius.
  EXPECT_GT(m.pixm(153 + 40, 153 + 45), 10 * m.pixm(153 + 60, 153));
}

TEST(MaskTile, FilterSlotOutOfRangeStops) {
  MaskCase m;
  m.add(kUref, kVref, 1.0f, 1.0f);
  auto r = capture([&] { m.run(9, 3); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
