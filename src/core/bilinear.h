// Bilinear interpolation in single precision between the four corner values of
// a cell: the one formula of the tile tables, the zero-point maps and the
// exposures' correction maps.
#pragma once

namespace zeb {

// t00 (1 - fx)(1 - fy) + t10 fx (1 - fy) + t01 (1 - fx) fy + t11 fx fy, each
// product taken left to right and the terms summed in this order (results
// depend on it bit for bit). Outside 0..1 the cell is extrapolated linearly.
inline float bilinear(float t00, float t10, float t01, float t11, float fx, float fy) {
  return t00 * (1.0f - fx) * (1.0f - fy) + t10 * fx * (1.0f - fy) + t01 * (1.0f - fx) * fy + t11 * fx * fy;
}

}  // namespace zeb
