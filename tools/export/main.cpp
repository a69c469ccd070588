// zeb-export: a run's catalogue as one self-describing table.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "core/version.h"
#include "run_table.h"
#include "table_writers.h"

namespace {

const char* const kUsage =
    "usage: zeb-export RUN_DIR --format ecsv|fits --out FILE [--mode R|D|A|C]\n"
    "       zeb-export -h | --help | --version\n";

void help() {
  std::cout << kUsage
            << "\n"
               "Reads the catalogue logs a zeb run wrote into RUN_DIR (LOG<mode>.XYVIQ0..3,\n"
               "XYVIQS, XYFIND and, in mode A, LOGA.INPUT, with LOGK.INPUT_FILE for the filter\n"
               "names) and writes one table, one row per star (in mode A one per artificial\n"
               "star), with unique column names, units and descriptions: ECSV (text with a\n"
               "YAML header) or a FITS binary table. Column names end in the filter names of\n"
               "the parameter file (flux1_F606W); magnitudes are instrumental,\n"
               "-2.5 log10(flux). --mode chooses the run when RUN_DIR holds several.\n"
               "The --format may be left out when FILE ends in .ecsv or .fits.\n";
}

int usage_error(const std::string& what) {
  std::cerr << "zeb-export: " << what << '\n' << kUsage;
  return 2;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  std::string dir, format, out;
  char mode = 0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const std::string& s = a[k];
    if (s == "-h" || s == "--help") {
      help();
      return 0;
    }
    if (s == "--version") {
      std::cout << zeb::version_line("zeb-export") << '\n';
      return 0;
    }
    if (s == "--format" || s == "--out" || s == "--mode") {
      if (k + 1 >= a.size()) return usage_error(s + " needs a value");
      const std::string& v = a[++k];
      if (s == "--format") format = v;
      if (s == "--out") out = v;
      if (s == "--mode") {
        if (v.size() != 1 || std::string("RDAC").find(v[0]) == std::string::npos)
          return usage_error("--mode must be R, D, A or C, not " + v);
        mode = v[0];
      }
    } else if (s.size() > 1 && s[0] == '-') {
      return usage_error("unknown option " + s);
    } else if (dir.empty()) {
      dir = s;
    } else {
      return usage_error("one run directory only (" + dir + ", " + s + ")");
    }
  }
  if (dir.empty()) return usage_error("no run directory");
  if (out.empty()) return usage_error("no output file (--out FILE)");
  if (format.empty()) format = ends_with(out, ".ecsv") ? "ecsv" : ends_with(out, ".fits") ? "fits" : "";
  if (format != "ecsv" && format != "fits") return usage_error("--format must be ecsv or fits");
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return usage_error(dir + ": no such directory");

  try {
    const zeb_export::Table table =
        zeb_export::read_run(dir, zeb_export::find_mode(dir, mode), zeb::version_line("zeb-export"));
    if (format == "fits") {
      zeb_export::write_fits(table, out);
    } else {
      std::ofstream f(out, std::ios::binary | std::ios::trunc);
      if (!f) throw zeb_export::ExportError(out + ": cannot be created");
      zeb_export::write_ecsv(table, f);
      f.close();
      if (!f) throw zeb_export::ExportError(out + ": could not be written");
    }
    std::cout << "zeb-export: " << table.rows() << " rows, " << table.columns.size() << " columns written to " << out
              << '\n';
  } catch (const zeb_export::ExportError& e) {
    std::cerr << "zeb-export: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
