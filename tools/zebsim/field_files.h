// Writing a planned field into a directory: exposures, PSF files, MAT files, the
// bright-star and starting lists, the parameter file and the truth.
#pragma once

#include <string>
#include <vector>

#include "core/array.h"
#include "field.h"

namespace zebsim {

// Raw positions of every star of the field in one exposure (index as stars).
struct RawPositions {
  std::vector<double> x, y;
};
RawPositions raw_positions(const Field& field, const Exposure& e);

// Electrons (IR) or counts (HRC) a star of the field leaves in an exposure, in
// total over all pixels. For WFC3/IR the zero-point map at the star is applied
// inversely, so that the reader's correction restores the true flux; the sky
// stays flat, as in a flat-fielded exposure, and is scaled by the reader's
// correction like every pixel.
double star_signal(const Field& field, const Exposure& e, const Star& s, int f, double x, double y);

// The expected electrons (counts) per pixel of an exposure: sky and stars, no noise.
void expected_image(const Field& field, const Exposure& e, const RawPositions& raw, zeb::View2<double> image);

// Stars apart from every other star of at least `flux_ratio` times their filter-1
// flux by `radius` reference pixels (index as stars).
std::vector<bool> isolated_stars(const Field& field, double radius, double flux_ratio);

// The file names a field uses (without the directory).
std::string exposure_file(const Exposure& e);
std::string mat_file(const Exposure& e);
std::string psf_library_file(const FilterDesign& f);
std::string psf_single_file(const FilterDesign& f);
std::string psf_integer_file(const FilterDesign& f);
inline const char* kTruthFile = "truth.txt";
inline const char* kBrightFile = "bright.txt";
inline const char* kStartFile = "start.txt";
inline const char* kParamFile = "params.txt";

// Fiducial raw positions of the PSF library (3 x 3): 0, the middle, the last pixel.
std::vector<int> psf_fiducials(int n);

void write_exposure(const Field& field, const Exposure& e, const RawPositions& raw, const std::string& path);
void write_psf_files(const Field& field, int f, const std::string& dir);
// The MAT file of an exposure: the brightest unsaturated stars well inside the
// detector (at most mat_stars), their true corrected positions and magnitudes
// with small errors.
void write_mat(const Field& field, const Exposure& e, const RawPositions& raw, const std::string& path);
void write_truth(const Field& field, const std::string& path);
void write_bright_list(const Field& field, const std::string& path);
void write_start_list(const Field& field, const std::string& path);
void write_param_file(const Field& field, const std::string& path);

struct FieldSummary {
  int stars = 0;
  int exposures = 0;
  std::vector<std::string> files;
};

// Plans the field of `design` and writes all its files into `dir` (created when missing).
FieldSummary write_field(const FieldDesign& design, const std::string& dir);

}  // namespace zebsim
