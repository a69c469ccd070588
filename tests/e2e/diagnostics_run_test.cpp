// zeb on the simulated IR field with its diagnostics on: the AUX images and
// region files show the run's own stacks, maps and local lists, the per-filter
// logs and XYFIND agree with the catalogues and the truth; and a mode-D run
// measures the starting list and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "field_files.h"
#include "score.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using namespace zeb::test;

using Fields = std::vector<std::string>;

// The data lines of a log, split at blanks (its '#' lines left out).
std::vector<Fields> records(const std::string& log) {
  std::vector<Fields> out;
  for (const std::string& l : read_lines(log))
    if (!l.empty() && l[0] != '#') out.push_back(split_words(l));
  return out;
}

// The e2e-ir field with its starting list and extra lines after the mode line.
Captured run_field(const std::string& mode, const std::string& extra) {
  write_field(field_preset("e2e-ir"), ".");
  std::string p = read_file(kParamFile);
  p.replace(p.find("MODE=R\n"), 7, "MODE=" + mode + "\n" + extra);
  p.replace(p.find("#PREMAG"), 7, "PREMAG");
  write_file(kParamFile, p);
  return run_program(binary_path("src/driver/zeb"), {kParamFile});
}

// Starting-list entries (u, v) in file order: entry N is master star N.
std::vector<std::pair<double, double>> start_list() {
  std::vector<std::pair<double, double>> s;
  for (const Fields& f : records(kStartFile)) s.emplace_back(std::stod(f[0]), std::stod(f[1]));
  return s;
}

int number_of(const std::string& id) { return std::stoi(id.substr(1)); }

// "Q004/002" -> {4, 2}.
std::pair<int, int> count_and_requirement(const std::string& f) {
  return {std::stoi(f.substr(1, 3)), std::stoi(f.substr(5, 3))};
}

// Images against the mosaics, the per-iteration images against the final
// ones, and each star's XYFIND mask value against the final mask stack; for
// the last tile (2, 1), which nothing overwrites. Prints one line per check.
const char* kImageCheck = R"(
import warnings
warnings.simplefilter('ignore')
import numpy as np
from astropy.io import fits
def img(name):
    return fits.getdata('AUX/SHOW_TILE_%s.fits' % name).astype(float)
# X2 pastes grid points 31..271 at column i + 2 x 196 - 151, row j + 2 x 76 - 151.
for k in ('V1', 'S1', 'M1', 'V2', 'S2', 'M2', 'N1', 'N2', 'P0', 'Q0', 'D0', 'C0', 'Y0'):
    a = img('NIT9_' + k)[30:271, 30:271]
    m = fits.getdata('LOGR.STACK_X2_%s.fits' % k).astype(float)[31:272, 271:512]
    if k[0] in 'VSM':
        ok = np.abs(a) < 30000
        good = bool(np.all(np.abs(m - a)[ok] < 1.0)) and ok.sum() > 50000
    else:
        good = bool(np.all(m == a))
    print(k, 'pasted' if good else 'differs', int(a.max()) > 0)
print('values of iteration 1 final', bool(np.all(img('NIT1_V2') == img('NIT9_V2'))))
print('counts of iteration 1 final', bool(np.all(img('NIT1_N1') == img('NIT9_N1'))), int(img('NIT9_N1').max()))
print('maps of iteration 2 final', all(bool(np.all(img('NIT2_%s0' % k) == img('NIT9_%s0' % k))) for k in 'PQDCY'))
v, f, s = img('NIT9_V1'), img('NIT9_F1'), img('NIT9_S1')
core = v > 3000
print('values are model plus residual', float(np.median(np.abs(v - f - s)[core] / v[core])) < 0.02, core.sum() > 20)
mask = img('NIT9_M1')
bad = 0
n = 0
for line in open('LOGR.XYFIND'):
    w = line.split()
    if w[9] != 'IT002':
        continue
    i, j = int(float(w[3]) + 0.5), int(float(w[4]) + 0.5)
    n += 1
    bad += abs(mask[j - 1, i - 1] - float(w[18])) > 0.051
print('mask values', n, bad)
)";

