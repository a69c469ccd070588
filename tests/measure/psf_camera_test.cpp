// The set-up readers of the camera PSF files: where each fiducial comes from,
// their diagnostic tables, and refusal of files that are not the stated image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/fortran_format.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "psf/psf.h"
#include "psf/psf_camera.h"
#include "setup/param_file.h"
#include "setup/run_state.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::capture;
using test::split_lines;
using test::TempDir;

// A float image whose pixel (x, y) is x + y / 1024 (exact in single precision).
void write_float_image(const std::string& name, int nx, int ny) {
  Array2<float> img(nx, ny);
  for (int y = 1; y <= ny; ++y)
    for (int x = 1; x <= nx; ++x) img(x, y) = static_cast<float>(x) + static_cast<float>(y) / 1024.0f;
  writfits_r4(name, View2<const float>(img.data(), nx, ny), nx, ny);
}
float float_pixel(int x, int y) { return static_cast<float>(x) + static_cast<float>(y) / 1024.0f; }

// A BITPIX 32 image whose pixel (x, y) is 1000 x + y.
void write_int_image(const std::string& name, int nx, int ny) {
  std::string h;
  auto card = [&](const std::string& key, long long v) { h += pad(fortran_record("(a8,'= ',i20)", key, v), 80); };
  h += pad("SIMPLE  =                    T", 80);
  card("BITPIX  ", 32);
  card("NAXIS   ", 2);
  card("NAXIS1  ", nx);
  card("NAXIS2  ", ny);
  h += pad("END", 80);
  h.resize(2880, ' ');
  std::string data;
  data.reserve(static_cast<std::size_t>(nx) * ny * 4 + 2880);
  for (int y = 1; y <= ny; ++y)
    for (int x = 1; x <= nx; ++x) {
      const std::uint32_t u = static_cast<std::uint32_t>(1000 * x + y);
      const char be[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                          static_cast<char>(u)};
      data.append(be, 4);
    }
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  test::write_file(name, h + data);
}

