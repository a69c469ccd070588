// Parts of methods 2 and 3 on hand-worked cases: the weighted sky mean and
// its annulus, the per-pixel flux with its q and o values, and the combination
// with low-weight trimming and outlier rejection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/array.h"
#include "measure/meth0_field.h"
#include "measure/meth2.h"
#include "support/test_support.h"

namespace zeb {
namespace {

// Images of one raster for the parts: all zero, mask clear.
struct Raster {
  Array2<float> value{TILE_GRID, TILE_GRID}, model{TILE_GRID, TILE_GRID}, pixe{TILE_GRID, TILE_GRID},
      pixm{TILE_GRID, TILE_GRID}, neighbours{TILE_GRID, TILE_GRID};
  Array2<std::uint8_t> mask{TILE_GRID, TILE_GRID};
  Sky2Buffer buffer;

  Meth2Sky sky(float x, float y, float r_in, float r_out) {
    return find_sky_meth2(x, y, r_in, r_out, value.view(), mask.view(), model.view(), pixe.view(), pixm.view(),
                          buffer);
  }
  Meth2Flux flux(float x, float y, float sky, int h, float ss, const LocalPsf& psf) {
    return find_zwt_meth2(x, y, sky, h, ss, value.view(), mask.view(), neighbours.view(), pixm.view(), model.view(),
                          psf);
  }
};

TEST(Meth2Sky, WeightedClippedMean) {
  // Ten values of 1 and one of 100, equal weights: the first pass gives mean
  // 10 and scatter (10 * 9 + 90) / 11 = 16.36, dropping 100 (beyond 49.1);
  // the second gives 1 with scatter 0 and drops nothing.
  std::vector<float> v(10, 1.0f), w(11, 1.0f);
  v.push_back(100.0f);
  Meth2Sky s = barsigw_meth2(v.data(), w.data(), 11);
  EXPECT_FLOAT_EQ(s.sky, 1.0f);
  EXPECT_FLOAT_EQ(s.scatter, 0.0f);
  EXPECT_EQ(s.count, 10);

  // Five 0 of weight 2, six 1 of weight 1: mean 6/16, scatter
  // (10 * 0.375 + 6 * 0.625) / 16 = 0.46875; nothing lies beyond 3 scatters.
  std::vector<float> v2 = {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1};
  std::vector<float> w2 = {2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1};
  s = barsigw_meth2(v2.data(), w2.data(), 11);
  EXPECT_FLOAT_EQ(s.sky, 0.375f);
  EXPECT_FLOAT_EQ(s.scatter, 0.46875f);
  EXPECT_EQ(s.count, 11);

  // Ten values are not enough.
  s = barsigw_meth2(v2.data(), w2.data(), 10);
  EXPECT_EQ(s.sky, 0.0f);
  EXPECT_EQ(s.scatter, 9999.0f);
  EXPECT_EQ(s.count, 0);
}

TEST(Meth2Sky, AnnulusPixelsAndWeights) {
  Raster r;
  r.value.fill(5.0f);
  r.pixe.fill(1.0f);
  // Radii 2 and 4: 2.25 <= a^2 + b^2 <= 20.25, i.e. 69 points with a^2 + b^2 <= 20
  // minus the 9 with a^2 + b^2 <= 2.
  Meth2Sky s = r.sky(150.2f, 149.9f, 2.0f, 4.0f);
  EXPECT_FLOAT_EQ(s.sky, 5.0f);
  EXPECT_EQ(s.count, 60);
  r.mask(152, 150) = 1;  // (a, b) = (2, 0): in the annulus
  r.mask(150, 150) = 1;  // the centre: not in it
  EXPECT_EQ(r.sky(150.2f, 149.9f, 2.0f, 4.0f).count, 59);
  // Near the edge only columns 2.. count: at ic = 3, a >= -1 gives
  // 6 + 6 + 6 + 9 + 7 + 5 = 39 pixels (a = -1 .. 4).
  EXPECT_EQ(r.sky(3.0f, 150.0f, 2.0f, 4.0f).count, 39);
  // Pixel weights 1 / (pixe^2 + model^2 + pixm^2): the left half (a < 0,
  // 27 of the 54 pixels off the a = 0 column, value 2) has weight 1/4, the
  // rest (33 pixels, value 8) weight 1. Mean (27 * 2 / 4 + 33 * 8) / (27 / 4 + 33)
  // = 277.5 / 39.75; scatter (6.75 (m - 2) + 33 (8 - m)) / 39.75 = 1.69 (value 2
  // lies 4.98 from the mean, within 3 scatters).
  for (int j = 1; j <= TILE_GRID; ++j)
    for (int i = 1; i < 150; ++i) {
      r.value(i, j) = 2.0f;
      r.model(i, j) = std::sqrt(2.0f);
      r.pixm(i, j) = 1.0f;
    }
  for (int j = 1; j <= TILE_GRID; ++j)
    for (int i = 150; i <= TILE_GRID; ++i) r.value(i, j) = 8.0f;
  r.mask.fill(0);
  s = r.sky(150.0f, 150.0f, 2.0f, 4.0f);
  const double mean = 277.5 / 39.75;
  EXPECT_EQ(s.count, 60);
  EXPECT_NEAR(s.sky, mean, 1e-5);
  EXPECT_NEAR(s.scatter, (6.75 * (mean - 2) + 33 * (8 - mean)) / 39.75, 1e-5);
}

TEST(Meth2Sky, TooFewPixelsAndTooMany) {
  Raster r;
  r.value.fill(5.0f);
  r.pixe.fill(1.0f);
  // Mask everything but 9 annulus pixels: no sky at all.
  r.mask.fill(1);
  const int keep9[9][2] = {{2, 0}, {3, 0}, {4, 0}, {-2, 0}, {-3, 0}, {-4, 0}, {0, 2}, {0, 3}, {0, 4}};
  for (const auto& k : keep9) r.mask(150 + k[0], 150 + k[1]) = 0;
  Meth2Sky s = r.sky(150.0f, 150.0f, 2.0f, 4.0f);
  EXPECT_EQ(s.sky, 0.0f);
  EXPECT_EQ(s.scatter, 0.0f);
  EXPECT_EQ(s.count, 0);
  // Ten pixels reach the weighted mean, which wants more than ten.
  r.mask(150, 148) = 0;
  s = r.sky(150.0f, 150.0f, 2.0f, 4.0f);
  EXPECT_EQ(s.scatter, 9999.0f);
  EXPECT_EQ(s.count, 0);
  // A pixel whose error is 0 has no finite weight and carries no sky.
  r.pixe(150, 148) = 0.0f;
  EXPECT_EQ(r.sky(150.0f, 150.0f, 2.0f, 4.0f).scatter, 0.0f);
  // Radii 10 and 20 (RAP 5) hold about 1036 pixels: more than the annulus may.
  r.mask.fill(0);
  r.pixe.fill(1.0f);
  const test::Captured c = test::capture([&] { r.sky(150.0f, 150.0f, 10.0f, 20.0f); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.err, "STOP find_sky_meth2:  Ls.gt.1000\n");
  // Radii 8 and 16 (RAP 4) fit; a position that is not a number has no sky.
  EXPECT_GT(r.sky(150.0f, 150.0f, 8.0f, 16.0f).count, 600);
  EXPECT_EQ(r.sky(std::nanf(""), 150.0f, 2.0f, 4.0f).count, 0);
}

class Meth2Flux3 : public ::testing::Test {
 protected:
  test::GaussianField field{1, 1.2f, 0.0f, 1.0f};
  const LocalPsf& psf() { return field.psfs()[0]; }
  Raster r;
  // value = z PSF + neighbours + sky on the 5 x 5 pixels around (x, y).
  void draw(float x, float y, float z, float nb, float sky) {
    for (int j = 148; j <= 153; ++j)
      for (int i = 148; i <= 153; ++i) {
        r.neighbours(i, j) = nb;
        r.value(i, j) = z * rpsf_phot(static_cast<float>(i) - x, static_cast<float>(j) - y, psf()) + nb + sky;
      }
  }
};

TEST_F(Meth2Flux3, StarOnAPixelCentreUsesThatPixelAlone) {
  draw(150.0f, 150.0f, 1000.0f, 6.0f, 10.0f);
  r.model.fill(4.0f);
  r.pixm.fill(1.0f);
  // One pixel, p0 = PSF(0, 0): V = 4 + 2^2 + 1 = 9, e = 9 / p0, sz = e,
  // z = d / p0 = 1000, o = neighbours / p0, q = 1 (one value, same sign).
  const double p0 = rpsf_phot(0.0f, 0.0f, psf());
  const Meth2Flux m = r.flux(150.0f, 150.0f, 10.0f, 0, 2.0f, psf());
  EXPECT_EQ(m.f, 1);
  EXPECT_NEAR(m.z, 1000.0, 1e-3);
  EXPECT_NEAR(m.sz, 9.0 / p0, 1e-4);
  EXPECT_NEAR(m.o, 6.0 / p0, 1e-4);
  EXPECT_NEAR(m.q, 1.0, 1e-6);
  // The other pixels do not count: spoiling one beside the star changes nothing.
  r.value(151, 150) += 500.0f;
  const Meth2Flux same = r.flux(150.0f, 150.0f, 10.0f, 0, 2.0f, psf());
  EXPECT_EQ(same.z, m.z);
  EXPECT_EQ(same.sz, m.sz);
}

TEST_F(Meth2Flux3, StarAtAPixelCornerUsesFourPixels) {
  draw(150.5f, 150.5f, 1000.0f, 0.0f, 0.0f);
  // All four pixels lie 0.707 pixel away with the same p (a circular PSF):
  // sum w = 4 (p / V)^2 with V = 0 + 1 + 0, so sz = 1 / (2 p).
  const double p = rpsf_phot(0.5f, 0.5f, psf());
  const Meth2Flux m = r.flux(150.5f, 150.5f, 0.0f, 0, 1.0f, psf());
  EXPECT_EQ(m.f, 1);
  EXPECT_NEAR(m.z, 1000.0, 1e-2);
  EXPECT_NEAR(m.sz, 1.0 / (2.0 * p), 1e-3 / p);
  EXPECT_EQ(m.o, 0.0f);
  EXPECT_NEAR(m.q, 1.0, 1e-6);
}

TEST_F(Meth2Flux3, MaskedPixelInThe3x3FailsEvenWhenUnused) {
  draw(150.0f, 150.0f, 1000.0f, 0.0f, 0.0f);
  r.mask(149, 151) = 1;  // corner of the 3 x 3, 1.41 pixel away
  const Meth2Flux m = r.flux(150.0f, 150.0f, 0.0f, 0, 1.0f, psf());
  EXPECT_EQ(m.f, 0);
  EXPECT_EQ(m.z, 0.0f);
  EXPECT_EQ(m.sz, 9999.0f);
  EXPECT_EQ(m.q, 0.0f);
  EXPECT_EQ(m.o, 0.0f);
  // Just outside the 3 x 3 it does not matter in mode 3, but does in a 5 x 5 box.
  r.mask(149, 151) = 0;
  r.mask(148, 150) = 1;
  EXPECT_EQ(r.flux(150.0f, 150.0f, 0.0f, 0, 1.0f, psf()).f, 1);
  EXPECT_EQ(r.flux(150.0f, 150.0f, 0.0f, 2, 1.0f, psf()).sz, 9999.0f);
  // A pixel value that is not a number counts as masked.
  r.mask(148, 150) = 0;
  r.value(150, 151) = std::nanf("");
  EXPECT_EQ(r.flux(150.0f, 150.0f, 0.0f, 0, 1.0f, psf()).sz, 9999.0f);
}

TEST_F(Meth2Flux3, WholeBoxQualityAndContamination) {
  // Mode 2 over the 5 x 5 box: data shaped like the PSF correlate fully,
  // inverted data anti-correlate; neighbours nb everywhere give o = nb sum w / sum w p.
  draw(150.2f, 149.7f, 800.0f, 3.0f, 0.0f);
  Meth2Flux m = r.flux(150.2f, 149.7f, 0.0f, 2, 1.0f, psf());
  EXPECT_EQ(m.f, 1);
  EXPECT_NEAR(m.z, 800.0, 0.05);
  EXPECT_NEAR(m.q, 1.0, 1e-6);
  double sw = 0.0, swp = 0.0;
  for (int j = 148; j <= 152; ++j)
    for (int i = 148; i <= 152; ++i) {
      const double p = rpsf_phot(static_cast<float>(i) - 150.2f, static_cast<float>(j) - 149.7f, psf());
      sw += p * p;
      swp += p * p * p;
    }
  EXPECT_NEAR(m.o, 3.0 * sw / swp, 1e-4);
  EXPECT_NEAR(m.sz, std::sqrt(1.0 / sw), 1e-4);
  draw(150.2f, 149.7f, -800.0f, 0.0f, 0.0f);
  m = r.flux(150.2f, 149.7f, 0.0f, 2, 1.0f, psf());
  EXPECT_NEAR(m.z, -800.0, 0.05);
  EXPECT_NEAR(m.q, -1.0, 1e-6);
  // The box must lie on the raster: a star at column 2 with h = 2 is not measured.
  const Meth2Flux off = r.flux(2.0f, 150.0f, 0.0f, 2, 1.0f, psf());
  EXPECT_EQ(off.f, 0);
  EXPECT_EQ(off.sz, 99999.9f);
}

// Combination cases; weights sum to 1.
struct Mrej {
  std::vector<std::uint8_t> used, kept;
  MrejAverage run(const std::vector<float>& z, const std::vector<double>& w) {
    used.assign(z.size(), 9);
    kept.assign(z.size(), 9);
    return barsig_1dw_mrej(z.data(), w.data(), static_cast<int>(z.size()), 4.0, used.data(), kept.data());
  }
};

TEST(Meth2Combination, NoneOneAndTwo) {
  Mrej m;
  MrejAverage a = m.run({}, {});
  EXPECT_EQ(a.mean, 0.0);
  EXPECT_EQ(a.scatter, 99999.0);
  EXPECT_EQ(a.kept, 0);
  a = m.run({42.0f}, {1.0});
  EXPECT_EQ(a.mean, 42.0);
  EXPECT_EQ(a.scatter, 99999.0);
  EXPECT_EQ(a.used, 1);
  EXPECT_EQ(a.kept, 1);
  // Two: mean 15, scatter (0.5 * 5 + 0.5 * 5) / (1 - 0.5) = 10.
  a = m.run({10.0f, 20.0f}, {0.5, 0.5});
  EXPECT_DOUBLE_EQ(a.mean, 15.0);
  EXPECT_DOUBLE_EQ(a.scatter, 10.0);
  EXPECT_EQ(a.kept, 2);
}

TEST(Meth2Combination, TrimmedCountNeitherUsedNorKept) {
  Mrej m;
  // Mean weight 1/3; 0.06 < 0.0667 is trimmed, after which 0.47, 0.47 stay.
  MrejAverage a = m.run({10.0f, 20.0f, 1000.0f}, {0.47, 0.47, 0.06});
  EXPECT_EQ(a.used, 2);
  EXPECT_EQ(a.kept, 2);
  EXPECT_EQ(m.used, (std::vector<std::uint8_t>{1, 1, 0}));
  EXPECT_EQ(m.kept, (std::vector<std::uint8_t>{1, 1, 0}));
  EXPECT_NEAR(a.mean, 15.0, 1e-12);
  // 0.1 is not below 0.0667: kept, and with three values it is not an outlier
  // for its scatter is large.
  a = m.run({10.0f, 20.0f, 30.0f}, {0.45, 0.45, 0.1});
  EXPECT_EQ(a.used, 3);
  EXPECT_EQ(a.kept, 3);
  // Weights <= 0 are out of both sets.
  a = m.run({10.0f, 20.0f, 99.0f}, {0.5, 0.5, 0.0});
  EXPECT_EQ(a.used, 2);
  EXPECT_EQ(m.used[2], 0);
}

TEST(Meth2Combination, OutlierRejectedCountsAsUsed) {
  Mrej m;
  // Without 30 the others have mean 10 and scatter 0.08 / 0.6 = 0.133: D = 150.
  // Of the four left the largest D is 2. Final mean 10, scatter 0.08 / 0.6.
  const MrejAverage a = m.run({10.0f, 10.2f, 9.8f, 10.0f, 30.0f}, {0.2, 0.2, 0.2, 0.2, 0.2});
  EXPECT_EQ(a.used, 5);
  EXPECT_EQ(a.kept, 4);
  EXPECT_EQ(m.kept, (std::vector<std::uint8_t>{1, 1, 1, 1, 0}));
  EXPECT_EQ(m.used, (std::vector<std::uint8_t>{1, 1, 1, 1, 1}));
  EXPECT_NEAR(a.mean, 10.0, 1e-6);
  EXPECT_NEAR(a.scatter, 0.08 / 0.6, 1e-6);
  // The rejection of 200 raises the mean weight of the kept: the light 0.14
  // (not below 0.2 x 3.28 / 5 at first) is below 0.2 x 3.14 / 4 after it and
  // leaves both sets; the rejected one stays used.
  const MrejAverage b = m.run({100.0f, 101.0f, 99.0f, 100.0f, 200.0f}, {1.0, 1.0, 1.0, 0.14, 0.14});
  EXPECT_EQ(m.used, (std::vector<std::uint8_t>{1, 1, 1, 0, 1}));
  EXPECT_EQ(m.kept, (std::vector<std::uint8_t>{1, 1, 1, 0, 0}));
  EXPECT_DOUBLE_EQ(b.mean, 100.0);
}

TEST(Meth2Combination, ScatterFloorProtectsIdenticalValues) {
  Mrej m;
  // The other three agree exactly: scatter 0, floored at 0.005 * 10 = 0.05.
  // 10.1 lies 2 floors away (kept); 10.3 lies 6 away (rejected).
  MrejAverage a = m.run({10.0f, 10.0f, 10.0f, 10.1f}, {0.25, 0.25, 0.25, 0.25});
  EXPECT_EQ(a.kept, 4);
  a = m.run({10.0f, 10.0f, 10.0f, 10.3f}, {0.25, 0.25, 0.25, 0.25});
  EXPECT_EQ(a.kept, 3);
  EXPECT_EQ(a.used, 4);
  EXPECT_DOUBLE_EQ(a.mean, 10.0);
  EXPECT_DOUBLE_EQ(a.scatter, 0.0);
}

TEST(Meth2Combination, TooManyMeasurementsStop) {
  Mrej m;
  const std::vector<float> z(1000, 1.0f);
  const std::vector<double> w(1000, 0.001);
  const test::Captured c = test::capture([&] { m.run(z, w); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.err, "STOP barsig_1DW_MREJ: Ls.gt.999\n");
}

}  // namespace
}  // namespace zeb
