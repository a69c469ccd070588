// The exposure readers: the 16-bit joint frames (plain and compressed), the
// WFC3/IR files with their flags, their failure messages, and the correction map.
#include "tile/exposure_readers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "support/test_support.h"
#include "tile/fits_builder.h"

namespace {

using namespace zeb;
using namespace zeb::test;

constexpr int kSide = 301;

struct Raster {
  Array2<float> v{kSide, kSide}, e{kSide, kSide};
  Array2<std::uint8_t> u{kSide, kSide};
  // Value, error and flag of raster pixel (xt, yt).
  std::tuple<float, float, int> at(int xt, int yt) const { return {v(xt, yt), e(xt, yt), u(xt, yt)}; }
};

// ---------------------------------------------------------------------------
// 16-bit joint frame: 16 columns x 4096 rows (the reader wants one axis of
// 4096), every pixel f = 1000 unless set.

constexpr int kJointCols = 16;

struct JointFrame {
  std::vector<std::int16_t> px = std::vector<std::int16_t>(kJointCols * 4096, static_cast<std::int16_t>(1000 - 32000));
  void set_f(int x, int y, int f) { px[(y - 1) * kJointCols + (x - 1)] = static_cast<std::int16_t>(f - 32000); }
  std::string bytes() const { return fits_header(image_cards(16, kJointCols, 4096)) + data_i16(px); }
};

// The window is centred on raw (8, 2048): raster xt = x + 143, yt = y - 1897.
constexpr int kJi = 8, kJj = 2048;
int jx(int x) { return x + 143; }
int jy(int y) { return y - 1897; }

Raster read_joint(const std::string& name) {
  Raster r;
  readfits_wfc3uv_wj2_rast(name, r.v.view(), r.e.view(), r.u.view(), kJi, kJj, kSide, kSide);
  return r;
}

float count_error(float f) { return std::sqrt(std::max(f, 1.0f) + 20.25f); }

TEST(JointFrameReader, PlainEncoding) {
  TempDir dir;
  JointFrame f;
  const int row = 2000;
  const int stored[] = {-750, 55001, 56001, 56000, -51, -50, 100};
  for (int k = 0; k < 7; ++k) f.set_f(k + 1, row, stored[k]);
  write_bytes("expo_WJ2.fits", f.bytes());
  Raster r = read_joint("expo_WJ2.fits");
  auto at = [&](int x) { return r.at(jx(x), jy(row)); };
  // A stored -32750 (f = -750) marks a saturated pixel.
  EXPECT_EQ(at(1), std::make_tuple(10000.0f, 99999.0f, 2));
  // Above 55000 the scale is stretched by 5.
  EXPECT_EQ(at(2), std::make_tuple(55005.0f, count_error(55005.0f), 0));
  // 60005 after stretching: kept, but flagged bad.
  EXPECT_EQ(at(3), std::make_tuple(60005.0f, 99999.0f, 1));
  EXPECT_EQ(at(4), std::make_tuple(60000.0f, count_error(60000.0f), 0));
  // Strongly negative below -50.
  EXPECT_EQ(at(5), std::make_tuple(-51.0f, std::sqrt(21.25f), 4));
  EXPECT_EQ(at(6), std::make_tuple(-50.0f, std::sqrt(21.25f), 0));
  EXPECT_EQ(at(7), std::make_tuple(100.0f, count_error(100.0f), 0));
}

TEST(JointFrameReader, CompressedEncoding) {
  TempDir dir;
  JointFrame f;
  const int row = 2000;
  const int stored[] = {6000, 12000, -700, -699};
  for (int k = 0; k < 4; ++k) f.set_f(k + 1, row, stored[k]);
  write_bytes("expo_WJL.fits", f.bytes());
  Raster r = read_joint("expo_WJL.fits");
  EXPECT_EQ(r.at(jx(1), jy(row)), std::make_tuple(6000.0f, count_error(6000.0f), 0));
  // 6000 (1 + 1/6000)^6000 = 16308.332
  EXPECT_NEAR(r.v(jx(2), jy(row)), 16308.332f, 0.01f);
  EXPECT_NEAR(r.e(jx(2), jy(row)), std::sqrt(16308.332f + 20.25f), 1e-3f);
  EXPECT_EQ(r.u(jx(2), jy(row)), 0);
  EXPECT_EQ(r.at(jx(3), jy(row)), std::make_tuple(10000.0f, 99999.0f, 2));
  EXPECT_EQ(r.at(jx(4), jy(row)), std::make_tuple(-699.0f, count_error(-699.0f), 0));
}

TEST(JointFrameReader, ChipGapAndPixelsOutsideTheFile) {
  TempDir dir;
  JointFrame f;
  for (int y = 2040; y <= 2060; ++y) f.set_f(3, y, -750);  // gap rows hold anything
  write_bytes("a_WJ2.fits", f.bytes());
  write_bytes("a_WJL.fits", f.bytes());
  for (const char* name : {"a_WJ2.fits", "a_WJL.fits"}) {
    Raster r = read_joint(name);
    for (int y = 2045; y <= 2052; ++y) {
      for (int x : {1, 3, 16}) {
        EXPECT_EQ(r.v(jx(x), jy(y)), -750.0f) << name << y;
        EXPECT_EQ(r.e(jx(x), jy(y)), 9999.9f);
        EXPECT_EQ(r.u(jx(x), jy(y)), 3);
      }
    }
    EXPECT_EQ(r.u(jx(1), jy(2044)), 0);
    EXPECT_EQ(r.u(jx(1), jy(2053)), 0);
    EXPECT_EQ(r.v(jx(1), jy(2053)), 1000.0f);
    // Columns 0 and 17 are not in the file: the fill stays.
    EXPECT_EQ(r.v(jx(0), jy(2000)), -500.0f);
    EXPECT_EQ(r.e(jx(17), jy(2000)), 9999.9f);
    EXPECT_EQ(r.u(jx(17), jy(2000)), 3);
  }
}

TEST(JointFrameReader, BadFilesStopWithTheirMessages) {
  TempDir dir;
  {
    auto r = capture([] { read_joint("expo.fit"); });
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, " writfits_i2 bomb...\n no .fits in filename...\n FILE:  expo.fit\n");
  }
  {
    auto r = capture([] { read_joint("missing_WJ2.fits"); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "zeb: cannot open missing_WJ2.fits: no such file or directory\n"
              " READFITS_wfc3uv_wj2_rast ERROR\n FILE:  missing_WJ2.fits\n   ic:  8 2048\n   NX:  301 301\n");
  }
  {
    write_bytes("b32.fits", fits_header(image_cards(32, 16, 4096)) + data_i32(std::vector<std::int32_t>(16 * 4096)));
    auto r = capture([] { read_joint("b32.fits"); });
    EXPECT_EQ(r.status, 1);
    auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], " readfits_i2...: ");
    EXPECT_EQ(lines[4], "    gave it has BITPIX =  32");
    EXPECT_EQ(lines[6], "    FILEU:  b32.fits");
  }
  {
    write_bytes("small.fits", fits_header(image_cards(16, 100, 100)) + data_i16(std::vector<std::int16_t>(100 * 100)));
    auto r = capture([] { read_joint("small.fits"); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "  not enough image space! \n    FILE: small.fits\n\n   laxis1:  100\n       NX:  301\n\n   laxis2:  100\n       NY:  301\n\n");
  }
}

