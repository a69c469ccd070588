// FITS cards and data units written by the simulator, byte by byte.
#include "fits_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "core/stop.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::read_file;
using zeb::test::TempDir;

std::string card(const std::string& s) { return s + std::string(80 - s.size(), ' '); }

TEST(FitsHeader, CardsInFixedFormat) {
  FitsHeader h;
  h.logical("SIMPLE", true);
  h.integer("NAXIS1", 1014);
  h.integer("BITPIX", -32);
  h.real("EXPTIME", 500.86);
  h.text("FILTER", "F110W");
  h.text("ROOTNAME", "ir_f110w_12");
  h.text("NOTE", "it's");
  h.comment("made by a test");
  const auto& c = h.card_list();
  ASSERT_EQ(c.size(), 8u);
  EXPECT_EQ(c[0], card("SIMPLE  =                    T"));
  EXPECT_EQ(c[1], card("NAXIS1  =                 1014"));
  EXPECT_EQ(c[2], card("BITPIX  =                  -32"));
  EXPECT_EQ(c[3], card("EXPTIME =           500.860000"));
  EXPECT_EQ(c[4], card("FILTER  = 'F110W   '"));
  EXPECT_EQ(c[5], card("ROOTNAME= 'ir_f110w_12'"));
  // The doubled quote counts towards the eight characters inside the quotes.
  EXPECT_EQ(c[6], card("NOTE    = 'it''s   '"));
  EXPECT_EQ(c[7], card("COMMENT made by a test"));
  std::string b = h.bytes();
  ASSERT_EQ(b.size(), 2880u);
  EXPECT_EQ(b.substr(8 * 80, 80), card("END"));
  EXPECT_EQ(b.substr(9 * 80), std::string(2880 - 9 * 80, ' '));
}

TEST(FitsHeader, ThirtySixCardsAndEndTakeTwoRecords) {
  FitsHeader h;
  for (int k = 0; k < 36; ++k) h.integer("K" + std::to_string(k), k);
  std::string b = h.bytes();
  ASSERT_EQ(b.size(), 5760u);
  EXPECT_EQ(b.substr(2880, 80), card("END"));
}

TEST(FitsHeader, RefusesAKeywordLongerThanEightCharacters) {
  FitsHeader h;
  EXPECT_THROW(h.integer("NINECHARS", 1), zeb::RunError);
}

TEST(FitsWriter, BigEndianDataZeroFilledToWholeRecords) {
  TempDir dir;
  FitsWriter w(dir.file("a.fits"));
  FitsHeader h;
  h.logical("SIMPLE", true);
  w.header(h);
  const std::int16_t i2[2] = {1, -2};
  w.data_i2(i2, 2);
  const std::int32_t i4[1] = {120000};
  w.data_i4(i4, 1);
  const float r4[2] = {1.0f, -2.5f};
  w.data_r4(r4, 2);
  w.close();
  std::string f = read_file(dir.file("a.fits"));
  ASSERT_EQ(f.size(), 4u * 2880u);
  EXPECT_EQ(f.substr(2880, 4), std::string("\x00\x01\xff\xfe", 4));
  EXPECT_EQ(f.substr(2884, 2876), std::string(2876, '\0'));
  EXPECT_EQ(f.substr(2 * 2880, 4), std::string("\x00\x01\xd4\xc0", 4));  // 120000 = 0x0001D4C0
  EXPECT_EQ(f.substr(3 * 2880, 8), std::string("\x3f\x80\x00\x00\xc0\x20\x00\x00", 8));
}

TEST(FitsWriter, DataEndingOnARecordBoundaryGetsNoFillRecord) {
  TempDir dir;
  FitsWriter w(dir.file("b.fits"));
  std::vector<float> v(720 * 2, 0.5f);
  w.data_r4(v.data(), v.size());
  w.close();
  EXPECT_EQ(read_file(dir.file("b.fits")).size(), 2u * 2880u);
}

TEST(FitsWriter, AFileThatCannotBeCreatedIsARunTimeError) {
  TempDir dir;
  EXPECT_THROW(FitsWriter(dir.file("no/such/dir/c.fits")), zeb::RunError);
}

}  // namespace
}  // namespace zebsim
