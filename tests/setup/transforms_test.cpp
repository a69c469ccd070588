#include "setup/transforms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "geometry/distortion.h"
#include "support/test_support.h"

namespace {

using zeb::test::capture;
using zeb::test::read_file;
using zeb::test::split_lines;
using zeb::test::TempDir;
using zeb::test::write_file;

std::string sp(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

std::string mat_line(double u, double v, double x, double y, double m1, double m2) {
  char buf[200];
  std::snprintf(buf, sizeof buf, "%.17g %.17g %.17g %.17g %.9g %.9g\n", u, v, x, y, m1, m2);
  return buf;
}

// Slots allocated for n slots, all with camera code `kkk`, filter slot 1.
zeb::ImageSlots slots_of(int n, int kkk) {
  zeb::ImageSlots s;
  s.allocate(n, zeb::CDIM);
  s.gs = n;
  for (int g = 1; g <= n; ++g) {
    s.kkk_g(g) = kkk;
    s.fff_g(g) = 1;
    s.zpu_g(g) = -99.0f;
    s.zp_cg(1, g) = -99.0f;
  }
  return s;
}

zeb::FilterSlots two_filters() {
  zeb::FilterSlots f;
  f.allocate(2);
  f.fs = 2;
  f.exp_f(1) = 1000.0f;
  f.exp_f(2) = 700.0f;
  return f;
}

// A 3 x 3 grid at 100, 200, 300 in u and v; corrected x = u + dx, y = v; m1 - m2 = dm.
std::string grid_mat(double dx, double dm) {
  std::string s = "# u v x y m1 m2\n";
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) s += mat_line(100.0 * i, 100.0 * j, 100.0 * i + dx, 100.0 * j, 20.0 + dm, 20.0);
  return s;
}

TEST(IjCen, ReferencePixelsAndStops) {
  EXPECT_EQ(zeb::ij_cen(1, 1, 9), 512);
  EXPECT_EQ(zeb::ij_cen(2, 1, 7), 512);
  EXPECT_EQ(zeb::ij_cen(1, 4, 1), 400);
  EXPECT_EQ(zeb::ij_cen(2, 1, 5), 1024);
  EXPECT_EQ(zeb::ij_cen(2, 2, 8), 3072);
  EXPECT_EQ(zeb::ij_cen(1, 2, 9), 0);
  EXPECT_EQ(zeb::ij_cen(1, 1, 10), 0);
  EXPECT_EQ(capture([] { zeb::ij_cen(3, 1, 9); }).err, "STOP ixy.ne.1or2\n");
  EXPECT_EQ(capture([] { zeb::ij_cen(1, 5, 9); }).err, "STOP ik.lt.1.or.ik.gt.4\n");
  EXPECT_EQ(capture([] { zeb::ij_cen(1, 0, 9); }).err, "STOP ik.lt.1.or.ik.gt.4\n");
  EXPECT_EQ(capture([] { zeb::ij_cen(1, 1, 11); }).err, "STOP KKK.lt.1.or.KKK.gt.10\n");
}

TEST(GlobFit, TooFewOrDegeneratePointsGiveTheIdentity) {
  std::vector<double> u{1, 2, 3}, v{4, 5, 9}, x{10, 20, 30}, y{7, 8, 9};
  double a = 5, b = 5, c = 5, d = 5, ub = 5, vb = 5, xb = 5, yb = 5;
  EXPECT_FALSE(zeb::glob_fit6nrdp(u, v, x, y, 2, a, b, c, d, ub, vb, xb, yb));
  EXPECT_EQ(std::vector<double>({a, b, c, d, ub, vb, xb, yb}), std::vector<double>({1, 0, 0, 1, 0, 0, 0, 0}));
  // All u equal: the system is exactly singular.
  std::vector<double> uu{2, 2, 2, 2}, vv{1, 2, 3, 4}, xx{1, 2, 3, 4}, yy{4, 3, 2, 1};
  EXPECT_FALSE(zeb::glob_fit6nrdp(uu, vv, xx, yy, 4, a, b, c, d, ub, vb, xb, yb));
  EXPECT_EQ(std::vector<double>({a, b, c, d, ub, vb, xb, yb}), std::vector<double>({1, 0, 0, 1, 0, 0, 0, 0}));
  // Points on one slanted line: determined only to rounding, reported as unusable.
  std::vector<double> lu{0.1, 0.2, 0.3, 0.7}, lv{0.3, 0.6, 0.9, 2.1};
  EXPECT_FALSE(zeb::glob_fit6nrdp(lu, lv, xx, yy, 4, a, b, c, d, ub, vb, xb, yb));
}

TEST(Barsig, ClipsAnOutlierFromTheSecondPass) {
  // Pass 1: mean 21/21 + 10/21, sigma 0.952; pass 2 drops 11 (|11 - 1.476| > 2.86)
  // and the mean is 1 with sigma 0 from then on.
  std::vector<float> v(20, 1.0f);
  v.push_back(11.0f);
  float mean, sigma;
  int n;
  zeb::barsig(v, 21, mean, sigma, n);
  EXPECT_FLOAT_EQ(mean, 1.0f);
  EXPECT_FLOAT_EQ(sigma, 0.0f);
  EXPECT_EQ(n, 20);
}

TEST(Barsig, SmallSamples) {
  float mean, sigma;
  int n;
  std::vector<float> two{2.0f, 4.0f};
  zeb::barsig(two, 2, mean, sigma, n);  // mean 3, sigma (1 + 1) / 1
  EXPECT_FLOAT_EQ(mean, 3.0f);
  EXPECT_FLOAT_EQ(sigma, 2.0f);
  EXPECT_EQ(n, 2);
  std::vector<float> one{5.0f};
  zeb::barsig(one, 1, mean, sigma, n);
  EXPECT_FLOAT_EQ(mean, 5.0f);
  EXPECT_FLOAT_EQ(sigma, 0.999f);
  EXPECT_EQ(n, 1);
  zeb::barsig(one, 0, mean, sigma, n);
  EXPECT_FLOAT_EQ(mean, 0.0f);
  EXPECT_FLOAT_EQ(sigma, 0.999f);
  EXPECT_EQ(n, 0);
}

// The exposure is tied to the reference frame by a chosen map: raw points on
// the IR chip are corrected with gc_cf, then placed in the reference frame by
// u = U0 + GA (x - X0) + GB (y - Y0), v = V0 + GC (x - X0) + GD (y - Y0). The fit
// must give back AG..DG (the inverse of GA..GD), the chip centre and the zero point.
TEST(ReadMat, RecoversAKnownTransformationThroughTheDistortion) {
  TempDir dir;
  const double ag = 0.9, bg = 0.1, cg = -0.05, dg = 1.1;  // corrected offsets from (u, v) offsets
  const double det = dg * ag - cg * bg;                   // 1.0
  const double ga = dg / det, gb = -bg / det, gc = -cg / det, gd = ag / det;
  const double u0 = 600.0, v0 = 650.0, x0 = 500.0, y0 = 480.0;
  std::string mat = "# matched stars\n";
  for (int j = 40; j <= 1000; j += 120) {
    for (int i = 30; i <= 1000; i += 110) {
      double x = 0, y = 0;
      zeb::gc_cf(i, j, x, y, 9, 2, 1, "NULL");
      const double u = u0 + ga * (x - x0) + gb * (y - y0);
      const double v = v0 + gc * (x - x0) + gd * (y - y0);
      // m1 - m2 = 0.5 everywhere but one star, which the clip rejects.
      const double m2 = 18.0 + 0.001 * i;
      mat += mat_line(u, v, x, y, m2 + ((i == 250 && j == 400) ? 3.0 : 0.5), m2);
    }
  }
  write_file("ir.mat", mat);
  zeb::ImageSlots s = slots_of(1, 9);
  s.flt_g(1) = 2;
  auto r = capture([&] { zeb::read_mat("ir.mat", 9, 2, "NULL", 1, s); });
  ASSERT_FALSE(r.stopped || r.errored) << r.out << r.err;
  EXPECT_NEAR(s.ag_cg(1, 1), ag, 1e-9);
  EXPECT_NEAR(s.bg_cg(1, 1), bg, 1e-9);
  EXPECT_NEAR(s.cg_cg(1, 1), cg, 1e-9);
  EXPECT_NEAR(s.dg_cg(1, 1), dg, 1e-9);
  EXPECT_NEAR(s.ga_cg(1, 1), ga, 1e-9);
  EXPECT_NEAR(s.gd_cg(1, 1), gd, 1e-9);
  EXPECT_EQ(s.icen_cg(1, 1), 512);
  EXPECT_EQ(s.jcen_cg(1, 1), 512);
  double xc = 0, yc = 0;
  zeb::gc_cf(512.0, 512.0, xc, yc, 9, 2, 1, "NULL");
  EXPECT_EQ(s.xcen_cg(1, 1), xc);
  EXPECT_EQ(s.ycen_cg(1, 1), yc);
  EXPECT_NEAR(s.ucen_cg(1, 1), u0 + ga * (xc - x0) + gb * (yc - y0), 1e-7);
  EXPECT_NEAR(s.vcen_cg(1, 1), v0 + gc * (xc - x0) + gd * (yc - y0), 1e-7);
  EXPECT_NEAR(s.zp_cg(1, 1), 0.5f, 1e-5);
  EXPECT_NEAR(s.sc_cg(1, 1), std::pow(10.0, -0.2), 1e-5);
}

TEST(ReadMat, ExposureEqualToTheReferenceFrame) {
  TempDir dir;
  write_file("same.mat", grid_mat(0.0, 0.0));
  write_file("shifted.mat", grid_mat(10.0, 0.0));
  zeb::ImageSlots s = slots_of(2, 7);
  zeb::read_mat("same.mat", 7, 0, "NULL", 1, s);
  zeb::read_mat("shifted.mat", 7, 0, "NULL", 2, s);
  for (int g : {1, 2}) {
    EXPECT_EQ(s.ag_cg(1, g), 1.0);
    EXPECT_EQ(s.bg_cg(1, g), 0.0);
    EXPECT_EQ(s.cg_cg(1, g), 0.0);
    EXPECT_EQ(s.dg_cg(1, g), 1.0);
    EXPECT_EQ(s.xcen_cg(1, g), 512.0);  // HRC filter 0 leaves (512, 512) in place
    EXPECT_EQ(s.ycen_cg(1, g), 512.0);
    EXPECT_EQ(s.vcen_cg(1, g), 512.0);
  }
  EXPECT_EQ(s.ucen_cg(1, 1), 512.0);
  EXPECT_EQ(s.ucen_cg(1, 2), 502.0);
}

TEST(ReadMat, EachSlotIsFittedFromItsOwnEntries) {
  TempDir dir;
  // Slot 1 has many stars of the identity; slot 2 only five of a map scaled by 2.
  std::string big;
  for (int k = 0; k < 30; ++k) big += mat_line(10.0 * k, 7.0 * (k % 5), 10.0 * k, 7.0 * (k % 5), 20, 20);
  std::string small;
  for (int k = 0; k < 5; ++k) small += mat_line(10.0 * k, 9.0 * (k % 3), 20.0 * k, 18.0 * (k % 3), 20, 20);
  write_file("big.mat", big);
  write_file("small.mat", small);
  zeb::ImageSlots s = slots_of(2, 9);
  zeb::read_mat("big.mat", 9, 0, "NULL", 1, s);
  zeb::read_mat("small.mat", 9, 0, "NULL", 2, s);
  EXPECT_NEAR(s.ag_cg(1, 2), 2.0, 1e-12);
  EXPECT_NEAR(s.dg_cg(1, 2), 2.0, 1e-12);
  EXPECT_NEAR(s.bg_cg(1, 2), 0.0, 1e-12);
  EXPECT_NEAR(s.ga_cg(1, 2), 0.5, 1e-12);
}

TEST(ReadMat, ReadsCommasSlashesCommentsAndExtraValues) {
  TempDir dir;
  // Values beyond the sixth are not read: a seventh column changes nothing.
  write_file("mixed.mat",
             "# header\n"
             "100,100,100,100,20.5,20.0\n"
             "200 100 200 100 20.5 20.0 / a note\n"
             "100 200 100 200 20.5 20.0\r\n"
             "200,200, 200 ,200 , 20.5, 20.0, 99 id7\n");
  zeb::ImageSlots s = slots_of(1, 7);
  auto r = capture([&] { zeb::read_mat("mixed.mat", 7, 0, "NULL", 1, s); });
  ASSERT_FALSE(r.stopped || r.errored) << r.err;
  EXPECT_NEAR(s.ag_cg(1, 1), 1.0, 1e-12);
  EXPECT_NEAR(s.dg_cg(1, 1), 1.0, 1e-12);
  EXPECT_FLOAT_EQ(s.zp_cg(1, 1), 0.5f);
}

TEST(ReadMat, EmptySlotKeepsItsInitialValuesAndTwoChipCamerasStop) {
  zeb::ImageSlots s = slots_of(1, 0);
  s.ucen_cg(1, 1) = 5.0;
  s.ag_cg(1, 1) = 3.0;
  s.sc_cg(1, 1) = 2.0f;
  zeb::read_mat("never_opened.mat", 0, 0, "NULL", 1, s);
  EXPECT_EQ(s.ucen_cg(1, 1), -9999.0);
  EXPECT_EQ(s.vcen_cg(1, 1), -9999.0);
  EXPECT_EQ(s.ag_cg(1, 1), 0.0);
  EXPECT_EQ(s.sc_cg(1, 1), 0.0f);
  for (int kkk : {5, 8, 1}) {
    auto r = capture([&] { zeb::read_mat("never_opened.mat", kkk, 0, "NULL", 1, s); });
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "STOP Cs.gt._CDIM_\n");
  }
}

