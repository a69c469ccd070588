// Mode A on the simulated demo field: a pass per injected star, tiles without
// artificial stars skipped, and the artificial-star range carried from one
// tile to the progress line of the next.
#include <gtest/gtest.h>

#include <regex>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::binary_path;
using zeb::test::read_file;
using zeb::test::read_lines;
using zeb::test::run_program;
using zeb::test::split_lines;
using zeb::test::TempDir;
using zeb::test::write_file;

// The demo field's parameter file with another mode, tile range and extra lines.
void rewrite_params(const std::string& mode, const std::string& range, const std::string& extra) {
  std::string p = read_file("params.txt");
  p.replace(0, p.find('\n'), "MODE=" + mode);
  p = std::regex_replace(p, std::regex("IJTLIM[^\\n]*"), range + "\n" + extra);
  write_file("params.txt", p);
}

std::vector<std::string> progress_lines(const std::string& out) {
  std::vector<std::string> v;
  for (const auto& l : split_lines(out))
    if (l.rfind(" IT0", 0) == 0) v.push_back(l);
  return v;
}

TEST(ArtificialStarModes, ModeARunsOnePassPerStarAndCarriesTheRange) {
  TempDir dir;
  write_field(field_preset("demo"), dir.path().string());
  // Two stars in tile (1,1), one in tile (2,1), none in tile (3,1) (outside the field).
  rewrite_params("A", "IJTLIM 1 3 1 1",
                 "ADDART 50 60 -10 -10\nADDART 70 50 -10.5 -10\nADDART 200 70 -11 -11");
  auto run = run_program(binary_path("src/driver/zeb"), {"params.txt"});
  ASSERT_EQ(run.status, 0) << run.out.substr(run.out.size() > 3000 ? run.out.size() - 3000 : 0) << run.err;
  EXPECT_NE(run.out.find("\n NARTs:  3\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists("LOGA.HASH_ART.fits"));
  // One summary line per pass: two in tile 1, one in tile 2.
  auto setup = read_lines("LOGK.SETUP");
  ASSERT_EQ(setup.size(), 3u);
  EXPECT_EQ(setup[0].substr(0, 8), " 001 001");
  EXPECT_EQ(setup[1].substr(0, 8), " 001 001");
  EXPECT_EQ(setup[2].substr(0, 8), " 002 001");
  auto p = progress_lines(run.out);
  // Tile 1: start, exposures (range of no tile yet: 0/0), then per pass the
  // loaded line, one line per finding iteration (NITLIM 1 3) and the
  // end-of-pass line, with NARTi 1 and NARTf 2; tile 2 likewise with one pass.
  ASSERT_EQ(p.size(), 2u + 2u * 5u + 2u + 5u);
  EXPECT_EQ(p[1], " IT001 JT001      0076  0076     NIT0       0(Ns)       0/  6");
  EXPECT_EQ(p[2].substr(37, 29), "       6(Ns)       0/  1     ");
  // Tile 2's exposure line shows the range tile 1 left: 1 and 2.
  EXPECT_EQ(p[13], " IT002 JT001      0196  0076     NIT0       1(Ns)       2/  6");
  // Tile 3 has no artificial star: no line at all.
  for (const auto& l : p) EXPECT_EQ(l.find(" IT003"), std::string::npos) << l;
}

}  // namespace
}  // namespace zebsim
