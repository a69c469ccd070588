#include "psf/psf_library.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"
#include "imageio/fits.h"
#include "psf/psf.h"

namespace zeb {

namespace {

constexpr long long kPlaneBytes = 4LL * PSF_NGRID;
constexpr int kMaxFiducials = 10;

View2<const float> fiducial(const CameraPsf& camera, int ip, int jp) { return camera.plane(ip, jp); }

[[noreturn]] void library_open_failure(const std::string& routine_text, const std::string& cut_format,
                                       const std::string& name) {
  say_why_unreadable(std::cout, fits_open_name(name));
  write_list(std::cout, " ");  // a line holding one blank, in the free-format layout
  write_list(std::cout, routine_text);
  write_record(std::cout, "(' FILE : ',a80)", pad(name, 80));
  write_record(std::cout, cut_format, pad(fits_open_name(name), 80));
  write_list(std::cout, " ");
  stop_run();
}

FitsRecords open_library(const std::string& name, const char* routine_text, const char* cut_format) {
  std::optional<FitsRecords> file = FitsRecords::open(fits_open_name(name), FitsRecords::Access::Read);
  if (!file) library_open_failure(routine_text, cut_format, name);
  return std::move(*file);
}

int card_value(const std::string& card, const std::string& file) {
  ListReader reader(columns(card, 11, 30), file + ", card " + rtrim(card.substr(0, 8)));
  return reader.need_int();
}

// Cards of the library's header block that hold its keywords: the first 35.
constexpr std::size_t kKeywordCards = 35;

// The library's keywords from the first 35 cards of its header block, matched
// as the library writes them ("NXPSFs", "NYPSFs", "IPSFX01" ...; a keyword in
// another case is a different keyword). Position cards are set to -999 first,
// so a missing one is told from a given one.
StdpsfHeader library_keywords(const FitsHeader& fh, const std::string& file) {
  StdpsfHeader h;
  h.ipsfx.fill(-999);
  h.jpsfy.fill(-999);
  const std::size_t scanned = std::min(fh.cards.size(), kKeywordCards);
  for (std::size_t c = 0; c < scanned; ++c) {
    const std::string& card = fh.cards[c];
    const std::string key = card.substr(0, 8);
    if (key == "NXPSFs  ") {
      h.nxpsfs = card_value(card, file);
    } else if (key == "NYPSFs  ") {
      h.nypsfs = card_value(card, file);
    } else if (key.compare(0, 5, "IPSFX") == 0 || key.compare(0, 5, "JPSFY") == 0) {
      for (int k = 1; k <= kMaxFiducials; ++k) {
        const std::string nn = fortran_record("(i2.2)", k);
        if (key == "IPSFX" + nn + " ") h.ipsfx[static_cast<std::size_t>(k - 1)] = card_value(card, file);
        if (key == "JPSFY" + nn + " ") h.jpsfy[static_cast<std::size_t>(k - 1)] = card_value(card, file);
      }
    }
  }
  // The header of the library layout is one record; a longer one is read the
  // same way and the cube then starts in the record after END.
  h.data_offset = static_cast<long long>(fh.data_record - 1) * kFitsRecordBytes;
  return h;
}

// The cards the library must have, checked in the order of its messages.
void check_required_cards(const StdpsfHeader& h, const std::string& file) {
  auto stop = [&file](const char* text) {
    write_list(std::cout, "---> PSF library " + file);
    stop_run(text);
  };
  for (int k = 0; k < kMaxFiducials; ++k) {
    if (h.ipsfx[k] < 0) stop("infofits_stdpsf: HEADER NEEDs TO SPECIFY ALL IPSFs..");
    if (h.jpsfy[k] < 0) stop("infofits_stdpsf: HEADER NEEDs TO SPECIFY ALL JPSFs..");
    // A count below 1 is as unusable as a missing one.
    if (h.nxpsfs < 1 || h.nypsfs < 1) stop("infofits_stdpsf: HEADER NEEDs TO NXPSFs");
  }
}

void check_fiducial_axis(const std::array<int, 10>& pos, int n, const char* count_name, const char* pos_name,
                         const std::string& file) {
  if (n > kMaxFiducials)
    run_error(file, std::string(count_name) + " = " + std::to_string(n) +
                        ": a library holds at most 10 fiducials per axis");
  // The interval search walks the fiducials in ascending order, so positions
  // must not decrease. A position may repeat (two chips sharing a boundary
  // row): a detector position never falls between the two, it takes the
  // interval below (up to the shared value) or above. At either end of the
  // axis, though, a repeated position would be an interval of zero width that
  // positions beyond it fall into.
  for (int k = 1; k < n; ++k) {
    const bool end_pair = k == 1 || k == n - 1;
    if (pos[k] < pos[k - 1] || (end_pair && pos[k] == pos[k - 1]))
      run_error(file, std::string(pos_name) + " positions must increase (a position may repeat only between " +
                          "two others): " + std::to_string(pos[k - 1]) + " then " + std::to_string(pos[k]));
  }
}

// Validates what the header says against the layout and the file's size.
void check_header_consistency(const StdpsfHeader& h, const FitsHeader& fh, const std::string& file,
                              long long size) {
  check_fiducial_axis(h.ipsfx, h.nxpsfs, "NXPSFs", "IPSFX", file);
  check_fiducial_axis(h.jpsfy, h.nypsfs, "NYPSFs", "JPSFY", file);
  if (fh.value_field("BITPIX") && fh.bitpix != -32)
    run_error(file, "PSF library has BITPIX = " + std::to_string(fh.bitpix) + ", its cube must be BITPIX -32");
  if ((fh.value_field("NAXIS1") && fh.naxis1 != PSF_NPIX) || (fh.value_field("NAXIS2") && fh.naxis2 != PSF_NPIX))
    run_error(file, "PSF library planes are " + std::to_string(fh.naxis1) + " x " + std::to_string(fh.naxis2) +
                        ", they must be 101 x 101");
  const long long need = h.data_offset + static_cast<long long>(h.nxpsfs) * h.nypsfs * kPlaneBytes;
  if (size < need)
    run_error(file, "PSF library holds " + std::to_string(size) + " bytes, its " + std::to_string(h.nxpsfs) + " x " +
                        std::to_string(h.nypsfs) + " fiducials need " + std::to_string(need));
}

// Interval of fiducials around position p: ii in 1..n-1 (1 when there is a
// single fiducial), and the fraction between ii and ii + 1, not clamped, so a
// position beyond the outermost fiducials extrapolates.
void fiducial_interval(int p, const std::array<int, 10>& pos, int n, int& ii, int& ii2, float& f) {
  ii = 1;
  while (ii <= n - 2 && p > pos[ii]) ++ii;  // pos[ii] is position ii + 1
  if (n < 2) {
    // A single fiducial along this axis: it is used alone.
    ii2 = 1;
    f = 0.0f;
    return;
  }
  ii2 = ii + 1;
  const long long num = static_cast<long long>(p) - pos[ii - 1];
  const long long den = static_cast<long long>(pos[ii]) - pos[ii - 1];
  f = static_cast<float>(num) / static_cast<float>(den);
}

[[noreturn]] void camera_array_missing(int kkk) {
  write_list(std::cout, "mk_loc_psf:  no camera PSF array was loaded for the filter slot of this exposure");
  write_list(std::cout, "  (give PSFACS, PSFHRC, PSF3IR or PSF3UV for it, or a PSF library)");
  write_list(std::cout, "  ---> KKK:  ", kkk);
  stop_run();
}

void copy_fiducial(View2<float> psf, View2<const float> p) {
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a) psf(a, b) = p(a, b);
}

}  // namespace

