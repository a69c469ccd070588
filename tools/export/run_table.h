// One table per run: the catalogue logs of a run directory (XYVIQ0..3, XYVIQS,
// XYFIND and, in mode A, the ".INPUT" log) joined star by star, with unique
// column names, units, descriptions and the run's filter names.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zeb_export {

enum class ColumnType { Real, Integer, Text };

struct Column {
  std::string name;
  std::string unit;  // an astropy unit string, or empty
  std::string description;
  ColumnType type = ColumnType::Real;
  std::vector<std::string> cells;  // one per row, as the logs wrote them; empty: no value
};

struct Table {
  std::vector<std::pair<std::string, std::string>> meta;  // in order
  std::vector<Column> columns;
  std::size_t rows() const { return columns.empty() ? 0 : columns.front().cells.size(); }
};

// A log that cannot be read, or a record that is not what its log holds.
struct ExportError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What the run's parameter file said, as echoed into "LOGK.INPUT_FILE".
struct RunSettings {
  std::string filter[2];  // filter names of filter slots 1 and 2 (several joined by "/")
  std::string expflt[2];  // exposure times the fluxes of each filter slot refer to
  std::string label;      // LABEL7
};
RunSettings read_settings(const std::string& echo_file);

// The mode letter of the run in `dir`: `mode` itself when it is not 0, else the
// one mode whose "LOG<mode>.XYVIQ0" exists there.
char find_mode(const std::string& dir, char mode);

// Reads the run in `dir` (mode as find_mode gives it) into one table: one row per
// catalogue record, in mode A one per artificial star.
Table read_run(const std::string& dir, char mode, const std::string& creator);

}  // namespace zeb_export
