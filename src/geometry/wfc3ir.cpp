// WFC3/IR distortion: a cubic polynomial in coordinates normalised about the
// detector centre (507, 507), then an 11 x 11 residual table on a 100-pixel
// grid. The forward map runs in single precision.
#include "core/array.h"
#include "core/calib.h"
#include "geometry/distortion.h"
#include "geometry/solution_support.h"

namespace zeb {

namespace {

using geometry_detail::bilinear;
using geometry_detail::poly_terms;
using geometry_detail::trunc_clamped;

constexpr float irpolyx[10] = {507.0f, 567.453f, 1.767f, -0.065f, 7.171f, 0.033f, -0.002f, 0.007f, 0.003f, -0.012f};
constexpr float irpolyxyx[10] = {507.0f, 0.0f, 507.0f, 1.805f, -0.049f, 7.866f, 0.015f, -0.022f, 0.032f, -0.012f};
constexpr int kIrNodes = 11;

struct IrResidualTables {
  Array2<float> irxcor{kIrNodes, kIrNodes};
  Array2<float> irycor{kIrNodes, kIrNodes};
};

Array2<float> load_ir_table(const char* name) {
  const std::vector<double> v = calib_numbers(name, kIrNodes * kIrNodes);
  Array2<float> t(kIrNodes, kIrNodes);
  for (int j = 1; j <= kIrNodes; ++j)
    for (int i = 1; i <= kIrNodes; ++i) t(i, j) = static_cast<float>(v[(i - 1) + kIrNodes * (j - 1)]);
  return t;
}

// Loaded once from the embedded tables; node (i, j) lies at raw (100 (i - 1), 100 (j - 1)).
const IrResidualTables& ir_tables() {
  static const IrResidualTables tables{load_ir_table("wfc3ir_irxcor"), load_ir_table("wfc3ir_irycor")};
  return tables;
}

// The table interpolated at raw (x, y). The cell index is clamped to the grid
// but its fraction is not, so points beyond the grid are extrapolated
// linearly from the edge cell.
float ir_residual(float x, float y, const Array2<float>& t) {
  const float fx = x / 100.0f + 1.0f;
  const float fy = y / 100.0f + 1.0f;
  const int i = trunc_clamped(fx, 1, kIrNodes - 1);
  const int j = trunc_clamped(fy, 1, kIrNodes - 1);
  const float wx = fx - static_cast<float>(i);
  const float wy = fy - static_cast<float>(j);
  return bilinear(t(i, j), t(i + 1, j), t(i, j + 1), t(i + 1, j + 1), wx, wy);
}

void ir_poly_single(float x, float y, float& xc, float& yc) {
  const float X = (x - 507.0f) / 507.0f;
  const float Y = (y - 507.0f) / 507.0f;
  float t[15];
  poly_terms(X, Y, t);
  float sx = 0.0f;
  float sy = 0.0f;
  for (int k = 0; k < 10; ++k) {
    sx += irpolyx[k] * t[k];
    sy += irpolyxyx[k] * t[k];
  }
  xc = sx;
  yc = sy;
}

}  // namespace

void wfc3ir_poly(double x, double y, double& xc, double& yc) {
  float px = 0.0f;
  float py = 0.0f;
  ir_poly_single(static_cast<float>(x), static_cast<float>(y), px, py);
  xc = px;
  yc = py;
}

void wfc3ir_gc(double x, double y, double& xc, double& yc) {
  const float xs = static_cast<float>(x);
  const float ys = static_cast<float>(y);
  float px = 0.0f;
  float py = 0.0f;
  ir_poly_single(xs, ys, px, py);
  const IrResidualTables& t = ir_tables();
  xc = px - ir_residual(xs, ys, t.irxcor);
  yc = py - ir_residual(xs, ys, t.irycor);
}

void wfc3ir_cg(double xc, double yc, double& x, double& y) {
  geometry_detail::invert_forward(xc, yc, x, y, 0.5, 99, geometry_detail::StopRule::AtOrBelow,
                                  [](double xr, double yr, double& xg, double& yg) { wfc3ir_gc(xr, yr, xg, yg); });
}

}  // namespace zeb
