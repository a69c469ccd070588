// The tile loop on the simulated demo field: every tile finds its exposures,
// the rasters hold the simulated stars where the tables put them and with the
// flux the simulation gave them, and the run's lines follow their formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>

#include "driver/prescan.h"
#include "field_files.h"
#include "setup/param_file.h"
#include "support/test_support.h"
#include "tile/bright_mask.h"
#include "tile/init_tile.h"
#include "tile/tile_exposures.h"
#include "tile/tile_geometry.h"

namespace zebsim {
namespace {

using zeb::test::binary_path;
using zeb::test::capture;
using zeb::test::read_lines;
using zeb::test::run_program;
using zeb::test::split_lines;
using zeb::test::TempDir;

// Sky under a star: the median of the raster pixels 12 to 25 pixels away.
double annulus_median(const zeb::TileExposures& te, int n, double xt, double yt) {
  std::vector<double> v;
  for (int j = static_cast<int>(yt) - 26; j <= static_cast<int>(yt) + 26; ++j)
    for (int i = static_cast<int>(xt) - 26; i <= static_cast<int>(xt) + 26; ++i) {
      const double r = std::hypot(i - xt, j - yt);
      if (r >= 12 && r <= 25 && i >= 1 && i <= 301 && j >= 1 && j <= 301 && te.pixu_n(i, j, n) == 0)
        v.push_back(te.pixv_n(i, j, n));
    }
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Checks the isolated bright stars of tile (it, jt) in every exposure's raster.
void check_tile(const zeb::RunState& run, const Field& field, const std::vector<bool>& isolated, int it, int jt,
                int& checked, int& candidates, int& flagged_out, double& ratio_sum) {
  const int uref = (it - 1) * 120 + 76, vref = (jt - 1) * 120 + 76;
  zeb::TileExposures te;
  zeb::LocalBrightStars bright;
  capture([&] {
    zeb::init_tile_a(it, jt, uref, vref, run.slots, te, false);
    te.allocate_rasters(te.ns);
    zeb::init_tile_b(it, jt, uref, vref, te, run.bright, bright, run.settings);
  });
  ASSERT_EQ(te.ns, 6);

  for (std::size_t k = 0; k < field.stars.size(); ++k) {
    const Star& s = field.stars[k];
    if (!isolated[k] || std::min(s.flux[0], s.flux[1]) < 3.0e4 || std::fabs(s.u - uref) > 60 || std::fabs(s.v - vref) > 60) continue;
    ++candidates;
    for (int n = 1; n <= te.ns; ++n) {
      const double x = zeb::xr_uv(s.u, s.v, zeb::tab_of(te.xtab_n, n), zeb::tab_of(te.ytab_n, n), te.itil_n(n),
                                  te.jtil_n(n), uref, vref);
      const double y = zeb::yr_uv(s.u, s.v, zeb::tab_of(te.xtab_n, n), zeb::tab_of(te.ytab_n, n), te.itil_n(n),
                                  te.jtil_n(n), uref, vref);
      const double xt = x - te.itil_n(n) + 151, yt = y - te.jtil_n(n) + 151;
      bool flagged = false;
      double sum = 0, sx = 0, sy = 0, centre_weight = 0;
      const double sky = annulus_median(te, n, xt, yt);
      int npix = 0;
      for (int j = static_cast<int>(yt) - 10; j <= static_cast<int>(yt) + 11; ++j)
        for (int i = static_cast<int>(xt) - 10; i <= static_cast<int>(xt) + 11; ++i) {
          if (std::hypot(i - xt, j - yt) > 10.0) continue;
          flagged = flagged || te.pixu_n(i, j, n) != 0;
          const double v = te.pixv_n(i, j, n) - sky;
          sum += v;
          ++npix;
          if (std::hypot(i - xt, j - yt) <= 3.0) {
            sx += v * i;
            sy += v * j;
            centre_weight += v;
          }
        }
      if (flagged) {
        ++flagged_out;
        continue;
      }
      const double truth = s.flux[static_cast<std::size_t>(te.fff_n(n) - 1)];
      // Values are in reference units: the whole star's light is its true flux
      // (stars of 3e4 or more in both filters carry about 1% of photon, sky and
      // read noise in this aperture, sky estimate included).
      EXPECT_NEAR(sum / truth, 1.0, 0.04) << "star " << s.id << " exposure " << n;
      // Its light-weighted centre lies where the tables put it (the centroid of a
      // box about the predicted spot is pulled a little towards the box centre).
      EXPECT_NEAR(sx / centre_weight, xt, 0.15) << "star " << s.id << " exposure " << n;
      EXPECT_NEAR(sy / centre_weight, yt, 0.15) << "star " << s.id << " exposure " << n;
      ratio_sum += sum / truth;
      ++checked;
    }
  }
}

TEST(TileLoopOnDemoField, EveryTileFindsItsExposuresAndTheRunEndsNormally) {
  TempDir dir;
  write_field(field_preset("demo"), dir.path().string());
  auto run = run_program(binary_path("src/driver/zeb"), {"params.txt"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // The demo field covers tiles 1..2 x 1..2, each seen by all six exposures.
  auto setup = read_lines("LOGK.SETUP");
  ASSERT_EQ(setup.size(), 4u);
  const std::regex setup_line(R"( 00[12] 00[12]   0(076|196) 0(076|196) G006 N006 BB\d{4} F002 +\d+ \d{7})");
  for (const auto& l : setup) EXPECT_TRUE(std::regex_match(l, setup_line)) << l;
  EXPECT_EQ(setup[1].substr(0, 20), " 002 001   0196 0076");
  // Seven progress lines per tile, in tile order: start, exposures, loaded,
  // one per finding iteration (NITLIM 1 3) and the end with the counter after
  // the loop (4), the stars found per iteration, the stars added and NMASTs.
  const std::regex progress(R"( IT00[12] JT00[12]      0(076|196)  0(076|196)     NIT[0-4].*)");
  std::vector<std::string> lines;
  for (const auto& l : split_lines(run.out))
    if (std::regex_match(l, progress)) lines.push_back(l);
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[7].substr(0, 12), " IT002 JT001");
  EXPECT_EQ(lines[2].substr(37), "       6(Ns)       0/  0     0(Lo)");
  const std::regex iteration(R"( IT001 JT001      0076  0076     NIT1       6\(Ns\)       0/  0     0\(Lo\)          )"
                             R"( *\d+   0   0   0   0   0   0   0   0)");
  EXPECT_TRUE(std::regex_match(lines[3], iteration)) << lines[3];
  const std::regex end(R"( IT001 JT001      0076  0076     NIT4       6\(Ns\)       0/  0     0\(Lo\)         )"
                       R"(( +\d+){3}   0   0   0   0   0   0          +\d+         R\d{7})");
  EXPECT_TRUE(std::regex_match(lines[6], end)) << lines[6];
  EXPECT_NE(run.out.find("*****      JT =      2   *****"), std::string::npos);
  // The catalogue logs were opened after the run summary.
  const auto open_at = run.out.find("OPEN INPUT FILES...  \n");
  ASSERT_NE(open_at, std::string::npos);
  EXPECT_LT(run.out.find("ZEB_SETUP HAS BEEN DONE..."), open_at);
  EXPECT_LT(open_at, run.out.find("START THE ITERATIONS..."));
}

TEST(TileLoopOnDemoField, RastersHoldTheSimulatedStarsThroughTheTables) {
  TempDir dir;
  // The demo field thinned out to bright, unsaturated stars that mostly stand alone.
  FieldDesign design = field_preset("demo");
  design.nstars = 60;
  design.mag_faint = -11.6;
  design.mag_bright = -13.5;
  design.saturated_stars = 0;
  write_field(design, dir.path().string());
  const Field field = plan_field(design);

  zeb::RunState run;
  run.master.allocate(2);
  run.art.allocate(2);
  auto setup = capture([&] {
    zeb::PrescanCounts counts = zeb::extract_gsfscs("params.txt", run.settings.verbose);
    zeb::zeb_setup("params.txt", counts, run);
  });
  ASSERT_FALSE(setup.stopped) << setup.out;

  const std::vector<bool> isolated = isolated_stars(field, 20.0, 0.002);
  int checked = 0, candidates = 0, flagged_out = 0;
  double ratio_sum = 0;
  for (int it = 1; it <= 2; ++it)
    for (int jt = 1; jt <= 2; ++jt)
      check_tile(run, field, isolated, it, jt, checked, candidates, flagged_out, ratio_sum);

  ASSERT_GE(checked, 60) << candidates << " candidates, " << flagged_out << " flagged";
  // Together they show no bias of the calibration (zero points, correction map).
  EXPECT_NEAR(ratio_sum / checked, 1.0, 0.005);
}

}  // namespace
}  // namespace zebsim
