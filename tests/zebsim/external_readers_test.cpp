// The simulator's FITS files as other FITS software sees them: astropy reads
// every file with the shapes, types and values zeb expects, and fitsverify finds
// nothing wrong except the two lower-case keywords the PSF library format
// prescribes (NXPSFs, NYPSFs).
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

using zeb::test::TempDir;
using zeb::test::write_file;

struct Output {
  int status = -1;
  std::string text;
};

Output run(const std::string& command) {
  Output o;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return o;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) o.text.append(buf.data(), n);
  o.status = ::pclose(p);
  return o;
}

const char* kCheckScript = R"PY(
import sys, warnings
import numpy as np
from astropy.io import fits
warnings.simplefilter('ignore')
d = sys.argv[1]

def check(cond, what):
    if not cond:
        print('FAILED:', what)
        sys.exit(1)

# WFC3/IR: primary header, then SCI, ERR (float) and DQ (16-bit).
with fits.open(d + '/ir_f110w_1.fits') as h:
    check(len(h) == 4, 'IR: four HDUs')
    check([x.name for x in h[1:]] == ['SCI', 'ERR', 'DQ'], 'IR: extension names')
    check(h[0].header['FILTER'] == 'F110W', 'IR: FILTER')
    check(h[0].header['EXPTIME'] > 400, 'IR: EXPTIME')
    for k, t in ((1, '>f4'), (2, '>f4'), (3, '>i2')):
        check(h[k].data.shape == (1014, 1014), 'IR: shape of %d' % k)
        check(h[k].data.dtype == np.dtype(t), 'IR: type of %d' % k)
    dq = h[3].data
    check(set(np.unique(dq)) <= {0, 4, 32, 256, 260, 288}, 'IR: DQ bits')
    check(abs(np.median(h[1].data) - 0.9) < 0.15, 'IR: sky level')
    check(np.all(h[2].data[dq != 32] > 0), 'IR: errors positive')

# ACS/HRC: one 1024 x 1024 image of 32-bit integers, saturated pixels at 120000.
with fits.open(d + '/hrc/hrc_f555w_1.fits') as h:
    c = h[0].data
    check(c.shape == (1024, 1024) and c.dtype == np.dtype('>i4'), 'HRC: shape and type')
    check(c.max() == 120000 and np.all(c[c > 119000] == 120000), 'HRC: saturation')

# PSFs: the library cube, the single PSF and the integer PSF of one model.
with fits.open(d + '/psf_lib_f160w.fits') as h:
    lib = h[0].data
    check(lib.shape == (9, 101, 101) and lib.dtype == np.dtype('>f4'), 'library: shape and type')
    check(h[0].header['NXPSFS'] == 3 and h[0].header['JPSFY02'] == 507, 'library: fiducial cards')
    for k in range(9):
        for ph in range(4):
            check(abs(lib[k, ph::4, ph::4].sum() - 1.0) < 1e-4, 'library: plane %d phase %d' % (k, ph))
    check(lib[0, 50, 50] > lib[8, 50, 50], 'library: PSF wider at the far corner')
single = fits.getdata(d + '/psf_101_f160w.fits')
check(single.shape == (101, 101), 'single: shape')
fine = fits.getdata(d + '/psf_int_f160w.fits')
check(fine.shape == (1201, 1201) and fine.dtype == np.dtype('>i4'), 'integer: shape and type')
sampled = fine[100:1101:10, 100:1101:10] / 1e6
check(np.abs(sampled - single).max() < 1e-6, 'integer PSF sampled as the grid')
print('OK')
)PY";

TEST(ExternalReaders, AstropyReadsEveryKindOfFile) {
  TempDir dir;
  write_field(field_preset("e2e-ir"), dir.path().string());
  write_field(field_preset("e2e-hrc"), dir.file("hrc"));
  write_file("check.py", kCheckScript);
  Output o = run("/usr/bin/python3 check.py " + dir.path().string());
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_NE(o.text.find("OK"), std::string::npos) << o.text;
}

TEST(ExternalReaders, FitsverifyFindsOnlyThePrescribedKeywords) {
  TempDir dir;
  write_field(field_preset("e2e-hrc"), dir.path().string());
  for (const char* f : {"hrc_f555w_1.fits", "psf_101_f555w.fits", "psf_int_f814w.fits"}) {
    Output o = run(std::string("fitsverify -q ") + f);
    EXPECT_EQ(o.status, 0) << o.text;
    EXPECT_NE(o.text.find("verification OK"), std::string::npos) << o.text;
  }
  write_field(field_preset("e2e-ir"), dir.file("ir"));
  Output ir = run("fitsverify -q ir/ir_f160w_2.fits");
  EXPECT_NE(ir.text.find("verification OK"), std::string::npos) << ir.text;
  Output lib = run("fitsverify psf_lib_f555w.fits");
  EXPECT_NE(lib.text.find("0 warning(s) and 2 error(s)"), std::string::npos) << lib.text;
  EXPECT_NE(lib.text.find("Name \"NXPSFs\" contains char \"s\""), std::string::npos) << lib.text;
  EXPECT_NE(lib.text.find("Name \"NYPSFs\" contains char \"s\""), std::string::npos) << lib.text;
}

}  // namespace
}  // namespace zebsim
