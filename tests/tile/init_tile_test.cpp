#include "tile/init_tile.h"

#include <gtest/gtest.h>

#include <sstream>

#include "core/text.h"
#include "support/test_support.h"
#include "tile/fits_builder.h"
#include "tile/tile_geometry.h"
#include "tile/tile_test_util.h"

namespace {

using namespace zeb;
using namespace zeb::test;

constexpr int kUref = 436, kVref = 316;  // tile (4, 3)

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

float value_at(const std::string& file, int itil, int jtil, float zpu, int xt, int yt, float* error = nullptr) {
  TileExposures te;
  one_ir_entry(te, file, itil, jtil, zpu);
  BrightStars none;
  LocalBrightStars local;
  init_tile_b(4, 3, kUref, kVref, te, none, local, Settings());
  if (error) *error = te.pixe_n(xt, yt, 1);
  return te.pixv_n(xt, yt, 1);
}

TEST(InitTileB, ZeroPointDividesValuesAndErrors) {
  TempDir dir;
  write_ir("ir.fits", 300, 300, 50.0f, 2.0f);
  float e0 = 0, e25 = 0;
  const float v0 = value_at("ir.fits", 150, 150, 0.0f, 151, 151, &e0);
  const float v25 = value_at("ir.fits", 150, 150, 2.5f, 151, 151, &e25);
  EXPECT_EQ(e0, 2.0f);  // zpu = 0 leaves the pixel unscaled
  EXPECT_EQ(v25, v0 / 10.0f);
  EXPECT_EQ(e25, 2.0f / 10.0f);
  // The IR zero-point map changes values by a few per cent, not errors.
  EXPECT_NEAR(v0, 50.0f, 2.5f);
  EXPECT_NE(v0, 50.0f);
}

TEST(InitTileB, ZeroPointThatGivesNoScaleStops) {
  TempDir dir;
  write_ir("ir.fits", 300, 300, 50.0f, 2.0f);
  auto r = capture([&] { value_at("ir.fits", 150, 150, 120.0f, 151, 151); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
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

TEST(ExposureLine, FieldsInTheirColumns) {
  TileExposures te;
  te.ns = 1;
  te.allocate_rasters(1);
  te.ggg_n(1) = 2;
  te.ccc_n(1) = 1;
  te.util_n(1) = 436.26;
  te.vtil_n(1) = 315.5;
  te.xtil_n(1) = 100.125;
  te.ytil_n(1) = 200.55;
  te.itil_n(1) = 100;
  te.jtil_n(1) = 200;
  te.ucen_n(1) = 400.0;
  te.vcen_n(1) = 300.0;
  te.icen_n(1) = 507;
  te.jcen_n(1) = 507;
  te.fff_n(1) = 1;
  te.pixv_n(151, 151, 1) = 1234.5f;
  te.pixu_n(151, 151, 1) = 2;
  te.sky_n(1) = 12.5f;
  te.filepsf_n(1) = "psf/lib.fits";
  te.filegcs_n(1) = "NULL";
  te.filepix_n(1) = "img/ir_flt.fits";
  std::ostringstream os;
  write_exposure_line(os, 4, 3, kUref, kVref, te, 1);
  const std::string expected = std::string("004 003") + "     " + "0436 0316" + "     " + "N001 G002 C1" + " " +
                               "  436.3  315.5" + " " + "  100.1  200.6" + " " + " 0100  0200" + " " +
                               "[-0050: 0250, 0050: 0350]" + " " + "  400.0  300.0" + " " + "  507  507 1" + " " +
                               "     1234.50000" + " " + "2    12.50000" + " " + "psf/lib.fits        " + " " +
                               "NULL                " + " " + pad("img/ir_flt.fits", 80) + "\n";
  EXPECT_EQ(os.str(), expected);
}

TEST(InitTileB, WholeTileWithABrightStar) {
  TempDir dir;
  write_ir("ir.fits", 400, 400, 100.0f, 3.0f);
  ImageSlots s = make_slots(1);
  place_slot(s, 1, 9, kUref, kVref, 200.2, 200.2, "ir.fits");
  TileExposures te;
  init_tile_a(4, 3, kUref, kVref, s, te, false);
  ASSERT_EQ(te.ns, 1);
  te.allocate_rasters(te.ns);
  BrightStars b;
  b.bs = 2;
  b.uref_b(1) = kUref + 10.0;  // in the tile
  b.vref_b(1) = kVref;
  b.zref_bf(1, 1) = 100000.0f;
  b.zref_bf(1, 2) = 0.001f;
  b.uref_b(2) = kUref + 2000.0;  // far away
  b.vref_b(2) = kVref;
  LocalBrightStars local;
  Settings settings;
  settings.verbose = 1;
  int bbs = -1;
  auto r = capture([&] { bbs = init_tile_b(4, 3, kUref, kVref, te, b, local, settings); });
  ASSERT_FALSE(r.stopped) << r.out << r.err;
  EXPECT_EQ(bbs, 1);
  auto lines = split_lines(r.out);
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[0], " ENTER init_tile_b... Ns:  1");
  EXPECT_EQ(lines[1], " init_tile_b... read in Ns:  1");
  EXPECT_EQ(lines[2].substr(0, 38), "004 003     0436 0316     N001 G001 C1");
  EXPECT_EQ(lines[4], "       init_tile --- C   Ns:  1 2");
  EXPECT_EQ(lines[5], "ENTER FIND_LOC_BRITE:  ...");
  EXPECT_EQ(lines[8], " INIT_TILE:  MASK_TILE...   ");
  EXPECT_EQ(lines[10], "                    UREF_T:  436");
  EXPECT_EQ(lines[14], "        CALL MASK...   Bs:  2 1");
  EXPECT_EQ(lines[lines.size() - 2], " ----> N 1  /  1");
  EXPECT_EQ(lines.back(), " RETURN FROM init_tile...");

  // The raster centre is raw (200, 200); the tile reaches about 67 raw pixels
  // either way (75 reference pixels, 1.119 corrected per raw pixel), so with
  // the 4-step margin the rest of the raster is blanked.
  EXPECT_EQ(te.pixu_n(151, 151, 1), 0);
  EXPECT_NEAR(te.pixv_n(151, 151, 1), 100.0f, 5.0f);
  EXPECT_EQ(te.pixe_n(151, 151, 1), 3.0f);
  EXPECT_EQ(te.pixu_n(84, 151, 1), 0);
  EXPECT_EQ(te.pixu_n(80, 151, 1), 3);
  EXPECT_EQ(te.pixu_n(1, 1, 1), 3);
  EXPECT_EQ(te.pixv_n(1, 1, 1), -500.0f);
  // The star lies 10 reference pixels (about 9 raw) to the right of the centre.
  const float at_star = te.pixm_n(160, 151, 1);
  EXPECT_GT(at_star, 40.0f);
  EXPECT_GT(at_star, te.pixm_n(151, 151, 1));
  EXPECT_EQ(te.pixm_n(1, 1, 1), 0.0f);  // beyond the IR halo and spikes
}

TEST(InitTileB, TruncatedExposureEndsTheRun) {
  TempDir dir;
  write_ir("ir.fits", 300, 300, 50.0f, 2.0f);
  const std::string whole = read_file("ir.fits");
  write_bytes("ir.fits", whole.substr(0, whole.size() - 2880));
  auto r = capture([&] { value_at("ir.fits", 150, 150, 0.0f, 151, 151); });
  EXPECT_TRUE(r.errored);
  EXPECT_EQ(r.status, 2);
}

}  // namespace
