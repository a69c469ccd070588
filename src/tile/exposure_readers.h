// Reading one exposure's raster: the raw pixels itil - 150 .. itil + 150 (and
// likewise in y) of the exposure file, as values, errors and pixel flags.
//
// Pixel flags: 0 good, 1 bad (excluded), 2 saturated (value replaced), 3 no
// data, 4 strongly negative. Only the header and the data records that hold
// pixels of the window are read.
#pragma once

#include <cstdint>
#include <string>

#include "core/array.h"

namespace zeb {

// Flags of a raster pixel.
inline constexpr std::uint8_t kPixGood = 0, kPixBad = 1, kPixSaturated = 2, kPixNoData = 3, kPixNegative = 4;

// 16-bit joint-frame exposure (ACS/WFC, WFC3/UVIS): the NX x NY raster around
// (itil, jtil). The name must hold ".fits"; "WJL.fits" selects the compressed
// encoding, anything else the plain one. Pixels outside the file keep the
// fill (-500, 9999.9, flag 3); rows 2045..2052 are the chip gap.
void readfits_wfc3uv_wj2_rast(const std::string& name, View2<float> values, View2<float> errors,
                              View2<std::uint8_t> flags, int itil, int jtil, int nx, int ny);

// WFC3/IR calibrated file: values from the first extension (32-bit float),
// errors from the second (raised to at least 0.15), flags from the data-quality
// words of the third. Pixels outside the file: -500, 99999, flag 3.
void readfits_wfc3ir_flt_rast(const std::string& name, View2<float> values, View2<float> errors,
                              View2<std::uint8_t> flags, int itil, int jtil, int nx, int ny);

// ACS/HRC 1024 x 1024 image of 32-bit integers: counts with Poisson-plus-read
// errors, flag 2 above 119000, flag 1 off the image.
void readfits_hrc_i4_rast(const std::string& name, View2<float> values, View2<float> errors,
                          View2<std::uint8_t> flags, int itil, int jtil, int nx, int ny);

// Multiplies every raster pixel inside the detector (size s x s) by
// 10^(-z/2.5), z interpolated bilinearly from the correction function at the
// four corners of the raster's part of the detector.
void apply_correction_map(View2<float> values, int itil, int jtil, int s, float (*zpa)(double, double));

// One exposure's 301 x 301 raster by camera code: 5 and 8 the 16-bit reader,
// sky subtraction and their correction map; 9 the IR reader and its map; 7 the
// HRC reader; 1 stops; other codes leave the rasters as they are.
void read_tile(const std::string& filepix, int kkk, int chip, int itil, int jtil, View2<float> values,
               View2<float> errors, View2<std::uint8_t> flags, float sky);

}  // namespace zeb
