// The companion commands on the demo field: zeb-export writes the run as an
// ECSV and a FITS table that astropy reads with their column names, units and
// one row per catalogue record, refusing logs it cannot read; zeb-plot draws
// the diagrams from the table and the field's truth.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::binary_path;
using zeb::test::Captured;
using zeb::test::read_file;
using zeb::test::read_lines;
using zeb::test::run_program;
using zeb::test::TempDir;
using zeb::test::write_file;

const std::string kPython = "/usr/bin/python3";

bool python_has(const std::string& modules) {
  return std::filesystem::exists(kPython) && run_program(kPython, {"-c", "import " + modules}).status == 0;
}

// Checks both tables against each other and against the first XYVIQ1 record
// of the run (its identifier and its first filter's flux as the log wrote it).
const char* kCheckTables = R"PY(
import sys, warnings
import numpy as np
from astropy.table import Table
warnings.simplefilter('ignore')
rows, first_id, first_flux = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
e, f = Table.read('cat.ecsv'), Table.read('cat.fits')
def check(cond, what):
    if not cond:
        print('FAILED:', what)
        sys.exit(1)
check(len(e) == rows and len(f) == rows, 'rows %d %d' % (len(e), len(f)))
check(e.colnames == f.colnames and len(set(e.colnames)) == len(e.colnames), 'unique names, the same in both')
check(e.colnames[:3] == ['id', 'u', 'v'], 'first columns')
units = {'u': 'pix', 'v': 'pix', 'mag1_F110W': 'mag', 'flux1_F110W': 'ct', 'flux2_err_F160W': 'ct',
         'sky_F160W': 'ct / pix', 'find_u': 'pix', 'bright_flux': 'ct'}
for name, unit in units.items():
    for t in (e, f):
        check(str(t[name].unit) == unit, 'unit of ' + name)
for name in ('nkept0_F110W', 'q3_F160W', 'find_qreq', 'find_crit', 'local_index'):
    check(name in e.colnames and e[name].unit is None, 'no unit for ' + name)
check('F110W' in e['flux1_F110W'].description and 'F160W' in e['q1_F160W'].description, 'descriptions')
check(e.meta['filter1'] == 'F110W' and f.meta['FILTER2'] == 'F160W' and e.meta['mode'] == 'R', 'metadata')
check(f.meta['TCOMM1'].startswith('identifier'), 'FITS descriptions')
check(e['id'][0] == first_id and f['id'][0] == first_id, 'first identifier')
check(e['flux1_F110W'][0] == first_flux, 'first flux')
check(abs(e['mag1_F110W'][0] + 2.5 * np.log10(first_flux)) < 6e-5, 'magnitude of the flux')
def values(c, empty):
    v = np.asarray(c.filled(empty) if hasattr(c, 'filled') else c)
    return np.char.decode(v) if v.dtype.kind == 'S' else v
check(np.ma.count_masked(e['mag0_F110W']) == np.isnan(values(f['mag0_F110W'], np.nan)).sum(), 'empty magnitudes')
for name in e.colnames:
    a, b = e[name], f[name]
    if a.dtype.kind == 'f':
        check(np.array_equal(values(a, np.nan), values(b, np.nan), equal_nan=True), 'column ' + name)
    else:
        check(list(values(a, -999)) == list(values(b, -999)), 'column ' + name)
print('OK')
)PY";

TEST(CompanionTools, DemoRunExportedAsTablesAndPlotted) {
  TempDir dir;
  write_field(field_preset("demo"), ".");
  Captured run = run_program(binary_path("src/driver/zeb"), {"params.txt"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> viq1;
  for (const std::string& l : read_lines("LOGR.XYVIQ1"))
    if (!l.empty() && l[0] != '#') viq1.push_back(l);
  ASSERT_GT(viq1.size(), 100u);
  const std::string rows = std::to_string(viq1.size());

  const std::string exporter = binary_path("tools/export/zeb-export");
  for (const std::string format : {"ecsv", "fits"}) {
    Captured c = run_program(exporter, {".", "--format", format, "--out", "cat." + format});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "zeb-export: " + rows + " rows, 82 columns written to cat." + format + "\n");
  }
  // The same run gives the same table.
  const std::string ecsv = read_file("cat.ecsv");
  ASSERT_EQ(run_program(exporter, {".", "--out", "again.ecsv"}).status, 0);
  EXPECT_EQ(read_file("again.ecsv"), ecsv);

  if (!python_has("astropy, numpy")) GTEST_SKIP() << "astropy is not installed for " << kPython;
  // The first record: "   <u> <v> <m1> R0000001  <flux1> ...".
  std::istringstream first(viq1.front());
  std::string u, v, m, id, flux;
  first >> u >> v >> m >> id >> flux;
  write_file("check.py", kCheckTables);
  Captured check = run_program(kPython, {"check.py", rows, id, flux});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_EQ(check.out, "OK\n") << check.err;

  // A record that lost an item, and a directory without a run, are refused.
  std::string bad = read_file("LOGR.XYVIQ1");
  bad.replace(bad.find(" R0000001 "), 10, " ");
  write_file("LOGR.XYVIQ1", bad);
  Captured refused = run_program(exporter, {".", "--out", "bad.ecsv"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "zeb-export: LOGR.XYVIQ1 line 5: 15 items where the log has 16\n");
  std::filesystem::create_directory("empty");
  refused = run_program(exporter, {"empty", "--out", "bad.ecsv"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "zeb-export: empty holds no catalogue of a run (no LOGR.XYVIQ0, LOGD, LOGA or LOGC)\n");

  if (!python_has("matplotlib")) GTEST_SKIP() << "matplotlib is not installed for " << kPython;
  Captured plot = run_program(kPython, {std::string(ZEB_SOURCE_DIR) + "/tools/plot/zeb-plot", "cat.ecsv", "--out",
                                        "plots", "--truth", "truth.txt"});
  ASSERT_EQ(plot.status, 0) << plot.err;
  std::string listed;
  for (const std::string stem : {"cmd", "errmag_F110W", "errmag_F160W", "completeness", "photerr"}) {
    for (const std::string ext : {".png", ".pdf"}) {
      const std::string path = "plots/" + stem + ext;
      ASSERT_TRUE(std::filesystem::exists(path)) << path;
      const std::string bytes = read_file(path);
      EXPECT_EQ(bytes.substr(0, 4), ext == ".png" ? "\x89PNG" : "%PDF") << path;
      // A drawn diagram, not an empty frame: an empty 6 x 4.5 inch frame is
      // about 9 kB as PNG and 6 kB as PDF.
      EXPECT_GT(bytes.size(), 14000u) << path;
      listed += path + "\n";
    }
  }
  EXPECT_EQ(plot.out, listed);
}

}  // namespace
}  // namespace zebsim
