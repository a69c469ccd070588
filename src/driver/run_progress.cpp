#include "driver/run_progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace zeb {

bool progress_wanted() {
  if (const char* v = std::getenv("ZEB_PROGRESS")) {
    if (std::string(v) == "1") return true;
    if (std::string(v) == "0") return false;
  }
  return ::isatty(STDERR_FILENO) == 1;
}

RunProgress::RunProgress(std::ostream* out) : out_(out), start_(Clock::now()), tiles_start_(start_) {}

double RunProgress::seconds_since(Clock::time_point t) const {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

void RunProgress::start_tiles(int total) {
  total_ = total;
  done_ = 0;
  tiles_start_ = Clock::now();
}

void RunProgress::tile_done(int it, int jt, long stars) {
  ++done_;
  if (!out_) return;
  char where[32];
  std::snprintf(where, sizeof where, "IT%03d JT%03d", it, jt);
  *out_ << "zeb: tile " << done_ << '/' << total_ << " (" << where << ") done, " << stars << " stars, "
        << human_duration(seconds_since(start_)) << " elapsed";
  // The time left from the mean time per tile of the tile loop so far.
  if (done_ < total_)
    *out_ << ", about " << human_duration(seconds_since(tiles_start_) / done_ * (total_ - done_)) << " left";
  *out_ << '\n';
  out_->flush();
}

void RunProgress::finish(long stars, int files) {
  if (!out_) return;
  *out_ << "zeb: finished: " << done_ << (done_ == 1 ? " tile, " : " tiles, ") << stars << " stars, " << files
        << " files written, wall time " << human_duration(seconds_since(start_)) << '\n';
  out_->flush();
}

std::string human_duration(double seconds) {
  char buf[48];
  if (!(seconds >= 0.0)) seconds = 0.0;
  if (seconds < 59.95) {
    std::snprintf(buf, sizeof buf, "%.1f s", seconds);
  } else if (seconds < 3599.5) {
    const long s = std::lround(seconds);
    std::snprintf(buf, sizeof buf, "%ld min %02ld s", s / 60, s % 60);
  } else {
    const long m = std::lround(seconds / 60.0);
    std::snprintf(buf, sizeof buf, "%ld h %02ld min", m / 60, m % 60);
  }
  return buf;
}

FileTimes run_file_times(const std::string& directory) {
  namespace fs = std::filesystem;
  FileTimes times;
  auto scan = [&](const fs::path& d, bool only_logs) {
    std::error_code e;
    for (fs::directory_iterator it(d, e), end; !e && it != end; it.increment(e)) {
      std::error_code fe;
      if (!it->is_regular_file(fe)) continue;
      if (only_logs && it->path().filename().string().rfind("LOG", 0) != 0) continue;
      const fs::file_time_type t = fs::last_write_time(it->path(), fe);
      if (!fe) times[it->path().string()] = t;
    }
  };
  const fs::path dir(directory);
  scan(dir, true);
  scan(dir / "AUX", false);
  return times;
}

int files_written(const FileTimes& before, const FileTimes& after) {
  int n = 0;
  for (const auto& [name, time] : after) {
    const auto old = before.find(name);
    if (old == before.end() || old->second != time) ++n;
  }
  return n;
}

}  // namespace zeb
