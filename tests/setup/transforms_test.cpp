// The MAT files and the linear transformations fitted to them, the slot
// report and the checks at the end of the set-up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "geometry/distortion.h"
#include "setup/image_slots.h"
#include "setup/transforms.h"
#include "support/test_support.h"
#include "tile/fits_builder.h"

namespace {

using namespace zeb::test;

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

TEST(CameraTables, ChipsPerCode) {
  EXPECT_EQ(zeb::cs_kkk(1), 4);
  EXPECT_EQ(zeb::cs_kkk(5), 2);
  EXPECT_EQ(zeb::cs_kkk(7), 1);
  EXPECT_EQ(zeb::cs_kkk(8), 2);
  EXPECT_EQ(zeb::cs_kkk(9), 1);
  for (int k : {0, 2, 3, 4, 6, 10, 11, -3}) EXPECT_EQ(zeb::cs_kkk(k), 0) << k;
}

// Three slots: a WFC3/IR exposure with a sub-directory, an ACS/HRC exposure
// whose names are long, and a slot number that no line used.
zeb::ImageSlots sample_slots() {
  struct Slot {
    const char *pix, *psf, *mat, *subdir;
    int fff, rap;
    const char *pos, *fnd;
    int kkk, flt;
    float msk, oth;
  } slot[] = {{"data/ir/ib1f01abq_flt.fits", "NULL", "mats/ib1f01abq.mat", "ir/", 1, 2, "111111111", "110000000", 9, 2,
               2.0f, 1.0f},
              {"/data/hst/acs/hrc/visit01/j8xi01abq_flt_drizzled.fits", "psf/STDPBF_ACSHRC_F814W.fits",
               "j8xi01abq.mat", "abcdefghijklmnopqrstuvwxy/", 2, 3, "111000000", "000000000", 7, 9, 2.5f, 0.75f}};
  zeb::ImageSlots s;
  s.allocate(3, zeb::CDIM);
  s.gs = 3;
  for (int g = 1; g <= 2; ++g) {
    const Slot& d = slot[g - 1];
    s.filename_g(g) = d.pix;
    s.filepsf_g(g) = d.psf;
    s.filemat_g(g) = d.mat;
    s.subdir_g(g) = d.subdir;
    s.nsubdir_g(g) = static_cast<int>(std::string(d.subdir).size());
    s.fff_g(g) = d.fff;
    s.rap_g(g) = d.rap;
    s.pos_g(g) = d.pos;
    s.fnd_g(g) = d.fnd;
    s.kkk_g(g) = d.kkk;
    s.flt_g(g) = d.flt;
    s.msk_g(g) = d.msk;
    s.oth_g(g) = d.oth;
  }
  return s;
}

TEST(SlotReport, BannerHeaderAndOneLinePerSlot) {
  TempDir dir;
  const zeb::ImageSlots slots = sample_slots();
  auto r = capture([&] { zeb::report_image_slots(slots); });
  ASSERT_FALSE(r.stopped);

  const std::string stars(47, '*');
  const std::string header = "#  G.Cs" + sp(3) + "PIX" + sp(27) + " PSF" + sp(27) + " GCS" + sp(27) + " MAT" + sp(27) +
                             sp(3) + "SLT RAP POS...... FND...... KKK.FLT" + sp(2) + "  MSK   OTH   SUBDIR ";
  const std::string line1 = "0001.1    d/i/ib1f01abq_flt.fits" + sp(8) + " NULL" + sp(26) + " NULL" + sp(26) +
                            " m/ib1f01abq.mat" + sp(15) + "     1   2 111111111 110000000   9.02     2.00   1.00   ir/";
  const std::string line2 = "0002.1    /d/h/a/h/v/j8xi01abq_flt_drizz p/STDPBF_ACSHRC_F814W.fits" + sp(4) + " NULL" +
                            sp(26) + " j8xi01abq.mat" + sp(17) +
                            "     2   3 111000000 000000000   7.09     2.50   0.75   abcdefghijklmnopqrst";
  const std::string line3 = "0003.0    NULL" + sp(26) + " NULL" + sp(26) + " NULL" + sp(26) + " NULL" + sp(26) +
                            "     0   0 000000000 000000000   0.00     0.00   0.00";
  EXPECT_EQ(r.out, "\n" + stars + "\n***** \n***** REPORT ON IMAGE SLOTS ---- Gs :   3\n***** \n***** \n" + stars +
                       "\n\n" + header + "\n" + line1 + "\n" + line2 + "\n" + line3 + "\n");
  EXPECT_EQ(read_file("LOGK.INFO_zeb"), header + "\n" + line1 + "\n" + line2 + "\n" + line3 + "\n");
}

TEST(EndOfSetup, ASlotOutsideBothFilterSlotsIsRefused) {
  zeb::ImageSlots slots = sample_slots();
  slots.fff_g(2) = 0;
  const zeb::FilterSlots filters = two_filters();
  auto r = capture([&] { zeb::end_of_setup(slots, filters); });
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(" IMAGE SLOT WITHOUT A FILTER SLOT:  2\n"), std::string::npos);
  // The unused slot 3 (no camera) is not a fault.
  slots.fff_g(2) = 2;
  EXPECT_FALSE(capture([&] { zeb::end_of_setup(slots, filters); }).stopped);
}

}  // namespace
