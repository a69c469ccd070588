// The set-up readers of the camera PSF files: where each fiducial comes from,
// their diagnostic tables, and refusal of files that are not the stated image.
//
// Local PSFs: the camera-array interpolations, the library file (header rules,
// weights, lies), the dispatch by camera code and the per-tile loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>

#include "core/fortran_format.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "psf/psf.h"
#include "psf/psf_camera.h"
#include "psf/psf_library.h"
#include "setup/run_state.h"
#include "support/test_support.h"
#include "tile/fits_builder.h"

namespace zeb {
namespace {

using namespace zeb::test;

// A float image whose pixel (x, y) is x + y / 1024 (exact in single precision).
float float_pixel(int x, int y) { return static_cast<float>(x) + static_cast<float>(y) / 1024.0f; }
void write_float_image(const std::string& name, int nx, int ny) {
  Array2<float> img(nx, ny);
  for (int y = 1; y <= ny; ++y)
    for (int x = 1; x <= nx; ++x) img(x, y) = float_pixel(x, y);
  writfits_r4(name, View2<const float>(img.data(), nx, ny), nx, ny);
}

TEST(ReadPsfacs, FiducialsShareTheirBordersAndTheTableShowsCentres) {
  TempDir dir;
  write_float_image("acs.fits", PSFACS_NX, PSFACS_NY);
  CameraPsf psf;
  const auto c = capture([&] { read_psfacs("acs.fits", psf); });
  ASSERT_FALSE(c.stopped) << c.out;
  EXPECT_EQ(psf(1, 1, 1, 1), float_pixel(1, 1));
  EXPECT_EQ(psf(101, 101, 9, 10), float_pixel(901, 1001));
  EXPECT_EQ(psf(30, 40, 4, 7), float_pixel(330, 640));
  EXPECT_EQ(psf(101, 5, 1, 3), psf(1, 5, 2, 3));  // shared column
  EXPECT_EQ(psf(7, 101, 5, 2), psf(7, 1, 5, 3));  // shared row
  // Centre (51, 51) of fiducial (ip, jp) is pixel (51 + 100 (ip-1), 51 + 100 (jp-1)):
  // row jp = 10 at y = 951 (951/1024 = 0.92871), row 1 at y = 51 (0.04980).
  const auto lines = split_lines(c.out);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "          10  51.9287151.9287251.9287351.9287451.9287551.9287651.9287751.9287851.9287");
  EXPECT_EQ(lines[9], "           1  51.0498151.0498251.0498351.0498451.0498551.0498651.0498751.0498851.0498");
}

// A camera array whose fiducial (ip, jp) holds ip/8 + jp/64 everywhere except
// that element (a, b) adds (a + b)/4096 (all exact in single precision).
CameraPsf linear_camera() {
  CameraPsf cam;
  clear_camera_psf(cam);
  for (int jp = 1; jp <= PSF_NY; ++jp)
    for (int ip = 1; ip <= PSF_NX; ++ip)
      for (int b = 1; b <= PSF_NPIX; ++b)
        for (int a = 1; a <= PSF_NPIX; ++a) cam(a, b, ip, jp) = ip / 8.0f + jp / 64.0f + (a + b) / 4096.0f;
  return cam;
}

// The value the linear camera array interpolates to at fractional fiducial
// indices (pi, pj), element (a, b).
double linear_value(double pi, double pj, int a, int b) { return pi / 8.0 + pj / 64.0 + (a + b) / 4096.0; }

Array2<float> psf_grid() { return Array2<float>(PSF_NPIX, PSF_NPIX, -1.0f); }

TEST(MkLocPsfAcs, ChipBoundaryRows) {
  const CameraPsf cam = linear_camera();
  Array2<float> psf = psf_grid();
  // j = 2048: rows 4 and 5 with fy = 1, so row 5 alone.
  PsfInterpolation at = mk_loc_psfacs(1024, 2048, psf.view(), cam, false);
  EXPECT_EQ(at.ii, 2);
  EXPECT_EQ(at.jj, 4);
  EXPECT_EQ(at.fx, 1.0f);
  EXPECT_EQ(at.fy, 1.0f);
  EXPECT_EQ(psf(51, 51), cam(51, 51, 3, 5));
  EXPECT_EQ(psf(1, 101), cam(1, 101, 3, 5));
  // j = 2049: rows 6 and 7, fy = 1/512.
  at = mk_loc_psfacs(1024, 2049, psf.view(), cam, false);
  EXPECT_EQ(at.jj, 6);
  EXPECT_EQ(at.fy, 1.0f / 512.0f);
  EXPECT_NEAR(psf(51, 51), linear_value(3.0, 6.0 + 1.0 / 512.0, 51, 51), 2e-6);
}

TEST(MkLocPsfWfc3uv, RowFiveAloneAcrossTheChipGap) {
  const CameraPsf cam = linear_camera();
  Array2<float> psf = psf_grid();
  for (int j : {2048, 2400, 2728}) {
    const PsfInterpolation at = mk_loc_psfwfc3uv(100, j, psf.view(), cam);
    EXPECT_EQ(at.jj, 4) << j;
    EXPECT_EQ(at.fy, 1.0f) << j;
    EXPECT_NEAR(psf(51, 51), linear_value(1.0 + 100.0 / 682.0, 5.0, 51, 51), 2e-6) << j;
  }
  // Just below 2048 the interval is rows 4-5 with bounds 1365..2048.
  PsfInterpolation at = mk_loc_psfwfc3uv(100, 2047, psf.view(), cam);
  EXPECT_EQ(at.jj, 4);
  EXPECT_EQ(at.fy, 682.0f / 683.0f);
  // Above 2728 rows 6-7 with bounds 2730..3413: 2729 is clamped onto row 6.
  at = mk_loc_psfwfc3uv(100, 2729, psf.view(), cam);
  EXPECT_EQ(at.jj, 6);
  EXPECT_EQ(at.fy, 0.0f);
  EXPECT_EQ(psf(51, 51), cam(51, 51, 1, 6) * (1.0f - 100.0f / 682.0f) + 0.0f + cam(51, 51, 2, 6) * (100.0f / 682.0f));
}

// ---------------------------------------------------------------------------
// Library files.

std::string card(const std::string& key, long long value) {
  return pad(fortran_record("(a8,'= ',i20)", pad(key, 8), value), 80);
}
std::string text_card(const std::string& text) { return pad(text, 80); }

struct Library {
  int nx = 3, ny = 2;
  std::map<std::string, std::string> cards;  // keyword -> card, in keyword order

