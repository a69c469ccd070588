// Reading back what the simulator wrote, independently of its writers: FITS
// files as header-data units and MAT files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zebsim::test {

struct Hdu {
  std::vector<std::string> cards;  // up to END, 80 characters each
  int bitpix = 0;
  long naxis = 0;
  std::array<long, 3> axes{1, 1, 1};
  std::string data;  // the data bytes (unpadded)
  std::size_t header_records = 0;

  std::string value(const std::string& key) const;  // columns 11-80 of the first card with that keyword, trimmed
  double r4(long i, long j = 1, long k = 1) const;  // 1-based pixel of a BITPIX -32 unit
  long i2(long i, long j = 1) const;
  long i4(long i, long j = 1) const;
};

// All HDUs of a file; a malformed file fails the calling test.
std::vector<Hdu> read_fits(const std::string& path);

struct MatLine {
  double u, v, xc, yc, m1, m2;
};
std::vector<MatLine> read_mat_lines(const std::string& path);

}  // namespace zebsim::test
