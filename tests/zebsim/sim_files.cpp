#include "sim_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "core/text.h"

namespace zebsim::test {

namespace {

std::uint32_t be32(const std::string& d, std::size_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(d.data() + off);
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

}  // namespace

std::string Hdu::value(const std::string& key) const {
  for (const auto& c : cards)
    if (zeb::rtrim(c.substr(0, 8)) == key) return zeb::trim(c.substr(10));
  return "";
}

double Hdu::r4(long i, long j, long k) const {
  std::uint32_t u = be32(data, 4 * ((i - 1) + axes[0] * ((j - 1) + axes[1] * (k - 1))));
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

long Hdu::i2(long i, long j) const {
  const std::size_t off = 2 * ((i - 1) + axes[0] * (j - 1));
  const auto* p = reinterpret_cast<const unsigned char*>(data.data() + off);
  return static_cast<std::int16_t>((p[0] << 8) | p[1]);
}

long Hdu::i4(long i, long j) const { return static_cast<std::int32_t>(be32(data, 4 * ((i - 1) + axes[0] * (j - 1)))); }

std::vector<Hdu> read_fits(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Hdu> hdus;
  EXPECT_EQ(all.size() % 2880, 0u) << path;
  std::size_t pos = 0;
  while (pos + 2880 <= all.size()) {
    Hdu h;
    bool end = false;
    while (!end && pos + 2880 <= all.size()) {
      for (int c = 0; c < 36 && !end; ++c) {
        std::string card = all.substr(pos + 80 * c, 80);
        if (card.substr(0, 8) == "END     ")
          end = true;
        else
          h.cards.push_back(card);
      }
      pos += 2880;
      ++h.header_records;
    }
    if (!end) {
      ADD_FAILURE() << path << ": header without END";
      return hdus;
    }
    h.bitpix = std::stoi(h.value("BITPIX"));
    h.naxis = std::stol(h.value("NAXIS"));
    long n = h.naxis > 0 ? 1 : 0;
    for (int k = 0; k < h.naxis && k < 3; ++k) {
      h.axes[k] = std::stol(h.value("NAXIS" + std::to_string(k + 1)));
      n *= h.axes[k];
    }
    const std::size_t bytes = static_cast<std::size_t>(n) * std::abs(h.bitpix) / 8;
    if (pos + bytes > all.size()) {
      ADD_FAILURE() << path << ": data unit runs past the end of the file";
      return hdus;
    }
    h.data = all.substr(pos, bytes);
    pos += (bytes + 2879) / 2880 * 2880;
    hdus.push_back(std::move(h));
  }
  EXPECT_EQ(pos, all.size()) << path;
  return hdus;
}

std::vector<MatLine> read_mat_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<MatLine> v;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    MatLine m{};
    ls >> m.u >> m.v >> m.xc >> m.yc >> m.m1 >> m.m2;
    EXPECT_FALSE(ls.fail()) << path << ": " << line;
    std::string rest;
    EXPECT_FALSE(ls >> rest) << path << ": more than six numbers: " << line;
    v.push_back(m);
  }
  return v;
}

}  // namespace zebsim::test
