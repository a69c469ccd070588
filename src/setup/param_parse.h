// The tokenizer of parameter-file lines.
#pragma once

#include <string>

#include "setup/param_line.h"

namespace zeb {

inline constexpr std::size_t PARAM_LINE_WIDTH = 200;

// Splits a line (blank-padded or cut to 200 characters) into its fields:
// every '=' counts as a blank; the content ends at the last '!'; a field
// starts at the first non-blank character and after every blank that is
// followed by a non-blank, except inside a double-quoted stretch; each field is
// then read list-directed from its start, so a quoted value keeps its blanks and
// an unquoted value ends at a blank, comma or slash. A value that begins with a
// slash gives an empty field.
ParamLine parse(const std::string& line, const std::string& context = std::string());

// Number of characters before the first blank (the whole length when none).
int strlen(const std::string& s);

// The lines after the MODE line as the reader takes them, for tools that walk
// a parameter file (or its echo) the way zeb reads it: a comment line and the
// lines of a SKIP ... PIKS block carry nothing, everything from a '#' after
// column 1 on is a comment, and a line beginning END ends the input.
class ParamLineWalker {
 public:
  enum class Kind { Content, Ignored, End };
  // What the reader makes of `line`, whose trailing comment is removed.
  Kind next(std::string& line);

 private:
  bool skipping_ = false;
};

}  // namespace zeb
