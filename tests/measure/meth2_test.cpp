// Parts of methods 2 and 3 on hand-worked cases: the weighted sky mean and
// its annulus, the per-pixel flux with its q and o values, and the combination
// with low-weight trimming and outlier rejection.
//
// Methods 2 and 3 on synthetic tiles (stars drawn with an analytic Gaussian,
// the same Gaussian sampled as every exposure's PSF) and the per-filter
// combination on hand-set per-exposure results. Stated tolerance for a
// noise-free isolated star at its true position: 0.2% in flux in both modes
// (the PSF grid is interpolated from samples a quarter pixel apart).
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

}  // namespace
}  // namespace zeb

namespace zeb {
namespace {

using test::GaussianField;

constexpr float SIGMA = 1.2f;
constexpr float SKY = 20.0f;
constexpr double FLUX_TOL = 0.002;

void run(GaussianField& f, int mode) { meth2_xyz_tile(f.ls(), f.local(), f.ln(), f.te(), f.psfs(), mode); }

// A sky of SKY +- 1 in a checkerboard: its scatter is 1 (a perfectly flat
// sky has scatter 0, which the methods replace by 999.9).
void checkerboard(GaussianField& f) {
  for (int n = 1; n <= f.te().ns; ++n)
    for (int j = 1; j <= TILE_GRID; ++j)
      for (int i = 1; i <= TILE_GRID; ++i) f.te().pixv_n(i, j, n) += (i + j) % 2 == 0 ? 1.0f : -1.0f;
}

GaussianField dithered(int ns) {
  GaussianField f(ns, SIGMA, SKY, 3.0f);
  for (int n = 1; n <= ns; ++n) f.set_shift(n, 0.37 * n - 0.9, -0.23 * n + 0.4);
  checkerboard(f);
  return f;
}

TEST(Meth2Tile, ListedNeighboursAreSubtracted) {
  GaussianField f = dithered(2);
  f.draw_all(150.0, 150.0, 50000.0);
  f.draw_all(152.5, 151.0, 30000.0);
  const int a = f.list_star(150.0f, 150.0f, 50000.0f);
  const int b = f.list_star(152.5f, 151.0f, 30000.0f);
  for (const int mode : {2, 3}) {
    run(f, mode);
    const Meth2Ln out = meth2_ln(f.ln(), mode);
    for (int n = 1; n <= 2; ++n) {
      EXPECT_NEAR(out.z(a, n), 50000.0, 50000.0 * FLUX_TOL) << mode;
      EXPECT_NEAR(out.z(b, n), 30000.0, 30000.0 * FLUX_TOL) << mode;
      EXPECT_GT(out.o(a, n), 0.0f) << mode;
    }
  }
  // The brighter neighbour weighs more on the fainter star.
  EXPECT_GT(f.ln().o2_ln(b, 1), f.ln().o2_ln(a, 1));
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

}  // namespace
}  // namespace zeb
