#include "tile/calibration_maps.h"

#include <vector>

#include "core/array.h"
#include "core/calib.h"

namespace zeb {

namespace {

constexpr int kZpNodes = 64;

// The embedded table as a 64 x 64 array, first index along x (the file holds one
// row j per line, i fastest).
Array2<float> load_zp_table(const char* name) {
  std::vector<double> v = calib_numbers(name, kZpNodes * kZpNodes);
  Array2<float> t(kZpNodes, kZpNodes);
  for (int j = 1; j <= kZpNodes; ++j)
    for (int i = 1; i <= kZpNodes; ++i) t(i, j) = static_cast<float>(v[(i - 1) + kZpNodes * (j - 1)]);
  return t;
}

// Table coordinate of a raw position, held inside the outermost cell so that the
// interpolation never leaves the table.
float clamped_node_coordinate(double x, float first_node, float spacing) {
  float f = (static_cast<float>(x) - first_node) / spacing + 1.0f;
  if (f <= 1.0f) f = 1.0f;
  if (f >= 64.0f) f = 63.99f;
  return f;
}

float interpolate_zp(const Array2<float>& t, double x, double y, float first_node, float spacing) {
  float f = clamped_node_coordinate(x, first_node, spacing);
  float g = clamped_node_coordinate(y, first_node, spacing);
  int i = static_cast<int>(f);
  int j = static_cast<int>(g);
  float wx = f - static_cast<float>(i);
  float wy = g - static_cast<float>(j);
  return t(i, j) * (1.0f - wx) * (1.0f - wy) + t(i + 1, j) * wx * (1.0f - wy) + t(i, j + 1) * (1.0f - wx) * wy +
         t(i + 1, j + 1) * wx * wy;
}

}  // namespace

float wfc3ir_zpa(double x, double y) {
  static const Array2<float> table = load_zp_table("wfc3ir_zp");
  return interpolate_zp(table, x, y, 8.0f, 16.0f);
}

float wfc3uv_zpa(double x, double y) {
  static const Array2<float> table = load_zp_table("wfc3uv_zp");
  return interpolate_zp(table, x, y, 32.0f, 64.0f);
}

}  // namespace zeb
