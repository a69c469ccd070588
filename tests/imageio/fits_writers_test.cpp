// Whole-image writers and readers: data layout, round trips, the carry-over
// tables, file names and the failure messages.
//
// Header styles of the writers, card by card against hand-derived cards.
//
// Mosaic files: blank creation and strip writes in place.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "core/array.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "support/test_support.h"
#include "tile/fits_builder.h"

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
  // Integer counts saturate at the 16-bit limits.
  Array2<int> c(3, 1);
  c(1, 1) = 40000;
  c(2, 1) = -40000;
  c(3, 1) = 1000;
  writfits_i2("c.fits", c.view(), 3, 1);
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

void expect_cards(const std::string& file, const std::vector<std::string>& expected) {
  std::string bytes = read_file(file);
  ASSERT_GE(bytes.size(), 2880u);
  std::vector<std::string> got = record_cards(bytes, 1);
  for (std::size_t c = 0; c < 36; ++c) {
    std::string want = c < expected.size() ? card(expected[c]) : card("");
    EXPECT_EQ(got[c], want) << "card " << c + 1 << " of " << file;
  }
}

// An entry of the carry-over table `hdr` as a reader would leave it.
void set_hdr(const std::string& key, const std::string& value) {
  const auto& keys = hdr_keywords();
  for (std::size_t k = 0; k < keys.size(); ++k)
    if (keys[k] == key) fits_carry_over().hdr[k] = pad(value, 70);
}

using HeaderStyles = FitsImages;

TEST_F(HeaderStyles, StyleAForSixteenBitImagesEchoesHdrEntriesCrpix1ToVafactor) {
  set_hdr("CRPIX1", "               512.0");
  set_hdr("TARGNAME", "'NGC6397 '          tail beyond column 30");
  set_hdr("VAFACTOR", "   1.000023");
  set_hdr("CCDGAIN", "                 2.0");  // not a style A card
  Array2<std::int16_t> a(3, 2, 0);
  writfits_i2("a16.fits", a.view(), 3, 2);
  std::vector<std::string> want = {
      "SIMPLE  = T", "BITPIX  =  16", "NAXIS   = " + blanks(11) + "2", "NAXIS1  = " + blanks(11) + "3",
      "NAXIS2  = " + blanks(11) + "2",
      "DATATYPE=  'INTEGER*2 '",  // the complete quoted string, closing quote included
      "DATE    =  '28/01/00'", "BSCALE  = " + blanks(11) + "1", "BZERO   = " + blanks(11) + "0",
      "CRPIX1  =                512.0", "CRPIX2  = ", "CRVAL1  = ", "CRVAL2  = ", "CTYPE1  = ", "CTYPE2  = ",
      "CD1_1   = ", "CD1_2   = ", "CD2_1   = ", "CD2_2   = ", "ORIENTAT= ", "PA_APER = ", "PA_V3   = ",
      "DATE-OBS= ", "TIME-OBS= ", "EXPTIME = ", "ROOTNAME= ", "TARGNAME= 'NGC6397 '          ", "RA_TARG = ",
      "DEC_TARG= ", "PROPOSID= ", "FILTER1 = ", "FILTER2 = ", "VAFACTOR=    1.000023", "END"};
  ASSERT_EQ(want.size(), 34u);
  expect_cards("a16.fits", want);
}

TEST_F(HeaderStyles, StyleAPrimeForFloatImagesEndsInTheOneHeaderRecord) {
  set_hdr("ORIENTAT", "  -12.5");
  set_hdr("CCDGAIN", "                 2.0");
  set_hdr("CRPIX1", "               999.0");  // style A' writes its own CRPIX1
  Array2<float> a(4, 3, 0.0f);
  writfits_r4("r.fits", a.view(), 4, 3);
  std::vector<std::string> want = {
      "SIMPLE  = T", "BITPIX  = -32", "NAXIS   =" + blanks(11) + "2", "NAXIS1  =" + blanks(11) + "4",
      "NAXIS2  =" + blanks(11) + "3", "DATATYPE= 'REAL*4'", "DATE    = '28/01/00'", "COMMENT", "COMMENT",
      "CRPIX1  =" + blanks(13) + "0.00000", "CRPIX2  =" + blanks(13) + "0.00000",
      "CRVAL1  =" + blanks(13) + "0.00000", "CRVAL2  =" + blanks(13) + "0.00000", "CTYPE1  =" + blanks(17) + "' '",
      "CTYPE2  =" + blanks(17) + "' '", "CD1_1   =" + blanks(9) + "1.000000000", "CD1_2   =" + blanks(9) + "0.000000000",
      "CD2_1   =" + blanks(9) + "0.000000000", "CD2_2   =" + blanks(9) + "1.000000000", "ORIENTAT=  -12.5",
      "PA_APER =", "PA_V3   =", "DATE-OBS=", "TIME-OBS=", "EXPTIME =", "ROOTNAME=", "TARGNAME=", "RA_TARG =",
      "DEC_TARG=", "PROPOSID=", "FILTER1 =", "FILTER2 =", "VAFACTOR=", "CCDGAIN =" + blanks(17) + "2.0",
      // one closing blank COMMENT card, so END is card 36 of record 1
      "COMMENT", "END"};
  ASSERT_EQ(want.size(), 36u);
  expect_cards("r.fits", want);
  // 12 floats = 48 bytes: one data record right after the header record.
  EXPECT_EQ(read_file("r.fits").size(), 2u * 2880u);
}