TEST(ReadPsfacs, FiducialsShareTheirBordersAndTheTableShowsCentres) {
  TempDir dir;
  write_float_image("acs.fits", PSFACS_NX, PSFACS_NY);
  CameraPsf psf;
  const auto c = capture([&] { read_psfacs("acs.fits", psf); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(psf(1, 1, 1, 1), float_pixel(1, 1));
  EXPECT_EQ(psf(101, 101, 9, 10), float_pixel(901, 1001));
  EXPECT_EQ(psf(30, 40, 4, 7), float_pixel(330, 640));
  EXPECT_EQ(psf(101, 5, 1, 3), psf(1, 5, 2, 3));  // shared column
  EXPECT_EQ(psf(7, 101, 5, 2), psf(7, 1, 5, 3));  // shared row
  // Centre (51, 51) of fiducial (ip, jp) is pixel (51 + 100 (ip-1), 51 + 100 (jp-1)):
  // row jp = 10 at y = 951 (951/1024 = 0.92871), row 1 at y = 51 (0.04980).
  const auto lines = split_lines(c.out);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "          10  51.9287151.9287251.9287351.9287451.9287551.9287651.9287751.9287851.9287");
  EXPECT_EQ(lines[9], "           1  51.0498151.0498251.0498351.0498451.0498551.0498651.0498751.0498851.0498");
}

TEST(ReadPsfhrc, OnePsfSampledTenTimesFinerInMillionths) {
  TempDir dir;
  write_int_image("hrc.fits", PSFHRC_NX, PSFHRC_NY);
  CameraPsf psf;
  const auto c = capture([&] { read_psfhrc("hrc.fits", psf); });
  ASSERT_FALSE(c.stopped) << c.out;
  // Element (a, b) is image(601 + 10 (a - 51), 601 + 10 (b - 51)) / 1e6.
  EXPECT_EQ(psf(51, 51, 1, 1), 601601.0f / 1000000.0f);
  EXPECT_EQ(psf(1, 101, 1, 1), 102101.0f / 1000000.0f);  // image(101, 1101)
  EXPECT_EQ(psf(60, 40, 9, 10), psf(60, 40, 1, 1));
  const auto lines = split_lines(c.out);
  // Header, ten table rows, eleven central rows, eleven coarse rows.
  ASSERT_EQ(lines.size(), 33u);
  EXPECT_EQ(lines[0], " ---> PSFHRC: ");
  EXPECT_EQ(lines[1], "          10   0.6016  0.6016  0.6016  0.6016  0.6016  0.6016  0.6016  0.6016  0.6016");
  // Central row 56 (y = 651), columns 46..56 (x = 551..651): 0.551651 ...
  EXPECT_EQ(lines[11],
            "          56   0.5517  0.5617  0.5717  0.5817  0.5917  0.6017  0.6117  0.6217  0.6317  0.6417  0.6517");
  EXPECT_EQ(lines[21].substr(0, 12), "          46");
  // Coarse row 71 (y = 801), columns 31, 35, .., 71 (x = 401, 441, .., 801).
  EXPECT_EQ(lines[22],
            "          71   0.4018  0.4418  0.4818  0.5218  0.5618  0.6018  0.6418  0.6818  0.7218  0.7618  0.8018");
  EXPECT_EQ(lines[32].substr(0, 12), "          31");
}

TEST(ReadPsf3ir, OneFiducialTheRestZero) {
  TempDir dir;
  write_float_image("ir.fits", PSF3IR_NX, PSF3IR_NY);
  CameraPsf psf;
  clear_camera_psf(psf);
  psf(51, 51, 2, 2) = 5.0f;  // left from an earlier file: cleared
  const auto c = capture([&] { read_psf3ir("ir.fits", psf); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(psf(17, 93, 1, 1), float_pixel(17, 93));
  EXPECT_EQ(psf(51, 51, 2, 2), 0.0f);
  const auto lines = split_lines(c.out);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], " ---> PSF3IR: ");
  EXPECT_EQ(lines[1], "          10   0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000");
  // 51 + 51/1024 = 51.0498.
  EXPECT_EQ(lines[10], "           1  51.0498  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000");
}

TEST(ReadPsf3uv, SevenByEightFiducialsFromTheLeftPart) {
  TempDir dir;
  write_float_image("uv.fits", PSF3UV_NX, PSF3UV_NY);
  CameraPsf psf;
  const auto c = capture([&] { read_psf3uv("uv.fits", psf); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(psf(101, 101, 7, 8), float_pixel(701, 801));
  EXPECT_EQ(psf(2, 3, 3, 4), float_pixel(202, 303));
  EXPECT_EQ(psf(51, 51, 8, 1), 0.0f);
  EXPECT_EQ(psf(51, 51, 1, 9), 0.0f);
  const auto lines = split_lines(c.out);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "          READ_PSF3UV: " + pad("uv.fits", 80));
}

TEST(CameraPsfFiles, ImagesOfAnotherSizeOrWithoutNumbersAreRefused) {
  TempDir dir;
  write_float_image("small.fits", 101, 101);
  CameraPsf psf;
  const auto c = capture([&] { read_psfacs("small.fits", psf); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("PSFACS PSF file is not the expected image:"), std::string::npos);
  // The integer reader checks the size itself.
  write_int_image("hrc.fits", 101, 101);
  const auto h = capture([&] { read_psfhrc("hrc.fits", psf); });
  EXPECT_TRUE(h.stopped);
  EXPECT_NE(h.out.find("FITS image not the expected dimensions:"), std::string::npos);
  // A pixel that is not a number.
  Array2<float> img(101, 101, 0.01f);
  img(3, 4) = std::nanf("");
  writfits_r4("nan.fits", View2<const float>(img.data(), 101, 101), 101, 101);
  const auto n = capture([&] { read_psf3ir("nan.fits", psf); });
  EXPECT_TRUE(n.errored);
  EXPECT_NE(n.err.find("(3,4)"), std::string::npos);
  // A missing file: the reader's own message.
  const auto m = capture([&] { read_psf3ir("none.fits", psf); });
  EXPECT_TRUE(m.stopped);
  EXPECT_NE(m.out.find("READFITS ERROR"), std::string::npos);
}

TEST(LoadCameraPsf, ReadsIntoTheFilterSlot) {
  TempDir dir;
  write_float_image("ir.fits", PSF3IR_NX, PSF3IR_NY);
  FilterSlots filters;
  filters.allocate(2);
  EXPECT_FALSE(camera_psf_loaded(filters.psf_f(1)));
  capture([&] { load_camera_psf("PSF3IR", "ir.fits", 2, filters); });
  EXPECT_FALSE(camera_psf_loaded(filters.psf_f(1)));
  ASSERT_TRUE(camera_psf_loaded(filters.psf_f(2)));
  EXPECT_EQ(filters.psf_f(2)(51, 51, 1, 1), float_pixel(51, 51));
  EXPECT_TRUE(capture([&] { load_camera_psf("PSF3IR", "ir.fits", 0, filters); }).stopped);
  EXPECT_TRUE(capture([&] { load_camera_psf("PSFXXX", "ir.fits", 1, filters); }).stopped);
}

}  // namespace
}  // namespace zeb
