// zeb on the simulated demo field (2 x 2 tiles, three exposures per filter)
// writes the X1 and X2 mosaics: every file readable by astropy with its shape
// and pixel kind, the stacks present where the tiles pasted them (three
// exposures counted, the brightest star standing out), the fill everywhere
// else; switched off, no mosaic file is written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "field_files.h"
#include "score.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::binary_path;
using zeb::test::Captured;
using zeb::test::read_file;
using zeb::test::run_program;
using zeb::test::split_lines;
using zeb::test::TempDir;
using zeb::test::write_file;

Captured run_demo(const std::string& extra_lines) {
  write_field(field_preset("demo"), ".");
  std::string p = read_file(kParamFile);
  p.replace(p.find("MODE=R\n"), 7, "MODE=R\n" + extra_lines);
  write_file(kParamFile, p);
  return run_program(binary_path("src/driver/zeb"), {kParamFile});
}

int count_lines(const std::string& out, const std::string& line) {
  int n = 0;
  for (const std::string& l : split_lines(out)) n += l == line;
  return n;
}

// The brightest true star well inside the pasted area (columns and rows 16..256)
// whose core does not saturate (saturated pixels are flagged and left out of
// the stacks).
TruthStar brightest_inside(const Truth& truth) {
  TruthStar best;
  for (const TruthStar& s : truth.stars) {
    if (s.u < 30.0 || s.u > 240.0 || s.v < 30.0 || s.v > 240.0 || s.flux[0] > 1.5e5) continue;
    if (s.flux[0] > best.flux[0]) best = s;
  }
  return best;
}

TEST(MosaicRun, DemoFieldWritesEveryMosaicWithItsStacks) {
  TempDir dir;
  Captured c = run_demo("VERBOSE+\n");
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  // Two rows of tiles, two samplings; four tiles paste.
  EXPECT_EQ(count_lines(c.out, "INITIALIZE THE STRIP...  "), 4);
  EXPECT_EQ(count_lines(c.out, "INITIALIZE THE STRIP...  DONE"), 4);
  EXPECT_EQ(count_lines(c.out, " ZEB: MOSAIC_X1..."), 4);
  EXPECT_EQ(count_lines(c.out, "    : MOSAIC_X2..."), 4);
  EXPECT_EQ(count_lines(c.out, " call rastX..."), 2);

  const TruthStar star = brightest_inside(read_truth("truth.txt"));
  ASSERT_GT(star.flux[0], 0.0);
  write_file("check.py",
             "import sys, warnings\n"
             "warnings.simplefilter('ignore')\n"
             "import numpy as np\n"
             "from astropy.io import fits\n"
             "for x, side in (('X1', 1200), ('X2', 2400)):\n"
             "    for s in ('V1', 'S1', 'M1', 'N1', 'V2', 'S2', 'M2', 'N2', 'P0', 'Q0', 'D0', 'C0', 'Y0'):\n"
             "        with fits.open('LOGR.STACK_%s_%s.fits' % (x, s)) as f:\n"
             "            bitpix = f[0].header['BITPIX']  # before the data: scaling rewrites it\n"
             "            d = f[0].data\n"
             "            print(x, s, bitpix, d.shape[1], d.shape[0])\n"
             "n = fits.getdata('LOGR.STACK_X1_N1.fits')\n"
             "inner = n[15:256, 15:256]\n"
             "print('N1 inside', int(inner.min()), int(inner.max()), int(np.median(inner)))\n"
             "outside = np.concatenate([n[:, :15].ravel(), n[:15, :].ravel(), n[256:, :].ravel(), n[:, 256:].ravel()])\n"
             "print('N1 outside', np.unique(outside).tolist())\n"
             "n2 = fits.getdata('LOGR.STACK_X2_N2.fits')\n"
             "print('X2 N2 inside', int(np.median(n2[31:512, 31:512])), 'outside', np.unique(n2[:31, :]).tolist())\n"
             "v = fits.getdata('LOGR.STACK_X1_V1.fits')\n"
             "u0, v0 = float(sys.argv[1]), float(sys.argv[2])\n"
             "peak = v[int(round(v0)) - 2:int(round(v0)) + 1, int(round(u0)) - 2:int(round(u0)) + 1].max()\n"
             "region = v[15:256, 15:256]\n"
             "med = float(np.median(region))\n"
             "mad = float(np.median(np.abs(region - med)))\n"
             "print('star', 'stands out' if peak > med + 20 * max(mad, 1e-3) else 'lost', 'blank', float(v[5, 5]))\n");
  const std::string cmd = "/usr/bin/python3 check.py " + std::to_string(star.u) + ' ' + std::to_string(star.v) +
                          " > out.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file("out.txt");
  std::string want;
  for (const char* x : {"X1", "X2"}) {
    const std::string side = std::string(x) == "X1" ? " 1200 1200\n" : " 2400 2400\n";
    for (const char* s : {"V1", "S1", "M1", "N1", "V2", "S2", "M2", "N2", "P0", "Q0", "D0", "C0", "Y0"}) {
      const bool j2 = s[0] == 'V' || s[0] == 'S' || s[0] == 'M';
      want += std::string(x) + ' ' + s + (j2 ? " 16" : " 8") + side;
    }
  }
  // Three F110W exposures cover the tiles; the dither may leave a few points
  // with fewer. Outside the pasted area the count fill (255) and the creation
  // value (255) remain.
  const std::string out = read_file("out.txt");
  ASSERT_EQ(out.substr(0, want.size()), want) << out;
  const std::vector<std::string> tail = split_lines(out.substr(want.size()));
  ASSERT_EQ(tail.size(), 4u) << out;
  EXPECT_TRUE(tail[0] == "N1 inside 0 3 3" || tail[0] == "N1 inside 1 3 3" || tail[0] == "N1 inside 2 3 3")
      << tail[0];
  EXPECT_EQ(tail[1], "N1 outside [255]");
  EXPECT_EQ(tail[2], "X2 N2 inside 3 outside [255]");
  EXPECT_EQ(tail[3].substr(0, 16), "star stands out ");
  // Scale 1 (no SCLFLT in the file): the blank reads as -25.
  EXPECT_EQ(tail[3].substr(16), "blank -25.0");
}

TEST(MosaicRun, SwitchedOffMosaicsWriteNoFile) {
  TempDir dir;
  Captured c = run_demo("MOSAIC_X1-\nMOSAIC_X2-\n");
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(count_lines(c.out, "INITIALIZE THE STRIP...  "), 0);
  EXPECT_EQ(count_lines(c.out, "ALLOCATE MOSAIC STRIP-STACKS...  "), 0);
  EXPECT_EQ(c.out.find("INITIALIZE X"), std::string::npos);
  for (const auto& e : std::filesystem::directory_iterator("."))
    EXPECT_EQ(e.path().filename().string().rfind("LOGR.STACK", 0), std::string::npos) << e.path();
}

}  // namespace
}  // namespace zebsim
