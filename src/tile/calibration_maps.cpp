#include "tile/calibration_maps.h"

#include <array>
#include <cmath>
#include <vector>

#include "core/array.h"
#include "core/bilinear.h"
#include "core/calib.h"
#include "geometry/distortion.h"

namespace zeb {

namespace {

constexpr int kZpNodes = 64;

// Node coordinate of a raw position, held inside the outermost cell so that
// the interpolation never leaves the table.
float zp_node_coordinate(double x, float first_node, float spacing) {
  float f = (static_cast<float>(x) - first_node) / spacing + 1.0f;
  if (f <= 1.0f) f = 1.0f;
  if (f >= 64.0f) f = 63.99f;
  if (!(f >= 1.0f)) f = 1.0f;  // not a number: the first node
  return f;
}

}  // namespace

Array2<float> zp_table(const std::vector<double>& v) {
  Array2<float> t(kZpNodes, kZpNodes);
  for (int j = 1; j <= kZpNodes; ++j)
    for (int i = 1; i <= kZpNodes; ++i) t(i, j) = static_cast<float>(v.at((i - 1) + kZpNodes * (j - 1)));
  return t;
}

// The one interpolation of both zero-point maps; they differ only in where
// their nodes lie.
float zp_map_value(const Array2<float>& t, double x, double y, float first_node, float spacing) {
  const float f = zp_node_coordinate(x, first_node, spacing);
  const float g = zp_node_coordinate(y, first_node, spacing);
  const int i = static_cast<int>(f);
  const int j = static_cast<int>(g);
  const float wx = f - static_cast<float>(i);
  const float wy = g - static_cast<float>(j);
  return bilinear(t(i, j), t(i + 1, j), t(i, j + 1), t(i + 1, j + 1), wx, wy);
}

namespace {

// The ACS/WFC distortion polynomial in single precision: set A (entries
// 1..30) for the upper chip, set B (31..60) for the lower; each an x
// polynomial then a y polynomial in the terms 1, X, Y, X^2, XY, Y^2, X^3,
// X^2Y, XY^2, Y^3, X^4, X^3Y, X^2Y^2, XY^3, Y^4. Every coefficient rounds to
// the same float as the decimal it is written as.
constexpr std::array<float, 60> kPolya = [] {
  std::array<float, 60> a{};
  for (std::size_t k = 0; k < a.size(); ++k) a[k] = static_cast<float>(WFC_POLY[k]);
  return a;
}();

}  // namespace

float wfc3ir_zpa(double x, double y) {
  static const Array2<float> table = zp_table(calib_numbers("wfc3ir_zp", kZpNodes * kZpNodes));
  return zp_map_value(table, x, y, 8.0f, 16.0f);
}

float wfc3uv_zpa(double x, double y) {
  static const Array2<float> table = zp_table(calib_numbers("wfc3uv_zp", kZpNodes * kZpNodes));
  return zp_map_value(table, x, y, 32.0f, 64.0f);
}

float pixarea_wfc(int i, int j) {
  const bool lower = j <= 2048;
  const float* p = kPolya.data() + (lower ? 30 : 0);  // p[0..14] x polynomial
  const float* q = p + 15;                     // q[0..14] y polynomial
  const float X = static_cast<float>(i - 2048) / 2048.0f;
  const float Y = static_cast<float>(j - (lower ? 1024 : 3072)) / 1024.0f;
  // p[k - 1] is the coefficient p_k of the term order above.
  const float dxdX = 2048.0f + p[1] + 2.0f * p[3] * X + p[4] * Y + 3.0f * p[6] * X * X + 2.0f * p[7] * X * Y +
                     p[8] * Y * Y + 4.0f * p[10] * X * X * X + 3.0f * p[11] * X * X * Y + 2.0f * p[12] * X * Y * Y +
                     p[13] * Y * Y * Y;
  const float dxdY = p[2] + p[4] * X + 2.0f * p[5] * Y + p[7] * X * X + 2.0f * p[8] * X * Y + 3.0f * p[9] * Y * Y +
                     p[11] * X * X * X + 2.0f * p[12] * X * X * Y + 3.0f * p[13] * X * Y * Y + 4.0f * p[14] * Y * Y * Y;
  const float dydX = q[1] + 2.0f * q[3] * X + q[4] * Y + 3.0f * q[6] * X * X + 2.0f * q[7] * X * Y + q[8] * Y * Y +
                     4.0f * q[10] * X * X * X + 3.0f * q[11] * X * X * Y + 2.0f * q[12] * X * Y * Y +
                     q[13] * Y * Y * Y;
  const float dydY = 1024.0f + q[2] + q[4] * X + 2.0f * q[5] * Y + q[7] * X * X + 2.0f * q[8] * X * Y +
                     3.0f * q[9] * Y * Y + q[11] * X * X * X + 2.0f * q[12] * X * X * Y + 3.0f * q[13] * X * Y * Y +
                     4.0f * q[14] * Y * Y * Y;
  // Normalised to the linear scale of the lower chip (set B) for both chips.
  const float* pb = kPolya.data() + 30;
  const float* qb = pb + 15;
  const float norm = (2048.0f + pb[1]) * (1024.0f + qb[2]) - pb[2] * qb[1];
  return (dxdX * dydY - dxdY * dydX) / norm;
}

float wfc_zpa(double x, double y) {
  // Positions are raw pixels of the 4096 frame; anything that would not fit
  // an int is held at the frame's edge first (the polynomial is meaningless
  // there anyway, and the conversion must stay defined).
  auto pixel = [](double v) {
    if (!(v > -1.0e6)) return -1000000;
    if (v > 1.0e6) return 1000000;
    return static_cast<int>(v);
  };
  return -2.5f * std::log10(pixarea_wfc(pixel(x), pixel(y))) - 0.03018f;
}

}  // namespace zeb