TEST(ReadMat, MalformedFilesAreReadErrorsNamingFileAndLine) {
  TempDir dir;
  const std::string good = grid_mat(0.0, 0.0);
  struct Case {
    std::string name, text, what;
  };
  const std::vector<Case> cases{
      {"blank.mat", good + "\n" + good, "blank.mat, line 11: a MAT line needs six numbers"},
      {"text.mat", good + "1 2 abc 4 5 6\n", "text.mat, line 11: bad real number 'abc'"},
      {"short.mat", "# c\n1 2 3 4 5\n" + good, "short.mat, line 2: a MAT line needs six numbers"},
      {"null.mat", "1 2 3,,5 6\n" + good, "null.mat, line 1: a MAT line needs six numbers"},
      {"nan.mat", good + "1 2 nan 4 5 6\n", "nan.mat, line 11: a MAT value is not a finite number"},
      {"huge.mat", good + "1 2 3 4 1e300 6\n", "huge.mat, line 11: a MAT magnitude is out of range"},
      {"missing.mat", "", "missing.mat: cannot open the MAT file"},
  };
  for (const auto& c : cases) {
    if (c.name != "missing.mat") write_file(c.name, c.text);
    zeb::ImageSlots s = slots_of(1, 9);
    auto r = capture([&] { zeb::read_mat(c.name, 9, 0, "NULL", 1, s); });
    EXPECT_TRUE(r.errored) << c.name;
    EXPECT_EQ(r.status, 2) << c.name;
    EXPECT_NE(r.err.find(c.what), std::string::npos) << c.name << ": " << r.err;
  }
}

