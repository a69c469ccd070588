// Starting lists, bright stars and artificial stars from the parameter-file
// items, with their failure blocks and logs. Expected records are written out
// by hand from the record formats.
#include "setup/source_lists.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/text.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::capture;
using test::Captured;
using test::read_file;
using test::TempDir;
using test::write_file;

// A parameter line as the tokenizer hands it over: the 200-character text and
// its blank-separated fields.
ParamLine param_line(const std::string& text) {
  ParamLine line;
  line.text = pad(text, 200);
  std::size_t p = 0;
  while ((p = text.find_first_not_of(' ', p)) != std::string::npos) {
    const std::size_t e = text.find(' ', p);
    line.fields.push_back(text.substr(p, e == std::string::npos ? std::string::npos : e - p));
    p = e;
  }
  line.where = "params.txt line 7";
  return line;
}

std::string lines(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& l : v) s += l + '\n';
  return s;
}

struct Lists {
  MasterList master;
  BrightStars bright;
  ArtificialStars art;
  Lists() {
    master.allocate(2);
    art.allocate(2);
  }
};

TEST(StartingList, PremagKeepsStarsBrighterThanALimitInEitherFilter) {
  TempDir dir;
  write_file("pre.txt", lines({"# u v m1 m2", "100.0 200.0 -10 5", "300.0 400.0 1 1", "50.5, 60.25, 0, -2.5"}));
  Lists l;
  int next = 0;
  Captured c = capture([&] { next = item_premag(param_line("PREMAG pre.txt 0 0 BRITE x"), 1, true, l.master); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(next, 5);
  EXPECT_EQ(c.out, "          NMASTi:      2\n");
  ASSERT_EQ(l.master.nmasti, 2);
  // -10 is a magnitude (flux 10^4); +5 is kept as a flux.
  EXPECT_DOUBLE_EQ(l.master.umast0(1), 100.0);
  EXPECT_DOUBLE_EQ(l.master.vmast0(1), 200.0);
  EXPECT_FLOAT_EQ(l.master.zmast0(1, 1), 10000.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(1, 2), 5.0f);
  // The +1 +1 star (fluxes 1 and 1, not above 1) is dropped and its entry
  // taken by the next star; a zero value becomes 0.001.
  EXPECT_DOUBLE_EQ(l.master.umast0(2), 50.5);
  EXPECT_DOUBLE_EQ(l.master.vmast0(2), 60.25);
  EXPECT_FLOAT_EQ(l.master.zmast0(2, 1), 0.001f);
  EXPECT_FLOAT_EQ(l.master.zmast0(2, 2), 10.0f);
}

TEST(StartingList, PreflxKeepsValuesAsFluxesAndALaterListReplacesTheEarlier) {
  TempDir dir;
  write_file("a.txt", lines({"1 2 3 4", "5 6 7 8", "9 10 11 12"}));
  write_file("b.txt", lines({"10 20 -5 0.5", "30 40 2 -1"}));
  Lists l;
  Captured c = capture([&] {
    item_premag(param_line("PREFLX a.txt 0 0"), 1, false, l.master);
    item_premag(param_line("PREFLX b.txt 0 0"), 1, false, l.master);
  });
  ASSERT_FALSE(c.stopped) << c.out;
  ASSERT_EQ(l.master.nmasti, 1);
  EXPECT_DOUBLE_EQ(l.master.umast0(1), 30.0);
  EXPECT_FLOAT_EQ(l.master.zmast0(1, 1), 2.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(1, 2), -1.0f);  // not a magnitude for PREFLX, not floored
}

TEST(StartingList, PremagWithoutItsTwoLimitsStopsShowingTheLine) {
  TempDir dir;
  write_file("pre.txt", "1 2 3 4\n");
  Lists l;
  const ParamLine line = param_line("PREMAG pre.txt -3");
  Captured c = capture([&] { item_premag(line, 1, true, l.master); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "");
  const std::string expected = " NEED to have _FDIM_ columns in PREMAG/BRITE spec\n"
                               "  \n"
                               " STRING:  " + pad("PREMAG pre.txt -3", 200) + "\n" +
                               "   N:  1 " + pad("PREMAG", 40) + "\n" +
                               "   N:  2 " + pad("pre.txt", 40) + "\n" +
                               "   N:  3 " + pad("-3", 40) + "\n";
  EXPECT_EQ(c.out, expected);
}

TEST(StartingList, ALineWithFewerThanFourNumbersStopsWithTheFileAndTheLine) {
  TempDir dir;
  write_file("short.txt", lines({"1 2 3 4", "5 6 7"}));
  Lists l;
  Captured c = capture([&] { item_premag(param_line("PREMAG short.txt 0 0"), 1, true, l.master); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  const std::string expected = "  \n"
                               " NEED to have _FDIM_ columns in PREMAG/BRITE..\n"
                               "  \n"
                               " FILE  :   " + pad("short.txt", 60) + "\n" +
                               "  \n"
                               " Line from PREMAG/BRITE that did not have enough entries: \n"
                               "  \n"
                               " STRING:   " + pad("5 6 7", 200) + "\n" +
                               "  \n"
                               " ---> short.txt line 2\n";
  EXPECT_EQ(c.out, expected);

  // A null value or a slash before the fourth number is a short line too: the
  // entry would otherwise keep a value of an earlier star.
  write_file("null.txt", "1 2 ,, 4\n");
  EXPECT_TRUE(capture([&] { item_premag(param_line("PREMAG null.txt 0 0"), 1, true, l.master); }).stopped);
  write_file("slash.txt", "1 2 3 / 4\n");
  EXPECT_TRUE(capture([&] { item_premag(param_line("PREMAG slash.txt 0 0"), 1, true, l.master); }).stopped);
}

TEST(StartingList, BadInputEndsTheRunWithAMessageNamingTheFile) {
  TempDir dir;
  Lists l;
  Captured missing = capture([&] { item_premag(param_line("PREMAG nofile.txt 0 0"), 1, true, l.master); });
  EXPECT_TRUE(missing.errored);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("nofile.txt"), std::string::npos);

  write_file("bad.txt", lines({"1 2 3 4", "1 2 3 x4"}));
  Captured bad = capture([&] { item_premag(param_line("PREMAG bad.txt 0 0"), 1, true, l.master); });
  EXPECT_TRUE(bad.errored);
  EXPECT_NE(bad.err.find("bad.txt line 2"), std::string::npos) << bad.err;

  write_file("nan.txt", "nan 2 3 4\n");
  Captured nan = capture([&] { item_premag(param_line("PREMAG nan.txt 0 0"), 1, true, l.master); });
  EXPECT_TRUE(nan.errored);
  EXPECT_NE(nan.err.find("nan.txt line 1"), std::string::npos) << nan.err;

  // A magnitude whose flux overflows a 32-bit real is refused.
  write_file("bright.txt", "1 2 -200 4\n");
  EXPECT_TRUE(capture([&] { item_premag(param_line("PREMAG bright.txt 0 0"), 1, true, l.master); }).errored);

  // Text beyond column 200 would be ignored; the line is refused.
  write_file("long.txt", "1 2 3" + std::string(196, ' ') + "4\n");
  Captured lng = capture([&] { item_premag(param_line("PREMAG long.txt 0 0"), 1, true, l.master); });
  EXPECT_TRUE(lng.errored);
  EXPECT_NE(lng.err.find("long.txt line 1"), std::string::npos) << lng.err;

  Captured limit = capture([&] { item_premag(param_line("PREMAG bad.txt 0 zero"), 1, true, l.master); });
  EXPECT_TRUE(limit.errored);
  EXPECT_NE(limit.err.find("params.txt line 7"), std::string::npos) << limit.err;
}

// 199999 stars fill the master list; one more is refused by both readers.
TEST(StartingList, PremagPreflxAndDrivxyRefuseMoreStarsThanTheMasterListHolds) {
  TempDir dir;
  std::string full;
  full.reserve(200000 * 16);
  for (int n = 1; n <= NSTMAX; ++n) full += std::to_string(n % 1000) + " 7 20 20\n";
  write_file("full.txt", full + "3 4 5 6\n" + "# a comment\n");  // the last star is dropped (fluxes 5, 6 < 10)
  write_file("over.txt", full + "3 4 50 60\n");
  Lists l;
  Captured ok = capture([&] { item_premag(param_line("PREFLX full.txt -2.5 -2.5"), 1, false, l.master); });
  ASSERT_FALSE(ok.stopped) << ok.out.substr(0, 500);
  EXPECT_EQ(l.master.nmasti, NSTMAX);

  Captured over = capture([&] { item_premag(param_line("PREFLX over.txt -2.5 -2.5"), 1, false, l.master); });
  EXPECT_TRUE(over.stopped);
  EXPECT_EQ(over.status, 1);
  EXPECT_EQ(over.err, "STOP NMASTi.gt._NSTMAX_\n");
  EXPECT_NE(over.out.find("over.txt"), std::string::npos);

  write_file("exact.txt", full);
  Captured drv_ok = capture([&] { item_drivxy(param_line("DRIVXY exact.txt"), 1, l.master); });
  ASSERT_FALSE(drv_ok.stopped);
  EXPECT_EQ(l.master.nmasti, NSTMAX);
  Captured drv_over = capture([&] { item_drivxy(param_line("DRIVXY full.txt"), 1, l.master); });
  EXPECT_TRUE(drv_over.stopped);  // 200000 data lines
  EXPECT_EQ(drv_over.err, "STOP NMASTi.gt._NSTMAX_\n");
}

TEST(StartingList, DrivxyReadsPositionsWithOptionalValues) {
  TempDir dir;
  write_file("drv.txt", lines({"10 20", "30 40 -10", "# skipped", "50 60 -0.5 2", "70 80 -1.0 -1.5"}));
  Lists l;
  int next = 0;
  Captured c = capture([&] { next = item_drivxy(param_line("DRIVXY drv.txt NITMIN 1"), 1, l.master); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(next, 3);
  EXPECT_EQ(c.out, " ---> NMASTi:  4\n");
  ASSERT_EQ(l.master.nmasti, 4);
  EXPECT_FLOAT_EQ(l.master.zmast0(1, 1), 0.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(1, 2), 0.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(2, 1), 10000.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(2, 2), 0.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(3, 1), -0.5f);  // not below -1: kept as it is
  EXPECT_FLOAT_EQ(l.master.zmast0(3, 2), 2.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(4, 1), -1.0f);
  EXPECT_FLOAT_EQ(l.master.zmast0(4, 2), std::pow(10.0f, 0.6f));
  EXPECT_DOUBLE_EQ(l.master.umast0(4), 70.0);
  EXPECT_DOUBLE_EQ(l.master.vmast0(4), 80.0);
}

TEST(StartingList, DrivxyRefusesALineWithoutAPosition) {
  TempDir dir;
  write_file("drv.txt", lines({"10 20", "30"}));
  Lists l;
  Captured c = capture([&] { item_drivxy(param_line("DRIVXY drv.txt"), 1, l.master); });
  EXPECT_TRUE(c.errored);
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.err.find("drv.txt line 2"), std::string::npos) << c.err;
  write_file("blank.txt", lines({"10 20", ""}));
  Captured b = capture([&] { item_drivxy(param_line("DRIVXY blank.txt"), 1, l.master); });
  EXPECT_TRUE(b.errored);
  EXPECT_NE(b.err.find("blank.txt line 2"), std::string::npos) << b.err;
}

TEST(BrightStars, BriteKeepsFiltersBrighterThanTheLimitAndFloorsTheOthers) {
  TempDir dir;
  write_file("brite.txt", lines({"10.5 20.5 -13 -11", "30 40 -11 -11.5", "50 60 -12.5 -14"}));
  Lists l;
  int next = 0;
  Captured c = capture([&] { next = item_brite(param_line("BRITE brite.txt -12 -12"), 1, l.bright); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(next, 5);
  EXPECT_EQ(c.out, "              Bs:      2\n");
  ASSERT_EQ(l.bright.bs, 2);
  EXPECT_DOUBLE_EQ(l.bright.uref_b(1), 10.5);
  EXPECT_FLOAT_EQ(l.bright.zref_bf(1, 1), std::pow(10.0f, 5.2f));
  EXPECT_FLOAT_EQ(l.bright.zref_bf(1, 2), 0.001f);
  EXPECT_DOUBLE_EQ(l.bright.uref_b(2), 50.0);  // the second star was dropped
  EXPECT_FLOAT_EQ(l.bright.zref_bf(2, 1), 100000.0f);
  EXPECT_FLOAT_EQ(l.bright.zref_bf(2, 2), 398107.17f);
}

TEST(BrightStars, TheLimitOf3500AppliesToDataLinesDroppedStarsIncluded) {
  TempDir dir;
  std::string text;
  for (int n = 1; n <= BDIM; ++n) text += std::to_string(n) + " 5 " + (n == 1 ? "-20 -20" : "0 0") + "\n";
  write_file("b3500.txt", text);
  write_file("b3501.txt", text + "1 1 0 0\n");
  Lists l;
  Captured ok = capture([&] { item_brite(param_line("BRITE b3500.txt -12 -12"), 1, l.bright); });
  ASSERT_FALSE(ok.stopped);
  EXPECT_EQ(l.bright.bs, 1);

  Captured c = capture([&] { item_brite(param_line("BRITE b3501.txt -12 -12"), 1, l.bright); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            "  \n"
            " THE ROUTINE WANTS TO READ IN \n"
            " THIS MANY BRITE STARS      Bs:  3501\n"
            " THE HARDCODED LIMIT IS _BDIM_:  3500\n"
            " ---> b3501.txt\n");
  EXPECT_EQ(c.err, "STOP Bs.gt._BDIM_\n");
}

TEST(BrightStars, AddbriteAppendsAndTakesNegativeValuesAsMagnitudes) {
  TempDir dir;
  write_file("brite.txt", "10 20 -13 -13\n");
  Lists l;
  int next = 0;
  Captured c = capture([&] {
    item_brite(param_line("BRITE brite.txt -12 -12"), 1, l.bright);
    next = item_addbrite(param_line("ADDBRITE 100 200 -7.5 0.5 VERBOSE+"), 1, l.bright);
  });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(next, 6);
  ASSERT_EQ(l.bright.bs, 2);
  EXPECT_FLOAT_EQ(l.bright.zref_bf(2, 1), 1000.0f);
  EXPECT_FLOAT_EQ(l.bright.zref_bf(2, 2), 0.5f);
  // 20x, 'ADDBRITE: ', i7.7, 1x, 2f12.5, then per filter 3x f9.1 1x f7.3; a
  // flux below 1 shows magnitude 0.
  EXPECT_EQ(c.out,
            "              Bs:      1\n"
            "                    ADDBRITE: 0000002    100.00000   200.00000      1000.0  -7.500         0.5   0.000\n");

  // Missing values stay 0; a missing position is refused.
  Captured p = capture([&] { item_addbrite(param_line("ADDBRITE 5 6"), 1, l.bright); });
  ASSERT_FALSE(p.stopped);
  EXPECT_FLOAT_EQ(l.bright.zref_bf(3, 1), 0.0f);
  EXPECT_TRUE(capture([&] { item_addbrite(param_line("ADDBRITE 5"), 1, l.bright); }).errored);
}

TEST(BrightStars, AddbriteBeyond3500Stops) {
  Lists l;
  l.bright.bs = BDIM;
  Captured c = capture([&] { item_addbrite(param_line("ADDBRITE 1 2 3 4"), 1, l.bright); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.err, "STOP Bs.gt._BDIM_\n");
  EXPECT_EQ(l.bright.bs, BDIM);
}

TEST(ArtificialStars, AddartFluxOf1000AndMagnitudeOfMinus7p5AreTheSame) {
  Lists l;
  int next = 0;
  Captured c = capture([&] {
    next = item_addart(param_line("ADDART 100 200 1000 -7.5"), 1, l.art);
    item_addart(param_line("ADDART 1.25 2.5 -7.5 1000"), 1, l.art);
  });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(next, 6);
  ASSERT_EQ(l.art.narts, 2);
  EXPECT_DOUBLE_EQ(l.art.zart0(1, 1), 1000.0);
  EXPECT_DOUBLE_EQ(l.art.zart0(1, 2), 1000.0);
  EXPECT_DOUBLE_EQ(l.art.zart0(2, 1), 1000.0);
  EXPECT_DOUBLE_EQ(l.art.uart0(2), 1.25);
  EXPECT_EQ(c.out,
            "ADDART: 0000001    100.00000   200.00000      1000.0  -7.500      1000.0  -7.500\n"
            "ADDART: 0000002      1.25000     2.50000      1000.0  -7.500      1000.0  -7.500\n");
  l.art.narts = ARTMAX;
  Captured full = capture([&] { item_addart(param_line("ADDART 1 2 3 4"), 1, l.art); });
  EXPECT_TRUE(full.stopped);
  EXPECT_EQ(full.err, "STOP NARTs.gt._ARTMAX_\n");
}

TEST(ArtificialStars, ArtmagAndArtflxReadTheirFiles) {
  TempDir dir;
  write_file("art.txt", lines({"# u v m1 m2", "10 20 0 -2.5", "30 40 2.5 5"}));
  Lists l;
  l.art.narts = 7;  // a file replaces what ADDART lines gave before
  int next = 0;
  Captured c = capture([&] { next = item_artfile(param_line("ARTMAG art.txt ADDART"), 1, true, l.art); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(next, 3);
  EXPECT_EQ(c.out, " NARTs:  2\n");
  ASSERT_EQ(l.art.narts, 2);
  EXPECT_DOUBLE_EQ(l.art.zart0(1, 1), 1.0);  // magnitude 0: flux 1
  EXPECT_DOUBLE_EQ(l.art.zart0(1, 2), 10.0);
  EXPECT_DOUBLE_EQ(l.art.zart0(2, 1), 0.1);
  EXPECT_DOUBLE_EQ(l.art.zart0(2, 2), 0.01);

  Captured f = capture([&] { item_artfile(param_line("ARTFLX art.txt"), 1, false, l.art); });
  ASSERT_FALSE(f.stopped);
  EXPECT_DOUBLE_EQ(l.art.zart0(1, 1), 0.0);
  EXPECT_DOUBLE_EQ(l.art.zart0(1, 2), -2.5);
  EXPECT_DOUBLE_EQ(l.art.vart0(2), 40.0);
}

TEST(ArtificialStars, AnEmptyOrShortFileIsRefused) {
  TempDir dir;
  write_file("empty.txt", "# nothing\n");
  Lists l;
  Captured e = capture([&] { item_artfile(param_line("ARTFLX empty.txt"), 1, false, l.art); });
  EXPECT_TRUE(e.stopped);
  EXPECT_EQ(e.out, " NARTs:  0\n ---> empty.txt\n");
  EXPECT_EQ(e.err, "STOP something wrong NARTs0\n");

  write_file("short.txt", lines({"1 2 3 4", "1 2 3"}));
  Captured s = capture([&] { item_artfile(param_line("ARTFLX short.txt"), 1, false, l.art); });
  EXPECT_TRUE(s.errored);
  EXPECT_NE(s.err.find("short.txt line 2"), std::string::npos) << s.err;

  Captured none = capture([&] { item_artfile(param_line("ARTFLX"), 1, false, l.art); });
  EXPECT_TRUE(none.errored);
  EXPECT_NE(none.err.find("params.txt line 7"), std::string::npos) << none.err;
}

TEST(ArtificialStars, ArtlstIsRefused) {
  Captured c = capture([] { item_artlst(); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  const std::string blanks = " " + std::string(27, ' ') + "\n";
  EXPECT_EQ(c.out, blanks + " ARTLST has been deprecated;\n" + blanks + " Use ARTMAG or ARTFLX instead.\n" + blanks);
  EXPECT_EQ(c.err, "");
}

TEST(SourceListLogs, LogsAndRegionFilesForASmallList) {
  TempDir dir;
  write_file("pre.txt", "10 20 -10 5\n");
  Lists l;
  Captured c = capture([&] {
    item_premag(param_line("PREMAG pre.txt 0 0"), 1, true, l.master);
    item_addbrite(param_line("ADDBRITE 100.6 200.3 -7.5 0.5"), 1, l.bright);
    item_addbrite(param_line("ADDBRITE 1 1199.8 10 100"), 1, l.bright);
    log_source_lists(l.bright, l.master);
  });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_NE(c.out.find("\n***** LOG BRITES ---     Bs:     2\n***** LOG PREMAG --- NMASTi:     1\n"),
            std::string::npos)
      << c.out;
  // (1x,f9.3,1x,f9.3,5x,2(f8.3,1x),5x,'B',i6.6,5x,2(f11.1,1x)); the final 1x writes nothing.
  EXPECT_EQ(read_file("LOGK.BRITE"),
            "   100.600   200.300       -7.500    0.000      B000001          1000.0         0.5\n"
            "     1.000  1199.800       -2.500   -5.000      B000002            10.0       100.0\n");
  EXPECT_EQ(read_file("LOGK.PREMAG"),
            "    10.000    20.000      -10.000   -1.747      N000001         10000.0         5.0\n");
  EXPECT_EQ(read_file("LOGK.brite_u1.reg"),
            "# Region file format: DS9 version 3.0\n"
            "linear;circle(    100.6,   200.3, 5.000) # color=yellow  width=4\n"
            "linear;circle(      1.0,  1199.8, 5.000) # color=yellow  width=4\n");
  EXPECT_EQ(read_file("LOGK.brite_u2.reg"),
            "# Region file format: DS9 version 3.0\n"
            "linear;circle(    201.2,   400.6, 5.000) # color=yellow  width=4\n"
            "linear;circle(      2.0,  2399.6, 5.000) # color=yellow  width=4\n");
}

TEST(SourceListLogs, EmptyListsGiveEmptyLogs) {
  TempDir dir;
  Lists l;
  Captured c = capture([&] { log_source_lists(l.bright, l.master); });
  ASSERT_FALSE(c.stopped);
  EXPECT_EQ(c.out, "***** LOG BRITES ---     Bs:     0\n***** LOG PREMAG --- NMASTi:     0\n");
  EXPECT_EQ(read_file("LOGK.BRITE"), "");
  EXPECT_EQ(read_file("LOGK.PREMAG"), "");
  EXPECT_EQ(read_file("LOGK.brite_u2.reg"), "# Region file format: DS9 version 3.0\n");
}

}  // namespace
}  // namespace zeb
