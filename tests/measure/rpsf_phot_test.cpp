// rpsf_phot against hand-worked grids, its regime boundaries, and bit-identity
// with a direct transcription of the evaluation rule (square root included).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/array.h"
#include "psf/psf.h"

namespace zeb {
namespace {

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

TEST(RpsfPhot, CentreGivesTheCentralElementExactly) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> u(-0.01f, 0.3f);
  Array2<float> g(PSF_NPIX, PSF_NPIX);
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a) g(a, b) = u(gen);
  g(51, 51) = 0.123456789f;
  const LocalPsf psf(cview(g));
  EXPECT_TRUE(same_bits(rpsf_phot(0.0f, 0.0f, psf), g(51, 51)));
}

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

// P = (a - 51)^2 varies along x only, where the quadratic blend and the
// bilinear interpolation differ.
float parabola(int a, int) { return static_cast<float>((a - 51) * (a - 51)); }

TEST(RpsfPhot, QuadraticRegimeEndsAtFourPixels) {
  const Array2<float> g = grid_of(parabola);
  const LocalPsf psf(cview(g));
  // dx = 3.9375, dy = 0.6875: r^2 = 15.9765625, quadratic. Cell (66, 53),
  // fx = fy = 0.75, weights 1/16, 3/16, 3/16, 9/16; corners (A, B, D = 1, E):
  // V(66,53) = 225 + 22.5 + 0.5625 + 31*0.5625 = 265.5
  // V(67,53) = 256 - 8 + 0.0625 + 31*(-0.1875) = 242.25
  // V(66,54) = 225 + 22.5 + 0.5625 - 31*(-0.1875) = 253.875
  // V(67,54) = 256 - 8 + 0.0625 - 31*0.0625 = 246.125
  // blend: 16.59375 + 45.421875 + 47.6015625 + 138.4453125 = 248.0625.
  EXPECT_EQ(rpsf_phot(3.9375f, 0.6875f, psf), 248.0625f);
  // dy = 0.8125: r^2 = 16.1640625, bilinear along x: 0.25*225 + 0.75*256.
  EXPECT_EQ(rpsf_phot(3.9375f, 0.8125f, psf), 248.25f);
}

TEST(RpsfPhot, RadiusThresholdsMatchTheSquareRoot) {
  EXPECT_EQ(std::sqrt(PSF_R2_QUADRATIC), 4.0f);
  EXPECT_GT(std::sqrt(std::nextafter(PSF_R2_QUADRATIC, 100.0f)), 4.0f);
  EXPECT_EQ(std::sqrt(PSF_R2_MAX), 12.0f);
  EXPECT_GT(std::sqrt(std::nextafter(PSF_R2_MAX, 200.0f)), 12.0f);
}

TEST(RpsfPhot, ExactlyFourPixelsIsQuadratic) {
  // An off-axis offset whose single-precision r^2 is the largest with root 4,
  // between grid points: only the quadratic scheme gives the reference value.
  const Array2<float> g = grid_of(parabola);
  const LocalPsf psf(cview(g));
  bool found = false;
  for (int k = 1; k < 4096 && !found; ++k) {
    const float dx = 4.0f * k / 4096.0f + 1.0f / 8192.0f;
    const float dy = std::sqrt(PSF_R2_QUADRATIC - dx * dx);
    if (dx * dx + dy * dy != PSF_R2_QUADRATIC) continue;
    found = true;
    EXPECT_EQ(std::sqrt(dx * dx + dy * dy), 4.0f);
    const float q = rpsf_phot(dx, dy, psf);
    EXPECT_TRUE(same_bits(q, reference_rpsf(dx, dy, g)));
    // and it is not what the bilinear scheme gives there
    const float rx = 4 * dx + 51;
    const int ix = static_cast<int>(rx);
    const float fx = rx - ix;
    EXPECT_NE(q, (1 - fx) * g(ix, 1) + fx * g(ix + 1, 1));
  }
  EXPECT_TRUE(found);
}

TEST(RpsfPhot, TwelvePixelsIsTheLastNonZeroRadius) {
  const Array2<float> g = grid_of([](int a, int b) { return 1.0f + a + 0.5f * b; });
  const LocalPsf psf(cview(g));
  EXPECT_EQ(rpsf_phot(12.0f, 0.0f, psf), g(99, 51));
  EXPECT_EQ(rpsf_phot(0.0f, -12.0f, psf), g(51, 3));
  EXPECT_EQ(rpsf_phot(std::nextafter(12.0f, 13.0f), 0.0f, psf), 0.0f);
  // Off axis: r^2 = 143.63 is evaluated (bilinear: rx = 98.75, ry = 55.25), 144.23 is not.
  EXPECT_EQ(rpsf_phot(11.9375f, 1.0625f, psf), 1.0f + 98.75f + 0.5f * 55.25f);
  EXPECT_EQ(rpsf_phot(11.9375f, 1.3125f, psf), 0.0f);
}

TEST(RpsfPhot, OffsetsThatAreNotNumbersGiveZero) {
  const Array2<float> g = grid_of([](int, int) { return 1.0f; });
  const LocalPsf psf(cview(g));
  EXPECT_EQ(rpsf_phot(std::nanf(""), 0.0f, psf), 0.0f);
  EXPECT_EQ(rpsf_phot(0.0f, std::nanf(""), psf), 0.0f);
  EXPECT_EQ(rpsf_phot(INFINITY, 0.0f, psf), 0.0f);
  EXPECT_EQ(rpsf_phot(3e19f, 3e19f, psf), 0.0f);
}

TEST(RpsfPhot, PrecomputedCellsAreBitIdenticalToThePlainRule) {
  std::mt19937 gen(2024);
  std::uniform_real_distribution<float> val(-0.02f, 0.5f);
  Array2<float> g(PSF_NPIX, PSF_NPIX);
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a) g(a, b) = val(gen);
  LocalPsf psf;
  psf.assign(cview(g));
  std::uniform_real_distribution<float> near(-4.5f, 4.5f), far(-13.0f, 13.0f);
  int differing = 0;
  for (int n = 0; n < 200000; ++n) {
    const bool inner = n % 2 == 0;
    const float dx = inner ? near(gen) : far(gen);
    const float dy = inner ? near(gen) : far(gen);
    if (!same_bits(rpsf_phot(dx, dy, psf), reference_rpsf(dx, dy, g))) ++differing;
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