TEST(ReadMat, FilesThatCannotPlaceTheirExposureAreRefused) {
  TempDir dir;
  write_file("two.mat", "# only two\n" + mat_line(1, 1, 1, 1, 20, 20) + mat_line(5, 9, 5, 9, 20, 20));
  std::string line;
  for (int k = 0; k < 6; ++k) line += mat_line(k, 2.0 * k, k, 2.0 * k, 20, 20);
  write_file("line.mat", line);
  std::string flat;  // (u, v) well spread, but every x is the same
  for (int k = 0; k < 9; ++k) flat += mat_line(k % 3, k / 3, 50, k, 20, 20);
  write_file("flat.mat", flat);
  struct Case {
    std::string name, reason;
  };
  for (const Case& c : {Case{"two.mat", " ---> fewer than 3 matched stars: 2\n"},
                        Case{"line.mat", " ---> the matched stars lie on one line: the fit is singular\n"},
                        Case{"flat.mat", " ---> the fitted transformation is singular\n"}}) {
    zeb::ImageSlots s = slots_of(4, 9);
    auto r = capture([&] { zeb::read_mat(c.name, 9, 0, "NULL", 4, s); });
    EXPECT_TRUE(r.stopped) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, "STOP MAT file cannot place its exposure\n");
    EXPECT_EQ(r.out, "  \n read_mat... THE MAT FILE CANNOT PLACE ITS EXPOSURE\n --->   SLOT:  4\n ---> MATFIL:  " +
                         c.name + "\n" + c.reason);
  }
}

