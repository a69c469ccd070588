// The catalogue logs of a run: every fixed-column text file that receives
// records as tiles finish ("LOG" + CMODE + ".XYVIQ0" ... ".XYVIQS", ".XYFIND",
// the per-filter and per-exposure logs, ".INPUT", the region files), together
// with "LOGK.SETUP". Opened with their headers at start-up; the records of a
// tile reach the files together when the tile ends; closed by the destructor,
// so a run that stops leaves the complete records of every finished tile.
#pragma once

#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/array.h"
#include "setup/run_state.h"

namespace zeb {

// One log file. Records written while a tile is worked on are collected in
// memory and reach the file together, in one write, when the tile ends
// (commit), so a run that is killed leaves whole records of whole tiles only.
// A write that fails (a full disk) is a run-time error naming the file.
class LogFile {
 public:
  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile();

  // Creates or empties the file.
  void create(const std::string& name);
  // Resuming a run: the file as an earlier run left it, cut back to `length`
  // bytes (what it held when its last finished tile ended) and continued.
  void continue_at(const std::string& name, long long length);

  bool is_open() const { return fd_ >= 0; }
  const std::string& name() const { return name_; }
  std::ostream& out() { return pending_; }
  // Writes what was collected and leaves it in the file.
  void commit();
  // What was collected since the last commit, taken out for a write that
  // commits several logs together (see CatalogueLogs::flush); `written`
  // then tells that it reached the file.
  std::string take_pending();
  void written(std::size_t n) { length_ += static_cast<long long>(n); }
  int fd() const { return fd_; }
  // Commits and closes.
  void close();
  // Bytes in the file after the last commit.
  long long length() const { return length_; }

 private:
  std::string name_;
  int fd_ = -1;
  std::ostringstream pending_;
  long long length_ = 0;
};

// The lengths of the logs of a run after its last finished tile, by file name
// (a resumed run continues each log from there).
struct LogLengths {
  std::vector<std::string> names;
  std::vector<long long> lengths;
};

// The header a catalogue log starts with, by the suffix of its name (".INPUT",
// ".XYVIQ0", ".found_uv1.reg", ...): empty for a log without one (".XYFIND").
std::string log_header(const std::string& suffix);

class CatalogueLogs {
 public:
  // Creates "LOGK.SETUP", then (after "OPEN INPUT FILES...") every log the
  // settings call for, each with its header. With `resume` the logs are not
  // created but continued from the lengths an interrupted run left (the
  // headers are already there). A log that cannot be created is a run error.
  explicit CatalogueLogs(const Settings& settings, const LogLengths* resume = nullptr);
  ~CatalogueLogs() = default;
  CatalogueLogs(const CatalogueLogs&) = delete;
  CatalogueLogs& operator=(const CatalogueLogs&) = delete;

  // Closes every log (the end of the run); the destructor does the same.
  void close();

  // The end of a tile: the records collected for it reach their files.
  void flush();

  // Every open log and its length after the last flush.
  LogLengths lengths() const;

  // Committed stars whose records have been written so far (for the progress lines).
  void count_star() { ++stars_; }
  long stars() const { return stars_; }

  std::ostream& setup() { return setup_.out(); }
  std::ostream& xyfind() { return xyfind_.out(); }
  std::ostream& xyviq(int method) { return xyviq_[method].out(); }
  std::ostream& xyviqs() { return xyviqs_.out(); }
  // The optional logs; null when the run does not write them.
  std::ostream* input() { return opened(input_); }
  std::ostream* find_avg_z0() { return opened(z0_); }
  std::ostream* find_avg_z2() { return opened(z2_); }
  std::ostream* find_avg_uv1() { return opened(uv1_); }
  std::ostream* find_nimfo() { return opened(nimfo_); }
  std::ostream* found_uv1() { return opened(reg1_); }
  std::ostream* found_uv2() { return opened(reg2_); }

  // The local-list region files of a tile (reg_tile): with `verbose` the enter
  // and exit lines; "AUX/SHOW_TILE_LOG.FIND_NIT<NIT>.reg" rewritten with one
  // circle per local star 1..ls at (u0_l, v0_l) in the style of the star's
  // finding iteration (11 for a starting-list star), and the same circles with
  // the size of iteration NIT + 1 appended to "AUX/SHOW_TILE_LOG.FIND_NIT09.reg",
  // which is opened on the first call of the run and closed when NIT = NITMAX
  // or by a call for NIT 9, which rewrites that file with its own circles.
  void reg_tile(int ls, const Array1<float>& u0_l, const Array1<float>& v0_l, const Array1<int>& w0_l, int nit,
                const Settings& settings);
  // Whether the run's first reg_tile call has been made (the collecting file
  // is then not opened again); a resumed run takes it from its checkpoint.
  bool reg_tile_called() const { return reg_nit09_opened_; }
  void set_reg_tile_called(bool called) { reg_nit09_opened_ = called; }

 private:
  std::vector<LogFile*> all_logs();
  std::vector<const LogFile*> all_logs() const;
  static std::ostream* opened(LogFile& f) { return f.is_open() ? &f.out() : nullptr; }

  LogFile setup_;
  LogFile input_, z0_, z2_, uv1_, nimfo_;
  LogFile xyfind_;
  LogFile xyviq_[4];
  LogFile xyviqs_;
  LogFile reg1_, reg2_;
  std::ofstream reg_nit09_;
  bool reg_nit09_opened_ = false;
  long stars_ = 0;
};

// Name of a log of the run: "LOG" + CMODE + suffix.
std::string log_name(char cmode, const std::string& suffix);

// One DS9 circle line: "linear;circle( u, v, size) # color=... width=w"; the
// colour is blank-padded to its 7 characters.
std::string region_circle(double u, double v, float size, const std::string& colour, int width);

// Index of the region style (rsiz_nit, rcol_nit, rwid_nit) of a star found
// in iteration w: w itself, 11 for a starting-list star (w = 0).
int region_style(int w);

// The region style of finding iteration `w` (a starting-list star, w = 0,
// takes style 11): its circle line at (u, v).
std::string region_circle_of_iteration(double u, double v, int w, const Settings& settings);

}  // namespace zeb
