// The catalogue logs: which files a run opens, their headers, and the
// fixed-column records of committed stars, each against a line derived by hand
// from its record format.
//
// The helpers behind the XYFIND record and the local-list region files:
// nearest bright star, local flux in a stack, field clipping, magnitudes, reg_tile.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

#include "output/catalogue_logs.h"
#include "output/star_records.h"
#include "support/test_support.h"

using namespace zeb::test;

namespace {

std::unique_ptr<zeb::CatalogueLogs> open_logs(const zeb::Settings& st) {
  std::unique_ptr<zeb::CatalogueLogs> logs;
  auto c = capture([&] { logs = std::make_unique<zeb::CatalogueLogs>(st); });
  EXPECT_EQ(c.out, "OPEN INPUT FILES...  \n");
  return logs;
}

// One committed star: local entry 3 of tile (2, 3), master entry 1234, seen
// by two exposures of which only the second was measured by method 1.
struct StarCase {
  TempDir dir;
  zeb::Settings st;
  zeb::MasterList master;
  std::unique_ptr<zeb::LocalList> local = std::make_unique<zeb::LocalList>();
  zeb::TileExposures te;
  zeb::LocalExposureResults res{2};
  std::unique_ptr<zeb::TileStacks> stacks = std::make_unique<zeb::TileStacks>();
  zeb::BrightStars bright;
  zeb::TilePlace tile{2, 3, 196, 316};
  static constexpr int L = 3, N = 1234;

  StarCase() {
    st.cmode = 'R';
    st.logfinfo = 1;
    st.lognimfo = 1;
    st.rsiz_nit(11) = 0.75f;
    st.rcol_nit(11) = "red";
    st.rwid_nit(11) = 2;
    master.allocate(2);
    zeb::reset_local(*local);
    zeb::LocalList& lo = *local;
    lo.u0_l(L) = 161.0f;
    lo.v0_l(L) = 141.0f;
    lo.uf_l(L) = 161.0f;
    lo.vf_l(L) = 141.0f;
    lo.w0_l(L) = 0;
    lo.y0_l(L) = 2;
    lo.cfnd_l(L) = 12;
    lo.qfnd_l(L) = 5;
    lo.qmin_l(L) = 4;
    lo.dfnd_l(L) = 6;
    lo.dmin_l(L) = 3;
    lo.pfnd_l(L) = 7;
    lo.pmin_l(L) = 2;
    lo.z0_lf(L, 1) = 1000.0f;
    lo.sz0_lf(L, 1) = 2.5f;
    lo.f0_lf(L, 1) = 5;
    lo.g0_lf(L, 1) = 4;
    lo.u1_lf(L, 1) = 162.0f;
    lo.v1_lf(L, 1) = 140.0f;
    lo.z1_lf(L, 1) = 800.0f;
    lo.su1_lf(L, 1) = 12.0f;     // clipped to 9.99
    lo.sv1_lf(L, 1) = -1.0f;     // clipped to 0
    lo.sz1_lf(L, 1) = 2.0e5f;    // clipped to 99999
    lo.q1_lf(L, 1) = 0.25f;
    lo.o1_lf(L, 1) = 1.5f;
    lo.f1_lf(L, 1) = 6;
    lo.g1_lf(L, 1) = 5;

    master.umast0(N) = 201.0;
    master.vmast0(N) = 311.0;
    master.xmast0(N) = -2.0e6f;  // clipped to -99.999
    master.ymast0(N) = 2.0e6f;  // clipped
    master.wmast0(N) = 0;

    te.ns = 2;
    te.itil_n(2) = 500;
    te.jtil_n(2) = 600;
    te.ggg_n(2) = 7;
    te.ccc_n(2) = 1;
    te.fff_n(2) = 2;
    res.f1_ln(L, 2) = 1;
    res.z1_ln(L, 2) = 0.5f;  // magnitude of a flux below 1: 0
    res.u0_ln(L, 2) = 160.5f;
    res.v0_ln(L, 2) = 140.25f;
    res.z0_ln(L, 2) = 1234.5f;
    res.sz0_ln(L, 2) = 12.4f;
    res.gp0_ln(L, 2) = 1;
    res.gz0_ln(L, 2) = 1;
    res.u1_ln(L, 2) = 160.75f;
    res.v1_ln(L, 2) = 140.5f;
    res.x1_ln(L, 2) = 150.5f;
    res.y1_ln(L, 2) = 152.25f;
    res.sz1_ln(L, 2) = 2.5f;
    res.q1_ln(L, 2) = 0.125f;
    res.o1_ln(L, 2) = 3.5f;
    res.x2_ln(L, 2) = 150.0f;
    res.y2_ln(L, 2) = 152.0f;
    res.f2_ln(L, 1) = 0;  // exposure 1: neither method 1 nor 2 -> no line

    stacks->stackv_tf(161, 141, 1) = 40.0f;  // local flux 40 / 4
    stacks->stackm_tf(161, 141, 1) = 0.5f;
    bright.bs = 2;
    bright.uref_b(1) = 200.0;  // distance hypot(1, 11)
    bright.vref_b(1) = 300.0;
    bright.zref_bf(1, 1) = 5000.0f;
    bright.uref_b(2) = 210.0;  // distance hypot(9, 9)
    bright.vref_b(2) = 320.0;
    bright.zref_bf(2, 1) = 7000.0f;
  }

