#include "psf_model.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

namespace zebsim {

namespace {

// Integral over [d - 0.5, d + 0.5] of a unit Gaussian of width sigma.
double pixel_integral(double d, double sigma) {
  const double k = 1.0 / (sigma * std::numbers::sqrt2);
  return 0.5 * (std::erf((d + 0.5) * k) - std::erf((d - 0.5) * k));
}

// Per-component pixel integrals along one axis for n pixels whose centres lie at
// offsets first, first + step, ... from the star; out[c][m] carries the weight.
template <std::size_t N>
void axis_fractions(const std::array<PsfComponent, 2>& comp, double scale, double first, double step, int n,
                    std::array<std::array<double, N>, 2>& out, bool weighted) {
  for (int c = 0; c < 2; ++c) {
    const double sigma = comp[c].sigma * scale;
    const double w = weighted ? comp[c].weight : 1.0;
    for (int m = 0; m < n; ++m) out[c][m] = comp[c].weight > 0.0 ? w * pixel_integral(first + step * m, sigma) : 0.0;
  }
}

}  // namespace

PsfModel::PsfModel(std::array<PsfComponent, 2> components, double cx, double cy, double grad_x, double grad_y)
    : comp_(components), cx_(cx), cy_(cy), gx_(grad_x), gy_(grad_y) {}

double PsfModel::width_scale(double x, double y) const { return 1.0 + gx_ * (x - cx_) / cx_ + gy_ * (y - cy_) / cy_; }

double PsfModel::pixel_fraction(double dx, double dy, double x, double y) const {
  const double s = width_scale(x, y);
  double v = 0.0;
  for (const auto& c : comp_)
    if (c.weight > 0.0) v += c.weight * pixel_integral(dx, c.sigma * s) * pixel_integral(dy, c.sigma * s);
  return v;
}

void PsfModel::render(zeb::View2<double> image, double x, double y, double flux) const {
  constexpr int kBox = 2 * kHalfBox + 1;
  const long i0 = std::lround(x) - kHalfBox;
  const long j0 = std::lround(y) - kHalfBox;
  const long ilo = std::max<long>(i0, 1), ihi = std::min<long>(i0 + kBox - 1, image.nx());
  const long jlo = std::max<long>(j0, 1), jhi = std::min<long>(j0 + kBox - 1, image.ny());
  if (ilo > ihi || jlo > jhi) return;
  const double s = width_scale(x, y);
  std::array<std::array<double, kBox>, 2> fx{}, fy{};
  axis_fractions(comp_, s, static_cast<double>(i0) - x, 1.0, kBox, fx, true);
  axis_fractions(comp_, s, static_cast<double>(j0) - y, 1.0, kBox, fy, false);
  for (long j = jlo; j <= jhi; ++j) {
    const double a0 = flux * fy[0][j - j0];
    const double a1 = flux * fy[1][j - j0];
    double* row = &image(ilo, j);
    for (long i = ilo; i <= ihi; ++i) row[i - ilo] += a0 * fx[0][i - i0] + a1 * fx[1][i - i0];
  }
}

zeb::Array2<float> psf_grid(const PsfModel& model, double x, double y) {
  constexpr int n = 101;
  std::array<std::array<double, n>, 2> fx{}, fy{};
  const double s = model.width_scale(x, y);
  axis_fractions(model.components(), s, -50.0 / 4.0, 0.25, n, fx, true);
  axis_fractions(model.components(), s, -50.0 / 4.0, 0.25, n, fy, false);
  zeb::Array2<float> g(n, n);
  for (int b = 1; b <= n; ++b)
    for (int a = 1; a <= n; ++a)
      g(a, b) = static_cast<float>(fx[0][a - 1] * fy[0][b - 1] + fx[1][a - 1] * fy[1][b - 1]);
  return g;
}

zeb::Array2<std::int32_t> psf_fine_grid(const PsfModel& model, double x, double y) {
  constexpr int n = 1201;
  auto fx = std::make_unique<std::array<std::array<double, n>, 2>>();
  auto fy = std::make_unique<std::array<std::array<double, n>, 2>>();
  const double s = model.width_scale(x, y);
  axis_fractions(model.components(), s, -600.0 / 40.0, 1.0 / 40.0, n, *fx, true);
  axis_fractions(model.components(), s, -600.0 / 40.0, 1.0 / 40.0, n, *fy, false);
  zeb::Array2<std::int32_t> g(n, n);
  for (int b = 1; b <= n; ++b)
    for (int a = 1; a <= n; ++a) {
      double v = (*fx)[0][a - 1] * (*fy)[0][b - 1] + (*fx)[1][a - 1] * (*fy)[1][b - 1];
      g(a, b) = static_cast<std::int32_t>(std::lround(1.0e6 * v));
    }
  return g;
}

}  // namespace zebsim
