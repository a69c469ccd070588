// The exported table as ECSV (plain text with a YAML header, written here)
// and as a FITS binary table (written with cfitsio).
#pragma once

#include <ostream>
#include <string>

#include "run_table.h"

namespace zeb_export {

void write_ecsv(const Table& table, std::ostream& out);

// True when this build can write FITS tables (it was built with cfitsio).
bool fits_available();

// Writes (replacing) `path`: an empty primary array, then the table as the
// binary-table extension "CATALOGUE" with TTYPE, TUNIT and TCOMM (the
// description) per column and the table's metadata as header keywords.
void write_fits(const Table& table, const std::string& path);

}  // namespace zeb_export
