// zeb at its capacities, on one tile of a small simulated field: 35 exposures
// (35 image slots sharing the simulated files), 199,999 stars in the master
// list, 999 artificial stars in the tile (mode C) and 2,999 stars in its local
// list run to a normal end; one more of each stops the run with its
// documented stop text.
#include <gtest/gtest.h>

#include <filesystem>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

namespace fs = std::filesystem;
using namespace zeb::test;

// A parameter file on the simulated exposures: `slots` image slots, the first
// half on the filter-1 exposure, the rest on the filter-2 one; no finding
// iterations (NITMIN above NITMAX), so the local list holds the loaded stars;
// no mosaics.
std::string params(const Field& field, char mode, int slots, const std::string& lists) {
  std::string p = std::string("MODE=") + mode + "\nNITLIM 2 1\nIJTLIM 1 1 1 1\nMOSAIC_X1- MOSAIC_X2-\n" + lists;
  int g = 0;
  for (int f = 0; f < 2; ++f) {
    const FilterDesign& fd = field.design.filters[static_cast<std::size_t>(f)];
    const Exposure* e = nullptr;
    for (const Exposure& x : field.exposures)
      if (x.filter == f && !e) e = &x;
    p += "F_SLOT= " + std::to_string(f + 1) + "\nEXPFLT= 500\nPSFSTD " + psf_library_file(fd) + "\nFILTER= " +
         fd.name + "\nCHIPNAME= WFC3IR\n";
    const int last = f == 0 ? (slots + 1) / 2 : slots;
    for (++g; g <= last; ++g) {
      char slot[8];
      std::snprintf(slot, sizeof slot, "%04d", g);
      p += std::string(slot) + " PIX= " + exposure_file(*e) + " MAT= " + mat_file(*e) + "\n";
    }
    --g;
  }
  return p + "END\n";
}

// n positions: the first `inside` on a grid of `per_row` columns from `lo` in
// steps of `step` (within tile (1, 1)), the others spread over hash cells far
// from it, at most 30000 to a cell.
std::string positions(int n, int inside, const char* values, double lo = 2.0, double step = 2.7, int per_row = 55) {
  std::string s;
  s.reserve(static_cast<std::size_t>(n) * 24);
  for (int k = 0; k < n; ++k) {
    double u, v;
    if (k < inside) {
      u = lo + step * (k % per_row);
      v = lo + step * (k / per_row);
    } else {
      const int cell = (k - inside) / 30000, j = (k - inside) % 30000;
      u = 1000.0 + 120.0 * cell + 0.5 * (j % 200);
      v = 3000.0 + 0.5 * (j / 200);
    }
    s += std::to_string(u) + " " + std::to_string(v) + values;
  }
  return s;
}

TEST(Limits, RunsAtEveryCapacityAndStopsJustBeyond) {
  TempDir dir;
  FieldDesign d = field_preset("e2e-ir");
  d.nstars = 150;
  write_field(d, dir.path().string());
  const Field field = plan_field(d);
  const std::string zeb = binary_path("src/driver/zeb");
  auto run = [&](char mode, int slots, const std::string& lists) {
    write_file("limits.txt", params(field, mode, slots, lists));
    return run_program(zeb, {"limits.txt"});
  };
  // The tile summary line: ... G<Gs> N<Ns> BB<n> F<Fs> <Ls> <NMASTs>.
  auto summary = [] { return read_lines("LOGK.SETUP").at(0).substr(21); };
  auto tail = [](const std::string& out) { return out.substr(out.size() > 2000 ? out.size() - 2000 : 0); };

  // 35 exposures on the tile and 199,999 stars in the master list; then a
  // 36th image slot, and a 200,000th star.
  write_file("master.txt", positions(199999, 0, " -9 -9\n"));
  auto full = run('R', 35, "DRIVXY master.txt\n");
  ASSERT_EQ(full.status, 0) << full.err << tail(full.out);
  EXPECT_EQ(summary().substr(0, 9), "G035 N035");
  EXPECT_EQ(summary().substr(summary().size() - 12), "   0 0199999");
  auto slot36 = run('R', 36, "DRIVXY master.txt\n");
  EXPECT_EQ(slot36.status, 1);
  EXPECT_EQ(slot36.err, "STOP Gs.gt._GDIM_\n");
  write_file("master.txt", positions(200000, 0, " -9 -9\n"));
  auto master_over = run('R', 35, "DRIVXY master.txt\n");
  EXPECT_EQ(master_over.status, 1);
  EXPECT_EQ(master_over.err, "STOP NMASTi.gt._NSTMAX_\n");

  // 999 artificial stars in the tile (mode C: all added at once), numbered
  // 001..999 in its "LOGL.LOCAL_ART"; then 1000. They lie in the tile's own
  // hash cell (u, v below 136).
  write_file("art.txt", positions(999, 999, " 2000 1500\n", 16.0, 3.7, 32));
  auto art_full = run('C', 2, "VERBOSE+\nARTFLX art.txt\n");
  ASSERT_EQ(art_full.status, 0) << art_full.err << tail(art_full.out);
  const std::vector<std::string> local_art = read_lines("LOGL.LOCAL_ART");
  ASSERT_EQ(local_art.size(), 999u);
  EXPECT_EQ(local_art.back().substr(0, 13), " 999 0000999 ");
  write_file("art.txt", positions(1000, 1000, " 2000 1500\n", 16.0, 3.7, 32));
  auto art_over = run('C', 2, "ARTFLX art.txt\n");
  EXPECT_EQ(art_over.status, 1);
  EXPECT_EQ(art_over.err, "STOP NARTf.gt.999\n");

  // 2,999 stars in the tile's local list, then 3,000.
  write_file("master.txt", positions(2999, 2999, " -9 -9\n"));
  auto local_full = run('R', 2, "DRIVXY master.txt\n");
  ASSERT_EQ(local_full.status, 0) << local_full.err << tail(local_full.out);
  EXPECT_EQ(summary().substr(summary().size() - 12), "2999 0002999");
  write_file("master.txt", positions(3000, 3000, " -9 -9\n"));
  auto local_over = run('R', 2, "DRIVXY master.txt\n");
  EXPECT_EQ(local_over.status, 1);
  EXPECT_EQ(local_over.err, "STOP Ls.gt._LDIM_\n");
}

}  // namespace
}  // namespace zebsim
