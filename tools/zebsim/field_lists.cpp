// The text files of a field: MAT files, truth, bright-star and starting lists,
// the parameter file; and the writing of a whole field.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "core/fortran_format.h"
#include "core/limits.h"
#include "core/stop.h"
#include "field_files.h"
#include "sim_random.h"

namespace zebsim {

namespace {

// Capacities of zeb's lists.
constexpr std::size_t kBrightCapacity = zeb::BDIM;
constexpr std::size_t kStartCapacity = zeb::NSTMAX;

// A MAT star must stand this far inside the detector, in raw pixels.
constexpr double kMatEdge = 15.0;
// and its brightest pixel must stay below this fraction of the saturation level.
constexpr double kMatPeakFraction = 0.5;

std::ofstream open_text(const std::string& path) {
  std::ofstream out(path, std::ios::trunc);
  if (!out) zeb::run_error(path, "cannot be created");
  return out;
}

void close_text(std::ofstream& out, const std::string& path) {
  out.close();
  if (!out) zeb::run_error(path, "write failed");
}

// Indices of the stars brighter than `mag` in filter 1, at most `capacity` of
// them (the brightest), in identifier order.
std::vector<std::size_t> stars_brighter(const Field& field, double mag, std::size_t capacity) {
  std::vector<std::size_t> idx;
  for (std::size_t k = 0; k < field.stars.size(); ++k)
    if (field.stars[k].mag[0] < mag) idx.push_back(k);
  if (idx.size() > capacity) {
    std::stable_sort(idx.begin(), idx.end(),
                     [&](std::size_t a, std::size_t b) { return field.stars[a].mag[0] < field.stars[b].mag[0]; });
    idx.resize(capacity);
    std::sort(idx.begin(), idx.end());
  }
  return idx;
}

std::string psf_line(const FilterDesign& fs) {
  switch (fs.form) {
    case PsfForm::Library:
      return "PSFSTD " + psf_library_file(fs);
    case PsfForm::Single:
      return "PSF3IR " + psf_single_file(fs);
    case PsfForm::Integer:
      return "PSFHRC " + psf_integer_file(fs);
  }
  return "";
}

}  // namespace

void write_mat(const Field& field, const Exposure& e, const RawPositions& raw, const std::string& path) {
  const CameraModel& cam = field.design.camera;
  const int f = e.filter;
  const PsfModel psf = psf_model(field.design, f);
  const double sky = e.sky_rate * e.exptime;
  std::vector<std::size_t> pick;
  for (std::size_t k = 0; k < field.stars.size(); ++k) {
    const Star& s = field.stars[k];
    const double x = raw.x[k], y = raw.y[k];
    if (x < 1.0 + kMatEdge || x > cam.nx - kMatEdge || y < 1.0 + kMatEdge || y > cam.ny - kMatEdge) continue;
    const double peak = star_signal(field, e, s, f, x, y) * psf.pixel_fraction(0.0, 0.0, x, y) + sky;
    if (peak > kMatPeakFraction * cam.saturation) continue;
    pick.push_back(k);
  }
  std::stable_sort(pick.begin(), pick.end(),
                   [&](std::size_t a, std::size_t b) { return field.stars[a].flux[f] > field.stars[b].flux[f]; });
  if (pick.size() > static_cast<std::size_t>(field.design.mat_stars)) pick.resize(field.design.mat_stars);
  if (pick.size() < 10) {
    std::cout << "zebsim: only " << pick.size() << " bright stars on exposure " << e.stem << '\n';
    zeb::stop_run("too few stars for a MAT file");
  }

  SimRandom rng(field.design.seed, kMatStream + e.slot);
  const double exposure_units = e.units_per_flux(cam, field.design.filters[f].exp_f);
  std::ofstream out = open_text(path);
  out << "# MAT file of " << e.stem << " written by zebsim: u v xc yc m1 m2\n";
  out << "# m1 reference magnitude, m2 magnitude in the exposure's units\n";
  for (std::size_t k : pick) {
    const Star& s = field.stars[k];
    double xc, yc;
    e.corrected(s.u, s.v, xc, yc);
    xc += field.design.mat_pos_noise * rng.normal();
    yc += field.design.mat_pos_noise * rng.normal();
    const double m1 = s.mag[f] + field.design.mat_mag_noise * rng.normal();
    const double m2 = -2.5 * std::log10(s.flux[f] * exposure_units) + field.design.mat_mag_noise * rng.normal();
    zeb::write_record(out, "(4(1x,f11.4),2(1x,f9.4))", s.u, s.v, xc, yc, m1, m2);
  }
  close_text(out, path);
}

void write_truth(const Field& field, const std::string& path) {
  const FieldDesign& s = field.design;
  std::ofstream out = open_text(path);
  out << "# zebsim truth: preset " << s.preset << ", seed " << s.seed << ", " << field.stars.size()
      << " stars, filters " << s.filters[0].name << " " << s.filters[1].name << '\n';
  zeb::write_record(out, "('# fluxes: electrons in EXPFLT seconds at throughput 1; EXPFLT',2(1x,f10.2))",
                    s.filters[0].exp_f, s.filters[1].exp_f);
  zeb::write_record(out, "('# region u',2(1x,f10.2),' v',2(1x,f10.2))", field.inner_region.umin,
                    field.inner_region.umax, field.inner_region.vmin, field.inner_region.vmax);
  out << "#      id          u          v           flux1      mag1           flux2      mag2\n";
  for (const Star& st : field.stars)
    zeb::write_record(out, "(i8,2(1x,f10.4),2(1x,f15.4,1x,f9.5))", st.id, st.u, st.v, st.flux[0], st.mag[0], st.flux[1],
                      st.mag[1]);
  close_text(out, path);
}

void write_bright_list(const Field& field, const std::string& path) {
  std::ofstream out = open_text(path);
  out << "# bright stars written by zebsim: u v mag1 mag2\n";
  for (std::size_t k : stars_brighter(field, field.design.bright_mag, kBrightCapacity)) {
    const Star& s = field.stars[k];
    zeb::write_record(out, "(2(1x,f10.4),2(1x,f9.4))", s.u, s.v, s.mag[0], s.mag[1]);
  }
  close_text(out, path);
}

void write_start_list(const Field& field, const std::string& path) {
  // A starting list as a previous run would give it: the brighter stars with
  // small errors in position and magnitude.
  SimRandom rng(field.design.seed, kStartListStream);
  std::ofstream out = open_text(path);
  out << "# starting list written by zebsim: u v mag1 mag2\n";
  for (std::size_t k : stars_brighter(field, field.design.start_mag, kStartCapacity)) {
    const Star& s = field.stars[k];
    const double u = s.u + 0.05 * rng.normal(), v = s.v + 0.05 * rng.normal();
    const double m1 = s.mag[0] + 0.02 * rng.normal(), m2 = s.mag[1] + 0.02 * rng.normal();
    zeb::write_record(out, "(2(1x,f10.4),2(1x,f9.4))", u, v, m1, m2);
  }
  close_text(out, path);
}

void write_param_file(const Field& field, const std::string& path) {
  // zeb's pre-scan refuses empty lines and lines that begin with a blank, so
  // every line here starts with its keyword or with '#'.
  const FieldDesign& s = field.design;
  std::ofstream out = open_text(path);
  out << "MODE=R\n";
  out << "# Field written by zebsim: preset " << s.preset << ", seed " << s.seed << ", " << field.stars.size()
      << " stars, " << field.exposures.size() << " exposures (" << s.camera.chipname << ").\n";
  out << "# Fluxes are electrons in EXPFLT seconds at throughput 1; the truth is in " << kTruthFile << ".\n";
  out << "NITLIM " << s.nit_min << ' ' << s.nit_max << '\n';
  out << "IJTLIM " << s.tiles[0] << ' ' << s.tiles[1] << ' ' << s.tiles[2] << ' ' << s.tiles[3] << '\n';
  out << "BRITE " << kBrightFile << " 0 0\n";
  out << (s.with_start_list ? "" : "#") << "PREMAG " << kStartFile << " 0 0\n";
  for (int f = 0; f < 2; ++f) {
    const FilterDesign& fs = s.filters[f];
    out << "# Filter slot " << f + 1 << ": " << fs.name << '\n';
    out << "F_SLOT= " << f + 1 << '\n';
    zeb::write_record(out, "('EXPFLT= ',f7.2)", fs.exp_f);
    out << psf_line(fs) << '\n';
    out << "FILTER= " << fs.name << '\n';
    out << "CHIPNAME= " << s.camera.chipname << '\n';
    for (const Exposure& e : field.exposures)
      if (e.filter == f)
        out << zeb::fortran_record("(i4.4)", e.slot) << " PIX= " << exposure_file(e) << " MAT= " << mat_file(e) << '\n';
  }
  out << "END\n";
  close_text(out, path);
}

FieldSummary write_field(const FieldDesign& design, const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) zeb::run_error(dir, "cannot be created as a directory");
  const Field field = plan_field(design);
  FieldSummary sum;
  sum.stars = static_cast<int>(field.stars.size());
  sum.exposures = static_cast<int>(field.exposures.size());
  auto add = [&](const std::string& name) {
    sum.files.push_back(name);
    return dir + "/" + name;
  };
  write_truth(field, add(kTruthFile));
  write_bright_list(field, add(kBrightFile));
  write_start_list(field, add(kStartFile));
  for (int f = 0; f < 2; ++f) {
    write_psf_files(field, f, dir);
    sum.files.push_back(psf_library_file(design.filters[f]));
    sum.files.push_back(psf_single_file(design.filters[f]));
    sum.files.push_back(psf_integer_file(design.filters[f]));
  }
  for (const Exposure& e : field.exposures) {
    const RawPositions raw = raw_positions(field, e);
    write_exposure(field, e, raw, add(exposure_file(e)));
    write_mat(field, e, raw, add(mat_file(e)));
  }
  write_param_file(field, add(kParamFile));
  return sum;
}

}  // namespace zebsim
