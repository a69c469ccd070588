// A simulated field: the cameras, the description of a field (presets), and the
// plan drawn from it with its seed: the stars with their true fluxes, and the
// exposures with their exposure times, throughputs, sky levels and linear maps
// from the reference frame to distortion-corrected pixels.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "psf_model.h"

namespace zebsim {

enum class CameraKind { Wfc3Ir, AcsHrc };

struct CameraModel {
  CameraKind kind = CameraKind::Wfc3Ir;
  int kkk = 9;                      // camera code
  std::string chipname;             // CHIPNAME value of the parameter file
  int nx = 1014, ny = 1014;         // raw pixels
  double xc0 = 507.0, yc0 = 507.0;  // corrected position the field centre is placed at
  bool rates = true;                // pixel values in electrons per second (else counts)
  double read_noise = 15.0;         // electrons (counts) per pixel and exposure
  double saturation = 78000.0;      // electrons (counts) in a pixel where it saturates
};

const CameraModel& camera_wfc3ir();
const CameraModel& camera_acshrc();

// How a filter's PSF is handed to zeb in the parameter file.
enum class PsfForm { Library, Single, Integer };

struct FilterDesign {
  std::string name;       // five characters, e.g. F110W
  double exp_f = 500.0;   // exposure time the filter's fluxes are normalised to (EXPFLT)
  double sky_rate = 0.8;  // sky per pixel and second, electrons (counts)
  std::array<PsfComponent, 2> psf{};
  double psf_grad_x = 0.0, psf_grad_y = 0.0;  // width change from centre to edge
  PsfForm form = PsfForm::Library;
};

struct FieldDesign {
  std::string preset;
  std::uint64_t seed = 1;
  CameraModel camera;
  std::array<FilterDesign, 2> filters;
  int exposures_per_filter = 3;
  std::array<int, 4> tiles{1, 2, 1, 2};  // IT min, IT max, JT min, JT max
  int nit_min = 1, nit_max = 3;
  int nstars = 1500;
  double mag_bright = -16.0, mag_faint = -6.0;  // filter-1 magnitudes, reference units
  double lf_slope = 0.3;                        // log10 of the star count grows by this per magnitude
  int saturated_stars = 4;                      // extra stars within a magnitude of mag_bright, so that some saturate
  double colour_min = -0.3, colour_max = 1.2;   // filter-2 minus filter-1 magnitude
  double margin = 12.0;                         // stars fill the tiles' outer extent and this margin
  double ref_scale = 1.0;                       // corrected pixels per reference pixel
  double dither = 8.0;                          // largest shift of an exposure, reference pixels
  double rotation_deg = 0.8;                    // largest rotation
  double throughput_spread = 0.04;              // largest departure of a throughput from 1
  double exptime_spread = 0.05;                 // largest relative departure from exp_f
  int mat_stars = 300;                          // stars per MAT file
  double mat_pos_noise = 0.02;                  // pixels
  double mat_mag_noise = 0.01;
  double bright_mag = -13.5;     // stars brighter than this (filter 1) form the bright-star list
  double start_mag = -11.0;      // and the optional starting list
  bool with_start_list = false;  // name the starting list in the parameter file
  int bad_pixels = 30;           // IR: flagged bad detector pixels
  double cosmic_rate = 2.5;      // HRC: cosmic-ray hits per second
};

// The named presets: demo, e2e-ir, e2e-hrc, bench, crowded. Unknown names stop the run.
FieldDesign field_preset(const std::string& name);
std::vector<std::string> preset_names();

struct Star {
  long id = 0;
  double u = 0.0, v = 0.0;
  std::array<double, 2> flux{};  // reference units: electrons in exp_f seconds at throughput 1
  std::array<double, 2> mag{};   // -2.5 log10 flux
};

struct Exposure {
  int slot = 0;      // image slot G, 1-based
  int filter = 0;    // filter slot F - 1
  int flt = 0;       // filter index of the camera's list
  std::string stem;  // file names without extension
  double exptime = 0.0;
  double throughput = 1.0;
  double sky_rate = 0.0;
  // Linear map: xc = xc0 + a (u - uc) + b (v - vc), yc = yc0 + c (u - uc) + d (v - vc).
  double uc = 0.0, vc = 0.0, xc0 = 0.0, yc0 = 0.0, a = 1.0, b = 0.0, c = 0.0, d = 1.0;

  void corrected(double u, double v, double& xc, double& yc) const;
  // Pixel value of a star of reference flux f before the zero-point map: electrons
  // per second (IR) or counts (HRC) per unit of reference flux.
  double units_per_flux(const CameraModel& cam, double exp_f) const;
};

// Where the tiles of a field lie in the reference frame.
struct Region {
  double umin = 0.0, umax = 0.0, vmin = 0.0, vmax = 0.0;
  bool contains(double u, double v) const { return u >= umin && u < umax && v >= vmin && v < vmax; }
};

struct Field {
  FieldDesign design;
  Region inner_region;  // union of the tiles' inner regions (what zeb commits)
  Region star_region;   // where stars are placed
  std::vector<Star> stars;
  std::vector<Exposure> exposures;
};

Field plan_field(const FieldDesign& design);

std::string lower_case(const std::string& s);

// The PSF model of filter slot f (0-based) on the field's camera.
PsfModel psf_model(const FieldDesign& design, int f);

// Raw position of a star in an exposure, through the project's inverse distortion.
void raw_position(const Field& field, const Exposure& e, double u, double v, double& x, double& y);

}  // namespace zebsim
