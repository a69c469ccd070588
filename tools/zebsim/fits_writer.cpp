#include "fits_writer.h"

#include <bit>
#include <cstring>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "core/text.h"

namespace zebsim {

namespace {

std::string keyword(const std::string& key) {
  if (key.size() > 8) zeb::run_error("FITS header", "keyword longer than 8 characters: " + key);
  return zeb::pad(key, 8);
}

// A string value in quotes, at least eight characters inside them, an embedded
// quote doubled.
std::string quoted(const std::string& value) {
  std::string q;
  for (char c : value) {
    q += c;
    if (c == '\'') q += '\'';
  }
  if (q.size() < 8) q.resize(8, ' ');
  return "'" + q + "'";
}

template <typename T>
auto big_endian(T v) {
  using U = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;
  U u = std::bit_cast<U>(v);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(U) == 2)
      u = static_cast<U>((u >> 8) | (u << 8));
    else
      u = __builtin_bswap32(u);
  }
  return u;
}

}  // namespace

void FitsHeader::add(const std::string& card) {
  if (card.size() > kFitsCard) zeb::run_error("FITS header", "card longer than 80 characters: " + card);
  cards_.push_back(zeb::pad(card, kFitsCard));
}

void FitsHeader::logical(const std::string& key, bool value) {
  add(zeb::fortran_record("(a8,'= ',19x,a1)", keyword(key), value ? "T" : "F"));
}

void FitsHeader::integer(const std::string& key, long long value) {
  add(zeb::fortran_record("(a8,'= ',i20)", keyword(key), value));
}

void FitsHeader::real(const std::string& key, double value) {
  add(zeb::fortran_record("(a8,'= ',f20.6)", keyword(key), value));
}

void FitsHeader::text(const std::string& key, const std::string& value) {
  add(zeb::fortran_record("(a8,'= ',a)", keyword(key), quoted(value)));
}

void FitsHeader::comment(const std::string& text) { add(zeb::fortran_record("(a8,a)", "COMMENT ", text)); }

std::string FitsHeader::bytes() const {
  std::string b;
  for (const auto& c : cards_) b += c;
  b += zeb::pad("END", kFitsCard);
  b.resize((b.size() + kFitsRecord - 1) / kFitsRecord * kFitsRecord, ' ');
  return b;
}

FitsWriter::FitsWriter(const std::string& path) : path_(path), out_(path, std::ios::binary | std::ios::trunc) {
  if (!out_) zeb::run_error(path, "cannot be created");
}

void FitsWriter::write(const char* p, std::size_t n) {
  out_.write(p, static_cast<std::streamsize>(n));
  if (!out_) zeb::run_error(path_, "write failed");
}

void FitsWriter::header(const FitsHeader& h) {
  std::string b = h.bytes();
  write(b.data(), b.size());
}

template <typename T>
void FitsWriter::data(const T* v, std::size_t n) {
  // Converted one record at a time; the last record is zero-filled.
  constexpr std::size_t per = kFitsRecord / sizeof(T);
  char rec[kFitsRecord];
  for (std::size_t k = 0; k < n; k += per) {
    std::memset(rec, 0, sizeof rec);
    const std::size_t m = std::min(per, n - k);
    for (std::size_t q = 0; q < m; ++q) {
      auto u = big_endian(v[k + q]);
      std::memcpy(rec + q * sizeof(T), &u, sizeof(T));
    }
    write(rec, sizeof rec);
  }
}

void FitsWriter::data_i2(const std::int16_t* v, std::size_t n) { data(v, n); }
void FitsWriter::data_i4(const std::int32_t* v, std::size_t n) { data(v, n); }
void FitsWriter::data_r4(const float* v, std::size_t n) { data(v, n); }

void FitsWriter::close() {
  out_.close();
  if (!out_) zeb::run_error(path_, "could not be closed");
}

}  // namespace zebsim