  void write() {
    auto logs = open_logs(st);
    zeb::write_star_records(*logs, *local, L, master, N, {'R', N}, tile, te, res, *stacks, bright, st);
  }
};

}  // namespace

TEST(CatalogueLogs, OrdinaryRunOpensItsLogsWithHeaders) {
  TempDir dir;
  zeb::Settings st;
  st.cmode = 'R';
  st.mosaic_x1 = 1;
  st.mosaic_x2 = 0;
  auto logs = open_logs(st);
  namespace fs = std::filesystem;
  for (const char* f : {"LOGR.XYFIND", "LOGR.XYVIQ0", "LOGR.XYVIQ1", "LOGR.XYVIQ2", "LOGR.XYVIQ3", "LOGR.XYVIQS",
                        "LOGR.found_uv1.reg", "LOGK.SETUP"})
    EXPECT_TRUE(fs::exists(f)) << f;
  for (const char* f : {"LOGR.found_uv2.reg", "LOGR.INPUT", "LOGR.FIND_AVG_Z0_F", "LOGR.FIND_NIMFO"})
    EXPECT_FALSE(fs::exists(f)) << f;
  EXPECT_EQ(read_file("LOGR.XYFIND"), "");
  EXPECT_EQ(read_file("LOGR.found_uv1.reg"), "# Region file format: DS9 version 3.0\n");

  // Both filter groups are numbered after the four fixed columns.
  std::vector<std::string> xyviq0 = {
      "#",
      std::string("#  ") + " umast0 " + " " + " vmast0 " + " " + " mmast0 " + "   " + " " + "NMAST " + " " + "  " +
          "     zmast0  " + " " + "   szmast0  f0 p0",
      std::string("#  ..(01).. ..(02)..  ..(3)..   .(04). ") + "  F1.....(05).. .....(06).. 07 08" +
          "  F2.....(09).. .....(10).. 11 12",
      "#"};
  EXPECT_EQ(read_lines("LOGR.XYVIQ0"), xyviq0);
  // The region files of found stars belong to every mode but A.
  for (const char mode : {'A', 'C', 'D'}) {
    st.cmode = mode;
    open_logs(st);
    EXPECT_EQ(fs::exists(std::string("LOG") + mode + ".found_uv1.reg"), mode != 'A') << mode;
  }
}