  Library() {
    cards["NXPSFs"] = card("NXPSFs", nx);
    cards["NYPSFs"] = card("NYPSFs", ny);
    const int ipsfx[10] = {100, 300, 700, 900, 1000, 1100, 1200, 1300, 1400, 1500};
    const int jpsfy[10] = {50, 150, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int k = 1; k <= 10; ++k) {
      const std::string nn = fortran_record("(i2.2)", k);
      cards["IPSFX" + nn] = card("IPSFX" + nn, ipsfx[k - 1]);
      cards["JPSFY" + nn] = card("JPSFY" + nn, jpsfy[k - 1]);
    }
  }
  // Value of element (a, b) of fiducial (ip, jp).
  static float value(int a, int b, int ip, int jp) { return 1000.0f * ip + 100.0f * jp + (a + 2 * b) / 256.0f; }

  void write(const std::string& path) const {
    std::string header = text_card("SIMPLE  =                    T") + card("BITPIX", -32) + card("NAXIS", 3) +
                         card("NAXIS1", 101) + card("NAXIS2", 101) + card("NAXIS3", nx * ny);
    for (const auto& [key, c] : cards) header += c;
    std::string data;
    for (int k = 1; k <= nx * ny; ++k)
      for (int b = 1; b <= PSF_NPIX; ++b)
        for (int a = 1; a <= PSF_NPIX; ++a) data += be_float(value(a, b, (k - 1) % nx + 1, (k - 1) / nx + 1));
    test::write_file(path, pad_record(header + text_card("END"), ' ') + padded_data(data));
  }
};

TEST(LocpsfijStdpsf, WeightsAtFiducialsMidwayAndBeyond) {
  TempDir dir;
  Library lib;
  lib.write("lib.fits");
  Array2<float> p = psf_grid();
  // On fiducial (2, 2): ii = 1, fx = 1; jj = 1, fy = 1.
  StdpsfHeader h;
  PsfInterpolation at = locpsfij_stdpsf(300, 150, p.view(), "lib.fits", h);
  // The header was read because nxpsfs was 0.
  EXPECT_EQ(h.nxpsfs, 3);
  EXPECT_EQ(h.nypsfs, 2);
  EXPECT_EQ(h.ipsfx[0], 100);
  EXPECT_EQ(h.ipsfx[9], 1500);
  EXPECT_EQ(h.jpsfy[1], 150);
  EXPECT_EQ(h.data_offset, 2880);
  EXPECT_EQ(at.ii, 1);
  EXPECT_EQ(at.fx, 1.0f);
  EXPECT_EQ(at.fy, 1.0f);
  EXPECT_EQ(p(10, 20), Library::value(10, 20, 2, 2));
  // Midway in both: the mean of the four planes.
  at = locpsfij_stdpsf(200, 100, p.view(), "lib.fits", h);
  EXPECT_EQ(at.fx, 0.5f);
  EXPECT_EQ(at.fy, 0.5f);
  EXPECT_EQ(p(10, 20), 1500.0f + 150.0f + 50.0f / 256.0f);
  // 500 lies between columns 2 and 3 (300, 700): fx = 0.5.
  at = locpsfij_stdpsf(500, 50, p.view(), "lib.fits", h);
  EXPECT_EQ(at.ii, 2);
  EXPECT_EQ(at.fx, 0.5f);
  EXPECT_EQ(at.fy, 0.0f);
  EXPECT_EQ(p(1, 1), 2500.0f + 100.0f + 3.0f / 256.0f);
  // Beyond the last column: extrapolated, fx = 600/400.
  at = locpsfij_stdpsf(900, 50, p.view(), "lib.fits", h);
  EXPECT_EQ(at.fx, 1.5f);
  EXPECT_EQ(p(1, 1), 3500.0f + 100.0f + 3.0f / 256.0f);
}

// One fiducial along an axis is a library too: it is used alone there.
TEST(LocpsfijStdpsf, SingleFiducialAlongAnAxisIsUsedAlone) {
  TempDir dir;
  Library lib;
  lib.nx = 1;
  lib.cards["NXPSFs"] = card("NXPSFs", 1);
  lib.write("lib.fits");
  Array2<float> p = psf_grid();
  StdpsfHeader h;
  const PsfInterpolation at = locpsfij_stdpsf(5000, 100, p.view(), "lib.fits", h);
  EXPECT_EQ(at.ii, 1);
  EXPECT_EQ(at.fx, 0.0f);
  EXPECT_EQ(p(7, 8), (Library::value(7, 8, 1, 1) + Library::value(7, 8, 1, 2)) / 2.0f);
}

// ---------------------------------------------------------------------------
// Dispatch and the tile loop.

TEST(GetPsflocNs, EachExposureGetsItsOwnLocalPsf) {
  TempDir dir;
  Library lib;
  lib.write("lib.fits");
  Array1<CameraPsf> psf_f(2);
  psf_f(2) = linear_camera();
  const int ns = 3;
  Array1<int> itil(ns), jtil(ns), fff(ns), kkk(ns);
  Array1<std::string> names(ns, pad("NULL", 80));
  // 1: WFC3/IR with a library; 2: ACS/HRC from slot 2's array; 3: ACS/WFC from slot 2.
  itil(1) = 200, jtil(1) = 100, fff(1) = 1, kkk(1) = KKK_WFC3IR, names(1) = pad("lib.fits", 80);
  itil(2) = 10, jtil(2) = 10, fff(2) = 2, kkk(2) = KKK_ACSHRC;
  itil(3) = 2484, jtil(3) = 2816, fff(3) = 2, kkk(3) = KKK_ACSWFC;
  Array3<float> psf_n(PSF_NPIX, PSF_NPIX, 35, 0.0f);
  get_psfloc_ns(ns, itil, jtil, fff, kkk, psf_f, psf_n, names, false);
  EXPECT_EQ(psf_n(10, 20, 1), 1500.0f + 150.0f + 50.0f / 256.0f);
  EXPECT_EQ(psf_n(10, 20, 2), psf_f(2)(10, 20, 1, 1));
  EXPECT_NEAR(psf_n(7, 9, 3), linear_value(5.5, 7.5, 7, 9), 2e-6);
  EXPECT_EQ(psf_n(7, 9, 4), 0.0f);  // exposures beyond Ns are not touched
  // Filter slot 1 has no camera array: an exposure that needs one stops.
  kkk(1) = KKK_ACSHRC;
  EXPECT_TRUE(capture([&] { get_psfloc_ns(ns, itil, jtil, fff, kkk, psf_f, psf_n, names, false); }).stopped);
}

}  // namespace
}  // namespace zeb
