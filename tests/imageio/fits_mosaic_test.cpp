// Mosaic files: blank creation and strip writes in place.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "core/array.h"
#include "imageio/fits.h"
#include "imageio/fits_test_util.h"

namespace zeb::test {
namespace {

class Mosaics : public ::testing::Test {
 protected:
  void SetUp() override { reset_fits_carry_over(); }
  void TearDown() override { reset_fits_carry_over(); }
  TempDir dir;
};

// Stored 16-bit pixel (c, r) of a j2 mosaic nx wide, decoded by hand: one
// header record, then two bytes per pixel in row order, big-endian.
int j2_pixel(const std::string& bytes, int nx, int c, int r) {
  std::size_t at = 2880 + 2 * (static_cast<std::size_t>(r - 1) * nx + (c - 1));
  return static_cast<std::int16_t>((static_cast<unsigned char>(bytes[at]) << 8) | static_cast<unsigned char>(bytes[at + 1]));
}

// Array of ldx x ldy values 100 i + j - 32000 (the strips keep value - 32000).
Array2<std::int16_t> strip(int ldx, int ldy) {
  Array2<std::int16_t> a(ldx, ldy);
  for (int j = 1; j <= ldy; ++j)
    for (int i = 1; i <= ldx; ++i) a(i, j) = static_cast<std::int16_t>(100 * i + j - 32000);
  return a;
}

TEST_F(Mosaics, CreationFillsEveryPixelWithTheBlankAndPadsWithZeros) {
  writfits_j2_init("m.fits", 100, 30, 1.0f, 1.0f);  // 6000 data bytes: 3 records, 240 bytes in the last
  std::string bytes = read_file("m.fits");
  ASSERT_EQ(bytes.size(), 4u * 2880u);
  std::string blank16("\x82\xE7", 2);
  for (std::size_t k = 0; k < 3000; ++k) ASSERT_EQ(bytes.substr(2880 + 2 * k, 2), blank16) << k;
  EXPECT_EQ(bytes.substr(2880 + 6000), std::string(3 * 2880 - 6000, '\0'));

  writfits_b1_init("n.fits", 7, 3, 1.0f);
  bytes = read_file("n.fits");
  ASSERT_EQ(bytes.size(), 2u * 2880u);
  EXPECT_EQ(bytes.substr(2880, 21), std::string(21, '\xFF'));
  EXPECT_EQ(bytes.substr(2901), std::string(2880 - 21, '\0'));

  writfits_j2_init("exact.fits", 1440, 2, 1.0f, 1.0f);  // exactly 2 records of data
  EXPECT_EQ(read_file("exact.fits").size(), 3u * 2880u);
}

TEST_F(Mosaics, WindowAtTheLastColumnAndLastRow) {
  writfits_j2_init("m.fits", 50, 40, 1.0f, 1.0f);
  Array2<std::int16_t> a = strip(6, 5);
  // Window [2..4] x [3..5] to pixels (48..50, 38..40).
  long written = writfits_j2_rastx("m.fits", a.view(), 48, 38, 2, 4, 3, 5, 6, 5, 50, 40);
  EXPECT_EQ(written, 1);  // pixels 1897..1999 (0-based) all lie in the second data record
  std::string bytes = read_file("m.fits");
  for (int r = 1; r <= 40; ++r) {
    for (int c = 1; c <= 50; ++c) {
      int want = c >= 48 && r >= 38 ? 100 * (c - 46) + (r - 35) - 32000 : -32025;
      ASSERT_EQ(j2_pixel(bytes, 50, c, r), want) << c << "," << r;
    }
  }
  EXPECT_EQ(j2_pixel(bytes, 50, 50, 40), 100 * 4 + 5 - 32000);
}

TEST_F(Mosaics, WindowSpanningARecordBoundary) {
  writfits_j2_init("m.fits", 50, 40, 1.0f, 1.0f);
  // Record 2 holds pixels 0..1439: rows 1..28 and columns 1..40 of row 29.
  Array2<std::int16_t> a = strip(20, 10);
  long written = writfits_j2_rastx("m.fits", a.view(), 35, 28, 5, 15, 2, 4, 20, 10, 50, 40);
  EXPECT_EQ(written, 2);
  std::string bytes = read_file("m.fits");
  for (int r = 1; r <= 40; ++r) {
    for (int c = 1; c <= 50; ++c) {
      bool inside = c >= 35 && c <= 45 && r >= 28 && r <= 30;
      int want = inside ? 100 * (c - 30) + (r - 26) - 32000 : -32025;
      ASSERT_EQ(j2_pixel(bytes, 50, c, r), want) << c << "," << r;
    }
  }
}

TEST_F(Mosaics, RecordsOutsideTheWindowAreNeverRewritten) {
  writfits_j2_init("m.fits", 100, 100, 1.0f, 1.0f);
  // Fill the data unit with random bytes so that any stray write shows.
  std::string bytes = read_file("m.fits");
  std::mt19937 rng(7);
  for (std::size_t k = 2880; k < 2880 + 20000; ++k) bytes[k] = static_cast<char>(rng() & 0xFF);
  write_file("m.fits", bytes);

  Array2<std::int16_t> a = strip(100, 10);
  long written = writfits_j2_rastx("m.fits", a.view(), 1, 40, 1, 100, 3, 8, 100, 10, 100, 100);
  EXPECT_EQ(written, 2);  // rows 40..45 = pixels 3900..4499: records 4 and 5 of the file
  std::string after = read_file("m.fits");
  ASSERT_EQ(after.size(), bytes.size());
  for (int r = 1; r <= 100; ++r) {
    for (int c = 1; c <= 100; ++c) {
      std::size_t at = 2880 + 2 * (static_cast<std::size_t>(r - 1) * 100 + (c - 1));
      if (r >= 40 && r <= 45) {
        ASSERT_EQ(j2_pixel(after, 100, c, r), 100 * c + (r - 37) - 32000);
      } else {
        ASSERT_EQ(after.substr(at, 2), bytes.substr(at, 2)) << c << "," << r;
      }
    }
  }
  EXPECT_EQ(after.substr(0, 2880), bytes.substr(0, 2880));
}

TEST_F(Mosaics, RecordsBetweenTheWindowsRowSegmentsAreNotRewritten) {
  // Rows of 3000 pixels: record 2 of the file holds pixels 0..1439 of row 1,
  // record 3 pixels 1440..2879 (no window column), record 4 the start of row 2.
  writfits_j2_init("wide.fits", 3000, 4, 1.0f, 1.0f);
  Array2<std::int16_t> a = strip(10, 2);
  long written = writfits_j2_rastx("wide.fits", a.view(), 1, 1, 1, 10, 1, 2, 10, 2, 3000, 4);
  EXPECT_EQ(written, 2);
  std::string bytes = read_file("wide.fits");
  EXPECT_EQ(j2_pixel(bytes, 3000, 10, 2), 100 * 10 + 2 - 32000);
  EXPECT_EQ(j2_pixel(bytes, 3000, 11, 2), -32025);
  EXPECT_EQ(j2_pixel(bytes, 3000, 1441, 1), -32025);
}

TEST_F(Mosaics, PartsOfTheWindowOutsideTheMosaicAreDropped) {
  writfits_j2_init("m.fits", 20, 10, 1.0f, 1.0f);
  Array2<std::int16_t> a = strip(30, 6);
  // Window of 30 x 6 from column -4 and row 7: only columns 1..20, rows 7..10 exist.
  long written = writfits_j2_rastx("m.fits", a.view(), -4, 7, 1, 30, 1, 6, 30, 6, 20, 10);
  EXPECT_EQ(written, 1);
  std::string bytes = read_file("m.fits");
  ASSERT_EQ(bytes.size(), 2u * 2880u);  // the file does not grow
  for (int r = 1; r <= 10; ++r)
    for (int c = 1; c <= 20; ++c)
      ASSERT_EQ(j2_pixel(bytes, 20, c, r), r >= 7 ? 100 * (c + 5) + (r - 6) - 32000 : -32025) << c << "," << r;
  // Entirely outside: nothing is touched.
  EXPECT_EQ(writfits_j2_rastx("m.fits", a.view(), 21, 1, 1, 30, 1, 6, 30, 6, 20, 10), 0);
  EXPECT_EQ(read_file("m.fits"), bytes);
}

TEST_F(Mosaics, ByteMosaicsStoreTheLowByteOfTheStripValue) {
  writfits_b1_init("n.fits", 5, 2, 1.0f);
  Array2<std::int16_t> a(4, 1);
  a(1, 1) = -32001;  // value -1: the strips' fill, stored as the 255 blank
  a(2, 1) = -32000;  // 0
  a(3, 1) = -31990;  // 10
  a(4, 1) = -31745;  // 255
  EXPECT_EQ(writfits_b1_rastx("n.fits", a.view(), 2, 2, 1, 4, 1, 1, 4, 1, 5, 2), 1);
  std::string bytes = read_file("n.fits");
  EXPECT_EQ(bytes.substr(2880, 10), std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x00\x0A\xFF", 10));
}

TEST_F(Mosaics, StripWritesLeaveOnlyVafactorAndTheMosaicsOwnCardsInTheTables) {
  std::vector<std::string> cards = image_cards(-32, 1, 1);
  cards.insert(cards.end() - 1, "FILTER1 = 'F606W   '");
  write_file("e.fits", header_records(cards) + padded_data(be_float(0.0f)));
  Array2<float> f(1, 1);
  readfits_r4("e.fits", f.view(), 1, 1);
  ASSERT_EQ(hdr_entry("FILTER1"), pad("'F606W   '", 70));
  writfits_j2_init("m.fits", 4, 4, 1.0f, 1.0f);
  Array2<std::int16_t> a = strip(1, 1);
  writfits_j2_rastx("m.fits", a.view(), 1, 1, 1, 1, 1, 1, 1, 1, 4, 4);
  EXPECT_EQ(hdr_entry("FILTER1"), blanks(70));
  EXPECT_EQ(hdr_entry("VAFACTOR"), pad("  1.000", 70));
  EXPECT_EQ(hdr_entry("CRPIX1"), pad(blanks(19) + "0", 70));
  for (const std::string& e : fits_carry_over().fitsinfo) EXPECT_EQ(e, blanks(70));
}

TEST_F(Mosaics, StripWriterFailures) {
  Array2<std::int16_t> a = strip(2, 2);
  Captured c = capture([&] { writfits_j2_rastx("none.fits", a.view(), 1, 1, 1, 2, 1, 2, 2, 2, 4, 4); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "zeb: cannot open none.fits: no such file or directory\n WRITFITS_I2_32K_RASTX ERROR\n FILE:  none.fits\n");

  writfits_b1_init("n.fits", 7, 3, 1.0f);
  std::string before = read_file("n.fits");
  c = capture([&] { writfits_j2_rastx("n.fits", a.view(), 1, 1, 1, 2, 1, 2, 2, 2, 7, 3); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " FILE: n.fits\n  NREAD: 1\n NEXTEND: 0\n NAXIS: 2\n LAXIS: 7 3 1\n BITPIX: 8\n BSCALE: 1\n BZERO: 0\n");
  c = capture([&] { writfits_b1_rastx("n.fits", a.view(), 1, 1, 1, 2, 1, 2, 2, 2, 7, 4); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(read_file("n.fits"), before);

  c = capture([&] { writfits_b1_rastx("n.fits", a.view(), 1, 1, 1, 3, 1, 2, 3, 2, 7, 3); });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("does not lie in the array"), std::string::npos);
}

}  // namespace
}  // namespace zeb::test
