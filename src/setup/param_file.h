// Reading the parameter file: the set-up of a run.
#pragma once

#include <array>
#include <fstream>
#include <memory>
#include <string>

#include "core/limits.h"
#include "setup/param_line.h"
#include "setup/run_state.h"

namespace zeb {

// Counts from the driver's pre-scan of the parameter file.
struct PrescanCounts {
  int gs = 0;  // highest image-slot number
  int fs = 0;  // highest filter-slot number
  int cs = 2;  // chips per slot provisioned
};

// Reads the camera PSF file of kind "PSF3IR", "PSFHRC", "PSFACS" or "PSF3UV"
// into the PSF library of filter slot f (the parameter-file reader calls it at
// the keyword, so the diagnostics appear in the order of the file).
void load_camera_psf(const std::string& kind, const std::string& file, int f, FilterSlots& filters);

// Reads the parameter file line by line, filling the run-wide data, then
// reports the image slots, fits the transformations, logs the source lists and
// runs the end-of-set-up checks. Returns only when the set-up is complete;
// every error ends the run with a stop.
void zeb_setup(const std::string& infile, const PrescanCounts& counts, RunState& run);

// The line-by-line state of the reading. Exposed so that single lines can be
// fed through it (tests, fuzzing).
class ParamFileReader {
 public:
  ParamFileReader(RunState& run, const PrescanCounts& counts, std::string infile);

  // Applies the initial values of the slot and filter arrays.
  void initialise();
  // The first line: the run mode.
  void first_line(const std::string& raw);
  // Any further line; returns false once the input has ended (END).
  bool next_line(const std::string& raw);
  int line_number() const { return line_no_; }

 private:
  void iteration_line(const ParamLine& line);
  void field_loop(const ParamLine& line);
  void commit_slot(int g);
  int require_slot(const ParamLine& line, int k, int g) const;
  std::string compose_name(int g, const std::string& value, const std::string& what) const;
  void set_mask(const std::string& value, std::string& line_mask, std::string& current, bool slot_line);
  void item_artshard(const ParamLine& line, int k);

  RunState& run_;
  PrescanCounts counts_;
  std::string infile_;
  std::unique_ptr<std::ofstream> echo_;
  int line_no_ = 0;
  bool skipping_ = false;
  bool ended_ = false;

  // Current settings, copied into every slot defined while they hold.
  int filter_slot_ = 0;
  int camera_ = 0;
  std::string filter_name_ = "     ";
  std::string subdir_;
  int nsubdir_ = 0;
  int rap_ = 2;
  std::string pos_mask_ = "111111111";
  std::string fnd_mask_ = "111111111";
  float maskfac_ = 2.0f;
  float othrfac_ = 1.0f;
  std::string psf_name_ = "NULL";
  std::string gcs_name_ = "NULL";
  std::array<bool, GDIM + 1> pix_given_{};  // slots that have their exposure file

  // Values that hold for the slots of the current line only.
  int line_camera_ = 0;
  int line_rap_ = 2;
  std::string line_pos_, line_fnd_;
};

}  // namespace zeb
