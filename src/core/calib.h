// Calibration tables embedded at build time from data/calib/*.txt.
#pragma once

#include <vector>

namespace zeb {

// The text of table `name` (file stem, e.g. "wfc3ir_irxcor"), or nullptr.
const char* calib_text(const char* name);

// The numbers of table `name` in file order, comment lines ('#') skipped.
// Stops the run if the table is missing or holds other than `count` numbers.
std::vector<double> calib_numbers(const char* name, std::size_t count);

}  // namespace zeb
