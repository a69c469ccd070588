// Program entry: argument check, pre-scan stops and the run summary.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "driver/prescan.h"
#include "driver/run.h"
#include "support/test_support.h"

using zeb::test::capture;
using zeb::test::Captured;
using zeb::test::split_lines;
using zeb::test::TempDir;
using zeb::test::write_file;

namespace {

Captured run_zeb(std::vector<std::string> args) {
  args.insert(args.begin(), "zeb");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  int status = 0;
  Captured c = capture([&] { status = zeb::run_main(static_cast<int>(argv.size()), argv.data()); });
  c.status = status;
  return c;
}

// Three free-format lines: 11 blanks, "ZEB BEGIN! ", 11 blanks, each after
// the layout's leading blank.
const std::vector<std::string> BANNER = {"            ", " ZEB BEGIN! ", "            "};

}  // namespace

TEST(Startup, NeedsExactlyOneArgument) {
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
    Captured c = run_zeb(args);
    EXPECT_EQ(c.status, 1);
    std::vector<std::string> want = BANNER;
    want.push_back(" NEED 1 ARG... INPUT FILE NAME!");
    EXPECT_EQ(split_lines(c.out), want);
    EXPECT_EQ(c.err, "");
  }
}

TEST(Startup, PrescanStopsOnLeadingBlankAndNonZeroDigit) {
  TempDir d;
  write_file("blank.txt", "MODE=R\n  RAP 3\n");
  write_file("digit.txt", "MODE=R\n1001 PIX=x\n");
  Captured a = run_zeb({"blank.txt"});
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.err, "STOP no leading blanks in infile...\n");
  std::vector<std::string> want = BANNER;
  want.push_back(" ---> blank.txt line 2");
  EXPECT_EQ(split_lines(a.out), want);
  Captured b = run_zeb({"digit.txt"});
  EXPECT_EQ(b.status, 1);
  EXPECT_EQ(b.err, "STOP any numbers must start with 0...\n");
}

TEST(Startup, PrescanCountsSlotsFiltersAndVerbose) {
  TempDir d;
  write_file("p.txt",
             "MODE=R\nVERBOSE+\nF_SLOT  0002\nF_SLOT 1\n0007 PIX=a\nSKIP\n0012 PIX=b\nPIKS\nEND\n0035 PIX=c\n");
  int verbose = 0;
  zeb::PrescanCounts c = zeb::extract_gsfscs("p.txt", verbose);
  EXPECT_EQ(c.gs, 35);
  EXPECT_EQ(c.fs, 2);
  EXPECT_EQ(c.cs, 2);
  EXPECT_EQ(verbose, 1);
  write_file("q.txt", "MODE=R\nRAP 3\n");
  c = zeb::extract_gsfscs("q.txt", verbose);
  EXPECT_EQ(c.fs, 0);
  EXPECT_EQ(c.gs, 0);
}

TEST(Startup, TooManySlotsOrFiltersStopBeforeSetup) {
  TempDir d;
  write_file("g.txt", "MODE=R\n0036 PIX=a\n");
  Captured c = run_zeb({"g.txt"});
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP Gs.gt._GDIM_\n");
  auto lines = split_lines(c.out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[3], "TOTAL IN FILEg.txt" + std::string(75, ' '));
  EXPECT_EQ(lines[4], " Gs:   36");
  EXPECT_EQ(lines[5], " Fs:    0");
  EXPECT_EQ(lines[6], " Cs:    2");
  write_file("f.txt", "MODE=R\nF_SLOT  0003\n");
  c = run_zeb({"f.txt"});
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP Fs.gt._FDIM_\n");
}