void clear_camera_psf(CameraPsf& psf) { psf.resize(PSF_NPIX, PSF_NPIX, PSF_NX, PSF_NY, 0.0f); }

bool camera_psf_loaded(const CameraPsf& psf) {
  return psf.n1() == PSF_NPIX && psf.n2() == PSF_NPIX && psf.n3() == PSF_NX && psf.n4() == PSF_NY;
}

void blend_fiducials(View2<float> psf, View2<const float> p00, View2<const float> p01, View2<const float> p10,
                     View2<const float> p11, float fx, float fy) {
  const float w00 = (1.0f - fx) * (1.0f - fy);
  const float w01 = (1.0f - fx) * fy;
  const float w10 = fx * (1.0f - fy);
  const float w11 = fx * fy;
  for (int b = 1; b <= PSF_NPIX; ++b)
    for (int a = 1; a <= PSF_NPIX; ++a)
      psf(a, b) = w00 * p00(a, b) + w01 * p01(a, b) + w10 * p10(a, b) + w11 * p11(a, b);
}

PsfInterpolation mk_loc_psfacs(int i, int j, View2<float> psf, const CameraPsf& camera, bool verbose) {
  const int ic = std::clamp(i, 1, 4096);
  const int jc = std::clamp(j, 1, 4096);
  auto x = [](int k) { return ixycl[static_cast<std::size_t>(k - 1)]; };
  auto y = [](int k) { return ixycl[static_cast<std::size_t>(k + 8)]; };
  PsfInterpolation at;
  at.ii = 1;
  for (int k = 2; k <= 8; ++k)
    if (x(k) < ic) at.ii = k;
  at.jj = 1;
  for (int k = 2; k <= 9; ++k)
    if (y(k) < jc) at.jj = k;
  at.fx = static_cast<float>(ic - x(at.ii)) / static_cast<float>(x(at.ii + 1) - x(at.ii));
  at.fy = static_cast<float>(jc - y(at.jj)) / static_cast<float>(y(at.jj + 1) - y(at.jj));
  blend_fiducials(psf, fiducial(camera, at.ii, at.jj), fiducial(camera, at.ii, at.jj + 1),
                  fiducial(camera, at.ii + 1, at.jj), fiducial(camera, at.ii + 1, at.jj + 1), at.fx, at.fy);
  if (verbose) {
    const int c = PSF_CENTRE;
    write_record(std::cout, "('PSFLOC_ACS: ',2i4.4,5x,2i4.4,f8.6,5x,2i2,2f8.4,5x,4f9.6)", i, j, ic, jc, psf(c, c),
                 at.ii, at.jj, at.fx, at.fy, camera(c, c, at.ii, at.jj), camera(c, c, at.ii, at.jj + 1),
                 camera(c, c, at.ii + 1, at.jj), camera(c, c, at.ii + 1, at.jj + 1));
  }
  return at;
}

