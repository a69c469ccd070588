// Progress of a run for the user at the keyboard: one line per tile on
// standard error (tiles done of the total, stars so far, time elapsed and an
// estimate of the time left) and a closing summary. Standard output, which
// carries the run's own messages, is never touched.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>

namespace zeb {

// True when progress is wanted: ZEB_PROGRESS=1 asks for it, ZEB_PROGRESS=0
// refuses it; otherwise it is shown when standard error is a terminal.
bool progress_wanted();

class RunProgress {
 public:
  // Writes to `out`, or nowhere when `out` is null. The clock starts here.
  explicit RunProgress(std::ostream* out);

  bool on() const { return out_ != nullptr; }

  // The tile loop is about to visit `total` tiles.
  void start_tiles(int total);

  // Tile (IT, JT) is finished; `stars` catalogue records have been written so far.
  void tile_done(int it, int jt, long stars);

  // The closing summary after a normal end: tiles, stars, the number of files
  // the run wrote into the working directory, wall time.
  void finish(long stars, int files);

 private:
  using Clock = std::chrono::steady_clock;
  double seconds_since(Clock::time_point t) const;

  std::ostream* out_;
  Clock::time_point start_;
  Clock::time_point tiles_start_;
  int total_ = 0;
  int done_ = 0;
};

// Seconds as a user reads them: "4.2 s", "3 min 07 s", "2 h 05 min".
std::string human_duration(double seconds);

// The files of a working directory that a run writes (regular files whose
// names begin with "LOG", and those in "AUX/"), each with its modification
// time. Taken before the run writes anything and again at its end, the two
// tell how many files the run wrote: those that are new or whose time changed.
// (Comparing times against the first file the run writes instead would miss
// files written within the same tick of the file system's clock.)
using FileTimes = std::map<std::string, std::filesystem::file_time_type>;
FileTimes run_file_times(const std::string& directory = ".");
int files_written(const FileTimes& before, const FileTimes& after);

}  // namespace zeb
