#include "tile/tile_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/text.h"
#include "support/test_support.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using zeb::test::capture;
using zeb::test::make_slots;
using zeb::test::place_slot;
using zeb::test::split_lines;

constexpr int kUref = 436, kVref = 316;  // tile (4, 3)

TEST(ChipExtents, TwoChipCamerasShareOneFrameWithChipOneOnTop) {
  for (int kkk : {5, 8}) {
    EXPECT_EQ(jmin_kkk_c(kkk, 1), 2049);
    EXPECT_EQ(jmax_kkk_c(kkk, 2), 2048);
    EXPECT_EQ(imax_kkk_c(kkk, 2), 4096);
  }
  EXPECT_EQ(imax_kkk_c(9, 2), 0);  // no second chip
  EXPECT_EQ(jmax_kkk_c(5, 3), 0);  // chips 3 and 4 are empty everywhere
}

TEST(ChipExtents, OutOfRangeStopsWithTheFunctionsName) {
  struct Case {
    int (*f)(int, int);
    int kkk, c;
    const char* text;
  } cases[] = {{imin_kkk_c, 9, 0, "STOP imin_KKK_C: c out of bounds\n"},
               {imax_kkk_c, 9, 5, "STOP imax_KKK_C: c out of bounds\n"},
               {jmin_kkk_c, 0, 1, "STOP jmin_KKK_C: c out of bounds\n"},
               {jmax_kkk_c, 11, 1, "STOP jmax_KKK_C: c out of bounds\n"}};
  for (const Case& c : cases) {
    auto r = capture([&] { c.f(c.kkk, c.c); });
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.text);
  }
}

// A table whose node (k, l) holds k^2 + 1000 l: curved along x, so a wrong
// cell or weight shows.
Array2<float> curved_table() {
  Array2<float> t(TAB_NODES, TAB_NODES);
  for (int l = 1; l <= TAB_NODES; ++l)
    for (int k = 1; k <= TAB_NODES; ++k) t(k, l) = static_cast<float>(k * k + 1000 * l);
  return t;
}

TEST(TableLookup, NodesCellsAndEdges) {
  Array2<float> a = curved_table();
  TabView t = a.view();
  // Nodes lie at 1, 11, ..., 301.
  EXPECT_EQ(rtab_tt(1.0f, 1.0f, t), 1001.0f);
  EXPECT_EQ(rtab_tt(151.0f, 11.0f, t), 16.0f * 16.0f + 2000.0f);
  // Half way between nodes 2 and 3 along x: (4 + 9) / 2.
  EXPECT_FLOAT_EQ(rtab_tt(16.0f, 1.0f, t), 6.5f + 1000.0f);
  // ut = 301 uses cell 30 with weight 1 and returns node 31 exactly.
  EXPECT_EQ(rtab_tt(301.0f, 1.0f, t), 961.0f + 1000.0f);
  EXPECT_EQ(rtab_tt(301.0f, 301.0f, t), 961.0f + 31000.0f);
  // ut = 0.5 extrapolates cell 1: weight -0.05 -> 1 x 1.05 - 4 x 0.05.
  EXPECT_NEAR(rtab_tt(0.5f, 1.0f, t), 0.85f + 1000.0f, 1e-3);
  // Beyond 301 the last cell is extrapolated: ut = 311 -> 900 + 2 x 61.
  EXPECT_NEAR(rtab_tt(311.0f, 1.0f, t), 1022.0f + 1000.0f, 1e-2);
  // Far away or not a number: no out-of-range access, just a far value.
  EXPECT_TRUE(std::isfinite(rtab_tt(-1.0e9f, 5.0e9f, t)));
  EXPECT_TRUE(std::isnan(rtab_tt(NAN, 1.0f, t)));
}

