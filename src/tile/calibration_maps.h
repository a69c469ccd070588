// Position-dependent photometric corrections applied by the exposure readers:
// zero-point corrections in magnitudes at a raw position (the reader multiplies
// a pixel by 10^(-z/2.5)), and the relative pixel area of ACS/WFC.
#pragma once

#include <vector>

#include "core/array.h"

namespace zeb {

// A 64 x 64 zero-point map, first index along x, from its 4096 numbers in the
// order of its calibration file: one row j per line, i fastest.
Array2<float> zp_table(const std::vector<double>& numbers);

// The map's value at raw (x, y), its node k lying at first_node + spacing
// (k - 1) on either axis: bilinear between nodes (i, j) and (i + 1, j + 1),
// held inside the outermost cell (single precision).
float zp_map_value(const Array2<float>& table, double x, double y, float first_node, float spacing);

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
