// Position-dependent photometric corrections applied by the exposure readers:
// zero-point corrections in magnitudes at a raw position (the reader multiplies
// a pixel by 10^(-z/2.5)), and the relative pixel area of ACS/WFC.
#pragma once

namespace zeb {

// WFC3/IR: bilinear interpolation of the 64 x 64 map whose node k lies at raw
// pixel 8 + 16 (k - 1), held inside the outermost cell (single precision).
float wfc3ir_zpa(double x, double y);

// WFC3/UVIS in the joint 4096-pixel frame: the same with node k at 32 + 64 (k - 1).
float wfc3uv_zpa(double x, double y);

// ACS/WFC: relative area of raw pixel (i, j) of the joint 4096-row frame, from
// the derivatives of the chip's distortion polynomial (lower chip for
// j <= 2048), normalised to the lower chip's linear scale.
float pixarea_wfc(int i, int j);

// ACS/WFC: -2.5 log10 of the pixel area at (trunc(x), trunc(y)), less 0.03018.
float wfc_zpa(double x, double y);

}  // namespace zeb