TEST(DiagnosticsRun, ImagesRegionFilesAndLogsShowTheRunsOwnLists) {
  TempDir dir;
  std::filesystem::create_directory("AUX");
  // Iteration 2 excludes nothing around known stars: a star found in
  // iteration 1 is found again unless its model was subtracted first.
  const Captured c = run_field("R", "SHOW_TILES+\nLOGFINFO+\nNIT02 OPRX=0 OPRV=0\n");
  ASSERT_EQ(c.status, 0) << c.err;

  // The local-list circles of the last tile's final list (NIT 9): entry L at
  // its final tile-grid position (XYFIND's xmast0, ymast0), in the style of
  // its finding iteration; iteration 2's file holds the same entries.
  const std::vector<Fields> xyfind = records("LOGR.XYFIND");
  const std::vector<std::string> nit9 = read_lines("AUX/SHOW_TILE_LOG.FIND_NIT09.reg");
  const std::vector<std::string> nit2 = read_lines("AUX/SHOW_TILE_LOG.FIND_NIT02.reg");
  ASSERT_EQ(nit2.size(), nit9.size());
  const std::map<std::string, std::string> style = {{"W0", ", 5.000) # color=blue    width=3"},
                                                    {"W1", ", 3.500) # color=green   width=2"},
                                                    {"W2", ", 0.900) # color=cyan    width=2"}};
  int last_tile = 0;
  for (const Fields& r : xyfind) {
    if (r[9] != "IT002") continue;
    ++last_tile;
    const std::size_t l = static_cast<std::size_t>(std::stoi(r[8].substr(1)));
    ASSERT_LE(l, nit9.size());
    const std::string& circle = nit9[l - 1];
    EXPECT_NEAR(std::stod(circle.substr(15, 8)), std::stod(r[5]), 0.051) << circle;
    EXPECT_NEAR(std::stod(circle.substr(24, 8)), std::stod(r[6]), 0.051) << circle;
    EXPECT_EQ(circle.substr(32), style.at(r[11])) << circle;
    EXPECT_EQ(nit2[l - 1].substr(32), circle.substr(32));
  }
  EXPECT_GT(last_tile, 50);

  // XYFIND: starting-list stars (found in no iteration, by no criterion) keep
  // their numbers; a found star met the requirement of the criterion that
  // found it. No two stars share a place.
  const int nmasti = static_cast<int>(start_list().size());
  const std::vector<Fields> viq0 = records("LOGR.XYVIQ0");
  ASSERT_EQ(viq0.size(), xyfind.size());
  double closest = 1e9;
  for (std::size_t k = 0; k < xyfind.size(); ++k) {
    const Fields& r = xyfind[k];
    ASSERT_EQ(r.size(), 22u);
    EXPECT_EQ(r[7], viq0[k][3]);
    for (std::size_t j = k + 1; j < viq0.size(); ++j)
      closest = std::min(closest, std::hypot(std::stod(viq0[j][0]) - std::stod(viq0[k][0]),
                                             std::stod(viq0[j][1]) - std::stod(viq0[k][1])));
    const bool loaded = number_of(r[7]) <= nmasti;
    EXPECT_EQ(r[11] == "W0", loaded) << r[7];
    EXPECT_EQ(r[12] == "Y0", loaded) << r[7];
    if (loaded) continue;
    const int y = r[12][1] - '0';
    ASSERT_TRUE(y >= 1 && y <= 3) << r[12];
    const auto [count, needed] = count_and_requirement(r[13 + y]);  // Q, D or P
    EXPECT_GE(count, needed) << r[7] << ' ' << r[13 + y];
  }
  EXPECT_GT(closest, 1.0);

  // The local flux: 0.6 of a bright, isolated star's filter-1 flux in the
  // value stack (a core of about 1.2 pixels less its annulus), the same
  // fraction for every such star.
  const Truth truth = read_truth("truth.txt");
  std::vector<double> ratio;
  for (std::size_t k = 0; k < xyfind.size(); ++k) {
    const double u = std::stod(viq0[k][0]), v = std::stod(viq0[k][1]);
    for (const TruthStar& s : truth.stars)
      if (std::hypot(s.u - u, s.v - v) < 0.3 && s.flux[0] > 5000) ratio.push_back(std::stod(xyfind[k][17]) / s.flux[0]);
  }
  ASSERT_GE(ratio.size(), 20u);
  std::sort(ratio.begin(), ratio.end());
  const std::size_t n = ratio.size();
  EXPECT_NEAR(ratio[n / 2], 0.6, 0.1);
  EXPECT_LT(ratio[n * 9 / 10] / ratio[n / 10], 1.8);

  // The per-filter logs repeat the catalogues' fluxes, star by star and filter
  // by filter (the catalogue's filter groups `step` fields apart); XYVIQS
  // repeats method 3's and adds the sky of the simulation.
  for (const auto& [log, catalogue, step] : {std::tuple{"LOGR.FIND_AVG_Z0_F", "LOGR.XYVIQ0", 4},
                                             std::tuple{"LOGR.FIND_AVG_Z2_F", "LOGR.XYVIQ2", 6},
                                             std::tuple{"LOGR.FIND_AVG_UV1_F", "LOGR.XYVIQ1", 6}}) {
    const std::vector<Fields> lines = records(log), cat = records(catalogue);
    ASSERT_EQ(lines.size(), 2 * cat.size()) << log;
    for (std::size_t k = 0; k < lines.size(); ++k) {
      const Fields& star = cat[k / 2];
      EXPECT_EQ(lines[k].back(), star[3]) << log;
      EXPECT_EQ(lines[k][2], star[4 + (k % 2) * static_cast<std::size_t>(step)]) << log << ' ' << star[3];
    }
  }
  const std::vector<Fields> viqs = records("LOGR.XYVIQS"), viq3 = records("LOGR.XYVIQ3");
  ASSERT_EQ(viqs.size(), viq3.size());
  const FieldDesign design = field_preset("e2e-ir");
  for (int f = 0; f < 2; ++f) {
    std::vector<double> sky;
    for (std::size_t k = 0; k < viqs.size(); ++k) {
      EXPECT_EQ(viqs[k][0], viq3[k][3]);
      const std::string& z = viqs[k][1 + 3 * f];
      if (std::fabs(std::stod(z)) < 999999.0) {
        EXPECT_EQ(z, viq3[k][4 + 6 * f]) << viq3[k][3];
      }
      if (std::stod(viqs[k][2 + 3 * f]) > 0.0) sky.push_back(std::stod(viqs[k][2 + 3 * f]));
    }
    std::sort(sky.begin(), sky.end());
    const FilterDesign& fd = design.filters[static_cast<std::size_t>(f)];
    // Star light reaches into the 2.5..4.5-pixel annulus: a few per cent more.
    EXPECT_NEAR(sky[sky.size() / 2] / (fd.sky_rate * fd.exp_f), 1.05, 0.05) << "filter " << f + 1;
  }

  write_file("check.py", kImageCheck);
  ASSERT_EQ(std::system("/usr/bin/python3 check.py > out.txt 2>&1"), 0) << read_file("out.txt");
  const std::vector<std::string> out = split_lines(read_file("out.txt"));
  const std::vector<std::string> want = {
      "V1 pasted True",   "S1 pasted True", "M1 pasted True", "V2 pasted True", "S2 pasted True", "M2 pasted True",
      "N1 pasted True",   "N2 pasted True", "P0 pasted True", "Q0 pasted True", "D0 pasted True", "C0 pasted True",
      "Y0 pasted True",   "values of iteration 1 final True", "counts of iteration 1 final True 2",
      "maps of iteration 2 final True", "values are model plus residual True True", "mask values " + std::to_string(last_tile) + " 0"};
  EXPECT_EQ(out, want);
}

