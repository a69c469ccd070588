// The header styles of the FITS writers, card by card, from their format strings.
#include <cmath>
#include <iostream>
#include <stdexcept>

#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits_internal.h"

namespace zeb::fits_detail {

std::vector<FArg> chars(std::string_view s) {
  std::vector<FArg> v;
  v.reserve(s.size());
  for (char c : s) v.emplace_back(c);
  return v;
}

namespace {

std::string card_text(std::string_view format, const std::vector<FArg>& values) {
  std::string text = fortran_record_v(format, values);
  if (text.size() > static_cast<std::size_t>(kFitsCardBytes))
    throw std::logic_error("FITS card longer than 80 characters: " + std::string(format));
  return pad(text, kFitsCardBytes);
}

}  // namespace

void HeaderCards::add_v(std::string_view format, const std::vector<FArg>& values) {
  if (cards_.size() >= static_cast<std::size_t>(kFitsCardsPerRecord))
    throw std::logic_error("FITS header of more than 36 cards");
  cards_.push_back(card_text(format, values));
}

void HeaderCards::set_v(std::size_t n, std::string_view format, const std::vector<FArg>& values) {
  cards_.at(n - 1) = card_text(format, values);
}

FitsRecord HeaderCards::record() const {
  FitsRecord rec;
  rec.fill(static_cast<unsigned char>(' '));
  for (std::size_t c = 0; c < cards_.size(); ++c) std::memcpy(rec.data() + c * kFitsCardBytes, cards_[c].data(), kFitsCardBytes);
  return rec;
}

// ---------------------------------------------------------------------------
// Cards shared by several styles.

namespace {

// The DATATYPE value is written whole, closing quote included: cut to nine
// characters it would leave an unterminated string that FITS readers reject.
constexpr const char* kDatatypeI2 = " 'INTEGER*2 '";
constexpr const char* kDatatypeB1 = " 'BYTE    '";
constexpr const char* kDate = " '28/01/00'";

// SIMPLE .. BZERO of style A (nine cards).
void add_style_a_opening(HeaderCards& h, int bitpix, int nx, int ny) {
  h.add("('SIMPLE  = T    ')");
  h.add(bitpix == 16 ? "('BITPIX  =  16  ')" : "('BITPIX  =  8  ')");
  h.add("('NAXIS   = ',i12)", 2);
  h.add("('NAXIS1  = ',i12)", nx);
  h.add("('NAXIS2  = ',i12)", ny);
  h.add("('DATATYPE= ',a)", bitpix == 16 ? kDatatypeI2 : kDatatypeB1);
  h.add_v("('DATE    = ',11a)", chars(kDate));
  h.add("('BSCALE  = ',i12)", 1);
  h.add("('BZERO   = ',i12)", 0);
}

// SIMPLE .. the two COMMENT cards of style A' (nine cards).
void add_style_a_prime_opening(HeaderCards& h, int nx, int ny) {
  h.add("('SIMPLE  = T      ')");
  h.add("('BITPIX  = -32    ')");
  h.add("('NAXIS   =',i12)", 2);
  h.add("('NAXIS1  =',i12)", nx);
  h.add("('NAXIS2  =',i12)", ny);
  h.add_v("('DATATYPE=',9a)", chars(" 'REAL*4'"));
  h.add_v("('DATE    =',11a)", chars(kDate));
  h.add("('COMMENT  ',a05)", "     ");
  h.add("('COMMENT  ',a05)", "     ");
}

// The carried-over entries first..last (1-based) of `hdr`, one card each, with
// the keyword followed by `indicator` ("= " in style A, "=" in style A').
void add_hdr_cards(HeaderCards& h, int first, int last, const char* indicator) {
  const FitsCarryOver& t = fits_carry_over();
  for (int k = first; k <= last; ++k) {
    std::string format = "('" + pad(hdr_keywords()[k - 1], 8) + indicator + "',a20)";
    h.add(format, t.hdr[k - 1]);
  }
}

// The tile and mosaic coordinate cards of styles B and C: reference pixel,
// reference value, CD matrix 1/z, physical-to-image LTV/LTM with zoom z.
void add_ltv_cards(HeaderCards& h, int crpix, float crval, float ltv, float z, bool comment_before_ltv) {
  float inv = 1.0f / z;
  h.add("('CRPIX1  = ',15x,i5)", crpix);
  h.add("('CRPIX2  = ',15x,i5)", crpix);
  h.add("('CRVAL1  = ',f20.7)", crval);
  h.add("('CRVAL2  = ',f20.7)", crval);
  h.add("('CTYPE1  = ',a10)", "' '");
  h.add("('CTYPE2  = ',a10)", "' '");
  h.add("('CD1_1   = ',e20.7)", inv);
  h.add("('CD1_2   = ',e20.7)", 0.0f);
  h.add("('CD2_1   = ',e20.7)", 0.0f);
  h.add("('CD2_2   = ',e20.7)", inv);
  if (comment_before_ltv) h.add("('COMMENT')");
  h.add("('LTV1    = ',f20.7)", ltv);
  h.add("('LTV2    = ',f20.7)", ltv);
  h.add("('LTM1_1  = ',f20.7)", z);
  h.add("('LTM1_2  = ',f20.7)", 0.0f);
  h.add("('LTM2_1  = ',f20.7)", 0.0f);
  h.add("('LTM2_2  = ',f20.7)", z);
}

// Style C ends with blank COMMENT cards up to card 35 and END as card 36, so
// the whole header record is used and nothing but blanks follows END.
void finish_style_c(HeaderCards& h) {
  while (h.cards().size() < static_cast<std::size_t>(kFitsCardsPerRecord - 1)) h.add("('COMMENT   ')");
  h.add("('END       ')");
}

}  // namespace

// ---------------------------------------------------------------------------
// The styles.

HeaderCards header_style_a(int bitpix, int nx, int ny) {
  HeaderCards h;
  add_style_a_opening(h, bitpix, nx, ny);
  add_hdr_cards(h, 1, 24, "= ");  // CRPIX1 .. VAFACTOR
  h.add("('END       ')");
  return h;
}

HeaderCards header_style_a_prime(int nx, int ny) {
  HeaderCards h;
  add_style_a_prime_opening(h, nx, ny);
  h.add("('CRPIX1  =',f20.5)", 0.0);
  h.add("('CRPIX2  =',f20.5)", 0.0);
  h.add("('CRVAL1  =',f20.5)", 0.0);
  h.add("('CRVAL2  =',f20.5)", 0.0);
  h.add("('CTYPE1  =',a20)", "' '");
  h.add("('CTYPE2  =',a20)", "' '");
  h.add("('CD1_1   =',f20.9)", 1.0);
  h.add("('CD1_2   =',f20.9)", 0.0);
  h.add("('CD2_1   =',f20.9)", 0.0);
  h.add("('CD2_2   =',f20.9)", 1.0);
  add_hdr_cards(h, 11, 25, "=");  // ORIENTAT .. CCDGAIN
  // The style closes with two blank COMMENT cards and END, 37 cards in all,
  // one more than a header record holds; the second blank COMMENT is left
  // out so END stays in the one header record (card 36) and the data unit
  // still starts in record 2.
  h.add("('COMMENT  ',a05)", "     ");
  h.add("('END      ')");
  return h;
}

HeaderCards header_style_b_i2(int nx, int ny, float z) {
  HeaderCards h;
  add_style_a_opening(h, 16, nx, ny);
  add_ltv_cards(h, 1, 1.0f, 0.0f, z, true);
  h.add("('TARGNAME= ',a20)", "PKMAP");
  h.add("('END       ')");
  return h;
}

HeaderCards header_style_b_r4(int nx, int ny, float z) {
  HeaderCards h;
  add_style_a_prime_opening(h, nx, ny);
  add_ltv_cards(h, 1, 1.0f, 1.0f - z, z, true);
  h.add("('TARGNAME= ',a20)", "PKMAP");
  h.add("('END      ')");
  return h;
}

HeaderCards header_style_c_j2(int nx, int ny, float s, float z) {
  HeaderCards h;
  h.add("('SIMPLE  = ',19x,'T')");
  h.add("('BITPIX  = ',i20)", 16);
  h.add("('NAXIS   = ',i20)", 2);
  h.add("('NAXIS1  = ',i20.4)", nx);
  h.add("('NAXIS2  = ',i20.4)", ny);
  h.add("('DATATYPE= ',a)", kDatatypeI2);
  h.add_v("('DATE    = ',11a)", chars(kDate));
  h.add("('BSCALE  = ',f20.5)", 1.0f / s);
  h.add("('BZERO   = ',f20.5)", 32000.0f / s);
  add_ltv_cards(h, 0, 0.0f, 0.0f, z, false);
  finish_style_c(h);
  return h;
}

HeaderCards header_style_c_b1(int nx, int ny, float z) {
  HeaderCards h;
  add_style_a_opening(h, 8, nx, ny);
  add_ltv_cards(h, 0, 0.0f, 0.0f, z, false);
  h.add("('COMMENT')");
  finish_style_c(h);
  return h;
}

// ---------------------------------------------------------------------------
// Writer helpers.

DataUnitWriter::DataUnitWriter(FitsRecords& file, long first_record)
    : file_(file), next_record_(first_record), buffer_(static_cast<std::size_t>(kBatchRecords * kFitsRecordBytes)) {}

void DataUnitWriter::flush_full_records() {
  long full = static_cast<long>(used_ / kFitsRecordBytes);
  if (full == 0) return;
  file_.write_run(next_record_, buffer_.data(), full);
  next_record_ += full;
  std::size_t rest = used_ - static_cast<std::size_t>(full) * kFitsRecordBytes;
  std::memmove(buffer_.data(), buffer_.data() + used_ - rest, rest);
  used_ = rest;
}

void DataUnitWriter::finish() {
  std::size_t tail = used_ % kFitsRecordBytes;
  if (tail != 0) {
    std::size_t fill = kFitsRecordBytes - tail;
    std::memset(buffer_.data() + used_, 0, fill);
    used_ += fill;
  }
  flush_full_records();
}

std::optional<FitsRecords> create_fits(const std::string& open_name) {
  return FitsRecords::open(open_name, FitsRecords::Access::Create);
}

void check_image_fits_array(const char* routine, long nx, long ny, long array_nx, long array_ny) {
  if (nx >= 1 && ny >= 1 && nx <= array_nx && ny <= array_ny) return;
  std::cout << routine << ": an image of " << nx << " x " << ny << " pixels does not fit its array of " << array_nx
            << " x " << array_ny << '\n';
  stop_run();
}

void check_positive(const char* routine, const char* what, float v) {
  if (std::isfinite(v) && v > 0.0f) return;
  std::cout << routine << ": the " << what << " must be a positive number, not " << v << '\n';
  stop_run();
}

}  // namespace zeb::fits_detail
