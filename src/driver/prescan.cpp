#include "driver/prescan.h"

#include <algorithm>
#include <fstream>
#include <iostream>

#include "core/fortran_format.h"
#include "core/files.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"

namespace zeb {

namespace {

// The pre-scan's stops name the line they refuse.
[[noreturn]] void stop_at(const std::string& context, const char* text) {
  write_list(std::cout, "---> " + context);
  stop_run(text);
}

}  // namespace

PrescanCounts extract_gsfscs(const std::string& infile, int& verbose) {
  PrescanCounts c;
  // Opened for reading only: a missing parameter file is reported here rather
  // than created empty.
  std::ifstream in = open_text_input(infile, "parameter file");
  std::string raw;
  int line_no = 0;
  while (std::getline(in, raw)) {
    ++line_no;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string line = pad(raw, 20);
    const std::string context = infile + " line " + std::to_string(line_no);
    if (starts_with(line, "VERBOSE+")) verbose = 1;
    if (starts_with(line, "VERBOSE-")) verbose = 0;
    if (starts_with(line, "F_SLOT")) {
      int f = 0;
      if (ListReader(columns(line, 9, 12), context + " (F_SLOT)").read_int(f) == Got::Value) c.fs = std::max(c.fs, f);
      continue;
    }
    const char first = line[0];
    if (first == ' ' || first == '\t') stop_at(context, "no leading blanks in infile...");
    if (first >= '1' && first <= '9') stop_at(context, "any numbers must start with 0...");
    if (first == '0') {
      int g = 0;
      if (ListReader(line, context).read_int(g) == Got::Value) c.gs = std::max(c.gs, g);
    }
  }
  return c;
}

}  // namespace zeb
