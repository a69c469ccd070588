// The files of a simulated field against the field's truth: star positions in
// the raw images against the MAT transformation and the distortion solution,
// summed counts against the true fluxes, the structure of every file, and the
// parameter file.
#include "field_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "project_geometry.h"
#include "setup/run_state.h"
#include "setup/transforms.h"
#include "sim_files.h"
#include "support/test_support.h"
#include "tile/calibration_maps.h"
#include "tile/exposure_readers.h"

namespace zebsim {
namespace {

using test::Hdu;
using test::read_fits;
using zeb::test::read_file;
using zeb::test::TempDir;

// A sparse field of bright stars on 2 x 2 tiles, so that many are isolated and
// bright enough for their noise to stay well below 1%: magnitudes -13.3 to -12
// (up to 2e5 electrons, short of saturation), nearly flat in number, little
// colour, no saturated extras, no cosmic rays.
FieldDesign sparse_design(const std::string& preset) {
  FieldDesign s = field_preset(preset);
  s.tiles = {1, 2, 1, 2};
  s.nstars = 120;
  s.saturated_stars = 0;
  s.mag_bright = -13.3;
  s.mag_faint = -12.0;
  s.lf_slope = 0.01;
  s.colour_min = -0.2;
  s.colour_max = 0.2;
  s.cosmic_rate = 0.0;
  s.seed = 7;
  return s;
}

// Radius enclosing all but a negligible part of a filter's light: 3.5 widths
// of its broad component, at least 6 pixels.
double aperture_radius(const FilterDesign& f) { return std::max(6.0, std::ceil(3.5 * f.psf[1].sigma)); }

struct StarCheck {
  int stars = 0;
  double worst_offset = 0.0;
  double worst_flux = 0.0;      // largest |measured / true - 1|
  double sum_flux_error = 0.0;  // sum of measured / true - 1
};

// For the isolated stars of one exposure brighter than -12.9, in the 301 x 301
// raster that zeb's exposure reader makes around the star (with its
// zero-point correction for WFC3/IR) and clear of flagged pixels: the
// light-weighted centroid within 4 pixels of the position predicted by zeb's
// transformation fitted from the MAT file and zeb's inverse distortion, and the
// sum within the aperture radius above the sky, in reference units through the
// MAT file's zero point. The sky is the exposure's true (flat) level times the
// reader's correction at the star, seen as raster value over file value.
StarCheck check_exposure(const Field& field, const Exposure& e, const std::vector<bool>& isolated) {
  const CameraModel& cam = field.design.camera;
  const bool ir = cam.kind == CameraKind::Wfc3Ir;
  const std::vector<Hdu> file = read_fits(exposure_file(e));
  auto file_value = [&](long i, long j) { return ir ? file.at(1).r4(i, j) : static_cast<double>(file.at(0).i4(i, j)); };
  const double sky_level = ir ? e.sky_rate : e.sky_rate * e.exptime;

  // The transformation and zero point as zeb's set-up fits them from the MAT file.
  zeb::ImageSlots slots;
  slots.allocate(e.slot, 2);
  slots.zp_cg(1, e.slot) = -99.0f;
  auto fit = zeb::test::capture([&] { zeb::read_mat(mat_file(e), cam.kkk, e.flt, "NULL", e.slot, slots); });
  EXPECT_FALSE(fit.stopped || fit.errored) << fit.out;
  const int g = e.slot;
  auto corrected = [&](double u, double v, double& xc, double& yc) {
    xc = slots.xcen_cg(1, g) + slots.ag_cg(1, g) * (u - slots.ucen_cg(1, g)) +
         slots.bg_cg(1, g) * (v - slots.vcen_cg(1, g));
    yc = slots.ycen_cg(1, g) + slots.cg_cg(1, g) * (u - slots.ucen_cg(1, g)) +
         slots.dg_cg(1, g) * (v - slots.vcen_cg(1, g));
  };
  const double p = std::pow(10.0, slots.zp_cg(1, g) / 2.5);
  EXPECT_NEAR(p, e.units_per_flux(cam, field.design.filters[e.filter].exp_f), 0.003 * p) << e.stem;

  const double r_ap = aperture_radius(field.design.filters[e.filter]);
  const long box = static_cast<long>(r_ap) + 1;
  zeb::Array2<float> values(301, 301), errors(301, 301);
  zeb::Array2<std::uint8_t> flags(301, 301);
  StarCheck r;
  for (std::size_t k = 0; k < field.stars.size(); ++k) {
    const Star& s = field.stars[k];
    if (!isolated[k] || s.mag[e.filter] > -12.9) continue;
    double xc, yc, x, y;
    corrected(s.u, s.v, xc, yc);
    zeb::cg_cf(xc, yc, x, y, cam.kkk, e.flt, 1, "NULL");
    if (x < 25 || y < 25 || x > cam.nx - 25 || y > cam.ny - 25) continue;
    const long ic = std::lround(x), jc = std::lround(y);
    zeb::read_tile(exposure_file(e), cam.kkk, 1, static_cast<int>(ic), static_cast<int>(jc), values.view(),
                   errors.view(), flags.view(), 0.0f);
    // The star in raster coordinates: raster pixel 151 is raw pixel (ic, jc).
    const double xs = x - ic + 151, ys = y - jc + 151;
    bool flagged = false;
    for (long j = 151 - box; j <= 151 + box; ++j)
      for (long i = 151 - box; i <= 151 + box; ++i) flagged = flagged || flags(i, j) != 0;
    if (flagged) continue;
    const double sky = sky_level * values(151, 151) / file_value(ic, jc);
    double w = 0.0, wx = 0.0, wy = 0.0, sum = 0.0;
    for (long j = 151 - box; j <= 151 + box; ++j)
      for (long i = 151 - box; i <= 151 + box; ++i) {
        const double d2 = (i - xs) * (i - xs) + (j - ys) * (j - ys);
        const double v = values(i, j) - sky;
        if (d2 <= 16.0) {
          w += v;
          wx += v * i;
          wy += v * j;
        }
        if (d2 <= r_ap * r_ap) sum += v;
      }
    const double flux = sum / p;
    ++r.stars;
    r.worst_offset = std::max({r.worst_offset, std::fabs(wx / w - xs), std::fabs(wy / w - ys)});
    r.worst_flux = std::max(r.worst_flux, std::fabs(flux / s.flux[e.filter] - 1.0));
    r.sum_flux_error += flux / s.flux[e.filter] - 1.0;
  }
  return r;
}

void check_field(const std::string& preset) {
  TempDir dir;
  const FieldDesign design = sparse_design(preset);
  write_field(design, dir.path().string());
  const Field field = plan_field(design);
  // No star of 0.2% of the flux within the widest aperture and 6 pixels more.
  const double r_iso = std::max(aperture_radius(design.filters[0]), aperture_radius(design.filters[1])) + 6.0;
  const std::vector<bool> isolated = isolated_stars(field, r_iso / design.ref_scale, 0.002);
  int stars = 0;
  double sum_flux_error = 0.0;
  for (const Exposure& e : field.exposures) {
    StarCheck r = check_exposure(field, e, isolated);
    EXPECT_GE(r.stars, 6) << e.stem;
    EXPECT_LT(r.worst_offset, 0.05) << e.stem;
    EXPECT_LT(r.worst_flux, 0.01) << e.stem;
    stars += r.stars;
    sum_flux_error += r.sum_flux_error;
  }
  // Each star carries about 0.3% of photon noise; together they show no bias.
  EXPECT_LT(std::fabs(sum_flux_error / stars), 0.002);
}

TEST(FieldConsistency, IrStarsSitWhereTheMatFileAndDistortionPutThemWithTheirTrueFlux) { check_field("e2e-ir"); }

TEST(FieldConsistency, HrcStarsSitWhereTheMatFileAndDistortionPutThemWithTheirTrueFlux) { check_field("e2e-hrc"); }

// The whole e2e-ir field, written once for the structural checks below.
class IrField : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    write_field(field_preset("e2e-ir"), dir_->path().string());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static TempDir* dir_;
};
TempDir* IrField::dir_ = nullptr;

TEST_F(IrField, ParameterFileNamesEveryFileInTheLayoutZebReads) {
  EXPECT_EQ(read_file("params.txt"),
            "MODE=R\n"
            "# Field written by zebsim: preset e2e-ir, seed 1, 504 stars, 4 exposures (WFC3IR).\n"
            "# Fluxes are electrons in EXPFLT seconds at throughput 1; the truth is in truth.txt.\n"
            "NITLIM 1 2\n"
            "IJTLIM 1 2 1 1\n"
            "BRITE bright.txt 0 0\n"
            "#PREMAG start.txt 0 0\n"
            "# Filter slot 1: F110W\n"
            "F_SLOT= 1\n"
            "EXPFLT=  500.00\n"
            "PSFSTD psf_lib_f110w.fits\n"
            "FILTER= F110W\n"
            "CHIPNAME= WFC3IR\n"
            "0001 PIX= ir_f110w_1.fits MAT= ir_f110w_1.mat\n"
            "0002 PIX= ir_f110w_2.fits MAT= ir_f110w_2.mat\n"
            "# Filter slot 2: F160W\n"
            "F_SLOT= 2\n"
            "EXPFLT=  500.00\n"
            "PSFSTD psf_lib_f160w.fits\n"
            "FILTER= F160W\n"
            "CHIPNAME= WFC3IR\n"
            "0003 PIX= ir_f160w_1.fits MAT= ir_f160w_1.mat\n"
            "0004 PIX= ir_f160w_2.fits MAT= ir_f160w_2.mat\n"
            "END\n");
}

TEST_F(IrField, PsfLibraryHeaderIsOneRecordWithEveryRequiredCard) {
  std::string f = read_file("psf_lib_f110w.fits");
  // Header record, then 9 planes of 101 x 101 floats.
  ASSERT_EQ(f.size(), 2880u + (9u * 10201u * 4u + 2879u) / 2880u * 2880u);
  const std::string header = f.substr(0, 2880);
  int end_card = -1;
  for (int c = 0; c < 36; ++c)
    if (header.substr(80 * c, 8) == "END     ") end_card = c;
  ASSERT_GE(end_card, 0);
  // zeb reads only the first 35 cards: all twenty positions and the two counts must be there.
  std::vector<std::string> keys = {"NXPSFs  ", "NYPSFs  "};
  for (int k = 1; k <= 10; ++k) {
    keys.push_back((k < 10 ? "IPSFX0" : "IPSFX") + std::to_string(k) + " ");
    keys.push_back((k < 10 ? "JPSFY0" : "JPSFY") + std::to_string(k) + " ");
  }
  std::map<std::string, long> values;
  for (int c = 0; c < 35 && c < end_card; ++c)
    values[header.substr(80 * c, 8)] = std::atol(header.substr(80 * c + 10, 20).c_str());
  for (const auto& k : keys) {
    ASSERT_TRUE(values.count(k)) << k;
    EXPECT_GE(values[k], 0) << k;
  }
  EXPECT_EQ(values["NXPSFs  "], 3);
  EXPECT_EQ(values["NYPSFs  "], 3);
  EXPECT_EQ(values["IPSFX02 "], 507);
  EXPECT_EQ(values["JPSFY03 "], 1014);
}

TEST_F(IrField, ExposuresAreCalibratedMultiExtensionFilesWithFlags) {
  const Field field = plan_field(field_preset("e2e-ir"));
  const Exposure& e = field.exposures[2];
  std::vector<Hdu> h = read_fits(exposure_file(e));
  ASSERT_EQ(h.size(), 4u);
  // zeb's header query reads the primary header only.
  EXPECT_EQ(h[0].header_records, 1u);
  EXPECT_EQ(std::stod(h[0].value("EXPTIME")), e.exptime);
  EXPECT_EQ(h[0].value("FILTER"), "'F160W   '");
  EXPECT_EQ(h[0].naxis, 0);
  const char* names[] = {"'SCI     '", "'ERR     '", "'DQ      '"};
  const int bitpix[] = {-32, -32, 16};
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(h[k].value("XTENSION"), "'IMAGE   '");
    EXPECT_EQ(h[k].value("EXTNAME"), names[k - 1]);
    EXPECT_EQ(h[k].bitpix, bitpix[k - 1]);
    EXPECT_EQ(h[k].axes[0], 1014);
    EXPECT_EQ(h[k].axes[1], 1014);
  }
  int saturated = 0, bad = 0, zero_read = 0;
  for (long j = 1; j <= 1014; ++j)
    for (long i = 1; i <= 1014; ++i) {
      const long dq = h[3].i2(i, j);
      if (dq & 256) ++saturated;
      if (dq & 4) ++bad;
      if (dq & 32) {
        ++zero_read;
        EXPECT_EQ(h[1].r4(i, j), 0.0);
        EXPECT_EQ(h[2].r4(i, j), 0.0);
      }
    }
  EXPECT_GT(saturated, 0);  // the saturated extras
  EXPECT_EQ(bad, 20);
  EXPECT_EQ(zero_read, 10);
  // Sky level and noise: electrons per second around sky_rate, error from the electrons.
  std::vector<double> corner;
  for (long j = 1; j <= 60; ++j)
    for (long i = 1; i <= 60; ++i) corner.push_back(h[1].r4(i, j));
  std::sort(corner.begin(), corner.end());
  EXPECT_NEAR(corner[corner.size() / 2], e.sky_rate, 0.01);
  const double expected_err = std::sqrt(e.sky_rate * e.exptime + 15.0 * 15.0) / e.exptime;
  EXPECT_NEAR(h[2].r4(30, 30), expected_err, 0.2 * expected_err);
}

