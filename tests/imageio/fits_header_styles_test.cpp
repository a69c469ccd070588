// Header styles of the writers, card by card against hand-derived cards.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/array.h"
#include "imageio/fits.h"
#include "imageio/fits_test_util.h"

namespace zeb::test {
namespace {

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

class HeaderStyles : public ::testing::Test {
 protected:
  void SetUp() override { reset_fits_carry_over(); }
  void TearDown() override { reset_fits_carry_over(); }
  TempDir dir;
};

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

TEST_F(HeaderStyles, StyleAForByteImages) {
  Array2<std::uint8_t> a(2, 2, 0);
  writfits_b1("b.fits", a.view(), 2, 2);
  std::vector<std::string> cards = record_cards(read_file("b.fits"), 1);
  EXPECT_EQ(cards[1], card("BITPIX  =  8"));
  EXPECT_EQ(cards[5], card("DATATYPE=  'BYTE    '"));
  EXPECT_EQ(cards[8], card("BZERO   = " + blanks(11) + "0"));
  EXPECT_EQ(cards[33], card("END"));
  EXPECT_EQ(cards[34], card(""));
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

TEST_F(HeaderStyles, StyleBForSixteenBitTileImages) {
  Array2<int> a(5, 4, 0);
  writfits_i2_ltv("t16.fits", a.view(), 5, 4, 2.0f);
  std::vector<std::string> want = {
      "SIMPLE  = T", "BITPIX  =  16", "NAXIS   = " + blanks(11) + "2", "NAXIS1  = " + blanks(11) + "5",
      "NAXIS2  = " + blanks(11) + "4", "DATATYPE=  'INTEGER*2 '", "DATE    =  '28/01/00'",
      "BSCALE  = " + blanks(11) + "1", "BZERO   = " + blanks(11) + "0", "CRPIX1  = " + blanks(19) + "1",
      "CRPIX2  = " + blanks(19) + "1", "CRVAL1  = " + blanks(11) + "1.0000000", "CRVAL2  = " + blanks(11) + "1.0000000",
      "CTYPE1  = " + blanks(7) + "' '", "CTYPE2  = " + blanks(7) + "' '", "CD1_1   = " + blanks(7) + "0.5000000E+00",
      "CD1_2   = " + blanks(7) + "0.0000000E+00", "CD2_1   = " + blanks(7) + "0.0000000E+00",
      "CD2_2   = " + blanks(7) + "0.5000000E+00", "COMMENT", "LTV1    = " + blanks(11) + "0.0000000",
      "LTV2    = " + blanks(11) + "0.0000000", "LTM1_1  = " + blanks(11) + "2.0000000",
      "LTM1_2  = " + blanks(11) + "0.0000000", "LTM2_1  = " + blanks(11) + "0.0000000",
      "LTM2_2  = " + blanks(11) + "2.0000000", "TARGNAME= " + blanks(15) + "PKMAP", "END"};
  expect_cards("t16.fits", want);
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

TEST_F(HeaderStyles, StyleCForByteMosaics) {
  writfits_b1_init("n.fits", 7, 3, 2.0f);
  std::vector<std::string> want = {
      "SIMPLE  = T", "BITPIX  =  8", "NAXIS   = " + blanks(11) + "2", "NAXIS1  = " + blanks(11) + "7",
      "NAXIS2  = " + blanks(11) + "3", "DATATYPE=  'BYTE    '", "DATE    =  '28/01/00'",
      "BSCALE  = " + blanks(11) + "1", "BZERO   = " + blanks(11) + "0", "CRPIX1  = " + blanks(19) + "0",
      "CRPIX2  = " + blanks(19) + "0", "CRVAL1  = " + blanks(11) + "0.0000000", "CRVAL2  = " + blanks(11) + "0.0000000",
      "CTYPE1  = " + blanks(7) + "' '", "CTYPE2  = " + blanks(7) + "' '", "CD1_1   = " + blanks(7) + "0.5000000E+00",
      "CD1_2   = " + blanks(7) + "0.0000000E+00", "CD2_1   = " + blanks(7) + "0.0000000E+00",
      "CD2_2   = " + blanks(7) + "0.5000000E+00", "LTV1    = " + blanks(11) + "0.0000000",
      "LTV2    = " + blanks(11) + "0.0000000", "LTM1_1  = " + blanks(11) + "2.0000000",
      "LTM1_2  = " + blanks(11) + "0.0000000", "LTM2_1  = " + blanks(11) + "0.0000000",
      "LTM2_2  = " + blanks(11) + "2.0000000"};
  for (int c = 26; c <= 35; ++c) want.push_back("COMMENT");
  want.push_back("END");
  expect_cards("n.fits", want);
}

}  // namespace
}  // namespace zeb::test
