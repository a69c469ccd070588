// The driver's pre-scan of the parameter file.
#pragma once

#include <string>

#include "setup/param_file.h"

namespace zeb {

// Counts the image slots (highest number on lines beginning with '0') and the
// filter slots (F_SLOT lines) of the parameter file, and notes VERBOSE+/-.
// Lines that begin with a blank or with a digit 1..9 stop the run.
PrescanCounts extract_gsfscs(const std::string& infile, int& verbose);

}  // namespace zeb