PsfInterpolation mk_loc_psfwfc3uv(int i, int j, View2<float> psf, const CameraPsf& camera) {
  PsfInterpolation at;
  at.ii = 1;
  if (i > 682) at.ii = 2;
  if (i > 1364) at.ii = 3;
  if (i > 2046) at.ii = 4;
  if (i > 2728) at.ii = 5;
  if (i > 3410) at.ii = 6;
  // Rows 4 and 5 both lie at 2048 (the chip boundary): after row 3 the
  // interval jumps from 4 (rows 4-5) to 6, never choosing 5.
  at.jj = 1;
  if (j > 682) at.jj = 2;
  if (j > 1364) at.jj = 3;
  if (j > 2046) at.jj = 4;
  if (j > 2728) at.jj = 6;
  if (j > 3410) at.jj = 7;
  const int xlo = ((at.ii - 1) * 4096) / 6;
  const int xhi = (at.ii * 4096) / 6;
  const int ylo = at.jj <= 3 ? ((at.jj - 1) * 4096) / 6 : ((at.jj - 2) * 4096) / 6;
  const int yhi = at.jj <= 3 ? (at.jj * 4096) / 6 : ((at.jj - 1) * 4096) / 6;
  const long long di = static_cast<long long>(i) - xlo;
  const long long dj = static_cast<long long>(j) - ylo;
  at.fx = std::clamp(static_cast<float>(di) / static_cast<float>(xhi - xlo), 0.0f, 1.0f);
  at.fy = std::clamp(static_cast<float>(dj) / static_cast<float>(yhi - ylo), 0.0f, 1.0f);
  blend_fiducials(psf, fiducial(camera, at.ii, at.jj), fiducial(camera, at.ii, at.jj + 1),
                  fiducial(camera, at.ii + 1, at.jj), fiducial(camera, at.ii + 1, at.jj + 1), at.fx, at.fy);
  return at;
}

// The whole name is compared: a library file whose name merely begins with
// "NULL" is still a library, and must not be passed over for the camera array.
bool is_null_psf_name(const std::string& name) { return rtrim(name) == "NULL"; }

StdpsfHeader infofits_stdpsf(const std::string& name) {
  const FitsRecords file =
      open_library(name, "ERROR ACCESSING FITS FILE IN infofits_stdpsf(): ", "(' FILEU: ',a80)");
  const FitsHeader fh = parse_fits_header(file, 1);
  const StdpsfHeader h = library_keywords(fh, file.path());
  check_required_cards(h, file.path());
  check_header_consistency(h, fh, file.path(), file.size_bytes());
  return h;
}