// A tile's records reach the files together when it ends (a run killed in
// the middle of a tile leaves whole tiles only), and a resumed run continues
// each log from the length its last finished tile left, cutting off what came
// after.
TEST(CatalogueLogs, ATilesRecordsReachTheFilesTogetherWhenItEnds) {
  TempDir dir;
  zeb::Settings st;
  st.cmode = 'R';
  zeb::LogLengths after_headers;
  {
    auto logs = open_logs(st);
    after_headers = logs->lengths();
    logs->setup() << "tile line\n";
    zeb::write_zero_records(*logs, {'R', 1});
    EXPECT_EQ(read_file("LOGK.SETUP"), "");
    EXPECT_EQ(read_lines("LOGR.XYVIQ3").size(), 4u);  // the header only
    logs->flush();
    EXPECT_EQ(read_file("LOGK.SETUP"), "tile line\n");
    EXPECT_EQ(read_lines("LOGR.XYVIQ3").size(), 5u);
    logs->setup() << "a tile that did not finish\n";
  }  // an orderly stop: what was written is kept
  EXPECT_EQ(read_file("LOGK.SETUP"), "tile line\na tile that did not finish\n");
  const std::string xyviq0 = read_file("LOGR.XYVIQ0");
  std::unique_ptr<zeb::CatalogueLogs> resumed;
  capture([&] { resumed = std::make_unique<zeb::CatalogueLogs>(st, &after_headers); });
  EXPECT_EQ(read_file("LOGK.SETUP"), "");
  EXPECT_EQ(read_lines("LOGR.XYVIQ3").size(), 4u);
  EXPECT_EQ(read_file("LOGR.XYVIQ0"), xyviq0.substr(0, xyviq0.find("\n#\n") + 3));
}

// A log that cannot be written (a full disk: here the device that is always
// full) ends the run with a run-time error naming it, never silently short.
TEST(CatalogueLogs, AWriteThatFailsIsARunTimeErrorNamingTheLog) {
  TempDir dir;
  std::filesystem::create_symlink("/dev/full", "LOGR.XYVIQ2");
  zeb::Settings st;
  st.cmode = 'R';
  Captured c = capture([&] { zeb::CatalogueLogs logs(st); });
  EXPECT_TRUE(c.errored);
  EXPECT_EQ(c.err, "zeb: run-time error: LOGR.XYVIQ2: could not be written (is the disk full?)\n");
}

TEST(StarRecords, EveryLogOfACommittedStar) {
  StarCase s;
  s.write();
  const std::string id = "R0001234";

  std::vector<std::string> z0 = read_lines("LOGR.FIND_AVG_Z0_F");
  ASSERT_EQ(z0.size(), 6u);  // header and one line per filter
  EXPECT_EQ(z0[4], std::string(" ") + "  201.00" + " " + "  311.00" + "     " + "     1000.00000" + " " +
                       "      2.50" + " " + " 5" + " " + " 4" + " L0003 1 0 " + id);
  EXPECT_EQ(z0[5], std::string(" ") + "  201.00" + " " + "  311.00" + "     " + "        0.00000" + " " +
                       "      0.00" + " " + " 0" + " " + " 0" + " L0003 2 0 " + id);

  std::vector<std::string> uv1 = read_lines("LOGR.FIND_AVG_UV1_F");
  ASSERT_EQ(uv1.size(), 6u);
  // su1 12 -> 9.99, sv1 -1 -> 0, sz1 2e5 -> 99999.
  EXPECT_EQ(uv1[4], std::string(" ") + "  201.5000" + " " + "  310.5000" + " " + "      800.00000" + "     " +
                        " 9.990" + " " + " 0.000" + " " + "99999.00" + "     " + "  0.2500" + " " +
                        "        1.50000" + " " + "   " + " 6" + " " + " 5" + " " + "   " + "L0003" + " " +
                        "  161.00" + " " + "  141.00" + " 0 1 " + id);

  std::vector<std::string> nimfo = read_lines("LOGR.FIND_NIMFO");
  ASSERT_EQ(nimfo.size(), 6u);  // five header lines, exposure 2 only
  const std::string zero_group = std::string("        0.00000") + " " + "     0.0" + " " + "0.0000" + " " + "    0.0" +
                                 " 0 0";
  EXPECT_EQ(nimfo[5], std::string(" ") + "   201.00000" + " " + "   311.00000" + " " + "  0.0000" + "   " + "160.500" +
                          " " + "140.250" + " " + "  1234.5" + " " + "    12.4" + " 1 1" + "   " + "160.750" + " " +
                          "140.500" + " " + "   " + "150.500" + " " + "152.250" + " " + "   " + " 499.500" + " " +
                          " 601.250" + " " + "   " + "        0.50000" + " " + "     2.5" + " " + "0.1250" + " " +
                          "    3.5" + " 1 0" + "   " + " 150.000" + " " + " 152.000" + " " + "   " + zero_group +
                          "   " + zero_group + "   " + id + "  L003 N002  G007.1 F2 C");

  // Discovery position 0.5 (161 - 151) + 196, 0.5 (141 - 151) + 316; xmast0
  // -2e6 and ymast0 2e6 clipped; local flux 40 / 4; first bright star nearer.
  EXPECT_EQ(read_file("LOGR.XYFIND"),
            std::string(" ") + "  201.000" + " " + "  311.000" + " " + " -7.500" + "   " + "161.000" + " " +
                "141.000" + "   " + "-99.999" + " " + "999.999" + "   " + id + "   L0003 IT002 JT003   W0 Y2   " +
                "C012 Q005/004 D006/003 P007/002" + "   " + "   10.0" + " " + "    0.5" + "   " + "  200.0" + " " +
                "  300.0" + " " + "     5000.0" + "\n");
  EXPECT_FLOAT_EQ(s.local->flux_l(3), 10.0f);
  EXPECT_FLOAT_EQ(s.local->mf_l(3), -7.5f);

  // A starting-list star (iteration 0) in style 11.
  EXPECT_EQ(read_lines("LOGR.found_uv1.reg").at(1), "linear;circle(    201.0,   311.0, 0.750) # color=red     width=2");
  EXPECT_EQ(read_lines("LOGR.found_uv2.reg").at(1), "linear;circle(    402.0,   622.0, 0.750) # color=red     width=2");
}

