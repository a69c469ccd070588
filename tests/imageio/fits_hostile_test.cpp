// Files that lie: truncated, without END, with impossible or inconsistent
// BITPIX and NAXIS values. Each ends the run with a message naming the file
// and a non-zero status; none reads or allocates beyond what the file holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>

#include "core/array.h"
#include "core/stop.h"
#include "imageio/fits.h"
#include "core/text.h"
#include "support/test_support.h"
#include "tile/fits_builder.h"

namespace zeb::test {
namespace {

class HostileFits : public ::testing::Test {
 protected:
  TempDir dir;
  Array2<float> r4{4, 4};
  Array2<std::int32_t> i4{4, 4};

  Captured read_r4(const std::string& name) {
    return capture([&] { readfits_r4(name, r4.view(), 4, 4); });
  }
};

void expect_error(const Captured& c, const std::string& file, const std::string& what) {
  EXPECT_TRUE(c.errored) << c.out << c.err;
  EXPECT_EQ(c.status, 2);
  EXPECT_NE(c.err.find(file), std::string::npos) << c.err;
  EXPECT_NE(c.err.find(what), std::string::npos) << c.err;
}

TEST_F(HostileFits, EmptyOrShortFilesHaveNoEnd) {
  write_file("empty.fits", "");
  expect_error(read_r4("empty.fits"), "empty.fits", "no END card");
  write_file("short.fits", card("SIMPLE  =                    T") + card("BITPIX  =                  -32"));
  expect_error(read_r4("short.fits"), "short.fits", "no END card");
}

TEST_F(HostileFits, HeaderWithoutEndOverSeveralRecords) {
  std::vector<std::string> cards = image_card_lines(-32, 4, 4);
  cards.pop_back();  // no END
  std::string h = header_records(cards);
  write_file("noend.fits", h + std::string(3 * 2880, ' '));
  expect_error(read_r4("noend.fits"), "noend.fits", "no END card");
}

TEST_F(HostileFits, TruncatedDataUnit) {
  // 4 x 4 floats need 64 bytes; the file stops after 40 of them.
  std::string f = header_records(image_card_lines(-32, 4, 4)) + std::string(40, '\0');
  write_file("trunc.fits", f);
  expect_error(read_r4("trunc.fits"), "trunc.fits", "truncated");
  write_file("nodata.fits", header_records(image_card_lines(32, 4, 4)));
  expect_error(capture([&] { readfits_i4("nodata.fits", i4.view(), 4, 4); }), "nodata.fits", "truncated");
}

TEST_F(HostileFits, UnpaddedLastRecordHoldingAllTheDataIsRead) {
  std::string data;
  for (int k = 1; k <= 16; ++k) data += be_float(static_cast<float>(k));
  write_file("unpadded.fits", header_records(image_card_lines(-32, 4, 4)) + data);
  Captured c = read_r4("unpadded.fits");
  EXPECT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(r4(4, 4), 16.0f);
}

TEST_F(HostileFits, NegativeHugeAndInconsistentAxes) {
  write_file("neg.fits", header_records(image_card_lines(-32, -5, 4)) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("neg.fits"), "neg.fits", "NAXIS1 = -5 is negative");

  write_file("huge.fits", header_records(image_card_lines(-32, 3000000000LL, 3000000000LL)) + padded_data(""));
  expect_error(read_r4("huge.fits"), "huge.fits", "too large");

  write_file("overflow.fits",
             header_records(image_card_lines(-32, 9000000000000000000LL, 9000000000000000000LL)) + padded_data(""));
  expect_error(read_r4("overflow.fits"), "overflow.fits", "too large");

  // Large but representable: the file simply does not hold it.
  write_file("lies.fits", header_records(image_card_lines(-32, 100000, 100000)) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("lies.fits"), "lies.fits", "truncated");

  std::vector<std::string> cards = image_card_lines(-32, 4, 4);
  cards[2] = fits_card("NAXIS", "1000");
  write_file("naxis.fits", header_records(cards) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("naxis.fits"), "naxis.fits", "NAXIS = 1000 is outside 0..999");

  // A further axis the header declares but the file does not hold.
  cards = image_card_lines(-32, 4, 4);
  cards[2] = fits_card("NAXIS", "4");
  cards.insert(cards.end() - 1, fits_card("NAXIS3", "1"));
  cards.insert(cards.end() - 1, fits_card("NAXIS4", "1000000"));
  write_file("axis4.fits", header_records(cards) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("axis4.fits"), "axis4.fits", "truncated");
}

TEST_F(HostileFits, ImpossibleBitpix) {
  write_file("b12.fits", header_records(image_card_lines(12, 4, 4)) + padded_data(std::string(64, '\0')));
  Captured c = read_r4("b12.fits");
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " prob\n readfits_r4: b12.fits has BITPIX = 12, not -32\n");
  FitsHeader h;
  h.bitpix = 12;
  h.naxis = 2;
  EXPECT_THROW(h.data_bytes("x.fits"), RunError);
}

TEST_F(HostileFits, ValuesThatAreNoNumbers) {
  std::vector<std::string> cards = image_card_lines(-32, 4, 4);
  cards[3] = "NAXIS1  = 'four'";
  write_file("text.fits", header_records(cards) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("text.fits"), "text.fits: header card NAXIS1", "bad integer");

  cards = image_card_lines(-32, 4, 4);
  cards[1] = "BITPIX  =";
  write_file("blank.fits", header_records(cards) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("blank.fits"), "blank.fits: header card BITPIX", "no integer value");

  cards = image_card_lines(-32, 4, 4);
  cards.insert(cards.end() - 1, fits_card("BSCALE", "1.0E999"));
  write_file("bscale.fits", header_records(cards) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("bscale.fits"), "bscale.fits: header card BSCALE", "bad real");

  cards = image_card_lines(-32, 4, 4);
  cards[3] = "NAXIS1  =  99999999999999999999999";
  write_file("long.fits", header_records(cards) + padded_data(std::string(64, '\0')));
  expect_error(read_r4("long.fits"), "long.fits", "bad integer");
}

TEST_F(HostileFits, StripWriterOnATruncatedMosaic) {
  writfits_j2_init("m.fits", 50, 40, 1.0f, 1.0f);
  std::string bytes = read_file("m.fits");
  write_file("m.fits", bytes.substr(0, 2 * 2880));
  Array2<std::int16_t> a(2, 2, 0);
  Captured c = capture([&] { writfits_j2_rastx("m.fits", a.view(), 1, 39, 1, 2, 1, 2, 2, 2, 50, 40); });
  expect_error(c, "m.fits", "truncated");
  EXPECT_EQ(read_file("m.fits").size(), 2u * 2880u);  // nothing written past the end
}

}  // namespace
}  // namespace zeb::test
