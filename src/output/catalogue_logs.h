// The catalogue logs of a run: every fixed-column text file that receives
// records as tiles finish ("LOG" + CMODE + ".XYVIQ0" ... ".XYVIQS", ".XYFIND",
// the per-filter and per-exposure logs, ".INPUT", the region files), together
// with "LOGK.SETUP", which the driver opens first and hands over. Opened with
// their headers at start-up, flushed after each tile, closed by the destructor,
// so a run that stops leaves the complete records of every finished tile.
#pragma once

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "core/array.h"
#include "setup/run_state.h"

namespace zeb {

// The header a catalogue log starts with, by the suffix of its name (".INPUT",
// ".XYVIQ0", ".found_uv1.reg", ...): empty for a log without one (".XYFIND").
std::string log_header(const std::string& suffix);

class CatalogueLogs {
 public:
  // Opens (creates or overwrites) every log the settings call for and writes
  // its header; takes over the already opened "LOGK.SETUP". A log that cannot
  // be created is a run error.
  CatalogueLogs(const Settings& settings, std::ofstream setup_log);
  ~CatalogueLogs() = default;
  CatalogueLogs(const CatalogueLogs&) = delete;
  CatalogueLogs& operator=(const CatalogueLogs&) = delete;

  // Closes every log (the end of the run); the destructor does the same.
  void close();

  // Pushes every record written so far to its file (called after each tile).
  void flush();

  // Committed stars whose records have been written so far (for the progress lines).
  void count_star() { ++stars_; }
  long stars() const { return stars_; }

  std::ostream& setup() { return setup_; }
  std::ostream& xyfind() { return xyfind_; }
  std::ostream& xyviq(int method) { return xyviq_[method]; }
  std::ostream& xyviqs() { return xyviqs_; }
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

 private:
  std::vector<std::ofstream*> all_files();
  static std::ostream* opened(std::ofstream& f) { return f.is_open() ? &f : nullptr; }

  std::ofstream setup_;
  std::ofstream input_, z0_, z2_, uv1_, nimfo_;
  std::ofstream xyfind_;
  std::ofstream xyviq_[4];
  std::ofstream xyviqs_;
  std::ofstream reg1_, reg2_;
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