TEST_F(IrField, MatFilesListTheBrightestStarsWithSmallErrors) {
  const Field field = plan_field(field_preset("e2e-ir"));
  for (const Exposure& e : field.exposures) {
    std::vector<test::MatLine> mat = test::read_mat_lines(mat_file(e));
    EXPECT_EQ(mat.size(), 150u) << e.stem;
    const double m2_offset = -2.5 * std::log10(e.units_per_flux(field.design.camera, 500.0));
    for (const auto& l : mat) {
      double xc, yc;
      e.corrected(l.u, l.v, xc, yc);
      EXPECT_NEAR(l.xc, xc, 0.1);  // 0.02 pixel errors
      EXPECT_NEAR(l.yc, yc, 0.1);
      EXPECT_NEAR(l.m2 - l.m1, m2_offset, 0.07);  // 0.01 magnitude errors on each
    }
    // Brightest first, down to stars of the faint half of the list.
    EXPECT_LT(mat.front().m1, mat.back().m1);
  }
}

TEST_F(IrField, TheSameSeedWritesTheSameBytes) {
  TempDir again;
  write_field(field_preset("e2e-ir"), again.path().string());
  for (const auto& entry : std::filesystem::directory_iterator(again.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(read_file(name) == read_file((dir_->path() / name).string())) << name;
  }
}

TEST(ParamFile, NamesEachFiltersPsfInTheFormChosen) {
  TempDir dir;
  FieldDesign design = field_preset("e2e-ir");
  design.filters[0].form = PsfForm::Integer;
  design.filters[1].form = PsfForm::Single;
  write_param_file(plan_field(design), "params.txt");
  const std::string p = read_file("params.txt");
  EXPECT_NE(p.find("\nEXPFLT=  500.00\nPSFHRC psf_int_f110w.fits\nFILTER= F110W\n"), std::string::npos) << p;
  EXPECT_NE(p.find("\nEXPFLT=  500.00\nPSF3IR psf_101_f160w.fits\nFILTER= F160W\n"), std::string::npos) << p;
}

TEST(HrcField, CountsWithSaturationAndUnflaggedCosmicRays) {
  TempDir dir;
  FieldDesign design = field_preset("e2e-hrc");
  design.with_start_list = true;
  write_field(design, dir.path().string());
  const Field field = plan_field(design);
  const std::string params = read_file("params.txt");
  EXPECT_NE(params.find("\nPREMAG start.txt 0 0\n"), std::string::npos);
  EXPECT_NE(params.find("\nPSFHRC psf_int_f555w.fits\nFILTER= F555W\nCHIPNAME= ACSHRC\n"), std::string::npos);
  EXPECT_NE(params.find("\nEXPFLT=  400.00\n"), std::string::npos);

  const Exposure& e = field.exposures[0];
  std::vector<Hdu> h = read_fits(exposure_file(e));
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].bitpix, 32);
  EXPECT_EQ(h[0].axes[0], 1024);
  EXPECT_EQ(h[0].axes[1], 1024);
  EXPECT_EQ(std::stod(h[0].value("EXPTIME")), e.exptime);
  zeb::Array2<double> expected(1024, 1024);
  expected_image(field, e, raw_positions(field, e), expected.view());
  int saturated = 0, hits = 0;
  for (long j = 1; j <= 1024; ++j)
    for (long i = 1; i <= 1024; ++i) {
      const long c = h[0].i4(i, j);
      if (c > 119000) {
        ++saturated;
        EXPECT_EQ(c, 120000);
      } else if (c - expected(i, j) > 10.0 * std::sqrt(expected(i, j) + 16.0) + 100.0) {
        ++hits;
      }
    }
  EXPECT_GT(saturated, 0);
  // About 2.5 hits a second, one to four pixels each, most far above the noise.
  EXPECT_GT(hits, 500);
  EXPECT_LT(hits, 5000);
}

}  // namespace
}  // namespace zebsim