void grabfits_stdpsf(const std::string& name, View2<float> psf, int ip, int jp, const StdpsfHeader& header) {
  if (ip < 1 || ip > header.nxpsfs || jp < 1 || jp > header.nypsfs)
    run_error(fits_open_name(name), "fiducial (" + std::to_string(ip) + "," + std::to_string(jp) +
                                        ") is not in the library's " + std::to_string(header.nxpsfs) + " x " +
                                        std::to_string(header.nypsfs));
  const FitsRecords file =
      open_library(name, "ERROR ACCESSING FITS FILE IN grabfits_pixpsf(): ", "(' FILEu: ',a80)");
  // Plane k holds the cube's words (k - 1) * 10201 + 1 .. k * 10201; the
  // records holding them are read in turn and the plane's words taken out.
  const long long k = static_cast<long long>(header.nxpsfs) * (jp - 1) + ip;
  const long long first_byte = header.data_offset + (k - 1) * kPlaneBytes;
  const long long last_byte = first_byte + kPlaneBytes - 1;
  if (last_byte >= file.size_bytes())
    run_error(file.path(), "PSF library ends inside fiducial plane " + std::to_string(k));
  std::vector<unsigned char> bytes(static_cast<std::size_t>(kPlaneBytes));
  FitsRecord rec;
  for (long long r = first_byte / kFitsRecordBytes; r <= last_byte / kFitsRecordBytes; ++r) {
    file.read(static_cast<long>(r + 1), rec);
    const long long lo = std::max(first_byte, r * kFitsRecordBytes);
    const long long hi = std::min(last_byte, (r + 1) * kFitsRecordBytes - 1);
    std::memcpy(bytes.data() + (lo - first_byte), rec.data() + (lo - r * kFitsRecordBytes),
                static_cast<std::size_t>(hi - lo + 1));
  }
  for (int b = 1; b <= PSF_NPIX; ++b) {
    for (int a = 1; a <= PSF_NPIX; ++a) {
      const float v = get_be_float(&bytes[static_cast<std::size_t>(4 * ((a - 1) + PSF_NPIX * (b - 1)))]);
      if (!std::isfinite(v))
        run_error(file.path(), "fiducial plane " + std::to_string(k) + " holds a value that is not a finite number");
      psf(a, b) = v;
    }
  }
}

PsfInterpolation locpsfij_stdpsf(int i, int j, View2<float> psf, const std::string& name, StdpsfHeader& header) {
  if (header.nxpsfs < 1) header = infofits_stdpsf(name);
  PsfInterpolation at;
  int ii2 = 1, jj2 = 1;
  fiducial_interval(i, header.ipsfx, header.nxpsfs, at.ii, ii2, at.fx);
  fiducial_interval(j, header.jpsfy, header.nypsfs, at.jj, jj2, at.fy);
  Array2<float> p00(PSF_NPIX, PSF_NPIX), p01(PSF_NPIX, PSF_NPIX), p10(PSF_NPIX, PSF_NPIX), p11(PSF_NPIX, PSF_NPIX);
  grabfits_stdpsf(name, p00.view(), at.ii, at.jj, header);
  grabfits_stdpsf(name, p01.view(), at.ii, jj2, header);
  grabfits_stdpsf(name, p10.view(), ii2, at.jj, header);
  grabfits_stdpsf(name, p11.view(), ii2, jj2, header);
  auto cv = [](const Array2<float>& a) { return View2<const float>(a.data(), PSF_NPIX, PSF_NPIX); };
  blend_fiducials(psf, cv(p00), cv(p01), cv(p10), cv(p11), at.fx, at.fy);
  return at;
}

void mk_loc_psf(View2<float> psf, int i, int j, const CameraPsf& camera, int kkk, const std::string& name,
                bool verbose) {
  const bool library = !is_null_psf_name(name);
  const bool known = kkk == KKK_ACSWFC || kkk == KKK_ACSHRC || kkk == KKK_WFC3UV || kkk == KKK_WFC3IR;
  if (!known) {
    write_list(std::cout, "mk_loc_psf:  could not fill local psf...");
    write_list(std::cout, "  ---> KKK:  ", kkk);
    stop_run();
  }
  if (library && kkk != KKK_ACSHRC) {
    StdpsfHeader header;  // empty: the library's header is read for this build
    locpsfij_stdpsf(i, j, psf, name, header);
    return;
  }
  if (!camera_psf_loaded(camera)) camera_array_missing(kkk);
  if (kkk == KKK_ACSWFC) {
    mk_loc_psfacs(i, j, psf, camera, verbose);
  } else if (kkk == KKK_WFC3UV) {
    mk_loc_psfwfc3uv(i, j, psf, camera);
  } else {
    copy_fiducial(psf, fiducial(camera, 1, 1));
  }
}

void get_psfloc_ns(int ns, const Array1<int>& itil_n, const Array1<int>& jtil_n, const Array1<int>& fff_n,
                   const Array1<int>& kkk_n, const Array1<CameraPsf>& psf_f, Array3<float>& psf_n,
                   const Array1<std::string>& filepsf_n, bool verbose) {
  static const CameraPsf no_camera_psf;
  for (int n = 1; n <= ns; ++n) {
    const int f = fff_n(n);
    const CameraPsf& camera = f >= 1 && f <= psf_f.n() ? psf_f(f) : no_camera_psf;
    mk_loc_psf(psf_n.plane(n), itil_n(n), jtil_n(n), camera, kkk_n(n), filepsf_n(n), verbose);
  }
}

}  // namespace zeb
