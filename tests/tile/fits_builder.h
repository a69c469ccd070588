// Builds FITS files byte by byte for the tests and the tile benchmark,
// independently of the program's own FITS writers: header cards of 80
// characters (value right-justified in columns 11..30), records of 2880 bytes,
// big-endian pixels, the last record zero-padded; and reads the cards of a
// record back.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace zeb::test {

using Cards = std::vector<std::pair<std::string, std::string>>;

inline std::string fits_card(const std::string& key, const std::string& value) {
  std::string card = key;
  card.resize(8, ' ');
  card += "= ";
  std::string v = value;
  if (v.size() < 20) v = std::string(20 - v.size(), ' ') + v;
  card += v;
  card.resize(80, ' ');
  return card;
}

inline std::string pad_record(std::string bytes, char fill) {
  const std::size_t rem = bytes.size() % 2880;
  if (rem) bytes.append(2880 - rem, fill);
  return bytes;
}

// A header unit: the cards, END, blank-padded to whole records.
inline std::string fits_header(const Cards& cards) {
  std::string h;
  for (const auto& [k, v] : cards) h += fits_card(k, v);
  std::string end = "END";
  end.resize(80, ' ');
  h += end;
  return pad_record(h, ' ');
}

inline void put_be16(std::string& out, std::int16_t v) {
  const auto u = static_cast<std::uint16_t>(v);
  out += static_cast<char>(u >> 8);
  out += static_cast<char>(u & 0xff);
}

inline void put_be32(std::string& out, std::uint32_t u) {
  out += static_cast<char>(u >> 24);
  out += static_cast<char>((u >> 16) & 0xff);
  out += static_cast<char>((u >> 8) & 0xff);
  out += static_cast<char>(u & 0xff);
}

// Data units (row after row, x fastest), zero-padded to whole records.
inline std::string data_i16(const std::vector<std::int16_t>& px) {
  std::string d;
  d.reserve(px.size() * 2 + 2880);
  for (auto v : px) put_be16(d, v);
  return pad_record(d, '\0');
}

inline std::string data_i32(const std::vector<std::int32_t>& px) {
  std::string d;
  d.reserve(px.size() * 4 + 2880);
  for (auto v : px) put_be32(d, static_cast<std::uint32_t>(v));
  return pad_record(d, '\0');
}

inline std::string data_f32(const std::vector<float>& px) {
  std::string d;
  d.reserve(px.size() * 4 + 2880);
  for (float v : px) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    put_be32(d, u);
  }
  return pad_record(d, '\0');
}

inline Cards image_cards(int bitpix, long nx, long ny, bool extension = false) {
  Cards c;
  if (extension)
    c.push_back({"XTENSION", "'IMAGE   '"});
  else
    c.push_back({"SIMPLE", "T"});
  c.push_back({"BITPIX", std::to_string(bitpix)});
  c.push_back({"NAXIS", "2"});
  c.push_back({"NAXIS1", std::to_string(nx)});
  c.push_back({"NAXIS2", std::to_string(ny)});
  return c;
}

// A WFC3/IR calibrated file: empty primary header, then the science (float),
// error (float) and data-quality (16-bit) images of nx x ny pixels.
inline std::string ir_file(long nx, long ny, const std::vector<float>& sci, const std::vector<float>& err,
                           const std::vector<std::int16_t>& dq) {
  std::string f = fits_header({{"SIMPLE", "T"}, {"BITPIX", "16"}, {"NAXIS", "0"}, {"NEXTEND", "3"}});
  f += fits_header(image_cards(-32, nx, ny, true)) + data_f32(sci);
  f += fits_header(image_cards(-32, nx, ny, true)) + data_f32(err);
  f += fits_header(image_cards(16, nx, ny, true)) + data_i16(dq);
  return f;
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Headers written card by card as text (END among them), blank-padded to
// whole records; the cards of an image header with its END, as text.
inline std::string card(const std::string& text) {
  std::string c = text;
  c.resize(80, ' ');
  return c;
}
inline std::string blanks(std::size_t n) { return std::string(n, ' '); }
inline std::string header_records(const std::vector<std::string>& cards) {
  std::string h;
  for (const std::string& c : cards) h += card(c);
  return pad_record(h, ' ');
}
inline std::vector<std::string> image_card_lines(int bitpix, long nx, long ny) {
  std::vector<std::string> lines;
  for (const auto& [k, v] : image_cards(bitpix, nx, ny)) lines.push_back(fits_card(k, v));
  lines.push_back("END");
  return lines;
}
inline std::string padded_data(std::string data) { return pad_record(std::move(data), '\0'); }

inline std::string be16(int v) {
  std::string s;
  put_be16(s, static_cast<std::int16_t>(v));
  return s;
}
inline std::string be32(std::uint32_t u) {
  std::string s;
  put_be32(s, u);
  return s;
}
inline std::string be_float(float f) {
  std::uint32_t u = 0;
  std::memcpy(&u, &f, sizeof u);
  return be32(u);
}

// The 36 cards of record n (1-based) of a file's bytes.
inline std::vector<std::string> record_cards(const std::string& bytes, int n) {
  std::vector<std::string> cards;
  for (int c = 0; c < 36; ++c) cards.push_back(bytes.substr(static_cast<std::size_t>(n - 1) * 2880 + c * 80, 80));
  return cards;
}

}  // namespace zeb::test
