// One line of the parameter file, split into its fields by the tokenizer.
// Item handlers receive it together with the index of their keyword field.
#pragma once

#include <string>
#include <vector>

#include "core/text.h"

namespace zeb {

struct ParamLine {
  std::string text;                 // the 200-character line as read (blank-padded, trailing comment blanked)
  std::vector<std::string> fields;  // the fields as 80-character texts with trailing blanks removed; field k is fields[k-1]
  std::string where;                // where the line came from ("<file> line <n>"), for read-error messages; may be empty

  int count() const { return static_cast<int>(fields.size()); }
  // Field k, or "" when k is outside 1..count().
  std::string field(int k) const { return k >= 1 && k <= count() ? fields[static_cast<std::size_t>(k - 1)] : std::string(); }
  // What a read error on this line names: `where` when known, else the line itself.
  std::string context() const {
    return where.empty() ? "parameter line \"" + rtrim(text) + "\"" : where;
  }
};

}  // namespace zeb
