// Program entry: argument check, pre-scan stops and the run summary.
//
// A whole start-up through the program entry: parameter file, header queries,
// MAT fits, run summary and iteration settings, on files written here.
//
// The manual (docs/manual.md) documents every keyword the parameter-file
// reader matches and every stop text in the sources. Both lists are taken from
// the code, so a keyword or stop added without its entry in the manual is
// named here.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "driver/prescan.h"
#include "driver/run.h"
#include "geometry/distortion.h"
#include "support/test_support.h"

using namespace zeb::test;

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


namespace {

// A primary header with no data, holding EXPTIME.
std::string exposure_header(double exptime) {
  std::string h;
  auto card = [&h](const std::string& c) { h += c + std::string(80 - c.size(), ' '); };
  card("SIMPLE  =                    T");
  card("BITPIX  =                    8");
  card("NAXIS   =                    0");
  char buf[81];
  std::snprintf(buf, sizeof buf, "EXPTIME = %20.1f", exptime);
  card(buf);
  card("FILTER  = 'F160W   '");
  card("END");
  h.resize(2880, ' ');
  return h;
}

// Matched stars of an IR exposure whose corrected frame is the reference
// frame shifted by (du, dv).
std::string mat_file(double du, double dv) {
  std::ostringstream s;
  s << "# u v xc yc m1 m2\n";
  for (int i = 100; i <= 900; i += 200)
    for (int j = 100; j <= 900; j += 200) {
      double xc = 0, yc = 0;
      zeb::gc_cf(i, j, xc, yc, 9, 2, 1, "NULL");
      char line[200];
      std::snprintf(line, sizeof line, "%.6f %.6f %.6f %.6f -10.0 -10.0\n", xc + du, yc + dv, xc, yc);
      s << line;
    }
  return s.str();
}

}  // namespace

TEST(FullSetup, TypicalParameterFileRunsToItsSummary) {
  TempDir d;
  std::filesystem::create_directory("ir");
  write_file("ir/e1.fits", exposure_header(500.0));
  write_file("ir/e2.fits", exposure_header(700.0));
  write_file("ir/e1.mat", mat_file(10.0, 20.0));  // MAT files also live in the sub-directory
  write_file("ir/e2.mat", mat_file(12.0, 21.0));
  write_file("p.txt",
             "MODE=R\n"
             "NIT01 HMIN=3 SSIG=3.0 QMIN=12\n"
             "NIT02 RCOL=magenta RSIZ=1.25   # region style of iteration 2\n"
             "NITLIM 1 2\n"
             "UVLIM 100 700 -20 900\n"
             "IJTLIM 50 50 50 50   # a tile outside the window: the loop skips it\n"
             "CHIPNAME=WFC3IR SUBDIR=\"ir/\"\n"
             "F_SLOT 0001\n"
             "EXPFLT=500.0 FILTER=F110W\n"
             "0001 PIX=e1.fits MAT=e1.mat\n"
             "F_SLOT 0002\n"
             "EXPFLT=800 SCLFLT=2.5 FILTER=F160W\n"
             "0002 PIX=e2.fits MAT=e2.mat\n");
  Captured c = run_zeb({"p.txt"});
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(c.err, "");
  std::vector<std::string> lines = split_lines(c.out);
  auto at = std::find(lines.begin(), lines.end(), "ZEB_SETUP HAS BEEN DONE...");
  ASSERT_NE(at, lines.end());
  std::vector<std::string> tail(at - 1, lines.end());
  std::vector<std::string> want = {
      "               ",
      "ZEB_SETUP HAS BEEN DONE...",
      "               ",
      "        CMODE: R",
      "    U MIN/MAX:    100   700",
      "    V MIN/MAX:    -20   900",
      "           Fs:  2",
      "           Bs:        0",
      "       NMASTi:        0",
      "        NARTs:        0",
      "               ",
      "   ITERATIONS: ",
      "       NITMIN:  1",
      "       NITMAX:  2",
      "               ",
      std::string(16, ' ') +
          "NIT01 HMIN=3 SSIG=3.00    QMIN=012 QSEL=0.90 QSEP=0.50    DMIN=002 DSEP=0.25    PMIN=002 PSEP=0.75    "
          "OPRX=2.50 OPRV=4.50    RSIZ=3.50 RWID=2 RCOL=green  ",
      std::string(16, ' ') +
          "NIT02 HMIN=4 SSIG=2.50    QMIN=001 QSEL=0.90 QSEP=0.50    DMIN=002 DSEP=0.25    PMIN=002 PSEP=0.75    "
          "OPRX=2.50 OPRV=4.50    RSIZ=1.25 RWID=2 RCOL=magenta",
      ""};
  ASSERT_GE(tail.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(tail.begin(), tail.begin() + static_cast<long>(want.size())), want);
  // The exposure times came from the headers, the sub-directory prefixed the names.
  EXPECT_NE(c.out.find("\n      EXPTIMES   ---      F:  2    800.00\n"), std::string::npos);

  auto echo = read_lines("LOGK.INPUT_FILE");
  ASSERT_EQ(echo.size(), 13u);
  EXPECT_EQ(echo[0], "ZEB_SETUP LINE001   MODE=R");
  const std::string line3 = "NIT02 RCOL=magenta RSIZ=1.25   # region style of iteration 2";
  EXPECT_EQ(echo[2], "ZEB_SETUP LINE003   " + line3 + std::string(200 - line3.size(), ' '));
  EXPECT_EQ(echo[12].size(), 220u);
  EXPECT_NE(c.out.find("0002.1    i/e2.fits "), std::string::npos);  // the report shortens ir/e2.fits
}

