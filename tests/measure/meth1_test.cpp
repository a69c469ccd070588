// Method 1 on synthetic tiles (stars drawn with an analytic Gaussian, the same
// Gaussian sampled as every exposure's PSF) and its parts on hand-worked
// inputs. Stated tolerances for a noise-free star: 0.01 pixel in position (the
// last pass steps 0.005 pixel) and 0.1% in flux.
//
// Methods 2 and 3: the per-filter combination on hand-set per-exposure
// results (weights, low-weight trimming, outlier rejection, sentinels).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/array.h"
#include "measure/local_list.h"
#include "measure/local_results.h"
#include "measure/meth0_field.h"
#include "measure/meth1.h"
#include "measure/meth2.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using namespace test;

void run_meth1(GaussianField& f, bool verbose = false) {
  meth1_xyz_tile(f.ls(), f.local(), f.ln(), f.te(), f.psfs(), verbose);
}

TEST(Meth1Tile, NeighbourSubtractedAndCountedInO) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  const double ua = 150.0, va = 150.0, ub = 153.0, vb = 150.0, za = 4000.0, zb = 8000.0;
  f.draw_all(ua, va, za);
  f.draw_all(ub, vb, zb);
  const int a = f.list_star(static_cast<float>(ua), static_cast<float>(va), static_cast<float>(za));
  const int b = f.list_star(static_cast<float>(ub), static_cast<float>(vb), static_cast<float>(zb));
  // A star off the raster, its entry as an earlier pass left it: reset, not kept.
  const int off = f.list_star(900.0f, 150.0f, 1000.0f);
  f.ln().f1_ln(off, 1) = 1;
  f.ln().z1_ln(off, 1) = 123.0f;
  run_meth1(f);
  const LocalExposureResults& ln = f.ln();
  EXPECT_EQ(ln.f1_ln(off, 1), 0);
  EXPECT_EQ(ln.z1_ln(off, 1), 0.0f);
  EXPECT_EQ(ln.f1_ln(a, 1), 1);
  EXPECT_EQ(ln.f1_ln(b, 1), 1);
  EXPECT_NEAR(ln.x1_ln(a, 1), ua, POS_TOL);
  EXPECT_NEAR(ln.z1_ln(a, 1), za, 0.002 * za);
  EXPECT_NEAR(ln.x1_ln(b, 1), ub, POS_TOL);
  EXPECT_NEAR(ln.z1_ln(b, 1), zb, 0.002 * zb);
  // o of A: B's light on A's 5 x 5 box over A's own PSF fraction in it, from
  // the analytic profile.
  double nb = 0.0, pa = 0.0;
  for (int j = 148; j <= 152; ++j)
    for (int i = 148; i <= 152; ++i) {
      nb += zb * f.profile(i - ub, j - vb);
      pa += f.profile(i - ua, j - va);
    }
  EXPECT_NEAR(ln.o1_ln(a, 1), nb / pa, 0.01 * nb / pa);
  // The neighbour's model enters the noise: sz exceeds the 5 of bare pixels.
  EXPECT_GT(ln.sz1_ln(a, 1), 5.5f);
}

// Method 2 fits each star with the others modelled at their starting fluxes:
// B, 3 pixels away and twice as bright, does not reach A's flux.
TEST(Meth2Tile, NeighboursAreModelledWithTheirStartingFluxes) {
  GaussianField f(1, SIGMA, SKY, 1.0f);
  f.draw_all(150.0, 150.0, 4000.0);
  f.draw_all(153.0, 150.0, 8000.0);
  const int a = f.list_star(150.0f, 150.0f, 4000.0f), b = f.list_star(153.0f, 150.0f, 8000.0f);
  // A star off the raster, its entry as an earlier pass left it: reset, not kept.
  const int off = f.list_star(900.0f, 150.0f, 1000.0f);
  f.ln().f2_ln(off, 1) = 1;
  f.ln().z2_ln(off, 1) = 123.0f;
  meth2_xyz_tile(f.ls(), f.local(), f.ln(), f.te(), f.psfs(), 2);
  EXPECT_EQ(f.ln().f2_ln(off, 1), 0);
  EXPECT_EQ(f.ln().z2_ln(off, 1), 0.0f);
  EXPECT_NEAR(f.ln().z2_ln(a, 1), 4000.0, 0.01 * 4000.0);
  EXPECT_NEAR(f.ln().z2_ln(b, 1), 8000.0, 0.01 * 8000.0);
}

