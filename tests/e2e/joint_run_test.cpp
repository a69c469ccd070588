// The joint finding criterion in whole runs: on the IR field it adds true
// stars that the other criteria miss, an injected star it finds in mode A is
// reported like any other, and a field of nothing but noise and cosmic rays
// gives it nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "field_files.h"
#include "score.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using namespace zeb::test;

// Adds lines to the parameter file before its END, and a first line for the mode.
void edit_params(const std::string& mode, const std::string& lines) {
  std::string p = read_file(kParamFile);
  p.replace(0, p.find('\n'), "MODE=" + mode);
  p.replace(p.find("END\n"), 4, lines + "END\n");
  write_file(kParamFile, p);
}

// Discovery positions (reference frame) of the stars J found.
std::vector<std::pair<double, double>> joint_finds(const std::string& xyfind) {
  std::vector<std::pair<double, double>> v;
  for (const std::string& l : read_lines(xyfind))
    if (l.find(" Y4 ") != std::string::npos) v.emplace_back(std::stod(l.substr(1, 9)), std::stod(l.substr(11, 9)));
  return v;
}

ScoreReport score(const std::string& catalogue) {
  return score_catalogue(read_truth(kTruthFile), read_catalogue(catalogue), ScoreOptions{});
}

TEST(JointRun, AddsTrueStarsAndReportsAnInjectedOne) {
  TempDir dir;
  write_field(field_preset("e2e-ir"), ".");
  const std::string params = read_file(kParamFile);
  auto run = run_program(binary_path("src/driver/zeb"), {kParamFile});
  ASSERT_EQ(run.status, 0) << run.err;
  const ScoreReport before = score("LOGR.XYVIQ0");
  EXPECT_TRUE(joint_finds("LOGR.XYFIND").empty());

  edit_params("R", "NIT01 JSIG=5.0\nNIT02 JSIG=5.0\n");
  run = run_program(binary_path("src/driver/zeb"), {kParamFile});
  ASSERT_EQ(run.status, 0) << run.err;
  // Every star J found lies within a pixel of a true star. Some of them the
  // other criteria would have found in the next iteration; the others are
  // new: more true stars, no more that match none.
  const Truth truth = read_truth(kTruthFile);
  const auto finds = joint_finds("LOGR.XYFIND");
  EXPECT_GE(finds.size(), 20u);
  for (const auto& [u, v] : finds) {
    double best = 1e9;
    for (const TruthStar& t : truth.stars) best = std::min(best, std::hypot(t.u - u, t.v - v));
    EXPECT_LT(best, 1.0) << u << " " << v;
  }
  const ScoreReport after = score("LOGR.XYVIQ0");
  EXPECT_GE(after.matched, before.matched + static_cast<int>(finds.size()) / 4);
  EXPECT_EQ(after.unmatched, before.unmatched);

  // Mode A: a star of flux 400 (about 6 sigma in each exposure), the other
  // criteria held off: J finds it and it is reported as the injected star.
  write_file(kParamFile, params);
  edit_params("A", "NIT01 QMIN=99 DMIN=99 PMIN=99 JSIG=5.0\nNITLIM 1 1\nADDART 80.25 70.5 400 400\n");
  run = run_program(binary_path("src/driver/zeb"), {kParamFile});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> xyfind = read_lines("LOGA.XYFIND");
  ASSERT_EQ(xyfind.size(), 1u);
  EXPECT_NE(xyfind[0].find("A0000001"), std::string::npos) << xyfind[0];
  EXPECT_NE(xyfind[0].find(" W1 Y4 "), std::string::npos) << xyfind[0];
  EXPECT_NEAR(std::stod(xyfind[0].substr(1, 9)), 80.25, 0.5);
  EXPECT_NEAR(std::stod(xyfind[0].substr(11, 9)), 70.5, 0.5);
}

TEST(JointRun, NoiseAndCosmicRaysGiveNoJointSource) {
  // The HRC field with its cosmic rays (about 1000 per exposure) and stars of
  // a flux of about one count in all: nothing to find.
  TempDir dir;
  FieldDesign d = field_preset("e2e-hrc");
  d.mag_bright = -0.2;
  d.mag_faint = -0.1;
  d.saturated_stars = 0;
  write_field(d, ".");
  edit_params("R", "NIT01 JSIG=5.0\nNIT02 JSIG=5.0\n");
  auto run = run_program(binary_path("src/driver/zeb"), {kParamFile});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(joint_finds("LOGR.XYFIND").empty());
}

}  // namespace
}  // namespace zebsim