TEST(ReadMat, TooManyDataLinesStop) {
  TempDir dir;
  auto lines = [](int n) {
    std::string t = "# comments do not count\n";
    t.reserve(static_cast<std::size_t>(n) * 24);
    for (int k = 0; k < n; ++k) {
      const std::string u = std::to_string(k % 7), v = std::to_string(k);
      t += u + " " + v + " " + u + " " + v + " 5 5\n";
    }
    return t;
  };
  write_file("most.mat", lines(49998));
  write_file("over.mat", lines(49999));
  zeb::ImageSlots s = slots_of(1, 9);
  auto ok = capture([&] { zeb::read_mat("most.mat", 9, 0, "NULL", 1, s); });
  EXPECT_FALSE(ok.stopped || ok.errored) << ok.out << ok.err;
  auto r = capture([&] { zeb::read_mat("over.mat", 9, 0, "NULL", 1, s); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.err, "STOP NMATs.gt._NMATMX_\n");
}

TEST(ReadMatFiles, BannerRowsAndLog) {
  TempDir dir;
  zeb::Settings settings;
  settings.direct = "in/";
  settings.ndirect = 3;
  std::filesystem::create_directories("in/hrc");
  write_file("in/hrc/a.mat", grid_mat(0.0, 0.0));
  zeb::ImageSlots s = slots_of(2, 7);
  s.kkk_g(2) = 0;  // slot number never used
  s.fff_g(2) = 0;
  s.filemat_g(1) = "a.mat";
  s.subdir_g(1) = "hrc/";
  s.nsubdir_g(1) = 4;
  s.zpu_g(1) = 25.0f;
  s.exp_g(1) = 500.0f;
  s.sky_g(1) = 2.0f;
  const zeb::FilterSlots f = two_filters();
  auto r = capture([&] { zeb::read_mat_files(settings, s, f); });
  ASSERT_FALSE(r.stopped || r.errored) << r.out << r.err;

  const std::string stars(47, '*');
  const std::string header = " ..G. C  ....AG... ....BG... ....CG... ....DG..." + sp(4) + " ...UCEN.. ...VCEN.." +
                             sp(4) + " ICEN JCEN" + sp(4) + " ...XCEN.. ...YCEN.." + sp(4) + "..ZP_CG. ..SC_CG." +
                             sp(4) + "..EXP_G. ..EXP_F. ..SKY_G.";
  // ZP from ZPU, SC from the magnitudes (m1 = m2: 1.0); the exposure times print
  // with f12.5 and the sky with f8.1.
  const std::string row = " 0001 1    1.00000   0.00000   0.00000   1.00000" + sp(4) + "   512.00000   512.00000" +
                          sp(4) + "  512  512" + sp(4) + "   512.00000   512.00000" + sp(4) + " 25.0000   1.0000" +
                          sp(4) + "   500.00000   1000.00000 " + sp(4) + "     2.0";
  EXPECT_EQ(r.out, stars + "\n***** \n***** READ IN THE MAT FILES...\n***** \n" + stars + "\n\n" + header + "\n" + row +
                       "\n" + header + "\n" + header + "\n\n");
  EXPECT_EQ(read_file("LOGK.TRANS_zeb"), header + "\n" + row + "\n" + header + "\n");
  EXPECT_EQ(s.ucen_cg(1, 2), -9999.0);
}

}  // namespace
