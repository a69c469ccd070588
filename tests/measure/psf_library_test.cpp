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
#include "psf/psf.h"
#include "psf/psf_library.h"
#include "support/test_support.h"

namespace zeb {
namespace {

using test::capture;
using test::TempDir;

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

TEST(MkLocPsfAcs, FiducialsMidwayAndClamping) {
  const CameraPsf cam = linear_camera();
  Array2<float> psf = psf_grid();
  // x = 2168 is fiducial 5 (irregular spacing 632 on either side).
  PsfInterpolation at = mk_loc_psfacs(2168, 512, psf.view(), cam, false);
  EXPECT_EQ(at.ii, 4);
  EXPECT_EQ(at.fx, 1.0f);
  EXPECT_EQ(at.jj, 1);
  EXPECT_EQ(at.fy, 1.0f);
  EXPECT_EQ(psf(20, 70), cam(20, 70, 5, 2));
  // Midway between fiducials 5 and 6 (2168 + 316) and rows 7 and 8.
  at = mk_loc_psfacs(2484, 2816, psf.view(), cam, false);
  EXPECT_EQ(at.ii, 5);
  EXPECT_EQ(at.fx, 0.5f);
  EXPECT_EQ(at.jj, 7);
  EXPECT_EQ(at.fy, 0.5f);
  EXPECT_NEAR(psf(7, 9), linear_value(5.5, 7.5, 7, 9), 2e-6);
  // Positions are clamped to 1..4096.
  at = mk_loc_psfacs(5000, -3, psf.view(), cam, false);
  EXPECT_EQ(at.ii, 8);
  EXPECT_EQ(at.fx, 1.0f);
  EXPECT_EQ(at.jj, 1);
  EXPECT_EQ(at.fy, 1.0f / 512.0f);
}

TEST(MkLocPsfAcs, VerboseTraceLine) {
  const CameraPsf cam = linear_camera();
  Array2<float> psf = psf_grid();
  // i = 256: ii = 1, fx = 0.5; j = 2049: jj = 6, fy = 1/512. Centre values of
  // the fiducials (1,6), (1,7), (2,6), (2,7): 0.21875 + 102/4096 and so on.
  // Result 1.5/8 + 6.001953125/64 + 102/4096 = 0.306182861328125.
  const auto c = capture([&] { mk_loc_psfacs(256, 2049, psf.view(), cam, true); });
  EXPECT_EQ(c.out,
            "PSFLOC_ACS: 02562049     025620490.306183      1 6  0.5000  0.0020      0.243652 0.259277 0.368652 "
            "0.384277\n");
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

TEST(MkLocPsfWfc3uv, ColumnThresholdsAndBounds) {
  const CameraPsf cam = linear_camera();
  Array2<float> psf = psf_grid();
  // 1365 > 1364: interval 3 with bounds 1365..2048, fx = 0.
  PsfInterpolation at = mk_loc_psfwfc3uv(1365, 10, psf.view(), cam);
  EXPECT_EQ(at.ii, 3);
  EXPECT_EQ(at.fx, 0.0f);
  // 2047 > 2046: interval 4 with bounds 2048..2730, fx clamped from -1/682 to 0.
  at = mk_loc_psfwfc3uv(2047, 10, psf.view(), cam);
  EXPECT_EQ(at.ii, 4);
  EXPECT_EQ(at.fx, 0.0f);
  // Far beyond the last fiducial: interval 6, fx clamped to 1 (fiducial 7).
  at = mk_loc_psfwfc3uv(9000, 9000, psf.view(), cam);
  EXPECT_EQ(at.ii, 6);
  EXPECT_EQ(at.jj, 7);
  EXPECT_EQ(psf(3, 4), cam(3, 4, 7, 8));
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
  std::vector<std::string> extra;             // cards written before END
  bool long_header = false;                   // END in the second record
  long long cut_data_bytes = 0;               // bytes removed from the end
  int nan_plane = 0;

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
    for (const auto& c : extra) header += c;
    if (long_header)
      while (header.size() < 2880 + 5 * 80) header += text_card("COMMENT   padding");
    header += text_card("END");
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    std::string data;
    for (int k = 1; k <= nx * ny; ++k) {
      const int ip = (k - 1) % nx + 1, jp = (k - 1) / nx + 1;
      for (int b = 1; b <= PSF_NPIX; ++b)
        for (int a = 1; a <= PSF_NPIX; ++a) {
          float v = value(a, b, ip, jp);
          if (k == nan_plane && a == 40 && b == 60) v = std::nanf("");
          std::uint32_t u;
          std::memcpy(&u, &v, 4);
          const char be[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                              static_cast<char>(u)};
          data.append(be, 4);
        }
    }
    data.resize((data.size() + 2879) / 2880 * 2880, '\0');
    data.resize(data.size() - static_cast<std::size_t>(cut_data_bytes));
    test::write_file(path, header + data);
  }
};

TEST(InfofitsStdpsf, ReadsCountsAndPositions) {
  TempDir dir;
  Library lib;
  lib.write("lib.fits");
  const StdpsfHeader h = infofits_stdpsf(pad("lib.fits", 80));
  EXPECT_EQ(h.nxpsfs, 3);
  EXPECT_EQ(h.nypsfs, 2);
  EXPECT_EQ(h.ipsfx[0], 100);
  EXPECT_EQ(h.ipsfx[9], 1500);
  EXPECT_EQ(h.jpsfy[1], 150);
  EXPECT_EQ(h.data_offset, 2880);
}

TEST(InfofitsStdpsf, EveryOneOfTheTwentyPositionCardsIsRequired) {
  TempDir dir;
  for (int k = 1; k <= 10; ++k) {
    for (const char* stem : {"IPSFX", "JPSFY"}) {
      Library lib;  // NXPSFs = 3 and NYPSFs = 2: the card is not used, yet required
      lib.cards.erase(stem + fortran_record("(i2.2)", k));
      lib.write("lib.fits");
      const auto c = capture([] { infofits_stdpsf("lib.fits"); });
      EXPECT_TRUE(c.stopped) << stem << k;
      EXPECT_EQ(c.status, 1);
      EXPECT_EQ(c.err, std::string(stem[0] == 'I' ? "STOP infofits_stdpsf: HEADER NEEDs TO SPECIFY ALL IPSFs..\n"
                                                   : "STOP infofits_stdpsf: HEADER NEEDs TO SPECIFY ALL JPSFs..\n"))
          << stem << k;
    }
  }
}

TEST(InfofitsStdpsf, NegativePositionsAndMissingCountsStop) {
  TempDir dir;
  Library lib;
  lib.cards["JPSFY07"] = card("JPSFY07", -1);
  lib.write("lib.fits");
  EXPECT_EQ(capture([] { infofits_stdpsf("lib.fits"); }).err,
            "STOP infofits_stdpsf: HEADER NEEDs TO SPECIFY ALL JPSFs..\n");
  // NXPSFS in capitals is another keyword: the count is missing.
  Library caps;
  caps.cards.erase("NXPSFs");
  caps.extra = {card("NXPSFS", 3)};
  caps.write("lib.fits");
  EXPECT_EQ(capture([] { infofits_stdpsf("lib.fits"); }).err, "STOP infofits_stdpsf: HEADER NEEDs TO NXPSFs\n");
  // Cards 1..6 are SIMPLE .. NAXIS3, 7..26 the positions, 27 NXPSFs: after k
  // comments NYPSFs is card 28 + k, read as card 35 and not as card 36.
  for (int k : {7, 8}) {
    Library late;
    late.cards.erase("NYPSFs");
    late.extra.assign(static_cast<std::size_t>(k), text_card("COMMENT"));
    late.extra.push_back(card("NYPSFs", 2));
    late.write("lib.fits");
    EXPECT_EQ(capture([] { infofits_stdpsf("lib.fits"); }).err,
              k == 8 ? "STOP infofits_stdpsf: HEADER NEEDs TO NXPSFs\n" : "")
        << k;
  }
}

TEST(InfofitsStdpsf, HeadersThatLieAreRefused) {
  TempDir dir;
  auto refused = [](const Library& lib, const std::string& what) {
    lib.write("lib.fits");
    const auto c = capture([] { infofits_stdpsf("lib.fits"); });
    EXPECT_TRUE(c.errored) << what;
    EXPECT_EQ(c.status, 2) << what;
    EXPECT_NE(c.err.find("lib.fits"), std::string::npos) << what;
    EXPECT_NE(c.err.find(what), std::string::npos) << c.err;
  };
  Library many;
  many.cards["NXPSFs"] = card("NXPSFs", 11);
  refused(many, "NXPSFs = 11");
  Library flat;
  flat.cards["IPSFX03"] = card("IPSFX03", 300);
  refused(flat, "IPSFX positions must increase");
  Library shortfile;
  shortfile.cut_data_bytes = 2880 * 2;
  refused(shortfile, "need");
  Library integers;
  integers.extra = {card("BITPIX", 32)};
  refused(integers, "BITPIX = 32");
  Library wrongsize;
  wrongsize.extra = {card("NAXIS1", 51)};
  refused(wrongsize, "101 x 101");
  Library word;
  word.cards["IPSFX02"] = pad("IPSFX02 =                three", 80);
  refused(word, "three");
}

TEST(InfofitsStdpsf, MissingFileMessage) {
  TempDir dir;
  const auto c = capture([] { infofits_stdpsf(pad("nolib.fits[1]", 80)); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, "zeb: cannot open nolib.fits: no such file or directory\n"
                   "  \n ERROR ACCESSING FITS FILE IN infofits_stdpsf(): \n FILE : " + pad("nolib.fits[1]", 80) +
                       "\n FILEU: " + pad("nolib.fits", 80) + "\n  \n");
}

TEST(GrabfitsStdpsf, ReadsThePlaneOfAFiducial) {
  TempDir dir;
  Library lib;
  lib.write("lib.fits");
  const StdpsfHeader h = infofits_stdpsf("lib.fits");
  Array2<float> p = psf_grid();
  // Text after ".fits" is not part of the file name.
  grabfits_stdpsf("lib.fits[sci]", p.view(), 3, 2, h);
  for (int b : {1, 51, 101})
    for (int a : {1, 2, 101}) EXPECT_EQ(p(a, b), Library::value(a, b, 3, 2));
  const auto c = capture([&] { grabfits_stdpsf("gone.fits", p.view(), 1, 1, h); });
  EXPECT_EQ(c.out, "zeb: cannot open gone.fits: no such file or directory\n"
                   "  \n ERROR ACCESSING FITS FILE IN grabfits_pixpsf(): \n FILE : " + pad("gone.fits", 80) +
                       "\n FILEu: " + pad("gone.fits", 80) + "\n  \n");
}

TEST(GrabfitsStdpsf, ValuesThatAreNotNumbersAreRefused) {
  TempDir dir;
  Library lib;
  lib.nan_plane = 5;
  lib.write("lib.fits");
  const StdpsfHeader h = infofits_stdpsf("lib.fits");
  Array2<float> p = psf_grid();
  grabfits_stdpsf("lib.fits", p.view(), 1, 1, h);
  const auto c = capture([&] { grabfits_stdpsf("lib.fits", p.view(), 2, 2, h); });
  EXPECT_TRUE(c.errored);
  EXPECT_NE(c.err.find("plane 5"), std::string::npos);
}

TEST(LocpsfijStdpsf, WeightsAtFiducialsMidwayAndBeyond) {
  TempDir dir;
  Library lib;
  lib.write("lib.fits");
  Array2<float> p = psf_grid();
  // On fiducial (2, 2): ii = 1, fx = 1; jj = 1, fy = 1.
  StdpsfHeader h;
  PsfInterpolation at = locpsfij_stdpsf(300, 150, p.view(), "lib.fits", h);
  EXPECT_EQ(h.nxpsfs, 3);  // the header was read because nxpsfs was 0
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

TEST(LocpsfijStdpsf, ARepeatedBoundaryRowIsInterpolatedOnEitherSide) {
  TempDir dir;
  // Two chips sharing row 2048: rows 2 and 3 both lie there.
  Library lib;
  lib.ny = 4;
  lib.cards["NYPSFs"] = card("NYPSFs", 4);
  const int rows[4] = {0, 2048, 2048, 4096};
  for (int k = 1; k <= 4; ++k) lib.cards["JPSFY0" + std::to_string(k)] = card("JPSFY0" + std::to_string(k), rows[k - 1]);
  lib.write("lib.fits");
  Array2<float> p = psf_grid();
  StdpsfHeader h;
  PsfInterpolation at = locpsfij_stdpsf(100, 2048, p.view(), "lib.fits", h);
  EXPECT_EQ(at.jj, 1);
  EXPECT_EQ(at.fy, 1.0f);
  EXPECT_EQ(p(5, 6), Library::value(5, 6, 1, 2));
  at = locpsfij_stdpsf(100, 3072, p.view(), "lib.fits", h);
  EXPECT_EQ(at.jj, 3);
  EXPECT_EQ(at.fy, 0.5f);
  EXPECT_EQ(p(5, 6), (Library::value(5, 6, 1, 3) + Library::value(5, 6, 1, 4)) / 2.0f);
  // A repeat at an end of the axis would be an interval of no width, and a
  // decreasing position no interval at all.
  for (const auto& [key, value] : {std::pair<std::string, int>{"JPSFY02", 0}, {"JPSFY04", 2048}, {"JPSFY03", 1000}}) {
    Library bad = lib;
    bad.cards[key] = card(key, value);
    bad.write("bad.fits");
    const auto c = capture([] { infofits_stdpsf("bad.fits"); });
    EXPECT_TRUE(c.errored) << key;
    EXPECT_NE(c.err.find("JPSFY positions must increase"), std::string::npos) << c.err;
  }
}

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

TEST(LocpsfijStdpsf, LongerHeaderReadsTheSame) {
  TempDir dir;
  Library lib;
  lib.long_header = true;
  lib.write("lib.fits");
  Array2<float> p = psf_grid();
  StdpsfHeader h;
  locpsfij_stdpsf(700, 150, p.view(), "lib.fits", h);
  EXPECT_EQ(h.data_offset, 2 * 2880);
  EXPECT_EQ(p(101, 101), Library::value(101, 101, 3, 2));
}

// ---------------------------------------------------------------------------
// Dispatch and the tile loop.

TEST(MkLocPsf, DispatchByCameraCode) {
  TempDir dir;
  Library lib;
  lib.write("lib.fits");
  const CameraPsf cam = linear_camera();
  Array2<float> p = psf_grid();
  // WFC3/IR and ACS/HRC without a library: fiducial (1, 1).
  mk_loc_psf(p.view(), 500, 500, cam, KKK_WFC3IR, pad("NULL", 80), false);
  EXPECT_EQ(p(30, 40), cam(30, 40, 1, 1));
  // ACS/HRC ignores a library name.
  mk_loc_psf(p.view(), 500, 500, cam, KKK_ACSHRC, "lib.fits", false);
  EXPECT_EQ(p(30, 40), cam(30, 40, 1, 1));
  // WFC3/IR with a library uses it, also one whose name begins with NULL.
  mk_loc_psf(p.view(), 300, 150, cam, KKK_WFC3IR, "lib.fits", false);
  EXPECT_EQ(p(30, 40), Library::value(30, 40, 2, 2));
  lib.write("NULL_lib.fits");
  mk_loc_psf(p.view(), 100, 50, cam, KKK_WFC3IR, pad("NULL_lib.fits", 80), false);
  EXPECT_EQ(p(30, 40), Library::value(30, 40, 1, 1));
  // ACS/WFC and WFC3/UVIS without a library interpolate the camera array.
  mk_loc_psf(p.view(), 1024, 2048, cam, KKK_ACSWFC, "NULL", false);
  EXPECT_EQ(p(30, 40), cam(30, 40, 3, 5));
  mk_loc_psf(p.view(), 100, 2400, cam, KKK_WFC3UV, "NULL", false);
  EXPECT_NEAR(p(51, 51), linear_value(1.0 + 100.0 / 682.0, 5.0, 51, 51), 2e-6);
}

TEST(MkLocPsf, UnknownCameraStops) {
  const CameraPsf cam = linear_camera();
  Array2<float> p = psf_grid();
  const auto c = capture([&] { mk_loc_psf(p.view(), 1, 1, cam, 1, "NULL", false); });
  EXPECT_TRUE(c.stopped);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.out, " mk_loc_psf:  could not fill local psf...\n   ---> KKK:   1\n");
}

TEST(MkLocPsf, CameraArrayThatWasNeverLoadedStops) {
  const CameraPsf empty;
  Array2<float> p = psf_grid();
  for (int kkk : {KKK_ACSWFC, KKK_ACSHRC, KKK_WFC3UV, KKK_WFC3IR}) {
    const auto c = capture([&] { mk_loc_psf(p.view(), 1, 1, empty, kkk, "NULL", false); });
    EXPECT_TRUE(c.stopped) << kkk;
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.out.find("no camera PSF array"), std::string::npos);
  }
}

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
