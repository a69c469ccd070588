// zeb on simulated fields from start to catalogue: the stars it reports are the
// stars the simulation put there, with their fluxes and positions, and the same
// input gives the same files byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "field_files.h"
#include "score.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

namespace fs = std::filesystem;
using namespace zeb::test;

// The bins of well-exposed, unsaturated stars (filter-1 magnitudes -13..-9).
std::vector<MagnitudeBin> bright_bins(const ScoreReport& r) {
  std::vector<MagnitudeBin> out;
  for (const MagnitudeBin& b : r.bins)
    if (b.lo >= -13.0 && b.hi <= -9.0 && b.truth > 0) out.push_back(b);
  return out;
}

// The largest photometric scatter allowed in the bright bins: the method-0
// fit is the tightest; the other methods weigh the pixels less optimally.
void check_catalogue(const std::string& preset, const std::string& log, double max_sigma) {
  SCOPED_TRACE(preset + " " + log);
  const Truth truth = read_truth("truth.txt");
  const ScoreReport r = score_catalogue(truth, read_catalogue(log), ScoreOptions{});
  int truth_n = 0, matched = 0;
  for (const MagnitudeBin& b : bright_bins(r)) {
    truth_n += b.truth;
    matched += b.matched;
    // Fluxes in both filters and positions as the simulation made them.
    // The median may depart from zero by its own noise (1.25 sigma / sqrt(n),
    // three times over, with sigma at least 0.02 since a bin of one or two
    // stars cannot measure it) and a 1% calibration allowance.
    for (int f = 0; f < 2; ++f) {
      const double n = std::max(1, b.photometry[f]);
      const double sigma = std::max(b.dmag_sigma[f], 0.02);
      const double median_tol = 0.01 + 3.0 * 1.2533 * sigma / std::sqrt(n);
      EXPECT_LT(std::fabs(b.dmag_median[f]), median_tol) << "bin " << b.lo << " filter " << f + 1;
      EXPECT_LT(b.dmag_sigma[f], max_sigma) << "bin " << b.lo << " filter " << f + 1;
    }
    EXPECT_LT(b.dpos_rms, 0.1) << "bin " << b.lo;
  }
  ASSERT_GE(truth_n, 10);
  EXPECT_GE(matched, 0.9 * truth_n);
  // Few reported stars have no true star within a pixel.
  EXPECT_LE(r.unmatched, 0.05 * r.catalogue + 1);
  EXPECT_GT(r.catalogue, truth_n);
}

void run_field(const std::string& preset) {
  TempDir dir;
  write_field(field_preset(preset), dir.path().string());
  auto run = run_program(binary_path("src/driver/zeb"), {"params.txt"});
  ASSERT_EQ(run.status, 0) << run.err;
  check_catalogue(preset, "LOGR.XYVIQ0", 0.06);
  for (const char* log : {"LOGR.XYVIQ1", "LOGR.XYVIQ2", "LOGR.XYVIQ3"}) check_catalogue(preset, log, 0.1);
}

TEST(CatalogueRun, IrFieldStarsFluxesAndPositions) { run_field("e2e-ir"); }

TEST(CatalogueRun, HrcFieldStarsFluxesAndPositions) { run_field("e2e-hrc"); }

// The second run reports its progress on standard error, and its parameter
// file switches the joint criterion off explicitly in two iterations (JSIG
// 99.99, its default): what it writes must not change, and its standard output
// only gains the line that lists the thresholds.
TEST(CatalogueRun, SameInputGivesIdenticalFiles) {
  TempDir dir;
  fs::create_directory("a");
  write_field(field_preset("e2e-ir"), (dir.path() / "a").string());
  fs::copy("a", "b", fs::copy_options::recursive);
  std::string p = read_file("b/params.txt");
  p.replace(p.find("END\n"), 4, "NIT01 JSIG=99.99\nNIT02 JSIG=99.99\nEND\n");
  write_file("b/params.txt", p);
  zeb::test::Captured runs[2];
  for (int k = 0; k < 2; ++k) {
    fs::current_path(dir.path() / (k == 0 ? "a" : "b"));
    runs[k] = run_program(binary_path("src/driver/zeb"), {"params.txt"}, {k == 0 ? "ZEB_PROGRESS=0" : "ZEB_PROGRESS=1"});
    ASSERT_EQ(runs[k].status, 0) << runs[k].err;
  }
  fs::current_path(dir.path());
  int compared = 0;
  for (const auto& e : fs::directory_iterator("a")) {
    const std::string name = e.path().filename().string();
    if (name.rfind("LOG", 0) != 0 || name == "LOGK.INPUT_FILE") continue;  // the echo of the file
    EXPECT_EQ(read_file("a/" + name), read_file("b/" + name)) << name;
    ++compared;
  }
  EXPECT_GE(compared, 20);
  // Apart from the echo of the parameter file, the output differs by the
  // list of the thresholds alone.
  const std::string listed = std::string(16, ' ') + "JSIG NIT01..NIT10:  99.99  99.99  99.99  99.99  99.99  99.99"
                                                    "  99.99  99.99  99.99  99.99";
  std::vector<std::string> lines[2];
  for (int k = 0; k < 2; ++k)
    for (const std::string& l : split_lines(runs[k].out))
      if (l.rfind("ZEB_SETUP LINE", 0) != 0 && l != listed) lines[k].push_back(l);
  EXPECT_EQ(lines[0], lines[1]);
  EXPECT_EQ(split_lines(runs[1].out).size(), split_lines(runs[0].out).size() + 3);
  EXPECT_EQ(runs[0].err, "");

  // The field's two tiles (IJTLIM 1 2 1 1): the stars so far are those the
  // tile summaries and the catalogue count; every LOG file is the run's, the echo of the parameter file included.
  const std::vector<std::string> setup = zeb::test::read_lines("b/LOGK.SETUP");
  ASSERT_EQ(setup.size(), 2u);
  const std::string after_first = std::to_string(std::stoi(setup[1].substr(setup[1].size() - 7)));
  const std::string stars = std::to_string(zeb::test::read_lines("b/LOGR.XYVIQ0").size() - 4);
  const std::string t = "[0-9]+\\.[0-9] s";
  const std::vector<std::string> want = {
      "zeb: tile 1/2 \\(IT001 JT001\\) done, " + after_first + " stars, " + t + " elapsed, about " + t + " left",
      "zeb: tile 2/2 \\(IT002 JT001\\) done, " + stars + " stars, " + t + " elapsed",
      "zeb: finished: 2 tiles, " + stars + " stars, " + std::to_string(compared + 1) + " files written, wall time " + t};
  const std::vector<std::string> got = zeb::test::split_lines(runs[1].err);
  ASSERT_EQ(got.size(), want.size()) << runs[1].err;
  for (std::size_t k = 0; k < want.size(); ++k) EXPECT_TRUE(std::regex_match(got[k], std::regex(want[k]))) << got[k];
}

}  // namespace
}  // namespace zebsim
