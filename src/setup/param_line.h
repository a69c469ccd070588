// One line of the parameter file split into its fields.
#pragma once

#include <string>
#include <vector>

namespace zeb {

struct ParamLine {
  std::string text;                 // the 200-character line as read (trailing comment blanked)
  std::vector<std::string> fields;  // the fields, trailing blanks removed; field k is fields[k-1]
  std::string context;              // "file line N", for messages about unreadable values

  int count() const { return static_cast<int>(fields.size()); }
  std::string field(int k) const { return k >= 1 && k <= count() ? fields[k - 1] : std::string(); }
};

}  // namespace zeb
