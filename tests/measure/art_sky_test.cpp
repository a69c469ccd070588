// add_art and rmssky_xyz_tile on hand-built exposures: a constant PSF makes
// the light added to every pixel within 12 pixels of the star exactly z c, so
// what remains is the noise, whose statistics are checked over many draws.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "measure/art_sky.h"
#include "measure/noise.h"
#include "measure/tile_raster_util.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::capture;
using test::constant_psf;
using test::Rasters;
using test::ShiftTables;

constexpr float kC = 0.0078125f;  // 2^-7

// Three exposures, 1 and 2 in filter slot 1, 3 in filter slot 2; exposure
// times 250 against the filter's 500, so the noise variance is 2 m.
struct ArtCase {
  int ns = 3;
  ShiftTables tables{3};
  Rasters r{3, 50.0f, 1.0f};
  std::vector<LocalPsf> psfs = std::vector<LocalPsf>(3, constant_psf(kC));
  Array1<int> fff_n{NDIM, 1};
  Array1<float> exp_f{FDIM, 500.0f};
  Array1<float> exp_n{NDIM, 250.0f};
  ArtCase() { fff_n(3) = 2; }
  ArtLevels add(float z1, float z2, bool verbose = false) {
    return add_art(ns, r.pixv_n, r.pixe_n, r.pixu_n, psfs, 151.0f, 141.0f, {z1, z2}, fff_n, exp_f, exp_n,
                   tables.xtab_n, tables.ytab_n, verbose);
  }
};

TEST(AddArt, ZeroFluxLeavesThePixelsAndReportsTheLevelUnderTheCore) {
  ArtCase a;
  for (long k = 0; k < static_cast<long>(a.r.pixv_n.size()); ++k)
    if (k % 7 == 3) a.r.pixv_n.data()[k] = 50.0f + static_cast<float>(k % 5) * 1.0e-3f;
  const Array3<float> before = a.r.pixv_n;
  ArtLevels lv;
  test::Captured c = capture([&] { lv = a.add(0.0f, 0.0f, true); });
  for (long k = 0; k < static_cast<long>(before.size()); ++k) ASSERT_EQ(a.r.pixv_n.data()[k], before.data()[k]) << k;
  // 21 pixels lie within 2.5 of a whole-pixel position; two exposures in slot 1.
  EXPECT_EQ(lv.count[0], 42);
  EXPECT_EQ(lv.count[1], 21);
  EXPECT_NEAR(lv.level[0], 50.0f, 2.0e-3f);
  EXPECT_NEAR(lv.level[1], 50.0f, 2.0e-3f);
}

TEST(AddArt, CorePixelWithZeroErrorDominatesTheLevel) {
  ArtCase a;
  a.r.pixv_n(152, 141, 1) = 80.0f;
  a.r.pixe_n(152, 141, 1) = 0.0f;  // weight c / 0: held to the largest weight
  const ArtLevels lv = a.add(0.0f, 0.0f);
  EXPECT_EQ(lv.level[0], 80.0f);
  EXPECT_EQ(lv.used[0], 1);
  EXPECT_EQ(lv.level[1], 50.0f);
}

TEST(AddArt, VerboseLinePerFilterSlot) {
  ArtCase a;  // every pixel 50: level 50, scatter 0 after the second pass
  test::Captured c = capture([&] { a.add(0.0f, 0.0f, true); });
  EXPECT_EQ(c.out, " ---> F:  1 50 0 42 42\n ---> F:  2 50 0 21 21\n");
}

TEST(AddArt, FlaggedPixelsReceiveNeitherLightNorNoise) {
  ArtCase a;
  a.r.pixu_n(151, 141, 1) = 1;
  a.r.pixu_n(155, 141, 1) = 4;
  a.add(12800.0f, 12800.0f);
  EXPECT_EQ(a.r.pixv_n(151, 141, 1), 50.0f);
  EXPECT_EQ(a.r.pixv_n(155, 141, 1), 50.0f);
  EXPECT_NE(a.r.pixv_n(152, 141, 1), 50.0f);
  EXPECT_NE(a.r.pixv_n(151, 141, 2), 50.0f);
  EXPECT_EQ(a.r.pixv_n(151, 154, 1), 50.0f);  // 13 pixels off: beyond the PSF
}

