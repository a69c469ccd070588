#include "table_writers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>

#if ZEB_EXPORT_WITH_CFITSIO
#include <fitsio.h>
#endif

namespace zeb_export {

namespace {

// A YAML flow scalar in single quotes (a quote is doubled).
std::string yaml_quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

const char* ecsv_type(ColumnType t) {
  switch (t) {
    case ColumnType::Real:
      return "float64";
    case ColumnType::Integer:
      return "int32";
    case ColumnType::Text:
      return "string";
  }
  return "string";
}

// A cell of the space-separated body: an empty cell (no value) is "", text
// with blanks or quotes is quoted with its quotes doubled.
std::string ecsv_cell(const std::string& s) {
  if (!s.empty() && s.find_first_of(" \t\"") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

void write_ecsv(const Table& table, std::ostream& out) {
  out << "# %ECSV 1.0\n# ---\n# datatype:\n";
  for (const Column& c : table.columns) {
    out << "# - {name: " << c.name;
    if (!c.unit.empty()) out << ", unit: " << yaml_quoted(c.unit);
    out << ", datatype: " << ecsv_type(c.type);
    if (!c.description.empty()) out << ", description: " << yaml_quoted(c.description);
    out << "}\n";
  }
  out << "# meta: !!omap\n";
  for (const auto& [key, value] : table.meta) out << "# - {" << key << ": " << yaml_quoted(value) << "}\n";
  out << "# schema: astropy-2.0\n";
  for (std::size_t c = 0; c < table.columns.size(); ++c) out << (c ? " " : "") << table.columns[c].name;
  out << '\n';
  for (std::size_t r = 0; r < table.rows(); ++r) {
    for (std::size_t c = 0; c < table.columns.size(); ++c)
      out << (c ? " " : "") << ecsv_cell(table.columns[c].cells[r]);
    out << '\n';
  }
}

#if ZEB_EXPORT_WITH_CFITSIO

bool fits_available() { return true; }

namespace {

void check(int status, const std::string& path, const char* what) {
  if (status == 0) return;
  char text[FLEN_STATUS] = {0};
  fits_get_errstatus(status, text);
  throw ExportError(path + ": " + what + ": " + text);
}

// The open file, closed when writing ends early.
struct OpenFits {
  fitsfile* f = nullptr;
  ~OpenFits() {
    int status = 0;
    if (f) fits_close_file(f, &status);
  }
};

}  // namespace

void write_fits(const Table& table, const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw ExportError(path + ": is a directory");
  std::filesystem::remove(path, ec);
  OpenFits file;
  int status = 0;
  // A disk file: the name is taken as it stands, without cfitsio's filename syntax.
  fits_create_diskfile(&file.f, path.c_str(), &status);
  check(status, path, "cannot be created");
  fitsfile* f = file.f;

  const std::size_t ncol = table.columns.size();
  std::vector<std::string> forms(ncol);
  std::vector<char*> ttype(ncol), tform(ncol), tunit(ncol);
  std::vector<std::string> names(ncol), units(ncol);
  for (std::size_t c = 0; c < ncol; ++c) {
    const Column& col = table.columns[c];
    if (col.type == ColumnType::Text) {
      std::size_t w = 1;
      for (const std::string& s : col.cells) w = std::max(w, s.size());
      forms[c] = std::to_string(w) + "A";
    } else {
      forms[c] = col.type == ColumnType::Real ? "1D" : "1J";
    }
    names[c] = col.name;
    units[c] = col.unit;
    ttype[c] = names[c].data();
    tform[c] = forms[c].data();
    tunit[c] = units[c].data();
  }
  char extname[] = "CATALOGUE";
  fits_create_tbl(f, BINARY_TBL, static_cast<LONGLONG>(table.rows()), static_cast<int>(ncol), ttype.data(),
                  tform.data(), tunit.data(), extname, &status);
  check(status, path, "cannot hold the table");
  fits_write_key_longwarn(f, &status);
  for (const auto& [key, value] : table.meta) {
    std::string k = key;
    std::transform(k.begin(), k.end(), k.begin(), [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    std::string v = value;
    fits_write_key_longstr(f, k.c_str(), v.data(), nullptr, &status);
  }
  const LONGLONG n = static_cast<LONGLONG>(table.rows());
  for (std::size_t c = 0; c < ncol && status == 0; ++c) {
    const Column& col = table.columns[c];
    const int colnum = static_cast<int>(c + 1);
    const std::string k = std::to_string(colnum);
    if (!col.description.empty()) {
      std::string d = col.description;
      fits_write_key_longstr(f, ("TCOMM" + k).c_str(), d.data(), nullptr, &status);
    }
    if (n == 0) continue;
    if (col.type == ColumnType::Real) {
      // An empty cell is written as NaN, the null value of a floating-point column.
      std::vector<double> v(col.cells.size());
      for (std::size_t r = 0; r < v.size(); ++r)
        v[r] = col.cells[r].empty() ? std::nan("") : std::strtod(col.cells[r].c_str(), nullptr);
      fits_write_col(f, TDOUBLE, colnum, 1, 1, n, v.data(), &status);
    } else if (col.type == ColumnType::Integer) {
      int null = INT_MIN;
      fits_write_key_lng(f, ("TNULL" + k).c_str(), null, "no value", &status);
      fits_set_btblnull(f, colnum, null, &status);
      std::vector<int> v(col.cells.size());
      for (std::size_t r = 0; r < v.size(); ++r)
        v[r] = col.cells[r].empty() ? null : static_cast<int>(std::strtol(col.cells[r].c_str(), nullptr, 10));
      fits_write_colnull(f, TINT, colnum, 1, 1, n, v.data(), &null, &status);
    } else {
      std::vector<std::string> s = col.cells;
      std::vector<char*> p(s.size());
      for (std::size_t r = 0; r < s.size(); ++r) p[r] = s[r].data();
      fits_write_col(f, TSTRING, colnum, 1, 1, n, p.data(), &status);
    }
  }
  check(status, path, "cannot be written");
  file.f = nullptr;
  fits_close_file(f, &status);
  check(status, path, "cannot be closed");
}

#else

bool fits_available() { return false; }

void write_fits(const Table&, const std::string& path) {
  throw ExportError(path +
                    ": this zeb-export was built without cfitsio (Debian package libcfitsio-dev) and "
                    "cannot write FITS tables; rebuild with it or use --format ecsv");
}

#endif

}  // namespace zeb_export
