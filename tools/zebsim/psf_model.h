// The simulator's analytic PSF: a sum of circular Gaussians in raw detector
// pixels, integrated exactly over each pixel (products of error functions), with
// a width that changes linearly across the detector. Stars are drawn from it
// directly; the PSF files sample the same pixel integrals on the PSF grid, four
// samples per pixel, so what zeb reads describes what the exposures hold.
#pragma once

#include <array>
#include <cstdint>

#include "core/array.h"

namespace zebsim {

struct PsfComponent {
  double weight = 0.0;  // fraction of the total flux
  double sigma = 0.0;   // Gaussian width in raw pixels at the detector centre
};

class PsfModel {
 public:
  // Half-size of the square box of pixels a star is drawn into: the PSF grid
  // reaches 12.5 pixels, and beyond 12 pixels the project's PSF is zero.
  static constexpr int kHalfBox = 12;

  PsfModel() = default;
  // Widths scale by 1 + grad_x (x - cx) / cx + grad_y (y - cy) / cy at raw (x, y).
  PsfModel(std::array<PsfComponent, 2> components, double cx, double cy, double grad_x, double grad_y);

  double width_scale(double x, double y) const;
  // Fraction of the flux of a star at raw (x, y) that falls into the pixel whose
  // centre lies at (x + dx, y + dy).
  double pixel_fraction(double dx, double dy, double x, double y) const;
  // Adds flux x the pixel fractions of a star at raw (x, y) to the pixels of the
  // box around it that lie in the image (1-based, pixel i centred at x = i).
  void render(zeb::View2<double> image, double x, double y, double flux) const;

  const std::array<PsfComponent, 2>& components() const { return comp_; }

 private:
  std::array<PsfComponent, 2> comp_{};
  double cx_ = 1.0, cy_ = 1.0, gx_ = 0.0, gy_ = 0.0;
};

// The PSF grid of a star at raw (x, y): 101 x 101, element (a, b) the pixel
// fraction at offset ((a - 51) / 4, (b - 51) / 4).
zeb::Array2<float> psf_grid(const PsfModel& model, double x, double y);

// The 1201 x 1201 PSF at ten times the grid's sampling (40 samples per pixel),
// element (a, b) at offset ((a - 601) / 40, (b - 601) / 40), in millionths.
zeb::Array2<std::int32_t> psf_fine_grid(const PsfModel& model, double x, double y);

}  // namespace zebsim
