// Pieces shared by the FITS readers and writers of this folder: header cards
// built from format strings, the header styles, big-endian pixel packing and a
// buffered writer for data units.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/fortran_format.h"
#include "imageio/fits.h"

namespace zeb::fits_detail {

// ---------------------------------------------------------------------------
// Header cards.

// The characters of s as single-character items, for formats such as 11a.
std::vector<FArg> chars(std::string_view s);

// The cards of one header, at most 36, each an 80-character formatted record.
class HeaderCards {
 public:
  template <typename... A>
  void add(std::string_view format, const A&... values) {
    add_v(format, std::vector<FArg>{FArg(values)...});
  }
  void add_v(std::string_view format, const std::vector<FArg>& values);
  // Overwrites card n (1-based) instead of appending.
  void set_v(std::size_t n, std::string_view format, const std::vector<FArg>& values);
  const std::vector<std::string>& cards() const { return cards_; }
  // The header record: the cards in order, blanks after the last one.
  FitsRecord record() const;

 private:
  std::vector<std::string> cards_;
};

// Header styles (one record each).
HeaderCards header_style_a(int bitpix, int nx, int ny);  // writfits_i2 (16), writfits_b1 (8)
HeaderCards header_style_a_prime(int nx, int ny);        // writfits_r4
HeaderCards header_style_b_i2(int nx, int ny, float z);  // writfits_i2_ltv
HeaderCards header_style_b_r4(int nx, int ny, float z);  // writfits_r4_ltv
HeaderCards header_style_c_j2(int nx, int ny, float s, float z);
HeaderCards header_style_c_b1(int nx, int ny, float z);

// ---------------------------------------------------------------------------
// Big-endian pixels.

inline void put_be16(unsigned char* p, std::int16_t v) {
  auto u = static_cast<std::uint16_t>(v);
  p[0] = static_cast<unsigned char>(u >> 8);
  p[1] = static_cast<unsigned char>(u & 0xFF);
}

inline void put_be32(unsigned char* p, std::uint32_t u) {
  p[0] = static_cast<unsigned char>(u >> 24);
  p[1] = static_cast<unsigned char>((u >> 16) & 0xFF);
  p[2] = static_cast<unsigned char>((u >> 8) & 0xFF);
  p[3] = static_cast<unsigned char>(u & 0xFF);
}

inline void put_be_float(unsigned char* p, float v) {
  std::uint32_t u = 0;
  std::memcpy(&u, &v, sizeof u);
  put_be32(p, u);
}

// ---------------------------------------------------------------------------
// Data units.

// Appends pixel bytes to a data unit starting at a given record and writes them
// in batches of whole records; finish() zero-pads the last record. A pixel
// never straddles two records (1, 2 and 4 all divide 2880).
class DataUnitWriter {
 public:
  DataUnitWriter(FitsRecords& file, long first_record);
  // Room for `n` more bytes, to be filled by the caller.
  unsigned char* next(std::size_t n) {
    if (used_ + n > buffer_.size()) flush_full_records();
    unsigned char* p = buffer_.data() + used_;
    used_ += n;
    return p;
  }
  void finish();

 private:
  void flush_full_records();
  static constexpr long kBatchRecords = 64;
  FitsRecords& file_;
  long next_record_;
  std::vector<unsigned char> buffer_;
  std::size_t used_ = 0;
};

// Opens a file for a writer; nullopt when it cannot be created.
std::optional<FitsRecords> create_fits(const std::string& open_name);

// Checks a writer's image size against its array (a fault of the caller,
// reported and stopped).
void check_image_fits_array(const char* routine, long nx, long ny, long array_nx, long array_ny);
// Checks that a zoom or scale is a positive finite number.
void check_positive(const char* routine, const char* what, float v);

}  // namespace zeb::fits_detail
