// zeb in the artificial-star modes on the simulated IR field: the tile's list of
// artificial stars, one injection per pass in mode A (with the sky measured at
// the injected star), all of a tile's stars at once in mode C, and the final
// model and stacks of every tile outside mode A. zeb-export turns a mode-A
// run into one row per artificial star, its input beside what was measured.
//
// Mode A on the simulated demo field: a pass per injected star, tiles without
// artificial stars skipped, and the artificial-star range carried from one
// tile to the progress line of the next.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using namespace zeb::test;

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

// The cells of an ECSV table by column name (no quoted cells but "").
std::map<std::string, std::vector<std::string>> ecsv_columns(const std::string& path) {
  std::map<std::string, std::vector<std::string>> cols;
  std::vector<std::string> names;
  for (const std::string& line : zeb::test::read_lines(path)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::vector<std::string> cells;
    for (std::string c; in >> c;) cells.push_back(c == "\"\"" ? "" : c);
    if (names.empty()) {
      names = cells;
      continue;
    }
    for (std::size_t k = 0; k < names.size() && k < cells.size(); ++k) cols[names[k]].push_back(cells[k]);
  }
  return cols;
}

const char* kLastTileArt = " 001 0000002       200.25000    100.00000        10000.00000         0.00000\n";

TEST(ArtificialStarRun, ModeAInjectsOneStarPerPassAndMeasuresItsSky) {
  TempDir dir;
  Captured c = run_mode('A', true);
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(read_file("LOGL.LOCAL_ART"), kLastTileArt);
  EXPECT_EQ(lines_starting(c.out, " LOCAL ARTs...").size(), 2u);
  EXPECT_EQ(lines_starting(c.out, " ---> F:  1 ").size(), 2u);
  EXPECT_EQ(lines_starting(c.out, " ---> F:  2 ").size(), 2u);
  // The sky at each injected star, then at the local stars of each pass.
  EXPECT_EQ(lines_starting(c.out, "rmssky_xyz_tile...").size(), 4u);
  EXPECT_EQ(lines_starting(c.out, "---> Ls =     1").size(), 2u);
  EXPECT_EQ(lines_starting(c.out, " ZEB: MOD2_TILE...").size(), 0u);  // no final stacks in mode A

  // Each pass: two finding iterations (method 0 on the new stars after each),
  // then the final measurement in its order, method 0 once more (NIT 99)
  // before the model that methods 2, 1 and 3 and the sky measure against.
  const std::vector<std::string> steps = lines_starting(c.out, " ZEB: ");
  const std::vector<std::string> order = {
      " ZEB: find_tile...", " ZEB: call meth0_xyz_tile: ", " ZEB: find_tile...", " ZEB: call meth0_xyz_tile: ",
      " ZEB: XYZ_TILE: ", " ZEB: call meth0_xyz_tile: ", " ZEB: MOD_TILE...", " ZEB: METH2_XYZ_TILE...",
      " ZEB: METH2_FIND_AVG_Z2...", " ZEB: METH1_XYZ_TILE...", " ZEB: METH1_FIND_AVG_UVZ1...",
      " ZEB: METH3_FIND_AVG_Z3...", " ZEB: RMSSKY_XYZ_TILE..."};
  ASSERT_EQ(steps.size(), 2 * order.size());
  for (std::size_t k = 0; k < steps.size(); ++k)
    EXPECT_EQ(steps[k].substr(0, order[k % order.size()].size()), order[k % order.size()]) << k;
  EXPECT_EQ(steps[5].substr(steps[5].size() - 3), " 99");

  // The INPUT line of each pass: the star as given (u, v, its magnitude), its
  // tile, pass and tile-grid position 2 (u - UREF_T) + 151, the window of 40
  // grid steps around it, the peak the FILLFIND lines last recorded at it,
  // its number and input fluxes; the light already under it is the sky.
  const std::vector<std::string> input = read_lines("LOGA.INPUT");
  ASSERT_EQ(input.size(), 6u);
  const std::string head[2] = {
      "  100.500    90.250 -10.7526      001 001   1   1     200.00 179.50      160 240 139 219     ",
      "  200.250   100.000 -10.0000      002 001   1   1     159.50 199.00      119 199 159 239     "};
  std::string peak[2];  // P, Q, C and NIT of the last record of each pass
  for (const std::string& l : split_lines(c.out)) {
    if (l.rfind(" ----> FILLFIND: ", 0) != 0) continue;
    const std::vector<std::string> w = split_words(l.substr(17));  // i j P Q C NIT
    peak[std::stoi(w[0]) > 180 ? 0 : 1] = w[2] + ' ' + w[3] + ' ' + w[4] + ' ' + w[5];
  }
  const FieldDesign design = field_preset("e2e-ir");
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(input[4 + k].substr(0, head[k].size()), head[k]);
    const std::vector<std::string> w = split_words(input[4 + k]);
    EXPECT_EQ(w[14] + ' ' + w[15] + ' ' + w[16] + ' ' + w[13], peak[k]) << input[4 + k];
    EXPECT_EQ(w[17], k == 0 ? "A0000001" : "A0000002");
    EXPECT_EQ(w[18] + ' ' + w[22], k == 0 ? "20000.00000 15000.00000" : "10000.00000 0.00000");
    for (int f = 0; f < 2; ++f) {
      const FilterDesign& fd = design.filters[static_cast<std::size_t>(f)];
      EXPECT_NEAR(std::stod(w[19 + 4 * f]) / (fd.sky_rate * fd.exp_f), 1.0, 0.2) << input[4 + k];
    }
  }
  // Each injected star is answered with its own flux, and its local flux in
  // the value stack of its pass is the core's share of it (about 0.6).
  const std::vector<std::string> viq0 = read_lines("LOGA.XYVIQ0"), xyfind = read_lines("LOGA.XYFIND");
  ASSERT_EQ(viq0.size(), 6u);
  ASSERT_EQ(xyfind.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const double z = k == 0 ? 20000.0 : 10000.0;
    EXPECT_NEAR(std::stod(split_words(viq0[4 + k])[4]) / z, 1.0, 0.03);
    EXPECT_NEAR(std::stod(split_words(xyfind[k])[17]) / z, 0.6, 0.2);
  }

  // One row per injected star: its input as ".INPUT" wrote it, the star
  // reported for it from the catalogue.
  Captured x = run_program(binary_path("tools/export/zeb-export"), {".", "--out", "art.ecsv"});
  ASSERT_EQ(x.status, 0) << x.err;
  auto cols = ecsv_columns("art.ecsv");
  using V = std::vector<std::string>;
  EXPECT_EQ(cols["id"], (V{"A0000001", "A0000002"}));
  EXPECT_EQ(cols["art_u"], (V{"100.500", "200.250"}));
  EXPECT_EQ(cols["art_v"], (V{"90.250", "100.000"}));
  EXPECT_EQ(cols["art_it"], (V{"1", "2"}));
  EXPECT_EQ(cols["art_flux_F110W"], (V{"20000.00000", "10000.00000"}));
  EXPECT_EQ(cols["art_flux_F160W"], (V{"15000.00000", "0.00000"}));
  ASSERT_EQ(cols["u"].size(), 2u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_LT(std::fabs(std::stod(cols["u"][k]) - std::stod(cols["art_u"][k])), 1.0);
    EXPECT_FALSE(cols["flux1_F110W"][k].empty());
  }
}