TEST(AddArt, NoiseHasMeanZeroAndVarianceMTimesTheExposureTimeRatio) {
  // m = 12800 / 128 = 100 per pixel; variance m exp_f / exp_n = 200. Over
  // 80 stars x 441 pixels x 3 exposures = 105840 draws the mean has standard
  // error 0.043 and the variance a relative one of 0.43 %: the bounds below
  // are about 6 standard errors.
  ArtCase a;
  reset_run_random();
  double sum = 0.0, sum2 = 0.0;
  long n = 0;
  for (int trial = 0; trial < 80; ++trial) {
    a.r.pixv_n.fill(50.0f);
    a.add(12800.0f, 12800.0f);
    for (int e = 1; e <= 3; ++e)
      for (int j = 141 - 12; j <= 141 + 12; ++j)
        for (int i = 151 - 12; i <= 151 + 12; ++i) {
          if ((i - 151) * (i - 151) + (j - 141) * (j - 141) > 144) {
            ASSERT_EQ(a.r.pixv_n(i, j, e), 50.0f);
            continue;
          }
          const double d = a.r.pixv_n(i, j, e) - 150.0;
          sum += d;
          sum2 += d * d;
          ++n;
        }
  }
  ASSERT_EQ(n, 80L * 441 * 3);
  const double mean = sum / n;
  const double var = sum2 / n - mean * mean;
  EXPECT_LT(std::fabs(mean), 0.26);
  EXPECT_NEAR(var, 200.0, 200.0 * 0.026);
}

TEST(AddArt, SameSequenceGivesIdenticalPixels) {
  ArtCase a, b;
  reset_run_random();
  a.add(5000.0f, 900.0f);
  reset_run_random();
  b.add(5000.0f, 900.0f);
  for (long k = 0; k < static_cast<long>(a.r.pixv_n.size()); ++k)
    ASSERT_EQ(a.r.pixv_n.data()[k], b.r.pixv_n.data()[k]) << k;
  // Without resetting, the sequence has moved on: other noise.
  b.r.pixv_n.fill(50.0f);
  b.add(5000.0f, 900.0f);
  EXPECT_NE(a.r.pixv_n(151, 141, 1), b.r.pixv_n(151, 141, 1));
}

TEST(AddArt, NegativeOrNonNumberFluxAddsNothing) {
  ArtCase a;
  a.add(-400.0f, std::nanf(""));
  for (long k = 0; k < static_cast<long>(a.r.pixv_n.size()); ++k) ASSERT_EQ(a.r.pixv_n.data()[k], 50.0f) << k;
}