TEST_F(HeaderStyles, StyleBForFloatTileImagesShiftsByOneMinusZoom) {
  Array2<float> a(3, 3, 0.0f);
  writfits_r4_ltv("t4.fits", a.view(), 3, 3, 4.0f);
  std::vector<std::string> want = {
      "SIMPLE  = T", "BITPIX  = -32", "NAXIS   =" + blanks(11) + "2", "NAXIS1  =" + blanks(11) + "3",
      "NAXIS2  =" + blanks(11) + "3", "DATATYPE= 'REAL*4'", "DATE    = '28/01/00'", "COMMENT", "COMMENT",
      "CRPIX1  = " + blanks(19) + "1", "CRPIX2  = " + blanks(19) + "1", "CRVAL1  = " + blanks(11) + "1.0000000",
      "CRVAL2  = " + blanks(11) + "1.0000000", "CTYPE1  = " + blanks(7) + "' '", "CTYPE2  = " + blanks(7) + "' '",
      "CD1_1   = " + blanks(7) + "0.2500000E+00", "CD1_2   = " + blanks(7) + "0.0000000E+00",
      "CD2_1   = " + blanks(7) + "0.0000000E+00", "CD2_2   = " + blanks(7) + "0.2500000E+00", "COMMENT",
      "LTV1    = " + blanks(10) + "-3.0000000", "LTV2    = " + blanks(10) + "-3.0000000",
      "LTM1_1  = " + blanks(11) + "4.0000000", "LTM1_2  = " + blanks(11) + "0.0000000",
      "LTM2_1  = " + blanks(11) + "0.0000000", "LTM2_2  = " + blanks(11) + "4.0000000",
      "TARGNAME= " + blanks(15) + "PKMAP", "END"};
  expect_cards("t4.fits", want);
}

TEST_F(HeaderStyles, StyleCForSixteenBitMosaicsFillsTheRecordWithEndLast) {
  writfits_j2_init("m.fits", 100, 30, 2.0f, 0.5f);
  std::vector<std::string> want = {
      "SIMPLE  = " + blanks(19) + "T", "BITPIX  = " + blanks(18) + "16", "NAXIS   = " + blanks(19) + "2",
      "NAXIS1  = " + blanks(16) + "0100", "NAXIS2  = " + blanks(16) + "0030", "DATATYPE=  'INTEGER*2 '",
      "DATE    =  '28/01/00'", "BSCALE  = " + blanks(13) + "0.50000", "BZERO   = " + blanks(9) + "16000.00000",
      "CRPIX1  = " + blanks(19) + "0", "CRPIX2  = " + blanks(19) + "0", "CRVAL1  = " + blanks(11) + "0.0000000",
      "CRVAL2  = " + blanks(11) + "0.0000000", "CTYPE1  = " + blanks(7) + "' '", "CTYPE2  = " + blanks(7) + "' '",
      "CD1_1   = " + blanks(7) + "0.2000000E+01", "CD1_2   = " + blanks(7) + "0.0000000E+00",
      "CD2_1   = " + blanks(7) + "0.0000000E+00", "CD2_2   = " + blanks(7) + "0.2000000E+01",
      "LTV1    = " + blanks(11) + "0.0000000", "LTV2    = " + blanks(11) + "0.0000000",
      "LTM1_1  = " + blanks(11) + "0.5000000", "LTM1_2  = " + blanks(11) + "0.0000000",
      "LTM2_1  = " + blanks(11) + "0.0000000", "LTM2_2  = " + blanks(11) + "0.5000000"};
  for (int c = 26; c <= 35; ++c) want.push_back("COMMENT");
  want.push_back("END");
  expect_cards("m.fits", want);
}

using Mosaics = FitsImages;

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

}  // namespace
}  // namespace zeb::test
