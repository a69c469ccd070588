// barsigw and barsig_sns on hand-worked samples.
//
// rpsf_phot against hand-worked grids, its regime boundaries, and bit-identity
// with a direct transcription of the evaluation rule (square root included).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/array.h"
#include "core/robust_stats.h"
#include "psf/psf.h"
#include "support/test_support.h"

namespace zeb {
namespace {

void expect_result(const RobustMean& r, float mean, float scatter, int used, const char* what) {
  EXPECT_FLOAT_EQ(r.mean, mean) << what;
  EXPECT_FLOAT_EQ(r.scatter, scatter) << what;
  EXPECT_EQ(r.used, used) << what;
}

TEST(BarsigSns, HandWorkedSamplesOfOneToEightValues) {
  struct Case {
    std::vector<float> x;
    float mean, scatter;
    int used;
    const char* why;
  } cases[] = {
      {{}, 0.0f, 0.0f, 0, "none"},
      {{7.0f}, 7.0f, 999.9f, 1, "one"},
      {{12.0f, 10.0f}, 11.0f, 1.0f, 2, "m = 10, S = max(4, 1) = 4: 12 is within 5S, both"},
      {{31.0f, 10.0f}, 10.0f, 999.9f, 1, "31 > 10 + 20: the lower alone"},
      {{1000.0f, 1400.0f}, 1200.0f, 200.0f, 2, "S grows with the value: m = 1000, S = 100, 1400 < 1500"},
      {{12.0f, 10.0f, 11.0f}, 11.0f, 1.0f, 3, "lower (10.5, 1), S = 4: 12 <= 22.5, 10 >= -1.5, all kept"},
      {{10.0f, 30.0f, 11.0f}, 10.5f, 0.5f, 2, "30 > 10.5 + 12 dropped, then the pair rule"},
      {{200.0f, 100.0f, 108.0f, 104.0f}, 104.0f, 4.0f, 3,
       "lower (104, 8), S = 10.4: 200 dropped; then (102, 4), S = 10.2: three kept"},
      // The lower spread 40 exceeds the third candidate's 3 (mean of 100, 101):
      // m = 100.5, S = 10.05 drops 180, then 140. (The lower pair alone would
      // have kept all four.)
      {{100.0f, 101.0f, 140.0f, 180.0f}, 100.5f, 0.5f, 2, "the third candidate"},
      // Five values: the lower spread (20 - 10) / 2 exceeds the third
      // candidate's 1.5 (12 - 10), whose mean 11 keeps 22.8 <= 11 + 3 x 4.
      {{10.0f, 11.0f, 12.0f, 20.0f, 22.8f}, 15.16f, 6.24f, 5, "the third candidate of five"},
      {{40000.0f, 500.0f, 41000.0f, 600.0f}, 550.0f, 50.0f, 2, "a saturated half keeps the two faint"},
      {{500.0f, 600.0f, 40000.0f, 41000.0f, 42000.0f}, 550.0f, 50.0f, 2, "a saturated majority"},
      {{500.0f, 600.0f, 40000.0f, 41000.0f, 42000.0f, 1.0e6f}, 550.0f, 50.0f, 2, "1e6 first, then the five"},
      // Lower mean (10+12+14+16+18)/5 = 14, spread (20-12)/3; S = 4: 27 > 26 is
      // dropped (a divisor of 4 would give 17.5 and keep it); seven left: lower
      // (13, 8/3), 22 <= 25: mean 16, scatter 24 / 6.
      {{10.0f, 12.0f, 14.0f, 16.0f, 18.0f, 20.0f, 22.0f, 27.0f}, 16.0f, 4.0f, 7, "five-value subset means"},
  };
  for (Case& c : cases)
    expect_result(barsig_sns(c.x.data(), static_cast<int>(c.x.size())), c.mean, c.scatter, c.used, c.why);
  std::vector<float> x(11, 1.0f);
  const auto c = test::capture([&] { barsig_sns(x.data(), 11); });
  EXPECT_EQ(c.status, 1);
  const auto at = c.out.find("barsig_sns called with NTOT>10: ");
  ASSERT_NE(at, std::string::npos) << c.out;
  EXPECT_NE(c.out.find("11", at), std::string::npos) << c.out;
}

TEST(Barsigw, WeightedMeanClippingAndTheValuesItLeavesOut) {
  const float nan = std::nanf("");
  struct Case {
    std::vector<float> x, w;
    float k, mean, scatter;
    int used;
    const char* why;
  } cases[] = {
      // mean (1 + 2 + 8) / 4; scatter about the previous centre 0: the same sum.
      {{1, 2, 4}, {1, 1, 2}, 99.9f, 2.75f, 2.75f, 3, "one pass without clipping"},
      // pass 1: m = 208, s = 208; pass 2: 1000 is beyond 624, m = 10, s = 198;
      // then m = 10, s = 0 and the four equal values stay in.
      {{10, 10, 10, 10, 1000}, {1, 1, 1, 1, 1}, 3.0f, 10.0f, 0.0f, 4, "an outlier clipped"},
      {{5}, {2}, 3.0f, 5.0f, 0.999f, 1, "one used"},
      {{}, {}, 3.0f, 0.0f, 0.999f, 0, "none used"},
      {{1, nan, 3}, {1, 1, 1}, 99.9f, 2.0f, 2.0f, 2, "not a number"},
  };
  for (const Case& c : cases)
    expect_result(barsigw(c.x.data(), c.w.data(), static_cast<int>(c.x.size()), c.k), c.mean, c.scatter, c.used, c.why);
}

Array2<float> grid_of(float (*f)(int a, int b)) {
  Array2<float> g(PSF_NPIX, PSF_NPIX);
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a) g(a, b) = f(a, b);
  return g;
}

View2<const float> cview(const Array2<float>& g) { return View2<const float>(g.data(), g.nx(), g.ny()); }

// The rule written out the plain way: r by its square root, every coefficient
// from the grid at every call.
float reference_rpsf(float dx, float dy, const Array2<float>& P) {
  const float r = std::sqrt(dx * dx + dy * dy);
  if (!(r <= 12.0f)) return 0.0f;
  const float rx = 4.0f * dx + 51.0f, ry = 4.0f * dy + 51.0f;
  const int ix = static_cast<int>(rx), iy = static_cast<int>(ry);
  const float fx = rx - ix, fy = ry - iy;
  const float w00 = (1 - fx) * (1 - fy), w10 = fx * (1 - fy), w01 = (1 - fx) * fy, w11 = fx * fy;
  if (r > 4.0f) return w00 * P(ix, iy) + w10 * P(ix + 1, iy) + w01 * P(ix, iy + 1) + w11 * P(ix + 1, iy + 1);
  auto V = [&](int cx, int cy, float E) {
    const float A = P(cx, cy);
    const float B = (P(cx + 1, cy) - P(cx - 1, cy)) / 2;
    const float C = (P(cx, cy + 1) - P(cx, cy - 1)) / 2;
    const float D = (P(cx + 1, cy) + P(cx - 1, cy) - 2 * A) / 2;
    const float F = (P(cx, cy + 1) + P(cx, cy - 1) - 2 * A) / 2;
    const float ex = fx - (cx - ix), ey = fy - (cy - iy);
    return A + B * ex + C * ey + D * (ex * ex) + E * (ex * ey) + F * (ey * ey);
  };
  const float v00 = V(ix, iy, P(ix + 1, iy + 1) - P(ix, iy));
  const float v10 = V(ix + 1, iy, P(ix + 1, iy) - P(ix, iy + 1));
  const float v01 = V(ix, iy + 1, P(ix, iy + 1) - P(ix + 1, iy));
  const float v11 = V(ix + 1, iy + 1, P(ix, iy) - P(ix + 1, iy + 1));
  return w00 * v00 + w10 * v10 + w01 * v01 + w11 * v11;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A unit spike at the centre: every value below is worked by hand from the
// quadratic coefficients (A, B, C, D, E, F) of the four corners.
TEST(RpsfPhot, QuadraticSchemeNearASpike) {
  const Array2<float> g = grid_of([](int a, int b) { return a == 51 && b == 51 ? 1.0f : 0.0f; });
  const LocalPsf psf(cview(g));
  // dx = 1/8: fx = 0.5, fy = 0. V(51,51) = 1 - 0.25 = 0.75; V(52,51) at
  // ex = -0.5: B = -0.5, D = 0.5 -> 0.25 + 0.125 = 0.375; half of each.
  EXPECT_EQ(rpsf_phot(0.125f, 0.0f, psf), 0.5625f);
  // dx = dy = 1/8: the four corners give 0.25, 0.375, 0.375, 0.25 (the last
  // from its cross term E = P(51,51) - P(52,52) = 1 alone), a quarter each.
  EXPECT_EQ(rpsf_phot(0.125f, 0.125f, psf), 0.3125f);
  // Mirror offsets see the mirrored corners.
  EXPECT_EQ(rpsf_phot(-0.125f, 0.0f, psf), 0.5625f);
  // A whole grid step away the blend collapses onto that grid point.
  EXPECT_EQ(rpsf_phot(0.25f, 0.0f, psf), 0.0f);
}

TEST(RpsfPhot, BilinearSchemeOnALinearGrid) {
  // P = a + 100 b: bilinear interpolation is exact, value = rx + 100 ry.
  const Array2<float> g = grid_of([](int a, int b) { return static_cast<float>(a + 100 * b); });
  const LocalPsf psf(cview(g));
  // dx = 5.125, dy = -2.0625 (r = 5.5): rx = 71.5, ry = 42.75.
  // 0.125*4271 + 0.125*4272 + 0.375*4371 + 0.375*4372 = 4346.5.
  EXPECT_EQ(rpsf_phot(5.125f, -2.0625f, psf), 4346.5f);
}

TEST(RpsfPhot, OffsetsThatAreNotNumbersGiveZero) {
  const Array2<float> g = grid_of([](int, int) { return 1.0f; });
  const LocalPsf psf(cview(g));
  EXPECT_EQ(rpsf_phot(std::nanf(""), 0.0f, psf), 0.0f);
  EXPECT_EQ(rpsf_phot(0.0f, std::nanf(""), psf), 0.0f);
  EXPECT_EQ(rpsf_phot(INFINITY, 0.0f, psf), 0.0f);
  EXPECT_EQ(rpsf_phot(3e19f, 3e19f, psf), 0.0f);
}

// The centre gives the central element exactly.
TEST(RpsfPhot, PrecomputedCellsAndSharedPhasesAreBitIdenticalToThePlainRule) {
  std::mt19937 gen(2024);
  std::uniform_real_distribution<float> val(-0.02f, 0.5f);
  Array2<float> g(PSF_NPIX, PSF_NPIX);
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a) g(a, b) = val(gen);
  g(51, 51) = 0.123456789f;
  LocalPsf psf;
  psf.assign(cview(g));
  EXPECT_TRUE(same_bits(rpsf_phot(0.0f, 0.0f, psf), g(51, 51)));
  std::uniform_real_distribution<float> near(-4.5f, 4.5f), far(-13.0f, 13.0f);
  int differing = 0;
  for (int n = 0; n < 200000; ++n) {
    const bool inner = n % 2 == 0;
    const float dx = inner ? near(gen) : far(gen);
    const float dy = inner ? near(gen) : far(gen);
    if (!same_bits(rpsf_phot(dx, dy, psf), reference_rpsf(dx, dy, g))) ++differing;
  }
  // A star's phase shared by the pixels around it, at positions where the
  // sharing is exact, at its edges (16, just below 16, just below 512) and
  // nearer the origin where every pixel is evaluated alone.
  std::uniform_real_distribution<float> place(1.0f, 300.0f);
  for (int n = 0; n < 400; ++n) {
    const float edges[] = {16.0f, std::nextafter(16.0f, 0.0f), std::nextafter(512.0f, 0.0f), 3.3f};
    const float tx = n < 4 ? edges[n] : place(gen), ty = n < 4 ? edges[3 - n] : place(gen);
    const PsfPhase phase(tx, ty);
    for (int j = static_cast<int>(ty) - 13; j <= static_cast<int>(ty) + 13; ++j)
      for (int i = static_cast<int>(tx) - 13; i <= static_cast<int>(tx) + 13; ++i)
        if (!same_bits(phase.at(i, j, psf), reference_rpsf(static_cast<float>(i) - tx, static_cast<float>(j) - ty, g)))
          ++differing;
  }
  EXPECT_EQ(differing, 0);
}

TEST(PsfTaper, OneWithinSixPixelsZeroBeyondElevenLinearBetween) {
  Array2<float> g(PSF_NPIX, PSF_NPIX, 2.0f);
  psf_taper(g.view(), 6.0f, 11.0f);
  EXPECT_EQ(g(51, 51), 2.0f);
  EXPECT_EQ(g(75, 51), 2.0f);   // 6 pixels
  EXPECT_EQ(g(85, 51), 1.0f);   // 8.5 pixels: factor 0.5
  EXPECT_EQ(g(51, 17), 1.0f);
  EXPECT_EQ(g(95, 51), 0.0f);   // 11 pixels
  EXPECT_EQ(g(101, 101), 0.0f);
  EXPECT_EQ(g(1, 51), 0.0f);
  // 8 pixels along the diagonal-free axis: 1 - 2/5 = 0.6 of 2.
  EXPECT_FLOAT_EQ(g(51, 83), 1.2f);
}

}  // namespace
}  // namespace zeb
