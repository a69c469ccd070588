// zeb on simulated fields: the program reads everything zebsim wrote for it and
// its set-up recovers what the simulation put in.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <sstream>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::binary_path;
using zeb::test::read_lines;
using zeb::test::run_program;
using zeb::test::TempDir;

int data_lines(const std::string& path) {
  int n = 0;
  for (const auto& l : read_lines(path))
    if (!l.empty() && l[0] != '#') ++n;
  return n;
}

// The rows of "LOGK.TRANS_zeb": G C AG BG CG DG UCEN VCEN ICEN JCEN XCEN YCEN
// ZP_CG SC_CG EXP_G EXP_F SKY_G.
std::vector<std::vector<double>> transformation_rows(const std::string& path) {
  std::vector<std::vector<double>> rows;
  for (const auto& l : read_lines(path)) {
    std::istringstream in(l);
    std::vector<double> v;
    double x;
    while (in >> x) v.push_back(x);
    if (v.size() == 17 && in.eof()) rows.push_back(v);
  }
  return rows;
}

void run_setup_on(FieldDesign design) {
  TempDir dir;
  design.with_start_list = true;
  write_field(design, dir.path().string());
  const Field field = plan_field(design);
  auto run = run_program(binary_path("src/driver/zeb"), {"params.txt"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("ZEB_SETUP HAS BEEN DONE..."), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\n        CMODE: R\n"), std::string::npos);
  std::ostringstream counts;
  counts << "\n           Bs: " << std::setw(8) << data_lines("bright.txt") << "\n       NMASTi: " << std::setw(8)
         << data_lines("start.txt") << '\n';
  EXPECT_NE(run.out.find(counts.str()), std::string::npos) << counts.str() << run.out;

  // One row per exposure: the linear map, the zero point and the exposure time.
  auto rows = transformation_rows("LOGK.TRANS_zeb");
  ASSERT_EQ(rows.size(), field.exposures.size());
  for (const Exposure& e : field.exposures) {
    const auto& r = rows[e.slot - 1];
    EXPECT_EQ(r[0], e.slot);
    EXPECT_NEAR(r[2], e.a, 2e-4);
    EXPECT_NEAR(r[3], e.b, 2e-4);
    EXPECT_NEAR(r[12], 2.5 * std::log10(e.units_per_flux(design.camera, design.filters[e.filter].exp_f)), 0.003);
    EXPECT_NEAR(r[14], static_cast<float>(e.exptime), 1e-5);  // a 32-bit exp_g
    EXPECT_EQ(r[15], design.filters[e.filter].exp_f);
  }
}

TEST(EndToEnd, ZebSetsUpTheIrField) { run_setup_on(field_preset("e2e-ir")); }

TEST(EndToEnd, ZebSetsUpTheHrcField) { run_setup_on(field_preset("e2e-hrc")); }

}  // namespace
}  // namespace zebsim
