// Fixed-column records written from Fortran-style format strings, quoted
// verbatim at the call site:
//
//   fortran_record("(1x,'IT',i3.3,1x,'JT',i3.3)", it, jt)  ->  " IT001 JT002"
//
// Supported: Iw, Iw.m, Fw.d, Ew.d, Aw, A, Lw, nX, quoted literals, '/',
// ':', repeat counts and parenthesised groups such as 2(2x,f15.5,1x,i3).
// The record ends at the first data descriptor that has no value left
// (literals before it are still written). When values remain at the end of the
// format, a new line starts and the format reverts to its last top-level group
// (or to its start), as Fortran does. A value that does not fit its width is
// written as w asterisks. Numbers are correctly rounded from their binary value.
// '/' and reversion put '\n' into the returned text.
//
// A format is parsed once and cached.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zeb {

// One value of a record: an integer, a real, a text or a logical.
struct FArg {
  enum class Kind { Int, Real, Text, Logical } kind;
  long long i = 0;
  double r = 0.0;
  bool single = false;  // a 32-bit real (list-directed output prints it as such)
  std::string s;
  bool l = false;

  FArg(int v) : kind(Kind::Int), i(v) {}
  FArg(long v) : kind(Kind::Int), i(v) {}
  FArg(long long v) : kind(Kind::Int), i(v) {}
  FArg(short v) : kind(Kind::Int), i(v) {}
  FArg(unsigned char v) : kind(Kind::Int), i(v) {}
  FArg(std::int8_t v) : kind(Kind::Int), i(v) {}
  FArg(unsigned v) : kind(Kind::Int), i(v) {}
  FArg(double v) : kind(Kind::Real), r(v) {}
  FArg(float v) : kind(Kind::Real), r(v), single(true) {}
  FArg(const std::string& v) : kind(Kind::Text), s(v) {}
  FArg(std::string_view v) : kind(Kind::Text), s(v) {}
  FArg(const char* v) : kind(Kind::Text), s(v) {}
  FArg(char v) : kind(Kind::Text), s(1, v) {}
  FArg(bool v) : kind(Kind::Logical), l(v) {}
};

std::string fortran_record_v(std::string_view format, const std::vector<FArg>& values);

template <typename... A>
std::string fortran_record(std::string_view format, const A&... values) {
  return fortran_record_v(format, std::vector<FArg>{FArg(values)...});
}

// Writes a text and ends the line, in one unformatted write (which leaves the
// stream's formatting state alone, so threads may write through one stream).
inline void write_line(std::ostream& os, std::string text) {
  text.push_back('\n');
  os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Writes the record and ends the line.
template <typename... A>
void write_record(std::ostream& os, std::string_view format, const A&... values) {
  write_line(os, fortran_record_v(format, std::vector<FArg>{FArg(values)...}));
}
inline void write_record_v(std::ostream& os, std::string_view format, const std::vector<FArg>& values) {
  write_line(os, fortran_record_v(format, values));
}

// Single descriptors, exposed for the few places that build a record by hand.
std::string format_int(long long v, int w, int m = -1);
std::string format_fixed(double v, int w, int d);
std::string format_exp(double v, int w, int d);

// List-directed (free-format) output: a leading blank, then the items separated
// by blanks; integers plainly, reals in the shortest form that reads back to the
// same value, logicals as T or F.
std::string list_record_v(const std::vector<FArg>& values);
template <typename... A>
std::string list_record(const A&... values) {
  return list_record_v(std::vector<FArg>{FArg(values)...});
}
template <typename... A>
void write_list(std::ostream& os, const A&... values) {
  write_line(os, list_record_v(std::vector<FArg>{FArg(values)...}));
}

}  // namespace zeb
