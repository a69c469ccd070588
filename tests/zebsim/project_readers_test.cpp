// The simulator's files through zeb's own readers: the exposure-time query of
// the set-up, the MAT-file fit of the transformations, the exposure readers of
// tile preparation, the PSF library and the camera PSF readers.
#include <gtest/gtest.h>

#include <cmath>

#include "core/list_directed.h"
#include "field_files.h"
#include "imageio/fits.h"
#include "psf/psf_camera.h"
#include "psf/psf_library.h"
#include "project_geometry.h"
#include "setup/run_state.h"
#include "setup/transforms.h"
#include "sim_files.h"
#include "support/test_support.h"
#include "tile/exposure_readers.h"

namespace zebsim {
namespace {

using zeb::test::capture;
using zeb::test::TempDir;

double header_real(const std::string& file, const std::string& key) {
  double v = 0.0;
  zeb::ListReader(zeb::query_hdr(file, key)).read_real(v);
  return v;
}

// read_mat recovers each exposure's linear map, its zero point (the exposure's
// units per reference flux) and the reference position of the chip's centre.
void check_transformations(const Field& field) {
  const CameraModel& cam = field.design.camera;
  zeb::ImageSlots slots;
  slots.allocate(static_cast<int>(field.exposures.size()), 2);
  for (const Exposure& e : field.exposures) {
    const int g = e.slot;
    slots.zp_cg(1, g) = -99.0f;
    auto c = capture([&] { zeb::read_mat(mat_file(e), cam.kkk, e.flt, "NULL", g, slots); });
    ASSERT_FALSE(c.stopped || c.errored) << e.stem << c.out;
    EXPECT_NEAR(slots.ag_cg(1, g), e.a, 1e-4) << e.stem;
    EXPECT_NEAR(slots.bg_cg(1, g), e.b, 1e-4) << e.stem;
    EXPECT_NEAR(slots.cg_cg(1, g), e.c, 1e-4) << e.stem;
    EXPECT_NEAR(slots.dg_cg(1, g), e.d, 1e-4) << e.stem;
    const double units = e.units_per_flux(cam, field.design.filters[e.filter].exp_f);
    EXPECT_NEAR(slots.zp_cg(1, g), 2.5 * std::log10(units), 0.003) << e.stem;
    // The chip centre (XCEN, YCEN) back through the exposure's true map.
    const double det = e.a * e.d - e.b * e.c;
    const double dx = slots.xcen_cg(1, g) - e.xc0, dy = slots.ycen_cg(1, g) - e.yc0;
    EXPECT_NEAR(slots.ucen_cg(1, g), e.uc + (e.d * dx - e.b * dy) / det, 0.01) << e.stem;
    EXPECT_NEAR(slots.vcen_cg(1, g), e.vc + (-e.c * dx + e.a * dy) / det, 0.01) << e.stem;
  }
}

TEST(ProjectReaders, IrFieldThroughHeaderQueryAndMatFit) {
  TempDir dir;
  write_field(field_preset("e2e-ir"), dir.path().string());
  const Field field = plan_field(field_preset("e2e-ir"));
  for (const Exposure& e : field.exposures) EXPECT_NEAR(header_real(exposure_file(e), "EXPTIME "), e.exptime, 1e-6);
  check_transformations(field);
}

TEST(ProjectReaders, HrcFieldThroughHeaderQueryMatFitAndTheIntegerReader) {
  TempDir dir;
  const FieldDesign design = field_preset("e2e-hrc");
  write_field(design, dir.path().string());
  const Field field = plan_field(design);
  for (const Exposure& e : field.exposures) EXPECT_NEAR(header_real(exposure_file(e), "EXPTIME "), e.exptime, 1e-6);
  check_transformations(field);

  const Exposure& e = field.exposures[1];
  zeb::Array2<std::int32_t> img(1024, 1024);
  auto c = capture([&] { zeb::readfits_i4(exposure_file(e), img.view(), 1024, 1024); });
  ASSERT_FALSE(c.stopped || c.errored) << c.out;
  std::vector<test::Hdu> own = test::read_fits(exposure_file(e));
  long saturated = 0;
  for (long j = 1; j <= 1024; j += 7)
    for (long i = 1; i <= 1024; ++i) {
      ASSERT_EQ(img(i, j), own[0].i4(i, j));
      saturated += img(i, j) == 120000;
    }
  EXPECT_GT(saturated, 0);
}

// zeb's WFC3/IR raster reader over the whole detector: the values and errors of
// the file, and the flags its data-quality words call for: saturated (256) 2,
// bad pixel (4) 1, unusable first read (32, value and error zero) 1.
TEST(ProjectReaders, IrExposuresThroughTheRasterReader) {
  TempDir dir;
  write_field(field_preset("e2e-ir"), dir.path().string());
  const Field field = plan_field(field_preset("e2e-ir"));
  const std::string name = exposure_file(field.exposures[3]);
  const std::vector<test::Hdu> own = test::read_fits(name);
  zeb::Array2<float> values(301, 301), errors(301, 301);
  zeb::Array2<std::uint8_t> flags(301, 301);
  std::array<int, 5> count{};
  for (int itil : {151, 452, 753, 1054})
    for (int jtil : {151, 452, 753, 1054}) {
      zeb::readfits_wfc3ir_flt_rast(name, values.view(), errors.view(), flags.view(), itil, jtil, 301, 301);
      for (int yt = 1; yt <= 301; ++yt)
        for (int xt = 1; xt <= 301; ++xt) {
          const long i = itil + xt - 151, j = jtil + yt - 151;
          if (i > 1014 || j > 1014) {
            ASSERT_EQ(flags(xt, yt), zeb::kPixNoData);
            continue;
          }
          const long dq = own[3].i2(i, j);
          const int flag = (dq & 4) || (dq & 32) ? 1 : (dq & 256) ? 2 : 0;
          ASSERT_EQ(flags(xt, yt), flag) << i << ' ' << j << " dq " << dq;
          ASSERT_EQ(values(xt, yt), static_cast<float>(own[1].r4(i, j)));
          ASSERT_EQ(errors(xt, yt), std::max(0.15f, static_cast<float>(own[2].r4(i, j))));
          ++count[flag];
        }
    }
  EXPECT_EQ(count[1], 30);  // every bad pixel of the detector once
  EXPECT_GT(count[2], 0);   // the saturated stars
}

// zeb's PSF library reader at the fiducials and between them, and its camera
// PSF readers of the single and the integer PSF.
TEST(ProjectReaders, PsfLibraryAndCameraPsfReaders) {
  TempDir dir;
  const FieldDesign design = field_preset("e2e-ir");
  write_field(design, dir.path().string());
  const PsfModel m = psf_model(design, 1);
  zeb::Array2<float> psf(101, 101);
  zeb::StdpsfHeader header;
  zeb::locpsfij_stdpsf(507, 1014, psf.view(), "psf_lib_f160w.fits", header);
  EXPECT_EQ(header.nxpsfs, 3);
  const zeb::Array2<float> at_fiducial = psf_grid(m, 507, 1014);
  for (int b = 1; b <= 101; ++b)
    for (int a = 1; a <= 101; ++a) ASSERT_EQ(psf(a, b), at_fiducial(a, b));
  // Between fiducials the library's bilinear blend follows the width change
  // of the stars drawn there to a small fraction of the peak.
  header = zeb::StdpsfHeader{};
  zeb::locpsfij_stdpsf(250, 760, psf.view(), "psf_lib_f160w.fits", header);
  const zeb::Array2<float> truth = psf_grid(m, 250, 760);
  float worst = 0.0f;
  for (int b = 1; b <= 101; ++b)
    for (int a = 1; a <= 101; ++a) worst = std::max(worst, std::fabs(psf(a, b) - truth(a, b)));
  EXPECT_LT(worst, 0.002f * truth(51, 51));

  const zeb::Array2<float> centre = psf_grid(m, 507.5, 507.5);
  zeb::CameraPsf single, fine;
  auto c = capture([&] {
    zeb::read_psf3ir("psf_101_f160w.fits", single);
    zeb::read_psfhrc("psf_int_f160w.fits", fine);
  });
  ASSERT_FALSE(c.stopped || c.errored) << c.out;
  for (int b = 1; b <= 101; ++b)
    for (int a = 1; a <= 101; ++a) {
      ASSERT_EQ(single(a, b, 1, 1), centre(a, b));
      ASSERT_NEAR(fine(a, b, 1, 1), centre(a, b), 6e-7);
    }
}

}  // namespace
}  // namespace zebsim
