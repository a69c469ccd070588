// zeb in the artificial-star modes on the simulated IR field: the tile's list of
// artificial stars, one injection per pass in mode A (with the sky measured at
// the injected star), all of a tile's stars at once in mode C, and the final
// model and stacks of every tile outside mode A.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "field_files.h"
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

// Tiles (1, 1) and (2, 1): star 1 lies in the first (hash cell 1), star 2 in the
// second (u = 200.25: trunc((200.25 - 76) / 120 + 0.5) + 1 = 2). Star 2's
// first value is a magnitude, -10, that is a flux of 10000.
Captured run_mode(char mode, bool verbose) {
  write_field(field_preset("e2e-ir"), ".");
  std::string p = read_file(kParamFile);
  const std::string head = std::string("MODE=") + mode + (verbose ? "\nVERBOSE+" : "");
  p.replace(p.find("MODE=R"), 6, head);
  p.replace(p.find("END\n"), 4, "ADDART 100.5 90.25 20000 15000\nADDART 200.25 100.0 -10.0 0\nEND\n");
  write_file(kParamFile, p);
  return run_program(binary_path("src/driver/zeb"), {kParamFile});
}

int count_lines(const std::string& out, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : split_lines(out)) n += l.rfind(prefix, 0) == 0;
  return n;
}

const char* kLastTileArt = " 001 0000002       200.25000    100.00000        10000.00000         0.00000\n";

TEST(ArtificialStarRun, ModeAInjectsOneStarPerPassAndMeasuresItsSky) {
  TempDir dir;
  Captured c = run_mode('A', true);
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(read_file("LOGL.LOCAL_ART"), kLastTileArt);
  EXPECT_EQ(count_lines(c.out, " LOCAL ARTs..."), 2);
  EXPECT_EQ(count_lines(c.out, " ---> F:  1 "), 2);
  EXPECT_EQ(count_lines(c.out, " ---> F:  2 "), 2);
  // The sky at each injected star, then at the local stars of each pass.
  EXPECT_EQ(count_lines(c.out, "rmssky_xyz_tile..."), 4);
  EXPECT_EQ(count_lines(c.out, "---> Ls =     1"), 2);
  EXPECT_EQ(count_lines(c.out, " ZEB: MOD2_TILE..."), 0);  // no final stacks in mode A
}

TEST(ArtificialStarRun, ModeCInjectsEveryStarOfTheTileThenRunsOrdinarily) {
  TempDir dir;
  Captured c = run_mode('C', true);
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(read_file("LOGL.LOCAL_ART"), kLastTileArt);
  EXPECT_EQ(count_lines(c.out, " ---> F:  1 "), 2);
  // No sky of injected stars, only that of each tile's local stars.
  EXPECT_EQ(count_lines(c.out, "rmssky_xyz_tile..."), 2);
  // NARTi and NARTf are cleared once the stars are in.
  EXPECT_EQ(count_lines(c.out, "  NARTf:  0"), 2);
  EXPECT_EQ(count_lines(c.out, " ZEB: MOD2_TILE...  1...Ns:  4"), 2);
  EXPECT_EQ(count_lines(c.out, " ZEB: STAK_TILE...  1...Ns:  4"), 2);
}

TEST(ArtificialStarRun, OrdinaryRunAddsNoStarsAndWritesNoList) {
  TempDir dir;
  Captured c = run_mode('R', true);
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_FALSE(std::filesystem::exists("LOGL.LOCAL_ART"));
  EXPECT_EQ(count_lines(c.out, " ---> F: "), 0);
  EXPECT_EQ(count_lines(c.out, " ZEB: STAK_TILE...  1...Ns:  4"), 2);
  // Without VERBOSE+ the list is not logged in mode C either.
  c = run_mode('C', false);
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_FALSE(std::filesystem::exists("LOGL.LOCAL_ART"));
}

}  // namespace
}  // namespace zebsim
