// The FITS writing the simulator needs: headers of fixed-format cards and data
// units of 16-bit, 32-bit integer and 32-bit float pixels, written one after the
// other, so that a file may hold a primary header and any number of image
// extensions (the layout of the calibrated WFC3/IR exposures).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace zebsim {

inline constexpr std::size_t kFitsRecord = 2880;
inline constexpr std::size_t kFitsCard = 80;

// One header: 80-character cards in the order they are added, then END.
class FitsHeader {
 public:
  void logical(const std::string& key, bool value);
  void integer(const std::string& key, long long value);
  void real(const std::string& key, double value);  // fixed point, six decimals
  void text(const std::string& key, const std::string& value);
  void comment(const std::string& text);

  std::size_t cards() const { return cards_.size(); }
  const std::vector<std::string>& card_list() const { return cards_; }
  // The cards and END, blank-filled to whole records.
  std::string bytes() const;

 private:
  void add(const std::string& card);
  std::vector<std::string> cards_;
};

// A FITS file written front to back. Every failure to write ends the run with a
// run-time error naming the file.
class FitsWriter {
 public:
  explicit FitsWriter(const std::string& path);
  void header(const FitsHeader& h);
  void data_i2(const std::int16_t* v, std::size_t n);
  void data_i4(const std::int32_t* v, std::size_t n);
  void data_r4(const float* v, std::size_t n);
  void close();

 private:
  template <typename T>
  void data(const T* v, std::size_t n);
  void write(const char* p, std::size_t n);
  std::string path_;
  std::ofstream out_;
};

}  // namespace zebsim
