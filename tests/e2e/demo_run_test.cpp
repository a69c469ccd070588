// zeb on the simulated demo field (2 x 2 tiles, three exposures per filter),
// run once with VERBOSE+: every tile finds its exposures and the run's lines
// follow their formats; the X1 and X2 mosaics are readable by astropy with
// their shapes and pixel kinds, the stacks present where the tiles pasted them
// (three exposures counted, the brightest star standing out) and the fill
// everywhere else; zeb-export writes the catalogue as an ECSV and a FITS table
// that astropy reads with their column names, units and one row per record,
// refusing logs it cannot read, and zeb-plot draws the diagrams. Switched off,
// no mosaic file is written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "field_files.h"
#include "score.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using namespace zeb::test;

Captured run_demo(const std::string& extra_lines) {
  write_field(field_preset("demo"), ".");
  std::string p = read_file(kParamFile);
  p.replace(p.find("MODE=R\n"), 7, "MODE=R\n" + extra_lines);
  write_file(kParamFile, p);
  return run_program(binary_path("src/driver/zeb"), {kParamFile});
}

int count_lines(const std::string& out, const std::string& line) {
  int n = 0;
  for (const std::string& l : split_lines(out)) n += l == line;
  return n;
}

// The brightest true star well inside the pasted area (columns and rows 16..256)
// whose core does not saturate (saturated pixels are flagged and left out of
// the stacks).
TruthStar brightest_inside(const Truth& truth) {
  TruthStar best;
  for (const TruthStar& s : truth.stars) {
    if (s.u < 30.0 || s.u > 240.0 || s.v < 30.0 || s.v > 240.0 || s.flux[0] > 1.5e5) continue;
    if (s.flux[0] > best.flux[0]) best = s;
  }
  return best;
}

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

