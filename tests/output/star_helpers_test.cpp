// The helpers behind the XYFIND record and the local-list region files:
// nearest bright star, local flux in a stack, field clipping, magnitudes, reg_tile.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "output/catalogue_logs.h"
#include "output/star_records.h"
#include "support/test_support.h"

using zeb::test::capture;
using zeb::test::read_lines;
using zeb::test::TempDir;

TEST(FindBriteProx, NearestWinsAndTheFirstOfEquallyNearOnes) {
  zeb::BrightStars b;
  zeb::BrightNeighbour none = zeb::find_brite_prox(10.0, 10.0, b);
  EXPECT_EQ(none.u, 0.0);
  EXPECT_EQ(none.v, 0.0);
  EXPECT_EQ(none.z, 0.0f);
  b.bs = 3;
  b.uref_b(1) = 13.0;  // distance 3
  b.vref_b(1) = 10.0;
  b.zref_bf(1, 1) = 1.0f;
  b.uref_b(2) = 10.0;  // distance 3 as well: the first stays
  b.vref_b(2) = 7.0;
  b.zref_bf(2, 1) = 2.0f;
  b.uref_b(3) = 20.0;
  b.vref_b(3) = 20.0;
  b.zref_bf(3, 1) = 3.0f;
  b.zref_bf(1, 2) = 99.0f;
  zeb::BrightNeighbour n = zeb::find_brite_prox(10.0, 10.0, b);
  EXPECT_EQ(n.u, 13.0);
  EXPECT_EQ(n.v, 10.0);
  EXPECT_EQ(n.z, 1.0f);  // the filter-1 flux
  b.vref_b(2) = 7.5;      // now strictly nearer
  EXPECT_EQ(zeb::find_brite_prox(10.0, 10.0, b).z, 2.0f);
}

TEST(LocFlux, ApertureLessAnnulusInReferencePixelUnits) {
  zeb::Array2<float> img(301, 301);
  for (int j = 1; j <= 301; ++j)
    for (int i = 1; i <= 301; ++i) img(i, j) = 7.0f;  // a flat level cancels
  img(150, 160) = 47.0f;
  auto view = img.view();
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, 150.2, 159.8), 10.0f);  // (47 - 7) / 4
  // A peak three pixels off the nearest pixel is caught only by the shifted
  // centre one pixel towards it (squared distance 4 < 6).
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, 147.0, 160.0), 10.0f);
  // A hole gives nothing below 0.
  img(150, 160) = -93.0f;
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, 150.0, 160.0), 0.0f);
  // Too near the edge, or not a number.
  img(12, 160) = 1007.0f;
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, 10.0, 160.0), 250.0f);
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, 9.99, 160.0), 0.0f);
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, 150.0, 292.01), 0.0f);
  EXPECT_FLOAT_EQ(zeb::loc_flux(view, std::nan(""), 150.0), 0.0f);
}

TEST(FieldClipping, StatedRangeThenWhatTheFieldShows) {
  EXPECT_EQ(zeb::clip_field(12.0, 0, 9.99, 6, 3), 9.99);
  EXPECT_EQ(zeb::clip_field(-1.0, 0, 9.99, 6, 3), 0.0);
  EXPECT_EQ(zeb::clip_field(5.5, 0, 9.99, 6, 3), 5.5);
  EXPECT_DOUBLE_EQ(zeb::clip_field(150.0, -9, 99, 5, 3), 9.999);   // f5.3 shows at most 9.999
  EXPECT_DOUBLE_EQ(zeb::clip_field(-5.0, -9, 99, 5, 3), -0.999);   // and -.999
  EXPECT_DOUBLE_EQ(zeb::clip_field(2e6, -9999, 99999, 7, 3), 999.999);
  EXPECT_TRUE(std::isnan(zeb::clip_field(std::nan(""), 0, 1, 8, 2)));
}

TEST(Magnitude, FluxBelowOneOrNotANumberCountsAsOne) {
  EXPECT_DOUBLE_EQ(zeb::magnitude_of(100.0), -5.0);
  EXPECT_EQ(zeb::magnitude_of(0.999), 0.0);
  EXPECT_EQ(zeb::magnitude_of(-50.0), 0.0);
  EXPECT_EQ(zeb::magnitude_of(std::nan("")), 0.0);
}

TEST(RegTile, IterationFileRewrittenAndCollectingFileKeptOpenUntilNitmax) {
  TempDir dir;
  std::filesystem::create_directory("AUX");
  zeb::Settings st;
  st.cmode = 'R';
  st.verbose = 1;
  st.nitminmaxu = {1, 2};
  st.rsiz_nit(1) = 1.0f;
  st.rcol_nit(1) = "green";
  st.rwid_nit(1) = 1;
  st.rsiz_nit(2) = 2.0f;
  st.rsiz_nit(3) = 3.0f;
  st.rsiz_nit(11) = 0.5f;
  st.rcol_nit(11) = "magenta";
  st.rwid_nit(11) = 3;
  zeb::Array1<float> u(5), v(5);
  zeb::Array1<int> w(5);
  u(1) = 100.0f;
  v(1) = 120.3f;
  w(1) = 0;  // starting-list star: style 11
  u(2) = 200.0f;
  v(2) = 50.0f;
  w(2) = 1;
  std::unique_ptr<zeb::CatalogueLogs> logs;
  capture([&] { logs = std::make_unique<zeb::CatalogueLogs>(st); });
  zeb::test::Captured c = capture([&] { logs->reg_tile(2, u, v, w, 1, st); });
  EXPECT_EQ(c.out, "ENTER reg_tile...    2\n EXIT reg_tile...    2\n");
  std::vector<std::string> nit1 = {"linear;circle(    100.0,   120.3, 0.500) # color=magenta width=3",
                                   "linear;circle(    200.0,    50.0, 1.000) # color=green   width=1"};
  EXPECT_EQ(read_lines("AUX/SHOW_TILE_LOG.FIND_NIT01.reg"), nit1);
  capture([&] { logs->reg_tile(1, u, v, w, 2, st); });
  EXPECT_EQ(read_lines("AUX/SHOW_TILE_LOG.FIND_NIT02.reg"),
            std::vector<std::string>{"linear;circle(    100.0,   120.3, 0.500) # color=magenta width=3"});
  // The NIT-09 file: the size of iteration NIT + 1, closed at NITMAX.
  std::vector<std::string> nit9 = {"linear;circle(    100.0,   120.3, 2.000) # color=magenta width=3",
                                   "linear;circle(    200.0,    50.0, 2.000) # color=green   width=1",
                                   "linear;circle(    100.0,   120.3, 3.000) # color=magenta width=3"};
  EXPECT_EQ(read_lines("AUX/SHOW_TILE_LOG.FIND_NIT09.reg"), nit9);
  // A call for NIT 9 (a tile's final list) rewrites that file with its own circles.
  capture([&] { logs->reg_tile(1, u, v, w, 9, st); });
  EXPECT_EQ(read_lines("AUX/SHOW_TILE_LOG.FIND_NIT09.reg"), std::vector<std::string>{nit1[0]});
}