TEST(DiagnosticsRun, ModeDMeasuresTheStartingListAndFindsNothing) {
  TempDir dir;
  const Captured c = run_field("D", "");
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(c.out.find("     NIT1 "), std::string::npos);  // no finding iteration ran
  // Exactly the starting stars whose starting position lies in the inner
  // region of tiles (1, 1) and (2, 1), u 16..256 and v 16..136, each under
  // its own number, near its starting position (0.05 pixel of error each way).
  const auto start = start_list();
  std::vector<int> want, got;
  for (std::size_t n = 0; n < start.size(); ++n) {
    const auto [u, v] = start[n];
    if (u >= 16 && u < 256 && v >= 16 && v < 136) want.push_back(static_cast<int>(n + 1));
  }
  const Truth truth = read_truth("truth.txt");
  for (const Fields& r : records("LOGD.XYVIQ0")) {
    ASSERT_EQ(r[3][0], 'D');
    const int id = number_of(r[3]);
    got.push_back(id);
    ASSERT_LE(id, static_cast<int>(start.size()));
    const auto [u, v] = start[static_cast<std::size_t>(id - 1)];
    EXPECT_LT(std::hypot(std::stod(r[0]) - u, std::stod(r[1]) - v), 0.25) << r[3];
    // Measured stars (not saturated): the true flux within 3%.
    if (r[6] == "0") continue;
    for (const TruthStar& s : truth.stars)
      if (std::hypot(s.u - u, s.v - v) < 0.25) {
        EXPECT_NEAR(std::stod(r[4]) / s.flux[0], 1.0, 0.03) << r[3];
      }
  }
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
  EXPECT_GE(want.size(), 5u);
  for (const Fields& r : records("LOGD.XYFIND")) EXPECT_EQ(r[11] + r[12], "W0Y0") << r[7];
}

}  // namespace
}  // namespace zebsim
