// Scoring a catalogue against a truth file: one-to-one matching, counts per
// region, and the per-bin statistics, on small hand-made lists.
#include "score.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::TempDir;
using zeb::test::write_file;

const char* kTruth =
    "# zebsim truth: a hand-made field\n"
    "# region u       0.00     100.00 v       0.00     100.00\n"
    "#      id          u          v           flux1      mag1           flux2      mag2\n"
    "       1    10.0000    10.0000      10000.0000 -10.00000       1000.0000  -7.50000\n"
    "       2    20.0000    20.0000        100.0000  -5.00000        100.0000  -5.00000\n"
    "       3    50.0000    50.0000       1000.0000  -7.50000       1000.0000  -7.50000\n"
    "       4   150.0000    50.0000       1000.0000  -7.50000       1000.0000  -7.50000\n";

TEST(ReadTruth, RecordsAndRegion) {
  TempDir dir;
  write_file("truth.txt", kTruth);
  Truth t = read_truth("truth.txt");
  ASSERT_EQ(t.stars.size(), 4u);
  EXPECT_TRUE(t.has_region);
  EXPECT_EQ(t.region.umax, 100.0);
  EXPECT_EQ(t.stars[2].id, 3);
  EXPECT_EQ(t.stars[0].flux[1], 1000.0);
  EXPECT_EQ(t.stars[0].mag[0], -10.0);
}

TEST(ScoreCatalogue, MatchesOneToOneClosestFirstAndCountsInsideTheRegion) {
  TempDir dir;
  write_file("truth.txt", kTruth);
  // a: 0.5 from star 1, flux 0.1 mag fainter in filter 1; b: 0.6 from star 1,
  // loses it to a; c: star 3 with a negative filter-2 flux; d: nothing near;
  // e: star 4, outside the region.
  const double z1a = 10000.0 / std::pow(10.0, 0.04);
  std::ostringstream cat;
  cat.precision(17);
  cat << "10.3 10.4 " << z1a << " 1000\n"
      << "10.0 10.6 10000 1000\n"
      << "50.0 49.8 1000 -5\n"
      << "80 80 1 1\n"
      << "150.2 50 1000 1000\n";
  write_file("cat.txt", cat.str());
  ScoreReport r = score_catalogue(read_truth("truth.txt"), read_catalogue("cat.txt"), ScoreOptions{});
  EXPECT_EQ(r.truth, 3);
  EXPECT_EQ(r.matched, 2);
  EXPECT_EQ(r.catalogue, 4);
  EXPECT_EQ(r.unmatched, 2);
  // Bins of one magnitude from -10 to -5.
  ASSERT_EQ(r.bins.size(), 6u);
  EXPECT_EQ(r.bins[0].lo, -10.0);
  EXPECT_EQ(r.bins[5].hi, -4.0);
  const MagnitudeBin& b10 = r.bins[0];
  EXPECT_EQ(b10.truth, 1);
  EXPECT_EQ(b10.matched, 1);
  EXPECT_NEAR(b10.dmag_median[0], 0.1, 1e-12);
  EXPECT_NEAR(b10.dmag_median[1], 0.0, 1e-12);
  EXPECT_NEAR(b10.dpos_rms, 0.5, 1e-12);
  const MagnitudeBin& b8 = r.bins[2];  // star 3, -7.5
  EXPECT_EQ(b8.matched, 1);
  EXPECT_EQ(b8.photometry[0], 1);
  EXPECT_EQ(b8.photometry[1], 0);  // a negative flux has no magnitude
  EXPECT_EQ(r.bins[5].truth, 1);
  EXPECT_EQ(r.bins[5].matched, 0);
  // All bins: dm1 {0.1, 0} -> median 0.05, 1.4826 x 0.05; offsets (0.3, 0.4), (0, -0.2).
  EXPECT_NEAR(r.all.dmag_median[0], 0.05, 1e-12);
  EXPECT_NEAR(r.all.dmag_sigma[0], 1.4826 * 0.05, 1e-12);
  EXPECT_NEAR(r.all.dpos_rms, std::sqrt(0.29 / 2.0), 1e-12);
  EXPECT_NEAR(r.all.du_mean, 0.15, 1e-12);
  EXPECT_NEAR(r.all.dv_mean, 0.1, 1e-12);
}

