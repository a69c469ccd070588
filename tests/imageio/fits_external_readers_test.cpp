// Real FITS readers agree with the writers: astropy (Debian's python3-astropy,
// run by /usr/bin/python3) reads every kind of file with the right shape and
// pixel values, and fitsverify finds no error beyond the departures from the
// standard that the header styles prescribe, listed here one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "core/array.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "imageio/fits_test_util.h"

namespace zeb::test {
namespace {

// An exposure header with every carried-over keyword in standard form; reading
// it fills the tables as the run's readers do.
void read_exposure_header() {
  std::vector<std::string> cards = {
      "SIMPLE  =                    T", "BITPIX  =                  -32", "NAXIS   =                    2",
      "NAXIS1  =                    1", "NAXIS2  =                    1", "CRPIX1  =                512.0 / x",
      "CRPIX2  =                512.0", "CRVAL1  =       265.1754166667", "CRVAL2  =      -53.67441666667",
      "CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CD1_1   =         -5.03726E-06",
      "CD1_2   =         -1.15384E-06", "CD2_1   =         -1.15384E-06", "CD2_2   =          5.03726E-06",
      "ORIENTAT=             -12.9011", "PA_APER =             -12.7044", "PA_V3   =              42.8562",
      "DATE-OBS= '2004-07-12'", "TIME-OBS= '05:31:22'", "EXPTIME =                500.0",
      "ROOTNAME= 'j8xi01abq'", "TARGNAME= 'NGC6397-FIELD'", "RA_TARG =   2.651754166667E+02",
      "DEC_TARG=  -5.367441666667E+01", "PROPOSID=                10424", "FILTER1 = 'F606W   '",
      "FILTER2 = 'CLEAR2L '", "VAFACTOR=   1.000023375865E+00", "CCDGAIN =                  2.0", "END"};
  write_file("exposure.fits", header_records(cards) + padded_data(be_float(1.0f)));
  Array2<float> one(1, 1);
  readfits_r4("exposure.fits", one.view(), 1, 1);
}

// Writes one file of every kind; the pixel values follow the formulas that
// the Python check below repeats.
void write_every_kind() {
  read_exposure_header();
  Array2<float> f(37, 23);
  for (int j = 1; j <= 23; ++j)
    for (int i = 1; i <= 37; ++i) f(i, j) = 0.25f * i - 3.5f * j;
  writfits_r4("r4.fits", f.view(), 37, 23);
  writfits_r4_ltv("r4_ltv.fits", f.view(), 37, 23, 4.0f);

  Array2<std::int16_t> s(41, 19);
  for (int j = 1; j <= 19; ++j)
    for (int i = 1; i <= 41; ++i) s(i, j) = static_cast<std::int16_t>(100 * i - 700 * j);
  s(1, 1) = -32768;
  s(41, 19) = 32767;
  writfits_i2("i2.fits", s.view(), 41, 19);

  Array2<int> counts(41, 19);
  for (int j = 1; j <= 19; ++j)
    for (int i = 1; i <= 41; ++i) counts(i, j) = 1000 * i * j;  // saturates at 32767
  writfits_i2_ltv("i2_ltv.fits", counts.view(), 41, 19, 2.0f);

  Array2<std::uint8_t> b(33, 17);
  for (int j = 1; j <= 17; ++j)
    for (int i = 1; i <= 33; ++i) b(i, j) = static_cast<std::uint8_t>((7 * i + 13 * j) % 256);
  writfits_b1("b1.fits", b.view(), 33, 17);

  // j2 mosaic, scale 4: stored 4 (i + 2 j) - 32000 reads as i + 2 j; the
  // window reaches the last column and the last row.
  writfits_j2_init("j2_mosaic.fits", 120, 90, 4.0f, 2.0f);
  writfits_j2_init("j2_blank.fits", 120, 90, 4.0f, 2.0f);
  Array2<std::int16_t> st(30, 20);
  for (int j = 1; j <= 20; ++j)
    for (int i = 1; i <= 30; ++i) st(i, j) = static_cast<std::int16_t>(4 * (i + 2 * j) - 32000);
  writfits_j2_rastx("j2_mosaic.fits", st.view(), 93, 75, 3, 30, 5, 20, 30, 20, 120, 90);

  // b1 mosaic: rows 23..26 span the boundary of the first data record (rows 1..24).
  writfits_b1_init("b1_mosaic.fits", 120, 90, 2.0f);
  Array2<std::int16_t> sb(60, 4);
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= 60; ++i) sb(i, j) = static_cast<std::int16_t>((3 * i + j) % 250 - 32000);
  writfits_b1_rastx("b1_mosaic.fits", sb.view(), 10, 23, 1, 41, 1, 4, 60, 4, 120, 90);

