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

// Solves the 3 x 3 system m x = r by Cramer's rule.
std::array<double, 3> solve3(const double m[3][3], const double r[3]) {
  auto det = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det(m);
  std::array<double, 3> x{};
  for (int c = 0; c < 3; ++c) {
    double t[3][3];
    std::memcpy(t, m, sizeof t);
    for (int r0 = 0; r0 < 3; ++r0) t[r0][c] = r[r0];
    x[c] = det(t) / d;
  }
  return x;
}

}  // namespace

std::string Hdu::value(const std::string& key) const {
  for (const auto& c : cards)
    if (zeb::rtrim(c.substr(0, 8)) == key) return zeb::trim(c.substr(10));
  return "";
}

bool Hdu::has(const std::string& key) const {
  for (const auto& c : cards)
    if (zeb::rtrim(c.substr(0, 8)) == key) return true;
  return false;
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

long Hdu::i4(long i, long j) const {
  return static_cast<std::int32_t>(be32(data, 4 * ((i - 1) + axes[0] * (j - 1))));
}

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
        if (card.substr(0, 8) == "END     ") end = true;
        else h.cards.push_back(card);
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

LinearMap fit_linear(const std::vector<MatLine>& mat) {
  double m[3][3] = {}, rx[3] = {}, ry[3] = {};
  for (const MatLine& l : mat) {
    const double t[3] = {1.0, l.u, l.v};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) m[a][b] += t[a] * t[b];
      rx[a] += t[a] * l.xc;
      ry[a] += t[a] * l.yc;
    }
  }
  auto px = solve3(m, rx), py = solve3(m, ry);
  return LinearMap{px[0], px[1], px[2], py[0], py[1], py[2]};
}

}  // namespace zebsim::test
