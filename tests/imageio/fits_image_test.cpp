// Whole-image writers and readers: data layout, round trips, the carry-over
// tables, file names and the failure messages.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/array.h"
#include "imageio/fits.h"
#include "imageio/fits_test_util.h"

namespace zeb::test {
namespace {

class FitsImages : public ::testing::Test {
 protected:
  void SetUp() override { reset_fits_carry_over(); }
  void TearDown() override { reset_fits_carry_over(); }
  TempDir dir;
};

// ---------------------------------------------------------------------------
// Data layout.

TEST_F(FitsImages, SixteenBitPixelsAreBigEndianInRowOrderWithZeroPadding) {
  Array2<std::int16_t> a(3, 2);
  a(1, 1) = 1;
  a(2, 1) = -2;
  a(3, 1) = 0x1234;
  a(1, 2) = -32768;
  a(2, 2) = 32767;
  a(3, 2) = 256;
  writfits_i2("d.fits", a.view(), 3, 2);
  std::string bytes = read_file("d.fits");
  ASSERT_EQ(bytes.size(), 2u * 2880u);
  std::string want = std::string("\x00\x01\xFF\xFE\x12\x34\x80\x00\x7F\xFF\x01\x00", 12);
  EXPECT_EQ(bytes.substr(2880, 12), want);
  EXPECT_EQ(bytes.substr(2892), std::string(2880 - 12, '\0'));
}

TEST_F(FitsImages, IntCountsSaturateAtTheSixteenBitLimits) {
  Array2<int> a(3, 1);
  a(1, 1) = 40000;
  a(2, 1) = -40000;
  a(3, 1) = 1000;
  writfits_i2("c.fits", a.view(), 3, 1);
  EXPECT_EQ(read_file("c.fits").substr(2880, 6), std::string("\x7F\xFF\x80\x00\x03\xE8", 6));
}

TEST_F(FitsImages, FloatAndBytePixels) {
  Array2<float> f(2, 2);
  f(1, 1) = 1.0f;   // 3F800000
  f(2, 1) = -2.5f;  // C0200000
  f(1, 2) = 0.0f;
  f(2, 2) = 0.15625f;  // 3E200000
  writfits_r4("f.fits", f.view(), 2, 2);
  EXPECT_EQ(read_file("f.fits").substr(2880, 16),
            std::string("\x3F\x80\x00\x00\xC0\x20\x00\x00\x00\x00\x00\x00\x3E\x20\x00\x00", 16));
  Array2<std::uint8_t> b(3, 2);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 3; ++i) b(i, j) = static_cast<std::uint8_t>(100 * j + i);
  writfits_b1("b.fits", b.view(), 3, 2);
  std::string bytes = read_file("b.fits");
  ASSERT_EQ(bytes.size(), 5760u);
  EXPECT_EQ(bytes.substr(2880, 7), std::string("\x65\x66\x67\xC9\xCA\xCB\x00", 7));
}

TEST_F(FitsImages, DataEndingOnARecordBoundaryHasNoFillRecord) {
  Array2<float> f(36, 21, 1.0f);  // 36 x 20 floats = 2880 bytes exactly
  writfits_r4("f720.fits", f.view(), 36, 20);
  EXPECT_EQ(read_file("f720.fits").size(), 2u * 2880u);
  writfits_r4("f721.fits", f.view(), 36, 21);  // 36 more floats: one more record
  EXPECT_EQ(read_file("f721.fits").size(), 3u * 2880u);
  Array2<std::int16_t> s(40, 72, 7);  // 40 x 72 x 2 bytes = 2 records
  writfits_i2_ltv("s.fits", s.view(), 40, 72, 1.0f);
  EXPECT_EQ(read_file("s.fits").size(), 3u * 2880u);
  Array2<std::uint8_t> b(60, 48, 9);  // 2880 bytes
  writfits_b1("b.fits", b.view(), 60, 48);
  std::string bytes = read_file("b.fits");
  ASSERT_EQ(bytes.size(), 2u * 2880u);
  EXPECT_EQ(bytes.substr(2880), std::string(2880, '\x09'));
}

TEST_F(FitsImages, WritingOverALargerFileLeavesNothingOfIt) {
  Array2<float> f(100, 100, 1.0f);
  writfits_r4("x.fits", f.view(), 100, 100);
  writfits_r4("x.fits", f.view(), 2, 2);
  EXPECT_EQ(read_file("x.fits").size(), 2u * 2880u);
}

TEST_F(FitsImages, ImageIsTakenFromTheFirstColumnsAndRowsOfALargerArray) {
  Array2<std::int16_t> a(4, 3, 0);
  a(1, 1) = 11;
  a(2, 1) = 21;
  a(1, 2) = 12;
  a(2, 2) = 22;
  a(3, 1) = 99;
  writfits_i2("sub.fits", a.view(), 2, 2);
  EXPECT_EQ(read_file("sub.fits").substr(2880, 8), be16(11) + be16(21) + be16(12) + be16(22));
}

// ---------------------------------------------------------------------------
// Readers.

TEST_F(FitsImages, FloatImagesReadBackIntoLargerAndSmallerArrays) {
  Array2<float> f(5, 4);
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= 5; ++i) f(i, j) = 0.5f * i - 3.0f * j;
  writfits_r4_ltv("rt.fits", f.view(), 5, 4, 2.0f);

