#include "core/calib.h"

#include <sstream>
#include <string>

#include "core/stop.h"

namespace zeb {

std::vector<double> calib_numbers(const char* name, std::size_t count) {
  const char* text = calib_text(name);
  if (!text) run_error(std::string("calibration table ") + name, "not built into the program");
  std::vector<double> v;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    double x;
    while (ls >> x) v.push_back(x);
  }
  if (v.size() != count)
    run_error(std::string("calibration table ") + name,
              "holds " + std::to_string(v.size()) + " numbers, expected " + std::to_string(count));
  return v;
}

}  // namespace zeb