  // A 16-bit image written while the tables are blank.
  reset_fits_carry_over();
  writfits_i2("i2_blank.fits", s.view(), 41, 19);
}

const char* kAstropyCheck = R"PY(
import sys, warnings
import numpy as np
from astropy.io import fits
warnings.simplefilter("ignore")

def expect(name, want, scaled=True):
    with fits.open(name, do_not_scale_image_data=not scaled) as h:
        got = h[0].data
        if got.shape != want.shape:
            print("FAIL", name, "shape", got.shape, want.shape); return
        if not np.array_equal(got.astype(np.float64), want.astype(np.float64)):
            bad = np.argwhere(got != want)[0]
            print("FAIL", name, "pixel (y, x) =", tuple(bad), got[tuple(bad)], want[tuple(bad)]); return
    print("OK", name)

y, x = np.mgrid[1:24, 1:38]
f = 0.25 * x - 3.5 * y
expect("r4.fits", f)
expect("r4_ltv.fits", f)

y, x = np.mgrid[1:20, 1:42]
s = 100 * x - 700 * y
s[0, 0] = -32768
s[-1, -1] = 32767
expect("i2.fits", s)
expect("i2_blank.fits", s)
expect("i2_ltv.fits", np.minimum(1000 * x * y, 32767))

y, x = np.mgrid[1:18, 1:34]
expect("b1.fits", (7 * x + 13 * y) % 256)

y, x = np.mgrid[1:91, 1:121]
j2 = np.full((90, 120), -6.25)
inside = (x >= 93) & (y >= 75)
j2[inside] = (x - 90)[inside] + 2 * (y - 70)[inside]
expect("j2_mosaic.fits", j2)
expect("j2_blank.fits", np.full((90, 120), -25 / 4.0))

b1 = np.full((90, 120), 255)
inside = (x >= 10) & (x <= 50) & (y >= 23) & (y <= 26)
b1[inside] = ((3 * (x - 9) + (y - 22)) % 250)[inside]
expect("b1_mosaic.fits", b1)
)PY";

// The "*** Error:" lines of fitsverify for one file, without the prefix.
std::vector<std::string> fitsverify_errors(const std::string& file) {
  std::string out = file + ".verify";
  std::system(("fitsverify -e " + file + " > " + out + " 2>&1").c_str());
  std::vector<std::string> errors;
  for (const std::string& line : read_lines(out)) {
    const std::string tag = "*** Error:";
    if (line.rfind(tag, 0) == 0) errors.push_back(trim(line.substr(tag.size())));
  }
  std::sort(errors.begin(), errors.end());
  return errors;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Mandatory keywords of styles A, A', B and of the byte mosaic: values written
// from column 11 on rather than right-justified to column 30.
const std::vector<std::string> kFreeFormatMandatory = {
    "SIMPLE   mandatory keyword is not in logical fixed format:",
    "BITPIX   mandatory keyword is not in integer fixed format:",
    "NAXIS    mandatory keyword is not in integer fixed format:",
    "NAXIS1   mandatory keyword is not in integer fixed format:",
    "NAXIS2   mandatory keyword is not in integer fixed format:"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ExternalReaders : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fits_carry_over();
    write_every_kind();
  }
  void TearDown() override { reset_fits_carry_over(); }
  TempDir dir;
};

TEST_F(ExternalReaders, AstropyReadsShapesAndPixelValues) {
  write_file("check.py", kAstropyCheck);
  int rc = std::system("/usr/bin/python3 check.py > check.out 2>&1");
  std::string out = read_file("check.out");
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(out,
            "OK r4.fits\nOK r4_ltv.fits\nOK i2.fits\nOK i2_blank.fits\nOK i2_ltv.fits\nOK b1.fits\n"
            "OK j2_mosaic.fits\nOK j2_blank.fits\nOK b1_mosaic.fits\n");
}

TEST_F(ExternalReaders, FitsverifyFindsOnlyThePrescribedDepartures) {
  ASSERT_EQ(std::system("fitsverify -h > /dev/null 2>&1"), 0) << "fitsverify is not installed";
  // Style C of the 16-bit mosaics is standard throughout.
  EXPECT_EQ(fitsverify_errors("j2_mosaic.fits"), std::vector<std::string>{});
  EXPECT_EQ(fitsverify_errors("i2.fits"), sorted(kFreeFormatMandatory));
  EXPECT_EQ(fitsverify_errors("b1.fits"), sorted(kFreeFormatMandatory));
  EXPECT_EQ(fitsverify_errors("b1_mosaic.fits"), sorted(kFreeFormatMandatory));
  // Style A' echoes columns 11..30 of a string card from column 10 on, right
  // after "=": the quote takes the blank's place and the date is no string.
  EXPECT_EQ(fitsverify_errors("r4.fits"),
            sorted(plus(kFreeFormatMandatory, {"Keyword #23, DATE-OBS: \"\" is not a string.",
                                               "Keyword #23, DATE-OBS: (from CFITSIO error stack:)"})));
  // Style B writes TARGNAME PKMAP without quotes.
  const std::vector<std::string> pkmap = {"Keyword #27, TARGNAME: Type of value \"PKMAP\" is unknown."};
  EXPECT_EQ(fitsverify_errors("i2_ltv.fits"), sorted(plus(kFreeFormatMandatory, pkmap)));
  EXPECT_EQ(fitsverify_errors("r4_ltv.fits"), sorted(plus(kFreeFormatMandatory, pkmap)));
  // Blank carry-over entries are echoed as keywords without a value.
  EXPECT_EQ(fitsverify_errors("i2_blank.fits"),
            sorted(plus(kFreeFormatMandatory,
                        {"Keyword #10, CRPIX1 has a null value; expected a float.",
                         "Keyword #11, CRPIX2 has a null value; expected a float.",
                         "Keyword #12, CRVAL1 has a null value; expected a float.",
                         "Keyword #13, CRVAL2 has a null value; expected a float.",
                         "Keyword #14, CTYPE1 has a null value; expected a string.",
                         "Keyword #15, CTYPE2 has a null value; expected a string.",
                         "Keyword #16, CD1_1 has a null value; expected a float.",
                         "Keyword #17, CD1_2 has a null value; expected a float.",
                         "Keyword #18, CD2_1 has a null value; expected a float.",
                         "Keyword #19, CD2_2 has a null value; expected a float.",
                         "Keyword #23, DATE-OBS has a null value; expected a string.",
                         "Keyword #23, DATE-OBS: (from CFITSIO error stack:)"})));
}

}  // namespace
}  // namespace zeb::test