  Array2<float> big(7, 6, -1.0f);
  readfits_r4("rt.fits", big.view(), 7, 6);
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 7; ++i)
      EXPECT_EQ(big(i, j), i <= 5 && j <= 4 ? 0.5f * i - 3.0f * j : -1.0f) << i << "," << j;

  Array2<float> small(3, 2, -1.0f);
  readfits_r4("rt.fits", small.view(), 3, 2);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(small(i, j), 0.5f * i - 3.0f * j);
}

TEST_F(FitsImages, CubesReadTheirFirstPlaneAndOtherKeywordsAreIgnored) {
  std::vector<std::string> cards = {"SIMPLE  =                    T", "BITPIX  =                  -32",
                                    "NAXIS   =                    3", "NAXIS1  =                    2",
                                    "NAXIS2  =                    2", "NAXIS3  =                    2",
                                    "OBJECT  = 'not a number'",       "HISTORY whatever", "END"};
  std::string data;
  for (int k = 1; k <= 8; ++k) data += be_float(static_cast<float>(k));
  write_file("cube.fits", header_records(cards) + padded_data(data));
  Array2<float> a(2, 3, 0.0f);
  readfits_r4("cube.fits", a.view(), 2, 3);
  EXPECT_EQ(a(1, 1), 1.0f);
  EXPECT_EQ(a(2, 2), 4.0f);
  EXPECT_EQ(a(1, 3), 0.0f);  // the second plane is not read as rows 3..4
}

TEST_F(FitsImages, IntegerImagesReadWithTheirExactDimensions) {
  std::string data = be32(7) + be32(0xFFFFFFFFu) + be32(123456789) + be32(0x80000000u) + be32(0) + be32(42);
  write_file("i4.fits", header_records(image_cards(32, 3, 2)) + padded_data(data));
  Array2<std::int32_t> a(3, 2, 5);
  readfits_i4("i4.fits", a.view(), 3, 2);
  EXPECT_EQ(a(1, 1), 7);
  EXPECT_EQ(a(2, 1), -1);
  EXPECT_EQ(a(3, 1), 123456789);
  EXPECT_EQ(a(1, 2), INT32_MIN);
  EXPECT_EQ(a(3, 2), 42);
}