TEST(TableLookup, ReferenceFramePointsToRawPixels) {
  Array2<float> xt(TAB_NODES, TAB_NODES), yt(TAB_NODES, TAB_NODES);
  for (int l = 1; l <= TAB_NODES; ++l)
    for (int k = 1; k <= TAB_NODES; ++k) {
      // raster = grid / 2 + 75.5: raw pixels twice the size of grid steps
      xt(k, l) = static_cast<float>((10 * (k - 1) + 1) / 2.0 + 75.5);
      yt(k, l) = static_cast<float>((10 * (l - 1) + 1) / 2.0 + 75.5);
    }
  // u = UREF_T + 10 -> grid 171 -> raster 161 -> raw itil + 10.
  EXPECT_FLOAT_EQ(xr_uv(kUref + 10.0, kVref, xt.view(), yt.view(), 500, 600, kUref, kVref), 510.0f);
  EXPECT_FLOAT_EQ(yr_uv(kUref, kVref - 20.0, xt.view(), yt.view(), 500, 600, kUref, kVref), 580.0f);
  EXPECT_FLOAT_EQ(xt_tuv(171.0f, 151.0f, xt.view(), yt.view()), 161.0f);
  EXPECT_FLOAT_EQ(vt_txy(1.0f, 21.0f, xt.view(), yt.view()), 86.0f);
}

// Ns and the first raster column of a single IR exposure placed so that the
// tile centre lands on raw (x0, 507.3).
int overlapping(double x0, TileExposures& te) {
  ImageSlots s = make_slots(1);
  place_slot(s, 1, 9, kUref, kVref, x0, 507.3, "ir.fits");
  init_tile_a(4, 3, kUref, kVref, s, te, false);
  return te.ns;
}

TEST(InitTileA, OverlapIsStrictAtBothEdgesOfTheChip) {
  TileExposures te;
  // itil = trunc(-150 + 0.5) = -149: the raster's last column is raw 1, the
  // chip's first column; touching is not overlapping.
  EXPECT_EQ(overlapping(-150.0, te), 0);
  // itil = -148: one column shared.
  EXPECT_EQ(overlapping(-149.0, te), 1);
  EXPECT_EQ(te.itil_n(1), -148);
  // itil = 1164: first raster column 1014 is the chip's last.
  EXPECT_EQ(overlapping(1163.7, te), 0);
  EXPECT_EQ(overlapping(1162.7, te), 1);
  EXPECT_EQ(te.itil_n(1), 1163);
  EXPECT_EQ(te.jtil_n(1), 507);
}

TEST(InitTileA, RecordsFollowSlotOrderAndCopyTheSlot) {
  ImageSlots s = make_slots(3);
  place_slot(s, 1, 9, kUref, kVref, 400.2, 300.2, "dir/a.fits");
  // slot 2 has no camera (code 0) and contributes nothing
  place_slot(s, 3, 7, kUref, kVref, 700.2, 650.2, "dir/b_flt.fits", 2);
  s.zp_cg(1, 3) = 24.5f;
  s.sc_cg(1, 3) = 1.25f;
  s.sky_g(3) = 12.0f;
  TileExposures te;
  auto r = capture([&] { init_tile_a(4, 3, kUref, kVref, s, te, true); });
  ASSERT_FALSE(r.stopped) << r.out;
  ASSERT_EQ(te.ns, 2);
  EXPECT_EQ(r.out, " EXIT init_tile1...  Ns:  2\n");
  EXPECT_EQ(te.ggg_n(1), 1);
  EXPECT_EQ(te.ggg_n(2), 3);
  EXPECT_EQ(te.ccc_n(2), 1);
  EXPECT_EQ(te.kkk_n(2), 7);
  EXPECT_EQ(te.fff_n(2), 2);
  EXPECT_EQ(te.zpu_n(2), 24.5f);
  EXPECT_EQ(te.scl_n(2), 1.25f);
  EXPECT_EQ(te.sky_n(2), 12.0f);
  EXPECT_EQ(te.fnd_n(2), "111000000");
  EXPECT_EQ(te.itil_n(1), 400);
  EXPECT_EQ(te.jtil_n(1), 300);
  EXPECT_EQ(te.itil_n(2), 700);
  EXPECT_EQ(te.jtil_n(2), 650);
  // The slot's name already holds the directory prefix: it is used as it is.
  EXPECT_EQ(te.filepix_n(2), zeb::pad("dir/b_flt.fits", 80));
}