TEST(FullSetup, OnlyOneFilterSlotStopsAtTheEndOfTheSetup) {
  TempDir d;
  write_file("e1.fits", exposure_header(500.0));
  write_file("e1.mat", mat_file(0.0, 0.0));
  write_file("p.txt", "MODE=R\nCHIPNAME=WFC3IR\nF_SLOT 1\nEXPFLT 500\n0001 PIX=e1.fits MAT=e1.mat\n");
  Captured c = run_zeb({"p.txt"});
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("STRANGE, I KNOW, BUT THE ROUTINE"), std::string::npos);
  EXPECT_EQ(c.out.find("ZEB_SETUP HAS BEEN DONE..."), std::string::npos);
}

namespace {

namespace fs = std::filesystem;

// The string literals among the arguments of every stop_run(...) call of a
// source text: a stop text, or the fixed part of one built from a routine name.
std::set<std::string> stop_texts(const std::string& code) {
  std::set<std::string> texts;
  const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  for (std::size_t at = code.find("stop_run("); at != std::string::npos; at = code.find("stop_run(", at + 1)) {
    const std::size_t end = code.find(';', at);
    const std::string call = code.substr(at, end - at);
    for (std::sregex_iterator m(call.begin(), call.end(), literal), none; m != none; ++m) texts.insert((*m)[1]);
  }
  return texts;
}

TEST(Manual, NamesEveryKeywordAndEveryStopText) {
  const std::string src = std::string(ZEB_SOURCE_DIR) + "/src";
  const std::string manual = read_file(std::string(ZEB_SOURCE_DIR) + "/docs/manual.md");
  std::string missing;

  // Keywords: what the reader compares fields and lines with, is("PIX"),
  // starts_with(line, "SKIP"), name == "HMIN", chip == "WFC3IR", six == "MODE=R".
  // The manual gives each as code, so "`KEY" must appear in it.
  const std::regex keyword(R"re((?:\bis\(|starts_with\(line,\s*|\b(?:name|chip|six)\s*==\s*)"([^"]+)")re");
  int keywords = 0;
  for (const char* file : {"setup/param_file.cpp", "driver/prescan.cpp"}) {
    const std::string code = read_file(src + "/" + file);
    for (std::sregex_iterator m(code.begin(), code.end(), keyword), none; m != none; ++m) {
      ++keywords;
      if (manual.find("`" + (*m)[1].str()) == std::string::npos)
        missing += "  keyword " + (*m)[1].str() + " (" + file + ")\n";
    }
  }
  EXPECT_GT(keywords, 60);

  int stops = 0;
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    if (e.path().extension() != ".cpp") continue;
    for (const std::string& text : stop_texts(read_file(e.path().string()))) {
      ++stops;
      if (manual.find(text) == std::string::npos)
        missing += "  stop text \"" + text + "\" (" + fs::relative(e.path(), src).string() + ")\n";
    }
  }
  EXPECT_GT(stops, 60);
  EXPECT_EQ(missing, "") << "docs/manual.md does not name:\n" << missing;
}

}  // namespace
