// Starting lists, bright stars and artificial stars from the parameter-file
// items, with their failure blocks and logs. Expected records are written out
// by hand from the record formats.
#include "setup/source_lists.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/text.h"
#include "setup/param_parse.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using namespace zeb::test;

// A parameter line as the tokenizer hands it over.
ParamLine param_line(const std::string& text) { return parse(text, "params.txt line 7"); }

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

TEST(StartingList, BadInputEndsTheRunWithAMessageNamingTheFile) {
  TempDir dir;
  write_file("bad.txt", lines({"1 2 3 4", "1 2 3 x4"}));
  write_file("nan.txt", "nan 2 3 4\n");
  write_file("bright.txt", "1 2 -200 4\n");  // its flux overflows a 32-bit real
  write_file("long.txt", "1 2 3" + std::string(196, ' ') + "4\n");  // text beyond column 200 would be ignored
  const std::pair<const char*, const char*> cases[] = {{"PREMAG nofile.txt 0 0", "nofile.txt"},
                                                       {"PREMAG bad.txt 0 0", "bad.txt line 2"},
                                                       {"PREMAG nan.txt 0 0", "nan.txt line 1"},
                                                       {"PREMAG bright.txt 0 0", "bright.txt line 1"},
                                                       {"PREMAG long.txt 0 0", "long.txt line 1"},
                                                       {"PREMAG bad.txt 0 zero", "params.txt line 7"}};
  for (const auto& [line, where] : cases) {
    Lists l;
    Captured c = capture([&] { item_premag(param_line(line), 1, true, l.master); });
    EXPECT_EQ(c.status, 2) << line;
    EXPECT_TRUE(c.errored) << line;
    EXPECT_NE(c.err.find(where), std::string::npos) << line << ": " << c.err;
  }
  // A line short of values: the block names the file (in a 60-character field)
  // and shows the line (in its 200-character buffer), items a blank apart.
  write_file("short.txt", lines({"1 2 3 4", "1 2 3"}));
  Lists l;
  Captured c = capture([&] { item_premag(param_line("PREMAG short.txt 0 0"), 1, true, l.master); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.out, "  \n NEED to have _FDIM_ columns in PREMAG/BRITE..\n  \n FILE  :   short.txt" + std::string(51, ' ') +
                       "\n  \n Line from PREMAG/BRITE that did not have enough entries: \n  \n STRING:   1 2 3" +
                       std::string(195, ' ') + "\n  \n ---> short.txt line 2\n");
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

}  // namespace
}  // namespace zeb