TEST(DemoRun, TilesMosaicsAndTheCompanionCommands) {
  TempDir dir;
  const Captured c = run_demo("VERBOSE+\n");
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(c.err, "");

  // The demo field covers tiles 1..2 x 1..2, each seen by all six exposures.
  auto setup = read_lines("LOGK.SETUP");
  ASSERT_EQ(setup.size(), 4u);
  const std::regex setup_line(R"( 00[12] 00[12]   0(076|196) 0(076|196) G006 N006 BB\d{4} F002 +\d+ \d{7})");
  for (const auto& l : setup) EXPECT_TRUE(std::regex_match(l, setup_line)) << l;
  EXPECT_EQ(setup[1].substr(0, 20), " 002 001   0196 0076");
  // Seven progress lines per tile, in tile order: start, exposures, loaded,
  // one per finding iteration (NITLIM 1 3) and the end with the counter after
  // the loop (4), the stars found per iteration, the stars added and NMASTs.
  const std::regex progress(R"( IT00[12] JT00[12]      0(076|196)  0(076|196)     NIT[0-4].*)");
  std::vector<std::string> lines;
  for (const auto& l : split_lines(c.out))
    if (std::regex_match(l, progress)) lines.push_back(l);
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[7].substr(0, 12), " IT002 JT001");
  EXPECT_EQ(lines[2].substr(37), "       6(Ns)       0/  0     0(Lo)");
  const std::regex iteration(R"( IT001 JT001      0076  0076     NIT1       6\(Ns\)       0/  0     0\(Lo\)          )"
                             R"( *\d+   0   0   0   0   0   0   0   0)");
  EXPECT_TRUE(std::regex_match(lines[3], iteration)) << lines[3];
  const std::regex end(R"( IT001 JT001      0076  0076     NIT4       6\(Ns\)       0/  0     0\(Lo\)         )"
                       R"(( +\d+){3}   0   0   0   0   0   0          +\d+         R\d{7})");
  EXPECT_TRUE(std::regex_match(lines[6], end)) << lines[6];
  EXPECT_NE(c.out.find("*****      JT =      2   *****"), std::string::npos);
  // The catalogue logs were opened after the run summary.
  const auto open_at = c.out.find("OPEN INPUT FILES...  \n");
  ASSERT_NE(open_at, std::string::npos);
  EXPECT_LT(c.out.find("ZEB_SETUP HAS BEEN DONE..."), open_at);
  EXPECT_LT(open_at, c.out.find("START THE ITERATIONS..."));

  // Two rows of tiles, two samplings; four tiles paste.
  EXPECT_EQ(count_lines(c.out, "INITIALIZE THE STRIP...  "), 4);
  EXPECT_EQ(count_lines(c.out, "INITIALIZE THE STRIP...  DONE"), 4);
  EXPECT_EQ(count_lines(c.out, " ZEB: MOSAIC_X1..."), 4);
  EXPECT_EQ(count_lines(c.out, "    : MOSAIC_X2..."), 4);
  EXPECT_EQ(count_lines(c.out, " call rastX..."), 2);

  const TruthStar star = brightest_inside(read_truth("truth.txt"));
  ASSERT_GT(star.flux[0], 0.0);
  write_file("check.py",
             "import sys, warnings\n"
             "warnings.simplefilter('ignore')\n"
             "import numpy as np\n"
             "from astropy.io import fits\n"
             "for x, side in (('X1', 1200), ('X2', 2400)):\n"
             "    for s in ('V1', 'S1', 'M1', 'N1', 'V2', 'S2', 'M2', 'N2', 'P0', 'Q0', 'D0', 'C0', 'Y0'):\n"
             "        with fits.open('LOGR.STACK_%s_%s.fits' % (x, s)) as f:\n"
             "            bitpix = f[0].header['BITPIX']  # before the data: scaling rewrites it\n"
             "            d = f[0].data\n"
             "            print(x, s, bitpix, d.shape[1], d.shape[0])\n"
             "n = fits.getdata('LOGR.STACK_X1_N1.fits')\n"
             "inner = n[15:256, 15:256]\n"
             "print('N1 inside', int(inner.min()), int(inner.max()), int(np.median(inner)))\n"
             "outside = np.concatenate([n[:, :15].ravel(), n[:15, :].ravel(), n[256:, :].ravel(), n[:, 256:].ravel()])\n"
             "print('N1 outside', np.unique(outside).tolist())\n"
             "n2 = fits.getdata('LOGR.STACK_X2_N2.fits')\n"
             "print('X2 N2 inside', int(np.median(n2[31:512, 31:512])), 'outside', np.unique(n2[:31, :]).tolist())\n"
             "v = fits.getdata('LOGR.STACK_X1_V1.fits')\n"
             "u0, v0 = float(sys.argv[1]), float(sys.argv[2])\n"
             "peak = v[int(round(v0)) - 2:int(round(v0)) + 1, int(round(u0)) - 2:int(round(u0)) + 1].max()\n"
             "region = v[15:256, 15:256]\n"
             "med = float(np.median(region))\n"
             "mad = float(np.median(np.abs(region - med)))\n"
             "print('star', 'stands out' if peak > med + 20 * max(mad, 1e-3) else 'lost', 'blank', float(v[5, 5]))\n");
  const std::string cmd = "/usr/bin/python3 check.py " + std::to_string(star.u) + ' ' + std::to_string(star.v) +
                          " > out.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file("out.txt");
  std::string want;
  for (const char* x : {"X1", "X2"}) {
    const std::string side = std::string(x) == "X1" ? " 1200 1200\n" : " 2400 2400\n";
    for (const char* s : {"V1", "S1", "M1", "N1", "V2", "S2", "M2", "N2", "P0", "Q0", "D0", "C0", "Y0"}) {
      const bool j2 = s[0] == 'V' || s[0] == 'S' || s[0] == 'M';
      want += std::string(x) + ' ' + s + (j2 ? " 16" : " 8") + side;
    }
  }
  // Three F110W exposures cover the tiles; the dither may leave a few points
  // with fewer. Outside the pasted area the count fill (255) and the creation
  // value (255) remain.
  const std::string out = read_file("out.txt");
  ASSERT_EQ(out.substr(0, want.size()), want) << out;
  const std::vector<std::string> tail = split_lines(out.substr(want.size()));
  ASSERT_EQ(tail.size(), 4u) << out;
  EXPECT_TRUE(tail[0] == "N1 inside 0 3 3" || tail[0] == "N1 inside 1 3 3" || tail[0] == "N1 inside 2 3 3")
      << tail[0];
  EXPECT_EQ(tail[1], "N1 outside [255]");
  EXPECT_EQ(tail[2], "X2 N2 inside 3 outside [255]");
  EXPECT_EQ(tail[3].substr(0, 16), "star stands out ");
  // Scale 1 (no SCLFLT in the file): the blank reads as -25.
  EXPECT_EQ(tail[3].substr(16), "blank -25.0");

  std::vector<std::string> viq1;
  for (const std::string& l : read_lines("LOGR.XYVIQ1"))
    if (!l.empty() && l[0] != '#') viq1.push_back(l);
  ASSERT_GT(viq1.size(), 100u);
  const std::string rows = std::to_string(viq1.size());

  const std::string exporter = binary_path("tools/export/zeb-export");
  for (const std::string format : {"ecsv", "fits"}) {
    Captured e = run_program(exporter, {".", "--format", format, "--out", "cat." + format});
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(e.out, "zeb-export: " + rows + " rows, 82 columns written to cat." + format + "\n");
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

TEST(MosaicRun, SwitchedOffMosaicsWriteNoFile) {
  TempDir dir;
  Captured c = run_demo("MOSAIC_X1-\nMOSAIC_X2-\n");
  ASSERT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_EQ(count_lines(c.out, "INITIALIZE THE STRIP...  "), 0);
  EXPECT_EQ(count_lines(c.out, "ALLOCATE MOSAIC STRIP-STACKS...  "), 0);
  EXPECT_EQ(c.out.find("INITIALIZE X"), std::string::npos);
  for (const auto& e : std::filesystem::directory_iterator("."))
    EXPECT_EQ(e.path().filename().string().rfind("LOGR.STACK", 0), std::string::npos) << e.path();
}

}  // namespace
}  // namespace zebsim
