// Presets and the plan of a field: stars, exposures, their maps and units.
#include "field.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "support/test_support.h"

namespace zebsim {
namespace {

TEST(FieldPreset, DemoIsTwoIrFiltersOfThreeExposuresOnTwoByTwoTiles) {
  FieldDesign s = field_preset("demo");
  EXPECT_EQ(s.camera.kkk, 9);
  EXPECT_EQ(s.camera.nx, 1014);
  EXPECT_EQ(s.filters[0].name, "F110W");
  EXPECT_EQ(s.filters[1].name, "F160W");
  EXPECT_EQ(s.exposures_per_filter, 3);
  EXPECT_EQ(s.tiles, (std::array<int, 4>{1, 2, 1, 2}));
  EXPECT_EQ(s.nstars + s.saturated_stars, 1504);
}

TEST(FieldPreset, OtherPresets) {
  FieldDesign b = field_preset("bench");
  EXPECT_EQ(b.tiles, (std::array<int, 4>{1, 10, 1, 10}));
  EXPECT_EQ(b.exposures_per_filter, 8);
  EXPECT_EQ(b.nstars, 60000);
  FieldDesign h = field_preset("e2e-hrc");
  EXPECT_EQ(h.camera.kkk, 7);
  EXPECT_EQ(h.camera.nx, 1024);
  EXPECT_EQ(h.filters[0].form, PsfForm::Integer);
  EXPECT_EQ(h.filters[0].psf_grad_x, 0.0);  // one PSF for the whole HRC detector
  EXPECT_EQ(field_preset("e2e-ir").camera.kkk, 9);
  // The crowded field: twelve exposures and about 8000 stars (9916 spread
  // evenly over the 534 x 534 pixels around 4 x 4 tiles put 8000 in their
  // 480 x 480 inner regions), most of them fainter than -6.3.
  const Field c = plan_field(field_preset("crowded"));
  EXPECT_EQ(c.exposures.size(), 12u);
  int inner = 0, faint = 0;
  for (const Star& st : c.stars) {
    if (!c.inner_region.contains(st.u, st.v)) continue;
    ++inner;
    faint += st.mag[0] > -6.3;
  }
  EXPECT_NEAR(inner, 8000, 270);  // 3 sigma of the count
  EXPECT_GT(faint, inner * 3 / 4);
}

TEST(FieldPreset, UnknownNameStops) {
  auto c = zeb::test::capture([] { field_preset("nonesuch"); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("demo e2e-ir e2e-hrc bench"), std::string::npos);
}

TEST(PlanField, StarsFillTheTilesAndTheirMarginWithConsistentFluxes) {
  Field f = plan_field(field_preset("demo"));
  // Tiles 1..2: inner regions 16..256, outer extents 1..271, margin 12.
  EXPECT_EQ(f.inner_region.umin, 16.0);
  EXPECT_EQ(f.inner_region.umax, 256.0);
  EXPECT_EQ(f.star_region.umin, -11.0);
  EXPECT_EQ(f.star_region.vmax, 283.0);
  ASSERT_EQ(f.stars.size(), 1504u);
  int faint_half = 0;
  for (const Star& s : f.stars) {
    EXPECT_TRUE(f.star_region.contains(s.u, s.v));
    EXPECT_GE(s.mag[0], -16.0);
    EXPECT_LE(s.mag[0], -6.0);
    EXPECT_GE(s.mag[1] - s.mag[0], -0.3);
    EXPECT_LE(s.mag[1] - s.mag[0], 1.2);
    for (int k = 0; k < 2; ++k) EXPECT_NEAR(s.flux[k], std::pow(10.0, -0.4 * s.mag[k]), 1e-9 * s.flux[k]);
    if (s.mag[0] > -7.0) ++faint_half;
  }
  // The luminosity function: the faintest magnitude holds about half the stars
  // (1 - 10^-0.3 of them).
  EXPECT_GT(faint_half, 600);
  EXPECT_LT(faint_half, 900);
  // The saturating extras come last.
  EXPECT_LT(f.stars.back().mag[0], -15.0);
}

TEST(PlanField, ExposuresAreDitheredRotatedAndScaled) {
  FieldDesign design = field_preset("demo");
  Field f = plan_field(design);
  ASSERT_EQ(f.exposures.size(), 6u);
  bool some_throughput_off = false;
  for (std::size_t k = 0; k < 6; ++k) {
    const Exposure& e = f.exposures[k];
    EXPECT_EQ(e.slot, static_cast<int>(k) + 1);
    EXPECT_EQ(e.filter, k < 3 ? 0 : 1);
    EXPECT_EQ(e.flt, k < 3 ? 1 : 2);
    const double angle = std::atan2(e.b, e.a) * 180.0 / std::numbers::pi;
    EXPECT_LT(std::fabs(angle), 1.0);
    EXPECT_NEAR(std::hypot(e.a, e.b), 1.0, 3e-4);
    EXPECT_DOUBLE_EQ(e.a, e.d);
    EXPECT_DOUBLE_EQ(e.b, -e.c);
    EXPECT_LE(std::fabs(e.uc - 136.0), 8.5);
    EXPECT_LE(std::fabs(e.vc - 136.0), 8.5);
    // Sub-pixel phases along u: -1/3, 0, 1/3 for the three exposures of a filter.
    const double phase = e.uc - 136.0 - std::round(e.uc - 136.0);
    EXPECT_NEAR(std::fabs(phase), (k % 3 == 1) ? 0.0 : 1.0 / 3.0, 1e-9);
    EXPECT_NEAR(e.exptime, 500.0, 25.0);
    EXPECT_NEAR(e.throughput, 1.0, 0.04);
    if (k % 3 == 0) {
      EXPECT_EQ(e.throughput, 1.0);
    }
    if (std::fabs(e.throughput - 1.0) > 0.005) some_throughput_off = true;
    // The field centre goes to the camera's corrected centre.
    double xc, yc;
    e.corrected(e.uc, e.vc, xc, yc);
    EXPECT_EQ(xc, 507.0);
    EXPECT_EQ(yc, 507.0);
  }
  EXPECT_TRUE(some_throughput_off);
  EXPECT_EQ(f.exposures[4].stem, "ir_f160w_2");
}

TEST(PlanField, TheSeedDecidesEverything) {
  FieldDesign design = field_preset("e2e-ir");
  Field a = plan_field(design), b = plan_field(design);
  design.seed = 2;
  Field c = plan_field(design);
  ASSERT_EQ(a.stars.size(), b.stars.size());
  for (std::size_t k = 0; k < a.stars.size(); ++k) {
    EXPECT_EQ(a.stars[k].u, b.stars[k].u);
    EXPECT_EQ(a.stars[k].mag[1], b.stars[k].mag[1]);
  }
  EXPECT_EQ(a.exposures[1].uc, b.exposures[1].uc);
  EXPECT_NE(a.stars[0].u, c.stars[0].u);
  EXPECT_NE(a.exposures[1].uc, c.exposures[1].uc);
}

TEST(Exposure, UnitsOfTheFiles) {
  Exposure e;
  e.throughput = 0.98;
  e.exptime = 450.0;
  // WFC3/IR in electrons per second: a reference flux of exp_f seconds at throughput 1.
  EXPECT_NEAR(e.units_per_flux(camera_wfc3ir(), 500.0), 0.98 / 500.0, 1e-15);
  // ACS/HRC in counts of the exposure's own time.
  EXPECT_NEAR(e.units_per_flux(camera_acshrc(), 400.0), 0.98 * 450.0 / 400.0, 1e-15);
}

}  // namespace
}  // namespace zebsim