// Sky on hand-made rasters around (150, 150), r = 2: radii 4 to 8.
struct SkyRasters {
  Array2<float> resid{301, 301}, model{301, 301}, pixe{301, 301}, pixm{301, 301};
  Array2<std::uint8_t> mask{301, 301};
  Meth1SkyBuffer buffer;
  SkyRasters() {
    pixe.fill(1.0f);
    mask.fill(1);
  }
  SkyEstimate run(int rin = 4, int rout = 8) {
    return meth1_find_sky(150.2f, 149.7f, rin, rout, resid.view(), mask.view(), model.view(), pixe.view(),
                          pixm.view(), buffer);
  }
};

TEST(Meth1Sky, WeightedByPixelErrorAndModel) {
  SkyRasters s;
  // 11 pixels: six of value 2 and error 1, five of value 4 whose error is 2
  // (pixe 1.2, model 1.6 since 1.44 + 2.56 = 4). Weights 1 and 1/4:
  // mean = (6 x 2 + 1.25 x 4) / 7.25 = 68 / 29; scatter
  // (6 x 10/29 + 1.25 x 48/29) / 7.25 = 120 / 210.25, nothing beyond 3 s.
  const int low[6][2] = {{154, 150}, {146, 150}, {150, 154}, {150, 146}, {155, 150}, {145, 150}};
  const int high[5][2] = {{150, 155}, {150, 145}, {156, 150}, {144, 150}, {150, 156}};
  for (const auto& p : low) {
    s.mask(p[0], p[1]) = 0;
    s.resid(p[0], p[1]) = 2.0f;
  }
  for (const auto& p : high) {
    s.mask(p[0], p[1]) = 0;
    s.resid(p[0], p[1]) = 4.0f;
    s.pixe(p[0], p[1]) = 1.2f;
    s.model(p[0], p[1]) = 1.6f;
  }
  const SkyEstimate sky = s.run();
  EXPECT_NEAR(sky.centre, 17.0 / 7.25, 1e-5);
  EXPECT_NEAR(sky.scatter, 120.0 / 210.25, 1e-5);
  EXPECT_EQ(sky.count, 11);
}

