// The measuring part of a tile pass that the driver decides itself: the
// finding-map peak of an injected star, the star that answers for it, and the
// guards of the finding iterations.
#include "driver/tile_iterations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/test_support.h"

using zeb::test::capture;

TEST(ArtPeak, BracketingPixelsWithTiesGoingToTheLaterPixelAndIteration) {
  zeb::FindingMaps maps;
  maps.stackp_t(10, 20) = 3;
  maps.stackp_t(11, 20) = 3;  // same P, later in i: wins
  maps.stackq_t(11, 20) = 7;
  maps.stackc_t(11, 20) = 5;
  maps.stackp_t(12, 20) = 9;  // outside the bracket of 10.6
  zeb::ArtPass p;
  p.ia = 10.6;  // pixels trunc(10.1) = 10 .. trunc(11.1) = 11
  p.ja = 20.4;  // 19 .. 20
  zeb::record_art_peak(maps, 2, p, false);
  EXPECT_EQ(p.peak_p, 3);
  EXPECT_EQ(p.peak_q, 7);
  EXPECT_EQ(p.peak_c, 5);
  EXPECT_EQ(p.peak_nit, 2);
  EXPECT_EQ(p.peak_i, 11);
  EXPECT_EQ(p.peak_j, 20);
  // A later iteration with an equal peak takes the record; a weaker one does not.
  zeb::record_art_peak(maps, 3, p, false);
  EXPECT_EQ(p.peak_nit, 3);
  maps.stackp_t(11, 20) = 1;
  maps.stackp_t(10, 20) = 1;
  zeb::record_art_peak(maps, 4, p, false);
  EXPECT_EQ(p.peak_nit, 3);
  EXPECT_EQ(p.peak_p, 3);
}

TEST(ArtPeak, StartsFromMinusOneAndTellsEveryRecordedPixel) {
  zeb::test::TempDir dir;
  zeb::FindingMaps maps;
  zeb::ArtPass p;
  p.ia = 1.2;  // clipped to pixel 1
  p.ja = 301.0;  // pixels 300 .. 301
  // An empty map ties everywhere: both pixels are recorded in turn, each with
  // its line (i, j, P, Q, C, NIT) and the five map files.
  auto c = capture([&] { zeb::record_art_peak(maps, 1, p, true); });
  EXPECT_EQ(c.out, " ----> FILLFIND:  1 300 0 0 0 1\n ----> FILLFIND:  1 301 0 0 0 1\n");
  EXPECT_EQ(p.peak_p, 0);
  EXPECT_EQ(p.peak_i, 1);
  EXPECT_EQ(p.peak_j, 301);
  for (const char* f : {"stackp_t.fits", "stackq_t.fits", "stackd_t.fits", "stackc_t.fits", "stacky_t.fits"})
    EXPECT_TRUE(std::filesystem::exists(f)) << f;
}

namespace {

zeb::Tile tile_with_stars(std::initializer_list<std::pair<double, double>> grid) {
  zeb::Tile t;
  t.limits = zeb::tile_limits(2, 3);  // UREF_T 196, VREF_T 316
  zeb::reset_local(*t.local);
  int k = 0;
  for (auto [u0, v0] : grid) {
    ++k;
    t.local->u0_l(k) = static_cast<float>(u0);
    t.local->v0_l(k) = static_cast<float>(v0);
    t.local->n0_l(k) = 100 + k;
    t.local->gg_l(k) = 1;
    t.local->z0_lf(k, 1) = 50.0f;
  }
  t.ls = k;
  t.pass.star.id = 77;
  t.pass.star.u = 200.0;  // grid 159
  t.pass.star.v = 320.0;  // grid 159
  return t;
}

}  // namespace

TEST(ReportedStar, NearestLocalStarWithinTheRadiusAnswers) {
  // Star 2 lies 4 grid steps (2 pixels) away, star 1 further, star 3 beyond 9.999.
  zeb::Tile t = tile_with_stars({{150.0, 159.0}, {163.0, 159.0}, {159.0, 179.0}});
  zeb::choose_reported_star(t);
  EXPECT_EQ(t.ls, 3);
  EXPECT_EQ(t.local->n0_l(2), 77);
  EXPECT_EQ(t.local->gg_l(2), 1);
  EXPECT_EQ(t.local->gg_l(1), 0);
  EXPECT_EQ(t.local->gg_l(3), 0);
  EXPECT_EQ(t.local->n0_l(1), 0);
}

TEST(ReportedStar, NoStarWithinTheRadiusUsesABlankedFirstEntry) {
  // 20 grid steps = 10 pixels: not strictly nearer than 9.999.
  zeb::Tile t = tile_with_stars({{179.0, 159.0}, {159.0, 139.0}});
  zeb::choose_reported_star(t);
  EXPECT_EQ(t.ls, 1);
  EXPECT_EQ(t.local->n0_l(1), 77);
  EXPECT_EQ(t.local->gg_l(1), 1);
  EXPECT_EQ(t.local->u0_l(1), 0.0f);
  EXPECT_EQ(t.local->z0_lf(1, 1), 0.0f);
}

TEST(FindingIterations, UnsetIterationRangeStops) {
  zeb::test::TempDir dir;
  zeb::RunState run;
  run.settings.cmode = 'R';
  zeb::CatalogueLogs logs(run.settings);
  zeb::Tile t;
  auto c = capture([&] { zeb::finding_iterations(t, run, logs); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP need to define NITMIN and NITMAX in input file\n");
}