// Help, version and an unusable parameter-file argument are answered before
// the banner, and nothing is written into the working directory.
TEST(Startup, CommandLineIsAnsweredBeforeAnythingIsWritten) {
  TempDir d;
  std::filesystem::create_directory("params.d");
  const std::string usage =
      "usage: zeb PARAMS           run on the parameter file PARAMS\n"
      "       zeb --resume PARAMS  continue the interrupted run of PARAMS in this directory\n"
      "       zeb -h | --help      this help\n"
      "       zeb --version        the version\n";
  for (const char* h : {"-h", "--help"}) {
    Captured c = run_zeb({"x.txt", h});
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out.substr(0, usage.size()), usage);
    EXPECT_NE(c.out.find("MODE=A  artificial-star test"), std::string::npos);
    EXPECT_NE(c.out.find("manual.md"), std::string::npos);
    EXPECT_EQ(c.err, "");
  }
  Captured v = run_zeb({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_TRUE(std::regex_match(v.out, std::regex("zeb [0-9]+\\.[0-9]+\\.[0-9]+( \\(commit [0-9a-f]+(-dirty)?\\))?\n")))
      << v.out;
  const std::pair<std::string, std::string> refused[] = {
      {"params.d", "zeb: params.d: is a directory; it cannot be the parameter file\n"},
      {"nothere.txt", "zeb: nothere.txt: no such file or directory; it cannot be the parameter file\n"},
      {"-v", "zeb: unknown option -v\n"}};
  for (const auto& [arg, message] : refused) {
    for (const bool resume : {false, true}) {
      Captured c = resume ? run_zeb({"--resume", arg}) : run_zeb({arg});
      EXPECT_EQ(c.status, 2) << arg;
      EXPECT_EQ(c.out, "") << arg;
      EXPECT_EQ(c.err, message + usage) << arg;
    }
  }
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(".")) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"params.d"});
}

TEST(Startup, RunSummaryLines) {
  zeb::RunState run;
  run.settings.cmode = 'R';
  run.settings.umin = 100;
  run.settings.umax = 700;
  run.settings.vmin = -20;
  run.settings.vmax = 900;
  run.settings.nitminmaxu = {1, 3};
  run.filters.fs = 2;
  run.bright.bs = 12;
  run.master.nmasti = 1234;
  run.art.narts = 0;
  Captured c = capture([&] { zeb::print_run_summary(run); });
  std::vector<std::string> want = {"               ",
                                   "ZEB_SETUP HAS BEEN DONE...",
                                   "               ",
                                   "        CMODE: R",
                                   "    U MIN/MAX:    100   700",
                                   "    V MIN/MAX:    -20   900",
                                   "           Fs:  2",
                                   "           Bs:       12",
                                   "       NMASTi:     1234",
                                   "        NARTs:        0",
                                   "               ",
                                   "   ITERATIONS: ",
                                   "       NITMIN:  1",
                                   "       NITMAX:  3",
                                   "               "};
  EXPECT_EQ(split_lines(c.out), want);
}

TEST(Startup, IterationSettingsLines) {
  zeb::Settings s;
  s.nitminmaxu = {1, 2};
  s.hmin_nit(1) = 3;
  s.ssig_nit(1) = 3.0f;
  s.qmin_nit(1) = 12;
  s.rcol_nit(2) = "magenta";
  s.rsiz_nit(2) = 1.25f;
  Captured c = capture([&] { zeb::print_iteration_settings(s); });
  std::vector<std::string> want = {
      std::string(16, ' ') +
          "NIT01 HMIN=3 SSIG=3.00    QMIN=012 QSEL=0.90 QSEP=0.50    DMIN=002 DSEP=0.25    PMIN=002 PSEP=0.75    "
          "OPRX=2.50 OPRV=4.50    RSIZ=3.50 RWID=2 RCOL=green  ",
      std::string(16, ' ') +
          "NIT02 HMIN=4 SSIG=2.50    QMIN=001 QSEL=0.90 QSEP=0.50    DMIN=002 DSEP=0.25    PMIN=002 PSEP=0.75    "
          "OPRX=2.50 OPRV=4.50    RSIZ=1.25 RWID=2 RCOL=magenta",
      ""};
  EXPECT_EQ(split_lines(c.out), want);
  // A file that sets JSIG adds the thresholds of all ten iterations.
  s.jsig_nit(1) = 5.0f;
  s.jsig_nit(9) = 12.5f;
  s.jsig_given = true;
  c = capture([&] { zeb::print_iteration_settings(s); });
  want.insert(want.end() - 1, std::string(16, ' ') + "JSIG NIT01..NIT10:   5.00  99.99  99.99  99.99  99.99  99.99  99.99"
                                                      "  99.99  12.50  99.99");
  EXPECT_EQ(split_lines(c.out), want);
  s.jsig_given = false;
  s.nitminmaxu = {3, 2};
  c = capture([&] { zeb::print_iteration_settings(s); });
  EXPECT_EQ(c.out, "\n");
  s.nitminmaxu = {-1, -1};
  c = capture([&] { zeb::print_iteration_settings(s); });
  EXPECT_EQ(c.out, "\n");
}