TEST(Meth1Sky, ClipsOutliersAndStopsBeyondCapacity) {
  // Ten values 1 and one 100: mean 10, scatter 180 / 11, 90 > 3 s drops the
  // 100; then mean 1, scatter 0, nothing more.
  float x[11], w[11];
  for (int k = 0; k < 11; ++k) {
    x[k] = 1.0f;
    w[k] = 1.0f;
  }
  x[6] = 100.0f;
  const SkyEstimate r = meth1_barsigw(x, w, 11);
  EXPECT_FLOAT_EQ(r.centre, 1.0f);
  EXPECT_FLOAT_EQ(r.scatter, 0.0f);
  EXPECT_EQ(r.count, 10);

  SkyRasters s;
  s.mask.fill(0);
  s.resid.fill(-200000.0f);
  const SkyEstimate bad = s.run();  // a mean not above -99999
  EXPECT_EQ(bad.centre, 0.0f);
  EXPECT_EQ(bad.scatter, 999999.875f);
  EXPECT_EQ(bad.count, 0);
  // r = 5: radii 10 to 20 hold more than 1000 pixels.
  const test::Captured c = test::capture([&] { s.run(10, 20); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.err, "STOP find_sky_meth2:  Ls.gt.1000\n");
}

TEST(Meth1Combine, HandWorkedAverages) {
  const double x = std::numeric_limits<double>::quiet_NaN();  // a result the case does not fix
  struct Case {
    const char* why;
    std::vector<float> u, v, z;
    std::vector<double> w;
    Average3 want;              // u, v, z, su, sv, sz, kept
    std::vector<int> rejected;  // measurements left out
  } cases[] = {
      {"one measurement: no rejection, fixed scatters", {10.5f}, {20.5f}, {300.0f}, {1.0}, {10.5, x, 300, 9.9, 9.9, 9999.9, 1}, {}},
      {"two: means and sum w |x - m| / sum w (0.75 x 0.5 + 0.25 x 1.5)", {1, 3}, {0, 0}, {100, 140}, {0.75, 0.25},
       {1.5, x, 110, 0.75, x, 15, 2}, {}},
      {"low weights trimmed one at a time: 0.04 < 0.2 x 0.25, then 0.04 < 0.2 x 0.32", {1, 1, 50, 60}, {2, 4, 0, 0},
       {5, 5, 9, 9}, {0.46, 0.46, 0.04, 0.04}, {x, 3, x, x, x, x, 2}, {2, 3}},
      // u = 13 against 10 +- 0.0133 (the others' scatter 0.2 x 0.04 / (0.8 - 0.2)).
      {"off in position alone", {10, 10.02f, 9.98f, 10, 13}, {5, 5, 5, 5, 5}, {100, 100, 100, 100, 100},
       {0.2, 0.2, 0.2, 0.2, 0.2}, {10, x, x, 0.008 / 0.6, x, 0, 4}, {4}},
      // The light measurement 4 (0.14 >= 0.2 x 3.28 / 5 at first) falls below
      // 0.2 x 3.14 / 4 once the outlier is out, and is trimmed in turn.
      {"a rejection raises the mean weight of the rest", {5, 5, 5, 5, 5}, {5, 5, 5, 5, 5}, {100, 101, 99, 100, 200},
       {1, 1, 1, 0.14, 0.14}, {x, x, 100, x, x, x, 3}, {3, 4}},
      // The flux floor is 0.01 times the others' mean with its sign: for -1000
      // the others' own scatter (0.2 x 1 / 0.6) measures the -1030, 90 away;
      // for +1000 the floor of 10 keeps the +1030 (3 away).
      {"a negative mean", {5, 5, 5, 5, 5}, {5, 5, 5, 5, 5}, {-1000, -1000.5f, -999.5f, -1000, -1030},
       {0.2, 0.2, 0.2, 0.2, 0.2}, {x, x, x, x, x, x, 4}, {4}},
      {"a positive mean", {5, 5, 5, 5, 5}, {5, 5, 5, 5, 5}, {1000, 1000.5f, 999.5f, 1000, 1030},
       {0.2, 0.2, 0.2, 0.2, 0.2}, {x, x, x, x, x, x, 5}, {}},
      {"nothing usable: weight 0 and a weight that is not a number", {1, 2}, {1, 2}, {1, 2}, {0.0, x},
       {0, x, x, 99999, x, 99999, 0}, {}},
  };
  for (const Case& c : cases) {
    std::uint8_t in[8];
    const Average3 r = barsig_3dw_mrej(c.u.data(), c.v.data(), c.z.data(), c.w.data(), static_cast<int>(c.u.size()),
                                       7.5, in);
    const std::pair<double, double> values[] = {{r.u, c.want.u},   {r.v, c.want.v},   {r.z, c.want.z},
                                                {r.su, c.want.su}, {r.sv, c.want.sv}, {r.sz, c.want.sz}};
    for (const auto& [got, want] : values) {
      if (!std::isnan(want)) {
        EXPECT_NEAR(got, want, 1e-6) << c.why;
      }
    }
    EXPECT_EQ(r.kept, c.want.kept) << c.why;
    for (int k : c.rejected) EXPECT_EQ(in[k], 0) << c.why << ": " << k;
  }
}

// Per-exposure results set by hand: star 1 in filter 1 (exposures 1, 2, 4) and
// filter 2 (exposure 3); exposure 5 (filter 1) not measured.
class FindAvgZ2 : public ::testing::Test {
 protected:
  LocalExposureResults ln{5};
  std::unique_ptr<LocalList> local = std::make_unique<LocalList>();
  Array1<int> fff{NDIM};
  void SetUp() override {
    reset_local(*local);
    const int f[5] = {1, 1, 2, 1, 1};
    const float z[5] = {100, 110, 50, 105, 999}, sz[5] = {1, 1, 5, 2, 1};
    const float q[5] = {0.9f, 0.8f, 0.7f, 0.5f, 1}, o[5] = {0.1f, 0.2f, 0.6f, 0.3f, 1};
    for (int n = 1; n <= 5; ++n) {
      fff(n) = f[n - 1];
      for (const int mode : {2, 3}) {
        Meth2Ln a = meth2_ln(ln, mode);
        a.z(1, n) = z[n - 1];
        a.sz(1, n) = sz[n - 1];
        a.q(1, n) = q[n - 1];
        a.o(1, n) = o[n - 1];
        a.f(1, n) = n == 5 ? 0 : 1;
        a.g(1, n) = 7;  // overwritten
      }
    }
  }
};

TEST_F(FindAvgZ2, WeightedAveragesPerFilter) {
  find_avg_z2(1, 5, fff, ln, *local, 2);
  // Filter 1: weights 1, 1, 1/4 normalised to 4/9, 4/9, 1/9. No outlier
  // (the largest D is 9 / 8). Mean 105; scatter (4/9 * 5 * 2) / (1 - 4/9) = 8;
  // q = (4 * 0.9 + 4 * 0.8 + 0.5) / 9; o = (4 * 0.1 + 4 * 0.2 + 0.3) / 9.
  EXPECT_NEAR(local->z2_lf(1, 1), 105.0, 1e-4);
  EXPECT_NEAR(local->sz2_lf(1, 1), 8.0, 1e-5);
  EXPECT_NEAR(local->q2_lf(1, 1), 7.3 / 9.0, 1e-6);
  EXPECT_NEAR(local->o2_lf(1, 1), 1.5 / 9.0, 1e-6);
  EXPECT_EQ(local->f2_lf(1, 1), 3);
  EXPECT_EQ(local->g2_lf(1, 1), 3);
  // Filter 2: a single measurement.
  EXPECT_EQ(local->z2_lf(1, 2), 50.0f);
  EXPECT_EQ(local->sz2_lf(1, 2), 99999.0f);
  EXPECT_NEAR(local->q2_lf(1, 2), 0.7, 1e-6);
  EXPECT_NEAR(local->o2_lf(1, 2), 0.6, 1e-6);
  EXPECT_EQ(local->g2_lf(1, 2), 1);
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(ln.g2_ln(1, n), 1) << n;
  EXPECT_EQ(ln.g2_ln(1, 5), 0);
  // Mode 2 leaves the method-3 arrays alone.
  EXPECT_EQ(ln.g3_ln(1, 1), 7);
  EXPECT_EQ(local->z3_lf(1, 1), 0.0f);
}

TEST_F(FindAvgZ2, AnOutlyingExposureIsLeftOut) {
  meth2_ln(ln, 3).z(1, 2) = 300.0f;
  find_avg_z2(1, 5, fff, ln, *local, 3);
  // Filter 1, weights 4/9, 4/9, 1/9 on 100, 300, 105. Leaving out 300: the
  // others' mean is 101, their scatter (4/9 * 1 + 1/9 * 4) / (1/9) = 8, so 300
  // lies 24.9 away (beyond 4); leaving out 100 or 105 gives 0.52 or 0.48. Two
  // remain: mean 101, scatter 8, q (4 * 0.9 + 0.5) / 5, o (4 * 0.1 + 0.3) / 5.
  EXPECT_NEAR(local->z3_lf(1, 1), 101.0, 1e-4);
  EXPECT_NEAR(local->sz3_lf(1, 1), 8.0, 1e-5);
  EXPECT_NEAR(local->q3_lf(1, 1), 0.82, 1e-6);
  EXPECT_NEAR(local->o3_lf(1, 1), 0.14, 1e-6);
  EXPECT_EQ(local->f3_lf(1, 1), 3);
  EXPECT_EQ(local->g3_lf(1, 1), 2);
  const int kept[5] = {1, 0, 1, 1, 0};
  for (int n = 1; n <= 5; ++n) EXPECT_EQ(ln.g3_ln(1, n), kept[n - 1]) << n;
}

}  // namespace
}  // namespace zeb
