// Local PSFs: the PSF of one exposure at one detector position, interpolated
// among fiducial PSFs, either from a PSF library file (the "stdpsf" cube) or
// from the camera PSF array of the exposure's filter slot.
//
// A camera PSF array holds 9 x 10 fiducial PSFs, element (a, b, ip, jp),
// ip 1..9 along x, jp 1..10 along y. It is empty until one of the set-up
// readers (psf_camera.h) fills it; an exposure that needs it while it is empty
// stops the run (an all-zero PSF would make every measurement meaningless).
//
// A stdpsf library is a FITS file: a header naming NXPSFs x NYPSFs fiducials
// and their detector positions (IPSFX01..IPSFX10, JPSFY01..JPSFY10), then a
// cube of 101 x 101 big-endian floats per fiducial, plane ip + NXPSFs (jp - 1).
// The file is re-read for every local PSF built from it; nothing is cached.
#pragma once

#include <array>
#include <string>

#include "core/array.h"
#include "core/limits.h"

namespace zeb {

using CameraPsf = Array4<float>;  // 101 x 101 x 9 x 10

// Sizes an empty camera array and sets every value to 0.
void clear_camera_psf(CameraPsf& psf);
bool camera_psf_loaded(const CameraPsf& psf);

// Fiducial positions of the ACS/WFC camera array (`ixycl`): x of ip = 1..9,
// then y of jp = 1..10 (rows 5 and 6 both at 2048: the bottom of the upper chip
// repeats the top of the lower one).
inline constexpr std::array<int, 19> ixycl = {0,    512,  1024, 1536, 2168, 2800, 3192, 3584, 4096, 0,
                                              512,  1024, 1536, 2048, 2048, 2560, 3072, 3584, 4096};

// Camera codes this part distinguishes.
inline constexpr int KKK_ACSWFC = 5;
inline constexpr int KKK_ACSHRC = 7;
inline constexpr int KKK_WFC3UV = 8;
inline constexpr int KKK_WFC3IR = 9;

// Where the interpolation landed: fiducial cell (ii, jj) and fractions (fx, fy).
struct PsfInterpolation {
  int ii = 1, jj = 1;
  float fx = 0.0f, fy = 0.0f;
};

// psf := (1-fx)(1-fy) p(ii,jj) + (1-fx) fy p(ii,jj+1) + fx (1-fy) p(ii+1,jj)
//        + fx fy p(ii+1,jj+1), element by element, single precision.
void blend_fiducials(View2<float> psf, View2<const float> p00, View2<const float> p01, View2<const float> p10,
                     View2<const float> p11, float fx, float fy);

// ACS/WFC camera-array interpolation at raw position (i, j) (clamped to
// 1..4096). With `verbose` it writes its "PSFLOC_ACS: " trace line.
PsfInterpolation mk_loc_psfacs(int i, int j, View2<float> psf, const CameraPsf& camera, bool verbose);

// WFC3/UVIS camera-array interpolation among 7 x 8 fiducials at (i, j).
PsfInterpolation mk_loc_psfwfc3uv(int i, int j, View2<float> psf, const CameraPsf& camera);

// Header values of a stdpsf library, as `infofits_stdpsf` reads them.
struct StdpsfHeader {
  int nxpsfs = 0;
  int nypsfs = 0;
  std::array<int, 10> ipsfx{};  // 1-based position k is element k - 1
  std::array<int, 10> jpsfy{};
  long long data_offset = 2880;  // byte where the cube starts (after the header)
};

// True when a PSF library name means "no library": the name is "NULL"
// (trailing blanks aside).
bool is_null_psf_name(const std::string& name);

// Reads the header of the library `name` (80-character field). Every one of
// the twenty IPSFX/JPSFY cards must be present with a value >= 0 and NXPSFs,
// NYPSFs must be given, else the run stops with the message of the missing
// card. Only the first 35 cards of the header block are examined, and the
// keywords are matched as written (NXPSFs, not NXPSFS). A header that lies
// (counts above 10, fiducial positions that decrease or repeat at an end of
// the axis, a cube the file does not hold) is a run-time error naming the file.
StdpsfHeader infofits_stdpsf(const std::string& name);

// Reads fiducial plane (ip, jp) of the library into psf (101 x 101).
void grabfits_stdpsf(const std::string& name, View2<float> psf, int ip, int jp, const StdpsfHeader& header);

// Builds the PSF at raw position (i, j) from the library. Reads the header
// first when header.nxpsfs < 1 on entry (the dispatcher always passes an empty
// header, so every build re-reads it).
PsfInterpolation locpsfij_stdpsf(int i, int j, View2<float> psf, const std::string& name, StdpsfHeader& header);

// Builds the local PSF of an exposure of camera `kkk` at raw position (i, j):
// ACS/WFC, WFC3/UVIS and WFC3/IR use the library `name` unless it is "NULL",
// else the camera array (ACS/WFC and WFC3/UVIS interpolate it, WFC3/IR takes
// fiducial (1, 1)); ACS/HRC always takes fiducial (1, 1) of the camera array.
// Any other camera code stops the run.
void mk_loc_psf(View2<float> psf, int i, int j, const CameraPsf& camera, int kkk, const std::string& name,
                bool verbose);

// Local PSF of every exposure n = 1..ns of a tile, at the exposure's raster
// centre (itil_n, jtil_n), into plane n of psf_n (101 x 101 x at least ns),
// with the camera array of its filter slot psf_f(fff_n(n)).
void get_psfloc_ns(int ns, const Array1<int>& itil_n, const Array1<int>& jtil_n, const Array1<int>& fff_n,
                   const Array1<int>& kkk_n, const Array1<CameraPsf>& psf_f, Array3<float>& psf_n,
                   const Array1<std::string>& filepsf_n, bool verbose);

}  // namespace zeb
