#include "field_files.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "fits_writer.h"
#include "project_geometry.h"
#include "sim_random.h"
#include "tile/calibration_maps.h"

namespace zebsim {

namespace {

// What an HRC pixel that saturated reads: above the 119000 counts from which the
// reader treats a pixel as saturated.
constexpr std::int32_t kHrcSaturatedCounts = 120000;

// WFC3/IR data-quality bits the reader acts on.
constexpr std::int16_t kDqBadPixel = 4;
constexpr std::int16_t kDqZeroRead = 32;
constexpr std::int16_t kDqSaturated = 256;

bool near_detector(const CameraModel& cam, double x, double y, double margin) {
  return x > 1.0 - margin && x < cam.nx + margin && y > 1.0 - margin && y < cam.ny + margin;
}

}  // namespace

std::string exposure_file(const Exposure& e) { return e.stem + ".fits"; }
std::string mat_file(const Exposure& e) { return e.stem + ".mat"; }
std::string psf_library_file(const FilterDesign& f) { return "psf_lib_" + lower_case(f.name) + ".fits"; }
std::string psf_single_file(const FilterDesign& f) { return "psf_101_" + lower_case(f.name) + ".fits"; }
std::string psf_integer_file(const FilterDesign& f) { return "psf_int_" + lower_case(f.name) + ".fits"; }

std::vector<int> psf_fiducials(int n) { return {0, n / 2, n}; }

RawPositions raw_positions(const Field& field, const Exposure& e) {
  RawPositions r;
  r.x.resize(field.stars.size());
  r.y.resize(field.stars.size());
  for (std::size_t k = 0; k < field.stars.size(); ++k)
    raw_position(field, e, field.stars[k].u, field.stars[k].v, r.x[k], r.y[k]);
  return r;
}

double star_signal(const Field& field, const Exposure& e, const Star& s, int f, double x, double y) {
  const CameraModel& cam = field.design.camera;
  double signal = s.flux[f] * e.throughput * e.exptime / field.design.filters[f].exp_f;
  if (cam.kind == CameraKind::Wfc3Ir) signal *= std::pow(10.0, 0.4 * zeb::wfc3ir_zpa(x, y));
  return signal;
}

void expected_image(const Field& field, const Exposure& e, const RawPositions& raw, zeb::View2<double> image) {
  const CameraModel& cam = field.design.camera;
  std::fill(image.data(), image.data() + image.size(), e.sky_rate * e.exptime);
  const PsfModel psf = psf_model(field.design, e.filter);
  for (std::size_t k = 0; k < field.stars.size(); ++k) {
    const double x = raw.x[k], y = raw.y[k];
    if (!near_detector(cam, x, y, PsfModel::kHalfBox + 1.0)) continue;
    psf.render(image, x, y, star_signal(field, e, field.stars[k], e.filter, x, y));
  }
}

std::vector<bool> isolated_stars(const Field& field, double radius, double flux_ratio) {
  // Cells of the search radius: a neighbour lies in the 3 x 3 cells around a star.
  const auto& stars = field.stars;
  const Region& r = field.star_region;
  const int ncx = std::max(1, static_cast<int>(std::ceil((r.umax - r.umin) / radius)));
  const int ncy = std::max(1, static_cast<int>(std::ceil((r.vmax - r.vmin) / radius)));
  auto cell_of = [&](double u, double v, int& cx, int& cy) {
    cx = std::clamp(static_cast<int>((u - r.umin) / radius), 0, ncx - 1);
    cy = std::clamp(static_cast<int>((v - r.vmin) / radius), 0, ncy - 1);
  };
  std::vector<std::vector<int>> cells(static_cast<std::size_t>(ncx) * ncy);
  for (std::size_t k = 0; k < stars.size(); ++k) {
    int cx, cy;
    cell_of(stars[k].u, stars[k].v, cx, cy);
    cells[static_cast<std::size_t>(cx) + ncx * cy].push_back(static_cast<int>(k));
  }
  std::vector<bool> iso(stars.size(), true);
  for (std::size_t k = 0; k < stars.size(); ++k) {
    int cx, cy;
    cell_of(stars[k].u, stars[k].v, cx, cy);
    for (int qy = std::max(0, cy - 1); qy <= std::min(ncy - 1, cy + 1) && iso[k]; ++qy)
      for (int qx = std::max(0, cx - 1); qx <= std::min(ncx - 1, cx + 1) && iso[k]; ++qx)
        for (int m : cells[static_cast<std::size_t>(qx) + ncx * qy]) {
          if (m == static_cast<int>(k)) continue;
          const double du = stars[m].u - stars[k].u, dv = stars[m].v - stars[k].v;
          if (du * du + dv * dv < radius * radius && stars[m].flux[0] > flux_ratio * stars[k].flux[0]) {
            iso[k] = false;
            break;
          }
        }
  }
  return iso;
}

namespace {

FitsHeader image_extension(const char* extname, int bitpix, int nx, int ny, const char* bunit) {
  FitsHeader h;
  h.text("XTENSION", "IMAGE");
  h.integer("BITPIX", bitpix);
  h.integer("NAXIS", 2);
  h.integer("NAXIS1", nx);
  h.integer("NAXIS2", ny);
  h.integer("PCOUNT", 0);
  h.integer("GCOUNT", 1);
  h.text("EXTNAME", extname);
  h.integer("EXTVER", 1);
  if (bunit) h.text("BUNIT", bunit);
  return h;
}

void describe_simulation(FitsHeader& h, const Field& field, const Exposure& e) {
  h.text("ROOTNAME", e.stem);
  h.text("TARGNAME", "ZEBSIM " + field.design.preset);
  h.comment("simulated by zebsim: preset " + field.design.preset + ", seed " + std::to_string(field.design.seed));
  h.real("THROUGHP", e.throughput);
  h.real("SKYLEVEL", e.sky_rate);
}

// Detector pixels that are bad in every exposure of the field: hot and dead
// pixels flagged as bad, and pixels whose first read was unusable (value and
// error zero, flagged 32).
struct BadPixel {
  int i, j, kind;  // kind 0 hot, 1 dead, 2 zero read
  double value;
};

std::vector<BadPixel> bad_pixels(const Field& field) {
  SimRandom rng(field.design.seed, kDetectorStream);
  std::vector<BadPixel> v;
  for (int k = 0; k < field.design.bad_pixels; ++k) {
    BadPixel b;
    b.i = 1 + static_cast<int>(rng.uniform() * field.design.camera.nx);
    b.j = 1 + static_cast<int>(rng.uniform() * field.design.camera.ny);
    b.kind = k % 3;
    b.value = rng.uniform(20.0, 200.0);
    v.push_back(b);
  }
  return v;
}

void write_ir_exposure(const Field& field, const Exposure& e, const zeb::Array2<double>& expected,
                       const std::string& path) {
  const CameraModel& cam = field.design.camera;
  zeb::Array2<float> sci(cam.nx, cam.ny), err(cam.nx, cam.ny);
  zeb::Array2<std::int16_t> dq(cam.nx, cam.ny, 0);
  SimRandom rng(field.design.seed, kNoiseStream + e.slot);
  const double rn2 = cam.read_noise * cam.read_noise;
  for (int j = 1; j <= cam.ny; ++j)
    for (int i = 1; i <= cam.nx; ++i) {
      const double lambda = expected(i, j);
      const double n = rng.poisson(lambda) + cam.read_noise * rng.normal();
      sci(i, j) = static_cast<float>(n / e.exptime);
      err(i, j) = static_cast<float>(std::sqrt(std::max(n, 0.0) + rn2) / e.exptime);
      if (lambda > cam.saturation) dq(i, j) = kDqSaturated;
    }
  for (const BadPixel& b : bad_pixels(field)) {
    if (b.kind == 0) {
      sci(b.i, b.j) = static_cast<float>(b.value);
      dq(b.i, b.j) |= kDqBadPixel;
    } else if (b.kind == 1) {
      sci(b.i, b.j) = 0.02f;
      dq(b.i, b.j) |= kDqBadPixel;
    } else {
      sci(b.i, b.j) = 0.0f;
      err(b.i, b.j) = 0.0f;
      dq(b.i, b.j) |= kDqZeroRead;
    }
  }

  FitsHeader primary;
  primary.logical("SIMPLE", true);
  primary.integer("BITPIX", 16);
  primary.integer("NAXIS", 0);
  primary.logical("EXTEND", true);
  primary.integer("NEXTEND", 3);
  primary.text("TELESCOP", "HST");
  primary.text("INSTRUME", "WFC3");
  primary.text("DETECTOR", "IR");
  primary.text("FILTER", field.design.filters[e.filter].name);
  primary.real("EXPTIME", e.exptime);
  describe_simulation(primary, field, e);

  FitsWriter w(path);
  w.header(primary);
  w.header(image_extension("SCI", -32, cam.nx, cam.ny, "ELECTRONS/S"));
  w.data_r4(sci.data(), sci.size());
  w.header(image_extension("ERR", -32, cam.nx, cam.ny, "ELECTRONS/S"));
  w.data_r4(err.data(), err.size());
  w.header(image_extension("DQ", 16, cam.nx, cam.ny, nullptr));
  w.data_i2(dq.data(), dq.size());
  w.close();
}

// Cosmic-ray hits: short straight tracks of one to four pixels, nothing flags them.
void add_cosmic_rays(const Field& field, const Exposure& e, zeb::Array2<double>& counts) {
  const CameraModel& cam = field.design.camera;
  SimRandom rng(field.design.seed, kCosmicStream + e.slot);
  const int hits = static_cast<int>(rng.poisson(field.design.cosmic_rate * e.exptime));
  static const int step[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
  for (int h = 0; h < hits; ++h) {
    int i = 1 + static_cast<int>(rng.uniform() * cam.nx);
    int j = 1 + static_cast<int>(rng.uniform() * cam.ny);
    const int length = 1 + static_cast<int>(rng.uniform() * 4.0);
    const int dir = static_cast<int>(rng.uniform() * 8.0);
    const double u = rng.uniform();
    const double energy = 300.0 + 3000.0 * u * u;
    for (int k = 0; k < length; ++k, i += step[dir][0], j += step[dir][1])
      if (i >= 1 && i <= cam.nx && j >= 1 && j <= cam.ny) counts(i, j) += energy / length;
  }
}

void write_hrc_exposure(const Field& field, const Exposure& e, const zeb::Array2<double>& expected,
                        const std::string& path) {
  const CameraModel& cam = field.design.camera;
  zeb::Array2<double> charge(cam.nx, cam.ny);
  SimRandom rng(field.design.seed, kNoiseStream + e.slot);
  for (int j = 1; j <= cam.ny; ++j)
    for (int i = 1; i <= cam.nx; ++i) charge(i, j) = rng.poisson(expected(i, j)) + cam.read_noise * rng.normal();
  add_cosmic_rays(field, e, charge);
  zeb::Array2<std::int32_t> counts(cam.nx, cam.ny);
  for (int j = 1; j <= cam.ny; ++j)
    for (int i = 1; i <= cam.nx; ++i) {
      const double c = charge(i, j);
      counts(i, j) = c > cam.saturation ? kHrcSaturatedCounts : static_cast<std::int32_t>(std::lround(c));
    }

  FitsHeader h;
  h.logical("SIMPLE", true);
  h.integer("BITPIX", 32);
  h.integer("NAXIS", 2);
  h.integer("NAXIS1", cam.nx);
  h.integer("NAXIS2", cam.ny);
  h.text("TELESCOP", "HST");
  h.text("INSTRUME", "ACS");
  h.text("DETECTOR", "HRC");
  h.text("FILTER1", field.design.filters[e.filter].name);
  h.text("FILTER2", "CLEAR2S");
  h.real("EXPTIME", e.exptime);
  h.text("BUNIT", "COUNTS");
  describe_simulation(h, field, e);
  FitsWriter w(path);
  w.header(h);
  w.data_i4(counts.data(), counts.size());
  w.close();
}

FitsHeader image_primary(int bitpix, int nx, int ny) {
  FitsHeader h;
  h.logical("SIMPLE", true);
  h.integer("BITPIX", bitpix);
  h.integer("NAXIS", 2);
  h.integer("NAXIS1", nx);
  h.integer("NAXIS2", ny);
  return h;
}

}  // namespace

void write_exposure(const Field& field, const Exposure& e, const RawPositions& raw, const std::string& path) {
  const CameraModel& cam = field.design.camera;
  zeb::Array2<double> expected(cam.nx, cam.ny);
  expected_image(field, e, raw, expected.view());
  if (cam.kind == CameraKind::Wfc3Ir)
    write_ir_exposure(field, e, expected, path);
  else
    write_hrc_exposure(field, e, expected, path);
}

void write_psf_files(const Field& field, int f, const std::string& dir) {
  const CameraModel& cam = field.design.camera;
  const FilterDesign& fs = field.design.filters[f];
  const PsfModel model = psf_model(field.design, f);
  const double cx = 0.5 * (cam.nx + 1), cy = 0.5 * (cam.ny + 1);

  // The library cube: one header record holding the fiducial grid, then the
  // 3 x 3 fiducial PSFs, plane ip + 3 (jp - 1).
  const std::vector<int> fx = psf_fiducials(cam.nx), fy = psf_fiducials(cam.ny);
  FitsHeader lib;
  lib.logical("SIMPLE", true);
  lib.integer("BITPIX", -32);
  lib.integer("NAXIS", 3);
  lib.integer("NAXIS1", 101);
  lib.integer("NAXIS2", 101);
  lib.integer("NAXIS3", static_cast<long long>(fx.size() * fy.size()));
  lib.integer("NXPSFs", static_cast<long long>(fx.size()));
  lib.integer("NYPSFs", static_cast<long long>(fy.size()));
  for (int k = 1; k <= 10; ++k)
    lib.integer(zeb::fortran_record("('IPSFX',i2.2)", k), k <= static_cast<int>(fx.size()) ? fx[k - 1] : 0);
  for (int k = 1; k <= 10; ++k)
    lib.integer(zeb::fortran_record("('JPSFY',i2.2)", k), k <= static_cast<int>(fy.size()) ? fy[k - 1] : 0);
  lib.comment("PSF library of " + fs.name + " written by zebsim");
  std::vector<float> cube;
  for (int y : fy)
    for (int x : fx) {
      zeb::Array2<float> g = psf_grid(model, x, y);
      cube.insert(cube.end(), g.data(), g.data() + g.size());
    }
  FitsWriter wl(dir + "/" + psf_library_file(fs));
  wl.header(lib);
  wl.data_r4(cube.data(), cube.size());
  wl.close();

  zeb::Array2<float> single = psf_grid(model, cx, cy);
  FitsWriter ws(dir + "/" + psf_single_file(fs));
  ws.header(image_primary(-32, 101, 101));
  ws.data_r4(single.data(), single.size());
  ws.close();

  zeb::Array2<std::int32_t> fine = psf_fine_grid(model, cx, cy);
  FitsWriter wi(dir + "/" + psf_integer_file(fs));
  wi.header(image_primary(32, 1201, 1201));
  wi.data_i4(fine.data(), fine.size());
  wi.close();
}

}  // namespace zebsim