TEST_F(FitsImages, IntegerReaderRefusesOtherDimensionsAndOtherPixelKinds) {
  write_file("i4.fits", header_records(image_cards(32, 3, 2)) + padded_data(std::string(24, '\0')));
  Array2<std::int32_t> a(4, 2);
  Captured c = capture([&] { readfits_i4("i4.fits", a.view(), 4, 2); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            " FITS image not the expected dimensions:\n  FILE: i4.fits\n  input NX:  4\n  input NY:  2\n  laxis(1):  3\n"
            "  laxis(2):  2\n");

  write_file("r4.fits", header_records(image_cards(-32, 4, 2)) + padded_data(std::string(32, '\0')));
  c = capture([&] { readfits_i4("r4.fits", a.view(), 4, 2); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            " readfits_i4...: \n you called a routine to read in a\n long i*4 image, and the image you\n"
            " gave it has BITPIX =  -32\n  FILE: r4.fits\n");
}

TEST_F(FitsImages, FloatReaderRefusesOtherPixelKinds) {
  write_file("i2.fits", header_records(image_cards(16, 2, 2)) + padded_data(std::string(8, '\0')));
  Array2<float> a(2, 2);
  Captured c = capture([&] { readfits_r4("i2.fits", a.view(), 2, 2); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " prob\n readfits_r4: i2.fits has BITPIX = 16, not -32\n");
}

TEST_F(FitsImages, ReaderThatCannotOpenItsFileSaysSo) {
  Array2<float> a(2, 2);
  Captured c = capture([&] { readfits_r4("missing.fits", a.view(), 2, 2); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out,
            "zeb: cannot open missing.fits: no such file or directory\n"
            "\n READFITS ERROR: \n\n   could not read in file:   missing.fits\n\n");
}

// ---------------------------------------------------------------------------
// Header carry-over tables.

TEST_F(FitsImages, ReadersRefillTheCarryOverTablesFromColumns11To30) {
  fits_carry_over().hdr[0] = pad("stale", 70);
  fits_carry_over().fitsinfo[2] = pad("stale", 70);
  std::vector<std::string> cards = {
      "SIMPLE  =                    T", "BITPIX  =                  -32", "NAXIS   =                    2",
      "NAXIS1  =                    1", "NAXIS2  =                    1",
      "EXPTIME = " + blanks(15) + "500.0 / seconds", "FILTNAM1= 'F555W   '", "FILTNAM1= 'F814W   '",
      "TARGNAME= 'A-TARGET-NAME-LONGER-THAN-TWENTY'", "PA_V3   = " + blanks(10) + "123.456789", "END"};
  write_file("h.fits", header_records(cards) + padded_data(be_float(1.0f)));
  Array2<float> a(1, 1);
  readfits_r4("h.fits", a.view(), 1, 1);
  const FitsCarryOver& t = fits_carry_over();
  EXPECT_EQ(t.hdr[0], blanks(70));                              // CRPIX1: blanked
  EXPECT_EQ(t.hdr[15], pad(blanks(15) + "500.0", 70));          // EXPTIME
  EXPECT_EQ(t.hdr[17], pad("'A-TARGET-NAME-LONGE", 70));        // TARGNAME, columns 11..30
  EXPECT_EQ(t.hdr[12], pad(blanks(10) + "123.456789", 70));     // PA_V3
  EXPECT_EQ(t.fitsinfo[0], t.hdr[15]);                          // EXPTIME
  EXPECT_EQ(t.fitsinfo[1], pad("'F814W   '", 70));              // FILTNAM1: the later card
  EXPECT_EQ(t.fitsinfo[2], blanks(70));                         // FILENAME: blanked
  EXPECT_EQ(t.fitsinfo[7], t.hdr[12]);                          // PA_V3 in both tables
  EXPECT_EQ(hdr_entry("EXPTIME"), t.hdr[15]);
}

TEST_F(FitsImages, CarriedOverValuesLoseControlCharacters) {
  std::vector<std::string> cards = image_cards(-32, 1, 1);
  cards.insert(cards.end() - 1, std::string("ROOTNAME= 'ab\ncd\x01'"));
  write_file("h.fits", header_records(cards) + padded_data(be_float(1.0f)));
  Array2<float> a(1, 1);
  readfits_r4("h.fits", a.view(), 1, 1);
  EXPECT_EQ(hdr_entry("ROOTNAME"), pad("'ab cd '", 70));
}

// ---------------------------------------------------------------------------
// File names.

TEST_F(FitsImages, NamesAreCutAfterTheFirstFits) {
  EXPECT_EQ(fits_open_name("img.fits[sci,1]   "), "img.fits");
  EXPECT_EQ(fits_open_name("a.fits.fits"), "a.fits");
  EXPECT_EQ(fits_open_name("AUX/plain_name   "), "AUX/plain_name");
  Array2<float> f(1, 1, 2.0f);
  writfits_r4("cut.fitsXYZ", f.view(), 1, 1);
  EXPECT_TRUE(std::filesystem::exists("cut.fits"));
  EXPECT_FALSE(std::filesystem::exists("cut.fitsXYZ"));
  writfits_r4("nosuffix  ", f.view(), 1, 1);
  EXPECT_TRUE(std::filesystem::exists("nosuffix"));
  Array2<float> back(1, 1, 0.0f);
  readfits_r4("cut.fits.old", back.view(), 1, 1);
  EXPECT_EQ(back(1, 1), 2.0f);
}

TEST_F(FitsImages, SixteenBitWriterNeedsAFitsName) {
  Array2<std::int16_t> a(1, 1, 0);
  Captured c = capture([&] { writfits_i2("counts.dat", a.view(), 1, 1); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " writfits_i2 bomb...\n no .fits in filename...\n FILE:  counts.dat\n");
  EXPECT_FALSE(std::filesystem::exists("counts.dat"));
}

TEST_F(FitsImages, WritersThatCannotCreateTheirFileSaySo) {
  Array2<float> f(1, 1);
  Captured c = capture([&] { writfits_r4("nodir/x.fits", f.view(), 1, 1); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " writfits_r4 ERROR nodir/x.fits\n");
  Array2<std::uint8_t> b(1, 1);
  c = capture([&] { writfits_b1("nodir/x.fits", b.view(), 1, 1); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " WRITFITS ERROR\n FILE: nodir/x.fits\n");
  c = capture([&] { writfits_j2_init("nodir/m.fits", 10, 10, 1.0f, 1.0f); });
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " WRITFITS ERROR\n FILE: nodir/m.fits\n");
}

TEST_F(FitsImages, CallerFaultsStopWithAMessage) {
  Array2<float> f(2, 2);
  Captured c = capture([&] { writfits_r4("big.fits", f.view(), 3, 2); });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("does not fit its array"), std::string::npos);
  c = capture([&] { writfits_r4_ltv("z.fits", f.view(), 2, 2, 0.0f); });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("zoom"), std::string::npos);
  c = capture([&] { readfits_r4("z.fits", f.view(), 3, 3); });
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("exceed the array"), std::string::npos);
}

}  // namespace
}  // namespace zeb::test