TEST(ArtificialStarRun, ModeCInjectsEveryStarOfTheTileThenRunsOrdinarily) {
  TempDir dir;
  Captured c = run_mode('C', true);
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(read_file("LOGL.LOCAL_ART"), kLastTileArt);
  EXPECT_EQ(lines_starting(c.out, " ---> F:  1 ").size(), 2u);
  // No sky of injected stars, only that of each tile's local stars.
  EXPECT_EQ(lines_starting(c.out, "rmssky_xyz_tile...").size(), 2u);
  // NARTi and NARTf are cleared once the stars are in.
  EXPECT_EQ(lines_starting(c.out, "  NARTf:  0").size(), 2u);
  EXPECT_EQ(lines_starting(c.out, " ZEB: MOD2_TILE...  1...Ns:  4").size(), 2u);
  EXPECT_EQ(lines_starting(c.out, " ZEB: STAK_TILE...  1...Ns:  4").size(), 2u);
}

// The demo field's parameter file with another mode, tile range and extra lines.
void rewrite_params(const std::string& mode, const std::string& range, const std::string& extra) {
  std::string p = read_file("params.txt");
  p.replace(0, p.find('\n'), "MODE=" + mode);
  p = std::regex_replace(p, std::regex("IJTLIM[^\\n]*"), range + "\n" + extra);
  write_file("params.txt", p);
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
  auto p = lines_starting(run.out, " IT0");
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
