// Files that lie: truncated, without END, with impossible or inconsistent
// BITPIX and NAXIS values. Each ends the run with a message naming the file
// and a non-zero status; none reads or allocates beyond what the file holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>

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

// The header of a 4 x 4 float image with one thing changed, and a data unit.
TEST_F(HostileFits, HeadersThatLie) {
  using Cards = std::vector<std::string>;
  auto set = [](std::size_t k, const std::string& key, const std::string& value) {
    return [=](Cards& c) { c[k] = fits_card(key, value); };
  };
  auto axes = [](const std::string& n) {
    return [=](Cards& c) { c[3] = fits_card("NAXIS1", n), c[4] = fits_card("NAXIS2", n); };
  };
  const std::string data = padded_data(std::string(64, '\0'));
  struct Case {
    const char* name;
    std::function<void(Cards&)> edit;
    std::string data;
    const char* where;
    const char* what;
  } cases[] = {
      {"noend.fits", [](Cards& c) { c.pop_back(); }, std::string(3 * 2880, ' '), "noend.fits", "no END card"},
      // 4 x 4 floats need 64 bytes; the file stops after 40 of them.
      {"trunc.fits", [](Cards&) {}, std::string(40, '\0'), "trunc.fits", "truncated"},
      {"neg.fits", set(3, "NAXIS1", "-5"), data, "neg.fits", "NAXIS1 = -5 is negative"},
      {"huge.fits", axes("3000000000"), "", "huge.fits", "too large"},
      {"overflow.fits", axes("9000000000000000000"), "", "overflow.fits", "too large"},
      // Large but representable: the file simply does not hold it.
      {"lies.fits", axes("100000"), data, "lies.fits", "truncated"},
      {"naxis.fits", set(2, "NAXIS", "1000"), data, "naxis.fits", "NAXIS = 1000 is outside 0..999"},
      // A further axis the header declares but the file does not hold.
      {"axis4.fits",
       [](Cards& c) {
         c[2] = fits_card("NAXIS", "4");
         c.insert(c.end() - 1, fits_card("NAXIS3", "1"));
         c.insert(c.end() - 1, fits_card("NAXIS4", "1000000"));
       },
       data, "axis4.fits", "truncated"},
      {"text.fits", [](Cards& c) { c[3] = "NAXIS1  = 'four'"; }, data, "text.fits: header card NAXIS1", "bad integer"},
      {"blank.fits", [](Cards& c) { c[1] = "BITPIX  ="; }, data, "blank.fits: header card BITPIX", "no integer value"},
      {"bscale.fits", [](Cards& c) { c.insert(c.end() - 1, fits_card("BSCALE", "1.0E999")); }, data,
       "bscale.fits: header card BSCALE", "bad real"},
      {"long.fits", [](Cards& c) { c[3] = "NAXIS1  =  99999999999999999999999"; }, data, "long.fits", "bad integer"},
  };
  for (const Case& c : cases) {
    Cards cards = image_card_lines(-32, 4, 4);
    c.edit(cards);
    write_file(c.name, header_records(cards) + c.data);
    expect_error(read_r4(c.name), c.where, c.what);
  }
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
