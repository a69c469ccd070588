// Helpers of the FITS tests: cards, hand-made files and big-endian bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "support/test_support.h"

namespace zeb::test {

// An 80-character card: the text, blank-padded.
inline std::string card(const std::string& text) { return pad(text, 80); }

// n blanks.
inline std::string blanks(std::size_t n) { return std::string(n, ' '); }

// Header records made of the given cards (END must be among them), blank-padded
// to whole records.
inline std::string header_records(const std::vector<std::string>& cards) {
  std::string h;
  for (const std::string& c : cards) h += card(c);
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  return h;
}

inline std::string be16(int v) {
  auto u = static_cast<std::uint16_t>(v);
  return std::string{static_cast<char>(u >> 8), static_cast<char>(u & 0xFF)};
}

inline std::string be32(std::uint32_t u) {
  return std::string{static_cast<char>(u >> 24), static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                     static_cast<char>(u & 0xFF)};
}

inline std::string be_float(float f) {
  std::uint32_t u = 0;
  std::memcpy(&u, &f, 4);
  return be32(u);
}

// Data bytes zero-padded to whole records.
inline std::string padded_data(std::string data) {
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  return data;
}

// The 36 cards of record n (1-based) of a file's bytes.
inline std::vector<std::string> record_cards(const std::string& bytes, int n) {
  std::vector<std::string> cards;
  for (int c = 0; c < 36; ++c) cards.push_back(bytes.substr(static_cast<std::size_t>(n - 1) * 2880 + c * 80, 80));
  return cards;
}

// A primary header with the usual image cards.
inline std::vector<std::string> image_cards(int bitpix, long long nx, long long ny) {
  return {"SIMPLE  =                    T", "BITPIX  = " + pad("", 20 - std::to_string(bitpix).size()) + std::to_string(bitpix),
          "NAXIS   =                    2", "NAXIS1  = " + pad("", 20 - std::to_string(nx).size()) + std::to_string(nx),
          "NAXIS2  = " + pad("", 20 - std::to_string(ny).size()) + std::to_string(ny), "END"};
}

}  // namespace zeb::test