TEST(AddArt, ExposureTimeThatGivesNoNoiseScaleStops) {
  ArtCase a;
  a.exp_n(2) = 0.0f;
  test::Captured c = capture([&] { a.add(1000.0f, 1000.0f); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " add_art: exposure 2 has exposure time 0 against the filter's 500\n");
  EXPECT_EQ(c.err, "STOP add_art: exposure time not positive\n");
  // A star without light does not need the scale.
  ArtCase b;
  b.exp_n(2) = 0.0f;
  c = capture([&] { b.add(0.0f, 0.0f); });
  EXPECT_FALSE(c.stopped);
}

// Sky: exposure 1 has values 10 + (i - 151), exposure 2 20 + 2 (i - 151), both
// in slot 1; exposure 3 (slot 2) 7 + (j - 201).
struct SkyCase {
  ShiftTables tables{3};
  Rasters r{3, 0.0f, 1.0f};
  Array1<int> fff_n{NDIM, 1};
  std::vector<float> u, v;
  Array2<float> sky{LDIM, FDIM, -1.0f}, scat{LDIM, FDIM, -1.0f};
  SkyCase() {
    fff_n(3) = 2;
    for (int j = 1; j <= TILE_GRID; ++j)
      for (int i = 1; i <= TILE_GRID; ++i) {
        r.pixv_n(i, j, 1) = 10.0f + static_cast<float>(i - 151);
        r.pixv_n(i, j, 2) = 20.0f + 2.0f * static_cast<float>(i - 151);
        r.pixv_n(i, j, 3) = 7.0f + static_cast<float>(j - 201);
      }
  }
  void star(float uu, float vv) {
    u.push_back(uu);
    v.push_back(vv);
  }
  test::Captured run(bool verbose = false) {
    return capture([&] {
      rmssky_xyz_tile(static_cast<int>(u.size()), u, v, 3, tables.xtab_n, tables.ytab_n, r.pixv_n, r.pixu_n, 2, fff_n,
                      sky, scat, verbose);
    });
  }
};

// The 48 pixels at 2.5 .. 4.5 from a whole pixel (offsets with a^2 + b^2 in
// 8, 9, 10, 13, 16, 17, 18, 20) have sum |a| = 114, so a ramp of slope s gives
// mean value at the star and mean absolute deviation 114 s / 47.
TEST(RmsskyXyzTile, AnnulusMeanAndDeviationCombinedOverExposures) {
  SkyCase s;
  s.star(151.0f, 141.0f);
  s.star(201.0f, 201.0f);
  s.r.pixu_n(146, 136, 3) = 1;  // corner of star 1's box in exposure 3
  s.run();
  EXPECT_FLOAT_EQ(s.sky(1, 1), 15.0f);                 // barsig of 10 and 20
  EXPECT_FLOAT_EQ(s.scat(1, 1), 171.0f / 47.0f);       // barsig of 114/47 and 228/47
  EXPECT_EQ(s.sky(1, 2), 0.0f);                        // its only exposure is masked
  EXPECT_EQ(s.scat(1, 2), 0.0f);
  EXPECT_FLOAT_EQ(s.sky(2, 2), 7.0f);
  EXPECT_FLOAT_EQ(s.scat(2, 2), 114.0f / 47.0f);
}

TEST(RmsskyXyzTile, FlaggedPixelAnywhereInTheBoxDropsTheExposure) {
  SkyCase s;
  s.star(151.0f, 141.0f);
  s.r.pixu_n(151, 141, 2) = 2;  // the centre: not an annulus pixel, but in the box
  s.r.pixu_n(157, 141, 1) = 1;  // just outside exposure 1's box (146..156)
  s.run();
  EXPECT_FLOAT_EQ(s.sky(1, 1), 10.0f);
  EXPECT_FLOAT_EQ(s.scat(1, 1), 114.0f / 47.0f);
}

TEST(RmsskyXyzTile, FewerThanFiveAnnulusPixelsContributeNothing) {
  SkyCase s;
  // Raster (-1.5, -1.5): the clipped box 1..4 holds three annulus pixels,
  // (1, 1), (1, 2) and (2, 1), at 3.54, 4.30 and 4.30.
  s.star(-1.5f, -1.5f);
  // Raster (-1, -1): six, (1, 1) (1, 2) (2, 1) (2, 2) (1, 3) (3, 1).
  s.star(-1.0f, -1.0f);
  s.run();
  EXPECT_EQ(s.sky(1, 1), 0.0f);
  EXPECT_EQ(s.scat(1, 1), 0.0f);
  // Their pixels i = 1, 1, 2, 2, 1, 3 hold -140, -140, -139, -139, -140, -138
  // in exposure 1 (mean -836 / 6) and 20 + 2 (i - 151) in exposure 2
  // (-1672 / 6): the level is the mean of the two, -209.
  EXPECT_FLOAT_EQ(s.sky(2, 1), -209.0f);
}

TEST(RmsskyXyzTile, VerboseHeading) {
  SkyCase s;
  s.star(151.0f, 141.0f);
  test::Captured c = s.run(true);
  EXPECT_EQ(c.out, "rmssky_xyz_tile...\n---> Ls =     1\n---> Ns =     3\n---> Fs =     2\n");
}

}  // namespace
}  // namespace zeb