TEST(ScoreCatalogue, AStarBetweenTwoTruthStarsGoesToTheCloserOnly) {
  TempDir dir;
  write_file("truth.txt",
             "1 30.0 30.0 100 -5 100 -5\n"
             "2 30.8 30.0 100 -5 100 -5\n");
  write_file("cat.txt", "30.5 30.0 100 100\n");
  ScoreOptions opt;
  opt.radius = 0.6;
  ScoreReport r = score_catalogue(read_truth("truth.txt"), read_catalogue("cat.txt"), opt);
  EXPECT_FALSE(r.has_region);
  EXPECT_EQ(r.truth, 2);
  EXPECT_EQ(r.matched, 1);
  EXPECT_NEAR(r.all.du_mean, -0.3, 1e-12);  // matched to star 2
}

TEST(ScoreCatalogue, RefusesGridsAndBinsItCannotHold) {
  TempDir dir;
  write_file("truth.txt", "1 0 0 100 -5 100 -5\n2 1000 1000 100 -15 100 -5\n");
  const Truth t = read_truth("truth.txt");
  ScoreOptions tiny_radius;
  tiny_radius.radius = 1e-300;
  EXPECT_TRUE(zeb::test::capture([&] {
                score_catalogue(t, {CatalogueStar{"a", 0.0, 0.0, {100.0, 100.0}}}, tiny_radius);
              }).stopped);
  ScoreOptions tiny_bins;
  tiny_bins.bin_width = 1e-6;
  EXPECT_TRUE(zeb::test::capture([&] { score_catalogue(t, {}, tiny_bins); }).stopped);
}

TEST(ReadCatalogue, ReadsTheCatalogueLogs) {
  TempDir dir;
  std::string lines = "#\n# header lines of the log\n";
  lines += zeb::fortran_record("(3x,f12.5,1x,f12.5,1x,f8.4,1x,a1,i7.7,1x,2(2x,f15.5,1x,f11.3,1x,i3,1x,i3))", 10.25,
                               20.5, -10.0, 'R', 1234, 10000.0, 12.5, 3, 3, 2500.0, 8.0, 3, 2) +
           "\n";
  write_file("LOGR.XYVIQ0", lines);
  auto c0 = read_catalogue("LOGR.XYVIQ0");
  ASSERT_EQ(c0.size(), 1u);
  EXPECT_EQ(c0[0].id, "R0001234");
  EXPECT_EQ(c0[0].u, 10.25);
  EXPECT_EQ(c0[0].v, 20.5);
  EXPECT_EQ(c0[0].flux[0], 10000.0);
  EXPECT_EQ(c0[0].flux[1], 2500.0);

  write_file(
      "LOGR.XYVIQ2",
      zeb::fortran_record("(3x,f12.5,1x,f15.5,1x,f8.4,1x,a1,i7.7,1x,2(2x,f15.5,1x,f13.5,1x,f5.3,1x,f15.5,1x,i3,1x,i3))",
                          5.0, 6.0, -7.5, 'R', 7, 1000.0, 3.0, 0.123, 0.5, 3, 3, 400.0, 2.0, 0.2, 0.0, 2, 2) +
          "\n");
  auto c2 = read_catalogue("LOGR.XYVIQ2");
  ASSERT_EQ(c2.size(), 1u);
  EXPECT_EQ(c2[0].flux[0], 1000.0);
  EXPECT_EQ(c2[0].flux[1], 400.0);
}

TEST(ReadCatalogue, MalformedLinesAreRunTimeErrorsNamingTheLine) {
  TempDir dir;
  write_file("bad1.txt", "1 2 3 4\n1 2 3\n");
  auto c = zeb::test::capture([] { read_catalogue("bad1.txt"); });
  EXPECT_TRUE(c.errored);
  write_file("bad2.txt", "1 2 x 4\n");
  EXPECT_THROW(read_catalogue("bad2.txt"), zeb::RunError);
  write_file("bad3.txt", "1 2 nan 4\n");
  EXPECT_THROW(read_catalogue("bad3.txt"), zeb::RunError);
  EXPECT_THROW(read_catalogue("missing.txt"), zeb::RunError);
  write_file("bad4.txt", "1 10 10 100 -5 100\n");
  EXPECT_THROW(read_truth("bad4.txt"), zeb::RunError);
  write_file("bad5.txt", "1 10 10 100 -1e300 100 -5\n");
  EXPECT_THROW(read_truth("bad5.txt"), zeb::RunError);
  try {
    read_catalogue("bad1.txt");
  } catch (const zeb::RunError& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace zebsim