// ---------------------------------------------------------------------------
// WFC3/IR: 20 x 20 pixels, window centred on raw (10, 10): xt = x + 141.

constexpr int kIrN = 20;
int ix(int x) { return x + 141; }

struct IrImage {
  std::vector<float> sci = std::vector<float>(kIrN * kIrN), err = std::vector<float>(kIrN * kIrN, 2.0f);
  std::vector<std::int16_t> dq = std::vector<std::int16_t>(kIrN * kIrN, 0);
  IrImage() {
    for (int y = 1; y <= kIrN; ++y)
      for (int x = 1; x <= kIrN; ++x) sci[k(x, y)] = static_cast<float>(x + 100 * y);
  }
  static int k(int x, int y) { return (y - 1) * kIrN + (x - 1); }
  std::string bytes() const { return ir_file(kIrN, kIrN, sci, err, dq); }
};

Raster read_ir(const std::string& name) {
  Raster r;
  readfits_wfc3ir_flt_rast(name, r.v.view(), r.e.view(), r.u.view(), 10, 10, kSide, kSide);
  return r;
}

TEST(IrReader, ValuesErrorsAndDataQualityFlags) {
  TempDir dir;
  IrImage im;
  const int k = IrImage::k(1, 1);
  im.dq[k + 0] = 256;          // (1,1) saturated
  im.dq[k + 1] = 2;            // (2,1) bad
  im.dq[k + 2] = 256 | 4;      // (3,1) bad overrides saturated
  im.dq[k + 3] = 32;           // (4,1) zero signal with zero value and error
  im.sci[k + 3] = 0.0f;
  im.err[k + 3] = 0.0f;
  im.dq[k + 4] = 32;           // (5,1) zero-signal bit but a real value
  im.sci[k + 4] = 1.0f;
  im.err[k + 4] = 0.0f;
  im.dq[k + 5] = 8;            // (6,1) other bits do not flag
  im.err[k + 6] = 0.1f;        // (7,1) error below the floor
  im.sci[k + 7] = NAN;         // (8,1) no number
  im.dq[IrImage::k(20, 20)] = static_cast<std::int16_t>(0x8000 | 256);  // sign bit set too
  write_bytes("ir_flt.fits", im.bytes());
  Raster r = read_ir("ir_flt.fits");
  EXPECT_EQ(r.v(ix(1), ix(1)), 101.0f);
  EXPECT_EQ(r.e(ix(1), ix(1)), 2.0f);
  EXPECT_EQ(r.u(ix(1), ix(1)), 2);
  EXPECT_EQ(r.u(ix(2), ix(1)), 1);
  EXPECT_EQ(r.u(ix(3), ix(1)), 1);
  EXPECT_EQ(r.u(ix(4), ix(1)), 1);
  EXPECT_EQ(r.e(ix(4), ix(1)), 0.15f);
  EXPECT_EQ(r.u(ix(5), ix(1)), 0);
  EXPECT_EQ(r.u(ix(6), ix(1)), 0);
  EXPECT_EQ(r.e(ix(7), ix(1)), 0.15f);
  EXPECT_EQ(r.u(ix(8), ix(1)), 1);
  EXPECT_EQ(r.v(ix(8), ix(1)), 0.0f);
  EXPECT_EQ(r.e(ix(8), ix(1)), 99999.0f);
  EXPECT_EQ(r.v(ix(20), ix(20)), 2020.0f);
  EXPECT_EQ(r.u(ix(20), ix(20)), 2);
  // Outside the file.
  EXPECT_EQ(r.v(ix(0), ix(5)), -500.0f);
  EXPECT_EQ(r.e(ix(21), ix(5)), 99999.0f);
  EXPECT_EQ(r.u(ix(5), ix(21)), 3);

  // An error extension of 32-bit integers (the same size as reals) is refused,
  // naming what it holds.
  std::string bytes = im.bytes();
  std::size_t at = 0;
  for (int header = 0; header < 3; ++header) at = bytes.find("BITPIX  =", at + 1);  // primary, values, errors
  bytes.replace(bytes.find("-32", at), 3, " 32");
  write_bytes("err32.fits", bytes);
  const Captured c = capture([] { read_ir("err32.fits"); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.out, " readfits_wfc3ir_flt_rast:  the error extension has BITPIX 32, not -32\n FILE:  err32.fits\n");
}

// ---------------------------------------------------------------------------
// Correction map.

float two_and_a_half(double, double) { return 2.5f; }
float step_at_600(double x, double) { return x >= 600.0 ? 2.5f : 0.0f; }

TEST(CorrectionMap, ScalesOnlyTheDetectorPartOfTheRaster) {
  Array2<float> v(kSide, kSide, 100.0f);
  // itil = 10: the box is raw 1..160, raster columns 142..301.
  apply_correction_map(v.view(), 10, 500, 1014, two_and_a_half);
  EXPECT_FLOAT_EQ(v(142, 151), 10.0f);
  EXPECT_FLOAT_EQ(v(301, 1), 10.0f);
  EXPECT_EQ(v(141, 151), 100.0f);
}

TEST(CorrectionMap, InterpolatesTheCornersAndSkipsAnEmptyBox) {
  Array2<float> v(kSide, kSide, 100.0f);
  // Box 350..650: corners at x = 350 give 0, at x = 650 give 2.5; raw 500 is
  // half way, z = 1.25, factor 10^-0.5.
  apply_correction_map(v.view(), 500, 500, 1014, step_at_600);
  EXPECT_NEAR(v(151, 151), 31.622777f, 1e-4);
  EXPECT_EQ(v(1, 1), 100.0f);
  EXPECT_NEAR(v(301, 301), 10.0f, 1e-5);
  // The corners are not transposed: (ihi, jlo) takes x = 650, (ilo, jhi) x = 350.
  EXPECT_NEAR(v(301, 1), 10.0f, 1e-5);
  EXPECT_EQ(v(1, 301), 100.0f);
  // A raster wholly left of the detector: ihi < ilo, nothing changes.
  Array2<float> w(kSide, kSide, 100.0f);
  apply_correction_map(w.view(), -150, 500, 1014, two_and_a_half);
  EXPECT_EQ(w(301, 151), 100.0f);
}

}  // namespace
