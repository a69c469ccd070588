#include "field.h"

#include <cctype>
#include <cmath>
#include <iostream>
#include <numbers>

#include "core/stop.h"
#include "project_geometry.h"
#include "sim_random.h"

namespace zebsim {

const CameraModel& camera_wfc3ir() {
  static const CameraModel cam{CameraKind::Wfc3Ir, 9, "WFC3IR", 1014, 1014, 507.0, 507.0, true, 15.0, 78000.0};
  return cam;
}

// ACS/HRC: counts at a gain of one electron per count and a read noise of 4, the
// noise the reader assumes; a pixel above 119000 counts is saturated.
const CameraModel& camera_acshrc() {
  static const CameraModel cam{CameraKind::AcsHrc, 7, "ACSHRC", 1024, 1024, 512.0, 512.0, false, 4.0, 119000.0};
  return cam;
}

namespace {

FilterDesign ir_filter(const std::string& name, double sky, double core, double halo, double halo_weight) {
  FilterDesign f;
  f.name = name;
  f.exp_f = 500.0;
  f.sky_rate = sky;
  f.psf = {PsfComponent{1.0 - halo_weight, core}, PsfComponent{halo_weight, halo}};
  f.psf_grad_x = 0.03;
  f.psf_grad_y = -0.02;
  f.form = PsfForm::Library;
  return f;
}

// HRC exposures go to zeb with one PSF for the whole detector (the camera array
// holds a single PSF), so the simulated PSF of the HRC presets does not vary.
FilterDesign hrc_filter(const std::string& name, double sky, double core, double halo, double halo_weight) {
  FilterDesign f = ir_filter(name, sky, core, halo, halo_weight);
  f.exp_f = 400.0;
  f.psf_grad_x = 0.0;
  f.psf_grad_y = 0.0;
  f.form = PsfForm::Integer;
  return f;
}

FieldDesign demo_design() {
  FieldDesign s;
  s.preset = "demo";
  s.camera = camera_wfc3ir();
  s.filters = {ir_filter("F110W", 0.9, 0.55, 1.6, 0.15), ir_filter("F160W", 0.7, 0.65, 1.9, 0.18)};
  return s;
}

}  // namespace

std::vector<std::string> preset_names() { return {"demo", "e2e-ir", "e2e-hrc", "bench", "crowded"}; }

FieldDesign field_preset(const std::string& name) {
  FieldDesign s = demo_design();
  if (name == "demo") return s;
  if (name == "e2e-ir") {
    s.preset = name;
    s.exposures_per_filter = 2;
    s.tiles = {1, 2, 1, 1};
    s.nit_max = 2;
    s.nstars = 500;
    s.mat_stars = 150;
    return s;
  }
  if (name == "e2e-hrc") {
    s.preset = name;
    s.camera = camera_acshrc();
    s.filters = {hrc_filter("F555W", 0.03, 0.9, 2.2, 0.15), hrc_filter("F814W", 0.05, 1.25, 2.6, 0.2)};
    s.exposures_per_filter = 2;
    s.tiles = {1, 2, 1, 1};
    s.nit_max = 2;
    s.nstars = 500;
    s.mag_bright = -16.0;
    s.mag_faint = -5.0;
    s.bright_mag = -13.0;
    s.mat_stars = 150;
    return s;
  }
  if (name == "bench") {
    s.preset = name;
    s.exposures_per_filter = 8;
    s.tiles = {1, 10, 1, 10};
    s.nstars = 60000;
    s.saturated_stars = 40;
    // The 10 x 10 tiles span 1231 reference pixels; at 0.8 corrected pixels per
    // reference pixel every exposure covers nearly all of them.
    s.ref_scale = 0.8;
    return s;
  }
  if (name == "crowded") {
    // A globular-cluster field: about 8000 stars in the 480 x 480 reference
    // pixels of 4 x 4 tiles, six exposures per filter, and a luminosity
    // function that goes on about three magnitudes below what one exposure
    // detects (about -6.3 in filter 1), so that the faint stars both crowd
    // the field and lie beyond the reach of single-exposure finding. The
    // finding runs its seven default iterations.
    s.preset = name;
    s.exposures_per_filter = 6;
    s.tiles = {1, 4, 1, 4};
    s.nit_max = 7;
    s.nstars = 9900;  // over the stars' region, 534 x 534 reference pixels
    s.saturated_stars = 16;
    s.mag_faint = -3.5;
    return s;
  }
  std::cout << "zebsim: unknown preset " << name << '\n';
  std::cout << "known presets:";
  for (const auto& p : preset_names()) std::cout << ' ' << p;
  std::cout << '\n';
  zeb::stop_run("unknown preset");
}

std::string lower_case(const std::string& s) {
  std::string r;
  for (char c : s) r += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

void Exposure::corrected(double u, double v, double& xc, double& yc) const {
  xc = xc0 + a * (u - uc) + b * (v - vc);
  yc = yc0 + c * (u - uc) + d * (v - vc);
}

double Exposure::units_per_flux(const CameraModel& cam, double exp_f) const {
  return cam.rates ? throughput / exp_f : throughput * exptime / exp_f;
}

PsfModel psf_model(const FieldDesign& design, int f) {
  const FilterDesign& fs = design.filters[f];
  return PsfModel(fs.psf, 0.5 * (design.camera.nx + 1), 0.5 * (design.camera.ny + 1), fs.psf_grad_x, fs.psf_grad_y);
}

void raw_position(const Field& field, const Exposure& e, double u, double v, double& x, double& y) {
  double xc, yc;
  e.corrected(u, v, xc, yc);
  zeb::cg_cf(xc, yc, x, y, field.design.camera.kkk, e.flt, 1, "NULL");
}

namespace {

// Tile extents in the reference frame: tile IT spans (IT - 1) 120 + 1 .. + 151
// and owns (IT - 1) 120 + 16 .. + 136.
Region tile_region(const std::array<int, 4>& t, double lo, double hi) {
  return Region{(t[0] - 1) * 120.0 + lo, (t[1] - 1) * 120.0 + hi, (t[2] - 1) * 120.0 + lo, (t[3] - 1) * 120.0 + hi};
}

// A magnitude from the luminosity function: counts grow as 10^(slope m).
double draw_magnitude(SimRandom& rng, double bright, double faint, double slope) {
  const double lo = std::pow(10.0, slope * bright), hi = std::pow(10.0, slope * faint);
  return std::log10(lo + rng.uniform() * (hi - lo)) / slope;
}

// Shift of exposure k of n along one axis: whole pixels at random within the
// largest dither, plus a fraction that spreads the exposures of a filter over
// the sub-pixel phases (evenly along u, in golden-ratio steps along v).
double dither_offset(SimRandom& rng, double largest, int k, int n, int axis) {
  const double whole = std::round(rng.uniform(-largest, largest));
  const double step = axis == 0 ? 1.0 / n : 0.6180339887498949;
  const double phase = (k + 0.5) * step;
  return whole + (phase - std::floor(phase)) - 0.5;
}

void check_design(const FieldDesign& s) {
  bool ok = s.nstars > 0 && s.saturated_stars >= 0 && s.exposures_per_filter >= 1 && 2 * s.exposures_per_filter <= 35 &&
            s.tiles[0] >= 1 && s.tiles[0] <= s.tiles[1] && s.tiles[1] <= 99 && s.tiles[2] >= 1 &&
            s.tiles[2] <= s.tiles[3] && s.tiles[3] <= 99 && s.mag_bright < s.mag_faint && s.mag_faint < 0.0 &&
            s.ref_scale > 0.0 && s.lf_slope > 0.0 && s.margin >= 0.0 && s.mat_stars >= 10;
  if (!ok) zeb::stop_run("zebsim: inconsistent field description");
}

}  // namespace

Field plan_field(const FieldDesign& design) {
  check_design(design);
  Field field;
  field.design = design;
  field.inner_region = tile_region(design.tiles, 16.0, 136.0);
  Region outer = tile_region(design.tiles, 1.0, 151.0);
  field.star_region = Region{outer.umin - design.margin, outer.umax + design.margin, outer.vmin - design.margin,
                             outer.vmax + design.margin};

  SimRandom rng(design.seed, kStarStream);
  const int total = design.nstars + design.saturated_stars;
  field.stars.reserve(total);
  for (int k = 1; k <= total; ++k) {
    Star s;
    s.id = k;
    s.u = rng.uniform(field.star_region.umin, field.star_region.umax);
    s.v = rng.uniform(field.star_region.vmin, field.star_region.vmax);
    s.mag[0] = k <= design.nstars ? draw_magnitude(rng, design.mag_bright, design.mag_faint, design.lf_slope)
                                  : rng.uniform(design.mag_bright, design.mag_bright + 1.0);
    s.mag[1] = s.mag[0] + rng.uniform(design.colour_min, design.colour_max);
    for (int f = 0; f < 2; ++f) s.flux[f] = std::pow(10.0, -0.4 * s.mag[f]);
    field.stars.push_back(s);
  }

  SimRandom erng(design.seed, kExposureStream);
  const double ucen = 0.5 * (field.inner_region.umin + field.inner_region.umax);
  const double vcen = 0.5 * (field.inner_region.vmin + field.inner_region.vmax);
  for (int f = 0; f < 2; ++f) {
    const FilterDesign& fs = design.filters[f];
    const int flt = zeb::which_filt(fs.name, design.camera.kkk);
    for (int k = 0; k < design.exposures_per_filter; ++k) {
      Exposure e;
      e.slot = f * design.exposures_per_filter + k + 1;
      e.filter = f;
      e.flt = flt;
      e.stem = (design.camera.kind == CameraKind::AcsHrc ? "hrc_" : "ir_") + lower_case(fs.name) + "_" +
               std::to_string(k + 1);
      e.exptime =
          std::round(fs.exp_f * (1.0 + erng.uniform(-design.exptime_spread, design.exptime_spread)) * 100.0) / 100.0;
      // The first exposure of a filter keeps throughput 1, the others depart by a few per cent.
      e.throughput = k == 0 ? 1.0 : 1.0 + erng.uniform(-design.throughput_spread, design.throughput_spread);
      e.sky_rate = fs.sky_rate * (1.0 + erng.uniform(-0.1, 0.1));
      e.uc = ucen + dither_offset(erng, design.dither, k, design.exposures_per_filter, 0);
      e.vc = vcen + dither_offset(erng, design.dither, k, design.exposures_per_filter, 1);
      const double theta = erng.uniform(-design.rotation_deg, design.rotation_deg) * std::numbers::pi / 180.0;
      const double scale = design.ref_scale * (1.0 + erng.uniform(-3e-4, 3e-4));
      e.xc0 = design.camera.xc0;
      e.yc0 = design.camera.yc0;
      e.a = scale * std::cos(theta);
      e.b = scale * std::sin(theta);
      e.c = -scale * std::sin(theta);
      e.d = scale * std::cos(theta);
      field.exposures.push_back(e);
    }
  }
  return field;
}

}  // namespace zebsim
