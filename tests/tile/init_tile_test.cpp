// Setting up a tile: which exposures overlap it, their rasters read and
// blanked off the chip and beyond the grid, and the look-up tables between
// raster and tile grid. (A whole tile with its bright-star mask is set up by
// every simulated run.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>

#include "core/text.h"
#include "support/test_support.h"
#include "tile/fits_builder.h"
#include "tile/init_tile.h"
#include "tile/tile_geometry.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using namespace zeb::test;


// An IR file of nx x ny pixels, every value v and error e, no flags.
void write_ir(const std::string& name, int nx, int ny, float v, float e) {
  const std::size_t n = static_cast<std::size_t>(nx) * ny;
  write_bytes(name, ir_file(nx, ny, std::vector<float>(n, v), std::vector<float>(n, e), std::vector<std::int16_t>(n, 0)));
}

// One IR exposure entry by hand: raster centred on raw (itil, jtil), tables
// making raster and tile grid one, zero point zpu.
void one_ir_entry(TileExposures& te, const std::string& file, int itil, int jtil, float zpu) {
  te.ns = 1;
  te.ggg_n(1) = 1;
  te.ccc_n(1) = 1;
  te.kkk_n(1) = 9;
  te.fff_n(1) = 1;
  te.zpu_n(1) = zpu;
  te.itil_n(1) = itil;
  te.jtil_n(1) = jtil;
  te.filepix_n(1) = pad(file, 80);
  identity_tables(te, 1);
  te.allocate_rasters(1);
}

TEST(InitTileB, BlanksOffTheChipEvenWhereTheFileHasPixels) {
  TempDir dir;
  // 1100 columns: raw 1015..1100 are in the file but off the IR chip.
  write_ir("wide.fits", 1100, 20, 50.0f, 2.0f);
  TileExposures te;
  one_ir_entry(te, "wide.fits", 1000, 10, 0.0f);  // xt = x - 849
  BrightStars none;
  LocalBrightStars local;
  init_tile_b(4, 3, kUref, kVref, te, none, local, Settings());
  EXPECT_EQ(te.pixu_n(165, 151, 1), 0);  // raw 1014
  EXPECT_EQ(te.pixu_n(166, 151, 1), 3);  // raw 1015
  EXPECT_EQ(te.pixv_n(166, 151, 1), -500.0f);
  EXPECT_EQ(te.pixe_n(166, 151, 1), 99999.0f);
  EXPECT_EQ(te.pixm_n(166, 151, 1), 0.0f);
}

// Flag of raster pixel (151, 151) when that column of raster nodes maps to
// tile-grid column `ut`.
int flag_with_grid_column(float ut) {
  TileExposures te;
  one_ir_entry(te, "ir.fits", 150, 150, 0.0f);
  for (int l = 1; l <= TAB_NODES; ++l) te.utab_n(16, l, 1) = ut;
  BrightStars none;
  LocalBrightStars local;
  init_tile_b(4, 3, kUref, kVref, te, none, local, Settings());
  return te.pixu_n(151, 151, 1);
}

TEST(InitTileB, GridMarginIsFourStepsInclusive) {
  TempDir dir;
  write_ir("ir.fits", 300, 300, 50.0f, 2.0f);
  EXPECT_EQ(flag_with_grid_column(-4.0f), 0);
  EXPECT_EQ(flag_with_grid_column(-4.01f), 3);
  EXPECT_EQ(flag_with_grid_column(306.0f), 0);
  EXPECT_EQ(flag_with_grid_column(306.01f), 3);
}

TEST(ChipExtents, TwoChipCamerasShareOneFrameWithChipOneOnTop) {
  for (int kkk : {5, 8}) {
    EXPECT_EQ(jmin_kkk_c(kkk, 1), 2049);
    EXPECT_EQ(jmax_kkk_c(kkk, 2), 2048);
    EXPECT_EQ(imax_kkk_c(kkk, 2), 4096);
  }
  EXPECT_EQ(imax_kkk_c(9, 2), 0);  // no second chip
  EXPECT_EQ(jmax_kkk_c(5, 3), 0);  // chips 3 and 4 are empty everywhere
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
  // The whole-pixel lookups (one pixel, a whole row) give rtab_tt's bits,
  // on a table whose values are not exact in single precision.
  for (int l = 1; l <= TAB_NODES; ++l)
    for (int k = 1; k <= TAB_NODES; ++k) a(k, l) = std::sqrt(static_cast<float>(k * 37 + l * l)) * 1.1f;
  float row[302];
  for (const int y : {0, 1, 7, 150, 299, 301}) {
    rtab_row(t, pixel_axis(y), 0, 301, row);
    for (int x = 0; x <= 301; ++x) {
      const float want = rtab_tt(static_cast<float>(x), static_cast<float>(y), t);
      EXPECT_EQ(std::memcmp(&row[x], &want, sizeof want), 0) << x << ' ' << y;
      const float one = rtab_at(pixel_axis(x), pixel_axis(y), t);
      EXPECT_EQ(std::memcmp(&one, &want, sizeof want), 0) << x << ' ' << y;
    }
  }
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

TEST(InitTileA, BrokenTransformationsStopInsteadOfMisreading) {
  auto init = [](const std::function<void(ImageSlots&)>& breaking, TileExposures& te) {
    ImageSlots s = make_slots(1);
    place_slot(s, 1, 9, kUref, kVref, 500.0, 500.0, "ir.fits");
    breaking(s);
    return capture([&] { init_tile_a(4, 3, kUref, kVref, s, te, false); });
  };
  TileExposures nowhere, singular;
  EXPECT_TRUE(init([](ImageSlots& s) { s.ag_cg(1, 1) = NAN; }, nowhere).stopped);  // the centre maps nowhere
  Captured r = init([](ImageSlots& s) { s.ga_cg(1, 1) = s.gd_cg(1, 1) = 0.0; }, singular);  // cannot be inverted
  EXPECT_EQ(r.err, "STOP trans_tile: singular transformation\n");
  // A tile centre mapped far outside the detector overlaps nothing, even
  // where the distortion solution cannot be inverted any more.
  for (double far : {3.0e5, 1.0e9}) {
    TileExposures te;
    EXPECT_FALSE(init([far](ImageSlots& s) { s.xcen_cg(1, 1) = far; }, te).stopped) << far;
    EXPECT_EQ(te.ns, 0);
  }
}

}  // namespace
