// List-directed (free-format) reading of one record, value by value, with the
// Fortran rules: blanks or commas separate values; a slash ends the record and
// leaves the remaining targets unchanged; a quoted value (apostrophes or double
// quotes, a doubled quote standing for itself) keeps its blanks; an unquoted
// text ends at a blank, comma or slash; r*value repeats a value r times and r*
// alone gives r null values; a null value (two commas in a row) leaves its
// target unchanged.
//
// Each read tells the caller whether it got a value, a null, the slash, or the
// end of the record, so every caller applies its own rule to short lines.
// A text that cannot be read as the requested number is a run-time read error
// (RunError) naming the context (file and line) given at construction.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zeb {

enum class Got { Value, Null, Slash, End };

class ListReader {
 public:
  ListReader(std::string_view record, std::string context = std::string());

  Got read_int(long long& out);
  Got read_int(int& out);
  Got read_real(double& out);
  Got read_real(float& out);
  Got read_text(std::string& out);

  // Reads an integer/real that must be present: a null, slash or end of record
  // is a read error ("missing value").
  int need_int();
  double need_real();

  // Number of values read so far (nulls included).
  int count() const { return count_; }

 private:
  // Next raw item: its text, whether it was quoted, or a null/slash/end.
  Got next_item(std::string& text, bool& quoted);
  [[noreturn]] void fail(const std::string& what, const std::string& text) const;

  std::string rec_;
  std::string context_;
  std::size_t p_ = 0;
  bool ended_ = false;   // slash seen or record exhausted
  bool slashed_ = false;
  bool after_value_ = false;  // a value was read and its separator not yet consumed
  int repeat_left_ = 0;
  bool repeat_null_ = false;
  std::string repeat_text_;
  bool repeat_quoted_ = false;
  int count_ = 0;
};

// Strict conversions of one list-directed item (no trailing text allowed).
std::optional<long long> parse_int_item(std::string_view s);
std::optional<double> parse_real_item(std::string_view s);

}  // namespace zeb