TEST(InitTileA, TablesMapRasterAndGridBothWays) {
  TileExposures te;
  ASSERT_EQ(overlapping(507.3, te), 1);
  const TabView ut = tab_of(te.utab_n, 1), vt = tab_of(te.vtab_n, 1);
  const TabView xt = tab_of(te.xtab_n, 1), yt = tab_of(te.ytab_n, 1);
  // The tile centre (grid 151) is raw 507.3, 0.3 past the raster centre.
  EXPECT_NEAR(xt_tuv(151.0f, 151.0f, xt, yt), 151.3f, 2e-3);
  EXPECT_NEAR(yt_tuv(151.0f, 151.0f, xt, yt), 151.3f, 2e-3);
  // 10 grid steps are 5 reference = 5 corrected pixels; near the detector
  // centre the IR solution stretches raw pixels by 567.453 / 507.
  EXPECT_NEAR(te.xtab_n(17, 16, 1) - te.xtab_n(16, 16, 1), 5.0 / (567.453 / 507.0), 0.02);
  // Along y the polynomial's linear term is 507 / 507: one raw pixel each.
  EXPECT_NEAR(te.ytab_n(16, 17, 1) - te.ytab_n(16, 16, 1), 5.0, 0.05);
  // Grid -> raster -> grid comes back to within the bilinear interpolation.
  for (float g : {1.0f, 37.0f, 151.0f, 222.5f, 301.0f}) {
    for (float h : {1.0f, 151.0f, 290.0f}) {
      const float x = xt_tuv(g, h, xt, yt), y = yt_tuv(g, h, xt, yt);
      EXPECT_NEAR(ut_txy(x, y, ut, vt), g, 0.02) << g << ' ' << h;
      EXPECT_NEAR(vt_txy(x, y, ut, vt), h, 0.02) << g << ' ' << h;
    }
  }
}

TEST(InitTileA, MoreThan35OverlappingChipsStops) {
  ImageSlots s = make_slots(36);
  for (int g = 1; g <= 36; ++g) place_slot(s, g, 9, kUref, kVref, 500.0, 500.0, "ir.fits");
  TileExposures te;
  auto r = capture([&] { init_tile_a(4, 3, kUref, kVref, s, te, false); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");  // no stop text
  auto lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], std::string(18, ' '));
  EXPECT_EQ(lines[1], " Ns.gt._NDIM_ --- ");
  EXPECT_EQ(lines[2], "  Ns   :  36");
  EXPECT_EQ(lines[3], " _NDIM_:  35");
  EXPECT_EQ(lines[4], std::string(18, ' '));
}

TEST(InitTileA, BrokenTransformationsStopInsteadOfMisreading) {
  {
    ImageSlots s = make_slots(1);
    place_slot(s, 1, 9, kUref, kVref, 500.0, 500.0, "ir.fits");
    s.ag_cg(1, 1) = NAN;  // maps the tile centre nowhere
    TileExposures te;
    auto r = capture([&] { init_tile_a(4, 3, kUref, kVref, s, te, false); });
    EXPECT_TRUE(r.stopped);
    EXPECT_NE(r.status, 0);
  }
  {
    ImageSlots s = make_slots(1);
    place_slot(s, 1, 9, kUref, kVref, 500.0, 500.0, "ir.fits");
    s.ga_cg(1, 1) = s.gd_cg(1, 1) = 0.0;  // cannot be inverted
    TileExposures te;
    auto r = capture([&] { init_tile_a(4, 3, kUref, kVref, s, te, false); });
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.err, "STOP trans_tile: singular transformation\n");
  }
  {
    // A tile centre mapped far outside the detector overlaps nothing, even
    // where the distortion solution cannot be inverted any more.
    for (double far : {3.0e5, 1.0e9}) {
      ImageSlots s = make_slots(1);
      place_slot(s, 1, 9, kUref, kVref, 500.0, 500.0, "ir.fits");
      s.xcen_cg(1, 1) = far;
      TileExposures te;
      auto r = capture([&] { init_tile_a(4, 3, kUref, kVref, s, te, false); });
      EXPECT_FALSE(r.stopped) << far;
      EXPECT_EQ(te.ns, 0);
    }
  }
}

}  // namespace