TEST(StarRecords, XyviqLinesClipAndTakeMagnitudesOfFluxesBelowOne) {
  StarCase s;
  zeb::MasterList& m = s.master;
  m.umast0(s.N) = 123.456789;
  m.vmast0(s.N) = 456.5;
  m.zmast0(s.N, 1) = 100.0f;
  m.zmast0(s.N, 2) = -50.0f;  // negative flux unchanged
  m.szmast0(s.N, 1) = 1.5f;
  m.szmast0(s.N, 2) = -5.0e6f;  // clipped to -999999
  m.fmast0(s.N, 1) = 3;
  m.gmast0(s.N, 1) = 2;
  m.fmast0(s.N, 2) = 4;
  m.gmast0(s.N, 2) = 1;
  m.zmast1(s.N, 1) = -20.0f;  // magnitude 0
  m.qmast1(s.N, 1) = 0.123f;
  m.qmast1(s.N, 2) = 150.0f;      // above 99: the largest q the field shows
  m.omast1(s.N, 1) = -2.0e4f;     // clipped to -9999
  m.zmast3(s.N, 1) = 2.0e6f;      // clipped to 999999
  m.zmast3(s.N, 2) = -2.0e5f;     // clipped to -99999
  m.barsky(s.N, 1) = 12.5f;
  m.rmssky(s.N, 1) = -1.0f;       // clipped to 0
  m.barsky(s.N, 2) = 1500.0f;     // clipped to 999.9
  m.rmssky(s.N, 2) = 3.25f;
  s.write();
  const std::string id = "R0001234";
  const std::string pos = std::string("   ") + "   123.45679" + " " + "   456.50000";

  EXPECT_EQ(read_lines("LOGR.XYVIQ0").at(4), pos + " " + " -5.0000" + " " + id + " " + "  " + "      100.00000" +
                                                " " + "      1.500" + " " + "  3" + " " + "  2" + "  " +
                                                "      -50.00000" + " " + "-999999.000" + " " + "  4" + " " + "  1");
  EXPECT_EQ(read_lines("LOGR.XYVIQ1").at(4), pos + " " + "  0.0000" + " " + id + " " + "  " + "      -20.00000" +
                                                " " + "      0.000" + " " + "0.123" + " " + " -9999.00000" +
                                                " " + "  0" + " " + "  0" + "  " + "        0.00000" + " " +
                                                "      0.000" + " " + "9.999" + " " + "     0.00000" + " " + "  0" +
                                                " " + "  0");
  // XYVIQ2: second coordinate f15.5, error f13.5, o f15.5.
  EXPECT_EQ(read_lines("LOGR.XYVIQ2").at(4),
            std::string("   ") + "   123.45679" + " " + "      456.50000" + " " + "  0.0000" + " " + id + " " + "  " +
                "        0.00000" + " " + "      0.00000" + " " + "0.000" + " " + "        0.00000" + " " + "  0" +
                " " + "  0" + "  " + "        0.00000" + " " + "      0.00000" + " " + "0.000" + " " +
                "        0.00000" + " " + "  0" + " " + "  0");
  EXPECT_EQ(read_lines("LOGR.XYVIQS").at(4), std::string("   ") + id + "   " + "   999999.00000" + " " +
                                                "    12.50000" + " " + "     0.00000" + "   " + "   -99999.00000" +
                                                " " + "   999.90000" + " " + "     3.25000");
}

