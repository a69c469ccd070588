// The simulator's analytic PSF: pixel integrals, drawing, and the PSF files'
// samplings of it.
#include "psf_model.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zebsim {
namespace {

PsfModel single_gaussian(double sigma) {
  return PsfModel({PsfComponent{1.0, sigma}, PsfComponent{0.0, 1.0}}, 500.0, 500.0, 0.0, 0.0);
}

PsfModel two_gaussians() {
  return PsfModel({PsfComponent{0.85, 0.55}, PsfComponent{0.15, 1.6}}, 507.5, 507.5, 0.03, -0.02);
}

TEST(PsfModel, PixelFractionsOfAGaussianAreItsOneAndThreeSigmaIntegrals) {
  // sigma 0.5: the centred pixel spans +-1 sigma on both axes (0.682689492 each),
  // its neighbour 1 to 3 sigma on one axis ((0.997300204 - 0.682689492) / 2).
  PsfModel m = single_gaussian(0.5);
  EXPECT_NEAR(m.pixel_fraction(0.0, 0.0, 500.0, 500.0), 0.682689492137086 * 0.682689492137086, 1e-12);
  EXPECT_NEAR(m.pixel_fraction(1.0, 0.0, 500.0, 500.0), 0.157305355899827 * 0.682689492137086, 1e-12);
  EXPECT_NEAR(m.pixel_fraction(-1.0, 0.0, 500.0, 500.0), m.pixel_fraction(0.0, 1.0, 500.0, 500.0), 1e-15);
}

TEST(PsfModel, WidthChangesLinearlyAcrossTheDetector) {
  PsfModel m = two_gaussians();
  EXPECT_DOUBLE_EQ(m.width_scale(507.5, 507.5), 1.0);
  EXPECT_NEAR(m.width_scale(0.0, 507.5), 0.97, 1e-12);
  EXPECT_NEAR(m.width_scale(1015.0, 0.0), 1.03 + 0.02, 1e-12);
  // A wider PSF puts less light into the central pixel.
  EXPECT_GT(m.pixel_fraction(0, 0, 0.0, 507.5), m.pixel_fraction(0, 0, 1015.0, 507.5));
}

TEST(PsfModel, DrawnStarHoldsItsFluxAndIsCentredOnItsPosition) {
  // sigma 1: the pixel-phase bias of a centroid is of order exp(-2 pi^2), nil.
  PsfModel m = single_gaussian(1.0);
  zeb::Array2<double> img(61, 61, 0.0);
  const double x = 30.37, y = 29.81, flux = 1000.0;
  m.render(img.view(), x, y, flux);
  double sum = 0.0, sx = 0.0, sy = 0.0;
  for (int j = 1; j <= 61; ++j)
    for (int i = 1; i <= 61; ++i) {
      sum += img(i, j);
      sx += i * img(i, j);
      sy += j * img(i, j);
    }
  EXPECT_NEAR(sum, flux, 1e-9 * flux);
  EXPECT_NEAR(sx / sum, x, 1e-6);
  EXPECT_NEAR(sy / sum, y, 1e-6);
}

TEST(PsfModel, DrawsIntoTheTwentyFivePixelBoxAroundTheNearestPixel) {
  PsfModel wide = single_gaussian(6.0);
  zeb::Array2<double> img(61, 61, 0.0);
  wide.render(img.view(), 30.37, 29.81, 1000.0);  // nearest pixel (30, 30): box 18..42
  EXPECT_GT(img(18, 30), 0.0);
  EXPECT_GT(img(42, 42), 0.0);
  EXPECT_EQ(img(17, 30), 0.0);
  EXPECT_EQ(img(30, 43), 0.0);
}

TEST(PsfModel, DrawingAtTheImageEdgeKeepsToTheImage) {
  PsfModel m = two_gaussians();
  zeb::Array2<double> img(20, 10, 0.0);
  m.render(img.view(), 0.2, 9.7, 500.0);    // partly off the image
  m.render(img.view(), -40.0, 5.0, 500.0);  // wholly off
  double sum = 0.0;
  for (int j = 1; j <= 10; ++j)
    for (int i = 1; i <= 20; ++i) sum += img(i, j);
  EXPECT_GT(sum, 50.0);
  EXPECT_LT(sum, 250.0);
}

TEST(PsfGrid, SamplesPixelFractionsFourTimesPerPixel) {
  PsfModel m = two_gaussians();
  const double x = 100.0, y = 900.0;
  zeb::Array2<float> g = psf_grid(m, x, y);
  ASSERT_EQ(g.nx(), 101);
  ASSERT_EQ(g.ny(), 101);
  EXPECT_FLOAT_EQ(g(51, 51), static_cast<float>(m.pixel_fraction(0.0, 0.0, x, y)));
  EXPECT_FLOAT_EQ(g(55, 51), static_cast<float>(m.pixel_fraction(1.0, 0.0, x, y)));
  EXPECT_FLOAT_EQ(g(52, 49), static_cast<float>(m.pixel_fraction(0.25, -0.5, x, y)));
  EXPECT_FLOAT_EQ(g(51 + 7, 51), g(51 - 7, 51));
  // The pixels of one sampling phase hold the whole flux.
  for (int phase = 1; phase <= 4; ++phase) {
    double sum = 0.0;
    for (int b = phase; b <= 101; b += 4)
      for (int a = phase; a <= 101; a += 4) sum += g(a, b);
    EXPECT_NEAR(sum, 1.0, 1e-5) << "phase " << phase;
  }
}

TEST(PsfGrid, FineGridHoldsTheSameSamplesInMillionthsTenTimesCloser) {
  PsfModel m = two_gaussians();
  zeb::Array2<float> g = psf_grid(m, 507.5, 507.5);
  zeb::Array2<std::int32_t> fine = psf_fine_grid(m, 507.5, 507.5);
  ASSERT_EQ(fine.nx(), 1201);
  for (int a : {1, 30, 46, 51, 53, 70, 101})
    for (int b : {1, 40, 51, 60, 101})
      EXPECT_NEAR(fine(601 + 10 * (a - 51), 601 + 10 * (b - 51)) / 1.0e6, g(a, b), 6e-7) << a << ' ' << b;
  // Between the grid's samples: offset (0.025, 0) pixels.
  EXPECT_EQ(fine(602, 601), std::lround(1e6 * m.pixel_fraction(0.025, 0.0, 507.5, 507.5)));
}

}  // namespace
}  // namespace zebsim
