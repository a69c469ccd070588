#include "cli.h"

#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/fortran_format.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"
#include "field_files.h"
#include "score.h"

namespace zebsim {

namespace {

void usage() {
  std::cout << "usage: zebsim <preset> <directory> [--seed N] [--with-start-list]\n"
               "       zebsim score <truth.txt> <catalogue> [--radius R] [--bin W]\n"
               "                    [--region UMIN UMAX VMIN VMAX]\n"
               "       zebsim presets\n"
               "presets:";
  for (const auto& p : preset_names()) std::cout << ' ' << p;
  std::cout << "\nA field is written into <directory>: exposures, PSF files, MAT files, the\n"
               "bright-star and starting lists, params.txt for zeb and truth.txt.\n"
               "score matches a catalogue (LOGR.XYVIQ0..3) to the truth one to one.\n";
}

[[noreturn]] void usage_error(const std::string& what) {
  std::cout << "zebsim: " << what << '\n';
  usage();
  zeb::stop_run("usage");
}

double number_arg(const std::vector<std::string>& a, std::size_t k, const std::string& option) {
  if (k >= a.size()) usage_error(option + " needs a value");
  std::optional<double> v = zeb::parse_real_item(a[k]);
  if (!v) usage_error(option + ": not a number: " + a[k]);
  return *v;
}

void generate(const std::vector<std::string>& a) {
  FieldDesign design = field_preset(a[0]);
  const std::string dir = a[1];
  for (std::size_t k = 2; k < a.size(); ++k) {
    if (a[k] == "--seed") {
      std::optional<long long> v = k + 1 < a.size() ? zeb::parse_int_item(a[k + 1]) : std::nullopt;
      if (!v || *v < 0) usage_error("--seed needs a non-negative integer");
      design.seed = static_cast<std::uint64_t>(*v);
      ++k;
    } else if (a[k] == "--with-start-list") {
      design.with_start_list = true;
    } else {
      usage_error("unknown option " + a[k]);
    }
  }
  const auto t0 = std::chrono::steady_clock::now();
  const FieldSummary sum = write_field(design, dir);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::cout << "zebsim: preset " << design.preset << ", seed " << design.seed << ": " << sum.stars << " stars, "
            << sum.exposures << " exposures, " << sum.files.size() << " files in " << dir << " ("
            << zeb::trim(zeb::fortran_record("(f8.1)", seconds)) << " s)\n";
}

void score(const std::vector<std::string>& a) {
  if (a.size() < 3) usage_error("score needs a truth file and a catalogue");
  ScoreOptions opt;
  for (std::size_t k = 3; k < a.size(); ++k) {
    if (a[k] == "--radius") {
      opt.radius = number_arg(a, ++k, "--radius");
      if (!(opt.radius > 0.0)) usage_error("--radius must be positive");
    } else if (a[k] == "--bin") {
      opt.bin_width = number_arg(a, ++k, "--bin");
      if (!(opt.bin_width > 0.0)) usage_error("--bin must be positive");
    } else if (a[k] == "--region") {
      opt.region.umin = number_arg(a, ++k, "--region");
      opt.region.umax = number_arg(a, ++k, "--region");
      opt.region.vmin = number_arg(a, ++k, "--region");
      opt.region.vmax = number_arg(a, ++k, "--region");
      opt.has_region = true;
    } else {
      usage_error("unknown option " + a[k]);
    }
  }
  const Truth truth = read_truth(a[1]);
  const std::vector<CatalogueStar> cat = read_catalogue(a[2]);
  std::cout << "# zebsim score: " << a[2] << " against " << a[1] << '\n';
  write_score(std::cout, score_catalogue(truth, cat, opt));
}

}  // namespace

int zebsim_main(int argc, char** argv) {
  try {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 1 && a[0] == "presets") {
      for (const auto& p : preset_names()) std::cout << p << '\n';
    } else if (!a.empty() && a[0] == "score") {
      score(a);
    } else if (a.size() >= 2) {
      generate(a);
    } else {
      usage_error(a.empty() ? "no arguments" : "missing directory");
    }
    std::cout.flush();
    return 0;
  } catch (const zeb::RunStop& s) {
    return zeb::finish_stop(s);
  } catch (const zeb::RunError& e) {
    return zeb::finish_error(e);
  }
}

}  // namespace zebsim
