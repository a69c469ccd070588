// Camera PSF arrays from the older per-camera PSF files, read at set-up when the
// parameter file names one (PSFACS, PSFHRC, PSF3IR, PSF3UV) for the current
// filter slot. Each reader fills the slot's 101 x 101 x 9 x 10 array (first
// setting it to 0 unless it overwrites all of it) and writes its diagnostic
// table of the fiducials' central values to standard output.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "core/array.h"
#include "psf/psf_library.h"

namespace zeb {

// Image sizes of the four camera files (x by y).
inline constexpr int PSFACS_NX = 901, PSFACS_NY = 1001;    // 9 x 10 fiducials
inline constexpr int PSFHRC_NX = 1201, PSFHRC_NY = 1201;   // one PSF, ten times finer, in millionths
inline constexpr int PSF3IR_NX = 101, PSF3IR_NY = 101;     // one PSF
inline constexpr int PSF3UV_NX = 1401, PSF3UV_NY = 801;    // 7 x 8 fiducials in the left 701 columns

// Copies the fiducials out of a camera file's image (the image must have the
// size given above). Fiducial (ip, jp) starts at image pixel
// (1 + 100 (ip - 1), 1 + 100 (jp - 1)), so neighbours share a border row or
// column.
void fill_psfacs(View2<const float> image, CameraPsf& psf);
void fill_psfhrc(View2<const std::int32_t> image, CameraPsf& psf);
void fill_psf3ir(View2<const float> image, CameraPsf& psf);
void fill_psf3uv(View2<const float> image, CameraPsf& psf);

// "(10x,i2,1x,9f8.4)" for jp = 10 down to 1: jp and the central values of
// fiducials ip = 1..9.
void write_fiducial_table(std::ostream& os, const CameraPsf& psf);
// The central 11 x 11 values of fiducial (1, 1) (rows 56 down to 46) and a
// coarse 11 x 11 view of it (rows 71 down to 31, every fourth row and column).
void write_fiducial_core(std::ostream& os, const CameraPsf& psf);

// The set-up readers: read the file, fill the array, write the diagnostics.
// A file that is not the stated image (another size, values that are not
// numbers) stops the run with a clear message.
void read_psfacs(const std::string& file, CameraPsf& psf);
void read_psfhrc(const std::string& file, CameraPsf& psf);
void read_psf3ir(const std::string& file, CameraPsf& psf);
void read_psf3uv(const std::string& file, CameraPsf& psf);

}  // namespace zeb