TEST(StarRecords, ModeAZeroRecordsAndInputLine) {
  TempDir dir;
  zeb::Settings st;
  st.cmode = 'A';
  auto logs = open_logs(st);
  zeb::write_zero_records(*logs, {'A', 17});
  zeb::ArtInputLine a;
  a.u = 200.25;
  a.v = 300.5;
  a.it = 2;
  a.jt = 3;
  a.nartu = 1;
  a.nartf = 4;
  a.ia = 159.5;
  a.ja = 120.0;
  a.i1 = 120;
  a.i2 = 200;
  a.j1 = 80;
  a.j2 = 160;
  a.nit = 2;
  a.p = 5;
  a.q = 3;
  a.c = 12;
  a.id = 42;
  a.z = {10000.0, -2.0e6};  // the second clipped to -999999
  a.reported = {0.75f, 0.0f};
  a.sky = {1.5f, 0.0f};
  a.sky_scatter = {0.125f, 0.0f};
  zeb::write_art_input_line(*logs->input(), a);
  logs->flush();

  const std::string id = "A0000017";
  const std::string z0 = std::string("  ") + "        0.00000" + " " + "      0.000" + " " + "  0" + " " + "  0";
  EXPECT_EQ(read_lines("LOGA.XYVIQ0").at(4),
            std::string("   ") + "     0.00000" + " " + "     0.00000" + " " + "  0.0000" + " " + id + " " + z0 + z0);
  EXPECT_EQ(read_lines("LOGA.INPUT").at(4),
            std::string("  200.250") + " " + "  300.500" + " " + "-10.0000" + "      " + "002" + " " + "003" + " " +
                "  1" + " " + "  4" + "     " + "159.50" + " " + "120.00" + "      " + "120" + " " + "200" + " " +
                " 80" + " " + "160" + "     " + "2" + " " + "  5" + " " + "  3" + " " + " 12" + "     " +
                "A0000042" + "     " + " " + "    10000.00000" + " " + "    0.75" + " " + "    1.50" + " " +
                "   0.125" + " " + "  -999999.00000" + " " + "    0.00" + " " + "    0.00" + " " + "   0.000");
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
  // Pixels exactly 5 away (squared distance 25) lie beyond the annulus: they
  // lower only the shifted centres, which they reach.
  zeb::Array2<float> ring(301, 301, 0.0f);
  ring(100, 100) = 40.0f;
  for (int dj = -5; dj <= 5; ++dj)
    for (int di = -5; di <= 5; ++di)
      if (di * di + dj * dj == 25) ring(100 + di, 100 + dj) = 1.0f;
  EXPECT_FLOAT_EQ(zeb::loc_flux(ring.view(), 100.0, 100.0), 10.0f);
}
