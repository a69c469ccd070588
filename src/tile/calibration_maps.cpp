#include "tile/calibration_maps.h"

#include <cmath>
#include <vector>

#include "core/array.h"
#include "core/calib.h"

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
  return t(i, j) * (1.0f - wx) * (1.0f - wy) + t(i + 1, j) * wx * (1.0f - wy) + t(i, j + 1) * (1.0f - wx) * wy +
         t(i + 1, j + 1) * wx * wy;
}

namespace {

// ACS/WFC distortion polynomial: set A (entries 1..30) for the upper chip,
// set B (31..60) for the lower; each an x polynomial then a y polynomial in
// the terms 1, X, Y, X^2, XY, Y^2, X^3, X^2Y, XY^2, Y^3, X^4, X^3Y, X^2Y^2,
// XY^3, Y^4.
constexpr float kPolya[60] = {
    4.222858f,   -25.8109722f, 7.5227451f,   35.1100426f, -15.4586792f, 2.224611f,    -3.9974229f, -0.461412f,
    -1.137435f,  0.069899f,    0.365157f,    0.297704f,   0.451025f,    -0.059556f,   0.16458f,    2090.8291016f,
    166.6364441f, -22.5819912f, -9.2248287f, 11.8548412f, -9.8124752f,  0.450533f,    -1.922356f,  -0.151181f,
    -0.408813f,  -0.294261f,   -0.302678f,   -0.414122f,  0.10131f,     -0.188003f,   -0.013903f,  0.115885f,
    -0.014278f,  35.8456612f,  -10.9553528f, 2.264019f,   -4.0188618f,  -0.189312f,   -1.135375f,  0.008529f,
    0.419362f,   0.099082f,    0.167527f,    -0.036017f,  -0.000001f,   0.023567f,    141.2454987f, 11.9044418f,
    -4.9667311f, 12.4176483f,  -7.4886379f,  0.463892f,   -2.23911f,    -0.249694f,   -0.464881f,  -0.258344f,
    -0.022357f,  -0.105517f,   -0.050072f,   -0.031641f};

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
  const float* p = kPolya + (lower ? 30 : 0);  // p[0..14] x polynomial
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
  const float* pb = kPolya + 30;
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
