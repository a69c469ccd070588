// A whole start-up through the program entry: parameter file, header queries,
// MAT fits, run summary and iteration settings, on files written here.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "driver/run.h"
#include "geometry/distortion.h"
#include "support/test_support.h"

using zeb::test::capture;
using zeb::test::Captured;
using zeb::test::read_lines;
using zeb::test::split_lines;
using zeb::test::TempDir;
using zeb::test::write_file;

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

Captured run_zeb(const std::string& param) {
  std::string a0 = "zeb", a1 = param;
  char* argv[] = {a0.data(), a1.data(), nullptr};
  int status = 0;
  Captured c = capture([&] { status = zeb::run_main(2, argv); });
  c.status = status;
  return c;
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
  Captured c = run_zeb("p.txt");
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
  Captured c = run_zeb("p.txt");
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("STRANGE, I KNOW, BUT THE ROUTINE"), std::string::npos);
  EXPECT_EQ(c.out.find("ZEB_SETUP HAS BEEN DONE..."), std::string::npos);
}
