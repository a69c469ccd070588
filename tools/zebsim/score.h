// Scoring a catalogue against the truth of a simulated field: stars are matched
// one to one (closest pairs first, within a radius), and completeness,
// photometric and astrometric errors are reported per filter-1 magnitude bin.
#pragma once

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "field.h"

namespace zebsim {

struct TruthStar {
  long id = 0;
  double u = 0.0, v = 0.0;
  std::array<double, 2> flux{}, mag{};
};

struct Truth {
  std::vector<TruthStar> stars;
  bool has_region = false;
  Region region;  // from the "# region" line
};

// Reads a truth.txt. Malformed lines end the run with a run-time error.
Truth read_truth(const std::string& path);

struct CatalogueStar {
  std::string id;
  double u = 0.0, v = 0.0;
  std::array<double, 2> flux{};
};

// Reads a catalogue: zeb's LOG?.XYVIQ0 to XYVIQ3 records, a truth file, or plain
// lines "u v flux1 flux2". Lines beginning with '#' are skipped.
std::vector<CatalogueStar> read_catalogue(const std::string& path);

struct ScoreOptions {
  double radius = 1.0;     // match radius, reference pixels
  double bin_width = 1.0;  // magnitudes
  bool has_region = false;
  Region region;  // stars counted; else the truth's region, else everything
};

struct MagnitudeBin {
  double lo = 0.0, hi = 0.0;
  int truth = 0, matched = 0;
  std::array<int, 2> photometry{};                    // matched stars with a positive flux
  std::array<double, 2> dmag_median{}, dmag_sigma{};  // catalogue minus truth; sigma 1.4826 MAD
  double dpos_rms = 0.0, du_mean = 0.0, dv_mean = 0.0;
};

struct ScoreReport {
  double radius = 0.0;
  bool has_region = false;
  Region region;
  int truth = 0, catalogue = 0, matched = 0, unmatched = 0;
  std::vector<MagnitudeBin> bins;
  MagnitudeBin all;  // every bin together
};

ScoreReport score_catalogue(const Truth& truth, const std::vector<CatalogueStar>& catalogue,
                            const ScoreOptions& options);

void write_score(std::ostream& out, const ScoreReport& report);

}  // namespace zebsim
