#include "setup/source_lists.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/files.h"
#include "core/limits.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"

namespace zeb {

namespace {

constexpr std::size_t LIST_LINE_LENGTH = 200;
constexpr float FLUX_FLOOR = 0.001f;  // flux given to a filter without a usable value

// A star-list file read line by line. Comment lines (a '#' in column 1) are
// skipped; data lines are handed out blank-padded to 200 characters.
class ListFile {
 public:
  ListFile(const std::string& name, const ParamLine& line, const char* keyword) : name_(name) {
    if (name.empty()) run_error(line.context(), std::string(keyword) + " needs a file name");
    in_ = open_text_input(name, "list file");
  }

  // The next data line; false at the end of the file. A line with text beyond
  // column 200 is refused: its tail would be silently ignored.
  bool next_data_line(std::string& line) {
    std::string raw;
    while (std::getline(in_, raw)) {
      ++lineno_;
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
      if (raw.size() > LIST_LINE_LENGTH && raw.find_first_not_of(" \t", LIST_LINE_LENGTH) != std::string::npos)
        run_error(where(), "line longer than 200 characters");
      line = pad(raw, LIST_LINE_LENGTH);
      if (line[0] == '#') continue;
      return true;
    }
    if (in_.bad()) run_error(name_, "read error");
    return false;
  }

  const std::string& name() const { return name_; }
  std::string where() const { return name_ + " line " + std::to_string(lineno_); }

 private:
  std::string name_;
  std::ifstream in_;
  int lineno_ = 0;
};

// The numbers u, v, value 1, value 2 of one data line, read list-directed:
// a null value leaves its target as it was, a slash or the end of the line ends
// the reading. got[i] tells which targets received a value. A value that is
// not a finite number is refused (it would poison positions and fluxes).
struct LineNumbers {
  std::array<double, 4> x{0.0, 0.0, 0.0, 0.0};
  std::array<bool, 4> got{false, false, false, false};
  bool all() const { return got[0] && got[1] && got[2] && got[3]; }
  bool position() const { return got[0] && got[1]; }
};

double finite_value(double x, const std::string& where) {
  if (!std::isfinite(x)) run_error(where, "a star-list value is not a finite number");
  return x;
}

LineNumbers read_line_numbers(const std::string& text, const std::string& where) {
  LineNumbers n;
  ListReader reader(text, where);
  for (int i = 0; i < 4; ++i) {
    double x = 0.0;
    const Got g = reader.read_real(x);
    if (g == Got::Slash || g == Got::End) break;
    if (g == Got::Value) {
      n.x[i] = finite_value(x, where);
      n.got[i] = true;
    }
  }
  return n;
}

// A value stored in a 32-bit array.
float real32(double x, const std::string& where) {
  if (std::fabs(x) > FLT_MAX) run_error(where, "value out of the range of a 32-bit real");
  return static_cast<float>(x);
}

// 10^(-m/2.5), in the precision of the array it goes to. A magnitude so bright
// that its flux overflows is refused.
float flux_of_magnitude(float m, const std::string& where) {
  const float flux = std::pow(10.0f, -m / 2.5f);
  if (!std::isfinite(flux)) run_error(where, "magnitude out of range");
  return flux;
}
double flux_of_magnitude(double m, const std::string& where) {
  const double flux = std::pow(10.0, -m / 2.5);
  if (!std::isfinite(flux)) run_error(where, "magnitude out of range");
  return flux;
}

// -2.5 log10(flux) for the logs, a flux below 1 counting as 1.
float log_magnitude(float flux) { return -2.5f * std::log10(std::max(flux, 1.0f)); }
double log_magnitude(double flux) { return -2.5 * std::log10(std::max(flux, 1.0)); }

// The run-wide lists are allocated by the driver before the set-up, at their
// full size: a handler called on an unallocated list is a fault of the
// program's wiring, which ends the run as one instead of being papered over.
void require_allocated(const MasterList& master) {
  if (!master.allocated()) throw std::logic_error("the master list is used before it is allocated");
}
void require_allocated(const ArtificialStars& art) {
  if (!art.allocated()) throw std::logic_error("the artificial-star list is used before it is allocated");
}

// A stop whose explanation is the place it refers to.
[[noreturn]] void stop_in(const std::string& where, const char* text) {
  write_list(std::cout, "---> " + where);
  stop_run(text);
}

[[noreturn]] void stop_limits_missing(const ParamLine& line) {
  write_list(std::cout, "NEED to have _FDIM_ columns in PREMAG/BRITE spec");
  write_list(std::cout, " ");
  write_list(std::cout, "STRING: ", pad(line.text, LIST_LINE_LENGTH));
  for (int n = 1; n <= line.count(); ++n) write_list(std::cout, "  N: ", n, pad(line.field(n), 40));
  stop_run();
}

// The two limit magnitudes that follow the file name of PREMAG, PREFLX and BRITE.
std::array<float, FDIM> read_limits(const ParamLine& line, int k) {
  std::array<float, FDIM> limit{};
  for (int f = 0; f < FDIM; ++f) {
    const int field = k + 2 + f;
    bool got = false;
    if (field <= line.count()) {
      ListReader reader(line.field(field), line.context());
      got = reader.read_real(limit[f]) == Got::Value;
    }
    if (!got) stop_limits_missing(line);
    if (!std::isfinite(limit[f])) run_error(line.context(), "a limit magnitude is not a finite number");
  }
  return limit;
}

[[noreturn]] void stop_short_line(const ListFile& file, const std::string& text) {
  write_list(std::cout, " ");
  write_list(std::cout, "NEED to have _FDIM_ columns in PREMAG/BRITE..");
  write_list(std::cout, " ");
  write_list(std::cout, "FILE  :  ", pad(file.name(), 60));
  write_list(std::cout, " ");
  write_list(std::cout, "Line from PREMAG/BRITE that did not have enough entries: ");
  write_list(std::cout, " ");
  write_list(std::cout, "STRING:  ", text);
  write_list(std::cout, " ");
  write_list(std::cout, "---> " + file.where());
  stop_run();
}

// A starting list that would not fit the master list is refused as a whole,
// like DRIVXY does: the stars beyond the capacity cannot be kept.
[[noreturn]] void stop_starting_list_full(const ListFile& file) {
  write_list(std::cout, " ");
  write_list(std::cout, "THE STARTING LIST HAS MORE STARS THAN THE MASTER LIST HOLDS");
  write_list(std::cout, "FILE  :  ", pad(file.name(), 60));
  write_list(std::cout, "_NSTMAX_: ", NSTMAX);
  write_list(std::cout, " ");
  stop_run("NMASTi.gt._NSTMAX_");
}

// u, v and the two values of ADDBRITE and ADDART: u and v must be given, the
// values are 0.0 unless given.
LineNumbers read_item_numbers(const ParamLine& line, int k, const char* keyword) {
  LineNumbers n;
  for (int i = 0; i < 4; ++i) {
    const int field = k + 1 + i;
    if (field > line.count()) continue;
    ListReader reader(line.field(field), line.context());
    double x = 0.0;
    if (reader.read_real(x) == Got::Value) {
      n.x[i] = finite_value(x, line.context());
      n.got[i] = true;
    }
  }
  if (!n.position()) run_error(line.context(), std::string(keyword) + " needs u and v");
  return n;
}

void write_star_log_line(std::ostream& out, const char* format, double u, double v, float z1, float z2, int n) {
  write_record(out, format, u, v, log_magnitude(z1), log_magnitude(z2), n, z1, z2);
}

std::ofstream create_log(const std::string& name) {
  std::ofstream out(name, std::ios::trunc);
  if (!out) run_error(name, "cannot create the log file");
  return out;
}

void close_log(std::ofstream& out, const std::string& name) {
  out.close();
  if (!out) run_error(name, "cannot write the log file");
}

void write_brite_regions(const std::string& name, const BrightStars& bright, double zoom) {
  std::ofstream out = create_log(name);
  write_record(out, "('# Region file format: DS9 version 3.0')");
  for (int b = 1; b <= bright.bs; ++b)
    write_record(out,
                 "('linear;circle( ',f8.1,',',f8.1,                                  ',',f6.3,') # color=',a7,' width=',i1)",
                 zoom * bright.uref_b(b), zoom * bright.vref_b(b), 5.0, "yellow ", 4);
  close_log(out, name);
}

}  // namespace

int item_premag(const ParamLine& line, int k, bool magnitudes, MasterList& master) {
  const std::array<float, FDIM> limit = read_limits(line, k);
  require_allocated(master);
  ListFile file(line.field(k + 1), line, magnitudes ? "PREMAG" : "PREFLX");
  std::array<float, FDIM> threshold{};
  for (int f = 0; f < FDIM; ++f) threshold[f] = std::pow(10.0f, -limit[f] / 2.5f);

  master.nmasti = 0;
  std::string text;
  while (file.next_data_line(text)) {
    const LineNumbers n = read_line_numbers(text, file.where());
    if (!n.all()) stop_short_line(file, text);
    std::array<float, FDIM> z{};
    bool keep = false;
    for (int f = 0; f < FDIM; ++f) {
      z[f] = real32(n.x[2 + f], file.where());
      if (magnitudes) {
        if (z[f] < 0.0f) z[f] = flux_of_magnitude(z[f], file.where());
        if (!(z[f] > 0.0f)) z[f] = FLUX_FLOOR;
      }
      keep = keep || z[f] > threshold[f];
    }
    if (!keep) continue;
    if (master.nmasti == NSTMAX) stop_starting_list_full(file);
    const int s = ++master.nmasti;
    master.umast0(s) = n.x[0];
    master.vmast0(s) = n.x[1];
    for (int f = 0; f < FDIM; ++f) master.zmast0(s, f + 1) = z[f];
  }
  write_record(std::cout, "(10x,'NMASTi: ',i6)", master.nmasti);
  return k + 4;
}

int item_brite(const ParamLine& line, int k, BrightStars& bright) {
  const std::array<float, FDIM> limit = read_limits(line, k);
  ListFile file(line.field(k + 1), line, "BRITE");
  bright.bs = 0;
  int lines = 0;  // data lines read, dropped stars included: the limit applies to them
  std::string text;
  while (file.next_data_line(text)) {
    ++lines;
    const LineNumbers n = read_line_numbers(text, file.where());
    if (!n.all()) stop_short_line(file, text);
    std::array<float, FDIM> z{};
    bool passed = false;
    for (int f = 0; f < FDIM; ++f) {
      const float m = real32(n.x[2 + f], file.where());
      if (m < limit[f]) {
        z[f] = flux_of_magnitude(m, file.where());
        passed = true;
      } else {
        z[f] = FLUX_FLOOR;
      }
      if (!(z[f] > 0.0f)) z[f] = FLUX_FLOOR;
    }
    if (!passed || bright.bs == BDIM) continue;  // a full list stops once the file is read
    const int b = ++bright.bs;
    bright.uref_b(b) = n.x[0];
    bright.vref_b(b) = n.x[1];
    for (int f = 0; f < FDIM; ++f) bright.zref_bf(b, f + 1) = z[f];
    bright.nref_b(b) = b;
  }
  if (lines > BDIM) {
    write_list(std::cout, " ");
    write_list(std::cout, "THE ROUTINE WANTS TO READ IN ");
    write_list(std::cout, "THIS MANY BRITE STARS      Bs: ", lines);
    write_list(std::cout, "THE HARDCODED LIMIT IS _BDIM_: ", BDIM);
    write_list(std::cout, "---> " + file.name());
    stop_run("Bs.gt._BDIM_");
  }
  write_record(std::cout, "(10x,'    Bs: ',i6)", bright.bs);
  return k + 4;
}

int item_addbrite(const ParamLine& line, int k, BrightStars& bright) {
  if (bright.bs + 1 > BDIM) stop_in(line.context(), "Bs.gt._BDIM_");
  const LineNumbers n = read_item_numbers(line, k, "ADDBRITE");
  std::array<float, FDIM> z{};
  for (int f = 0; f < FDIM; ++f) {
    z[f] = real32(n.x[2 + f], line.context());
    if (z[f] < 0.0f) z[f] = flux_of_magnitude(z[f], line.context());
  }
  const int b = ++bright.bs;
  bright.uref_b(b) = n.x[0];
  bright.vref_b(b) = n.x[1];
  for (int f = 0; f < FDIM; ++f) bright.zref_bf(b, f + 1) = z[f];
  bright.nref_b(b) = b;
  write_record(std::cout, "(20x,'ADDBRITE: ',i7.7,1x,2f12.5,10(3x,f9.1,1x,f7.3))", b, n.x[0], n.x[1], z[0],
               log_magnitude(z[0]), z[1], log_magnitude(z[1]));
  return k + 5;
}

int item_addart(const ParamLine& line, int k, ArtificialStars& art) {
  if (art.narts + 1 > ARTMAX) stop_in(line.context(), "NARTs.gt._ARTMAX_");
  require_allocated(art);
  const LineNumbers n = read_item_numbers(line, k, "ADDART");
  std::array<double, FDIM> z{};
  for (int f = 0; f < FDIM; ++f) {
    z[f] = n.x[2 + f];
    if (z[f] < 0.0) z[f] = flux_of_magnitude(z[f], line.context());
  }
  const int a = ++art.narts;
  art.uart0(a) = n.x[0];
  art.vart0(a) = n.x[1];
  for (int f = 0; f < FDIM; ++f) art.zart0(a, f + 1) = z[f];
  write_record(std::cout, "('ADDART: ',i7.7,1x,2f12.5,10(3x,f9.1,1x,f7.3))", a, n.x[0], n.x[1], z[0],
               log_magnitude(z[0]), z[1], log_magnitude(z[1]));
  return k + 5;
}

int item_artfile(const ParamLine& line, int k, bool magnitudes, ArtificialStars& art) {
  require_allocated(art);
  ListFile file(line.field(k + 1), line, magnitudes ? "ARTMAG" : "ARTFLX");
  art.narts = 0;
  std::string text;
  while (file.next_data_line(text)) {
    if (art.narts == ARTMAX) stop_in(file.where(), "NARTs.gt._ARTMAX_");
    const LineNumbers n = read_line_numbers(text, file.where());
    if (!n.all()) run_error(file.where(), "an artificial star needs four numbers: u, v and two values");
    const int a = ++art.narts;
    art.uart0(a) = n.x[0];
    art.vart0(a) = n.x[1];
    for (int f = 0; f < FDIM; ++f)
      art.zart0(a, f + 1) = magnitudes ? flux_of_magnitude(n.x[2 + f], file.where()) : n.x[2 + f];
  }
  write_list(std::cout, "NARTs: ", art.narts);
  if (art.narts == 0) stop_in(file.name(), "something wrong NARTs0");
  return k + 2;
}

void item_artlst() {
  const std::string blanks(27, ' ');
  write_list(std::cout, blanks);
  write_list(std::cout, "ARTLST has been deprecated;");
  write_list(std::cout, blanks);
  write_list(std::cout, "Use ARTMAG or ARTFLX instead.");
  write_list(std::cout, blanks);
  stop_run();
}

int item_drivxy(const ParamLine& line, int k, MasterList& master) {
  require_allocated(master);
  ListFile file(line.field(k + 1), line, "DRIVXY");
  master.nmasti = 0;
  std::string text;
  while (file.next_data_line(text)) {
    if (master.nmasti == NSTMAX) stop_in(file.where(), "NMASTi.gt._NSTMAX_");
    const LineNumbers n = read_line_numbers(text, file.where());
    // A position is the least a line must give; without it the star would
    // land at whatever the entry held before.
    if (!n.position()) run_error(file.where(), "a DRIVXY line needs at least two numbers: u and v");
    const int s = ++master.nmasti;
    master.umast0(s) = n.x[0];
    master.vmast0(s) = n.x[1];
    for (int f = 0; f < FDIM; ++f) {
      float z = real32(n.x[2 + f], file.where());
      if (z < -1.0f) z = flux_of_magnitude(z, file.where());
      master.zmast0(s, f + 1) = z;
    }
  }
  write_list(std::cout, "---> NMASTi: ", master.nmasti);
  return k + 2;
}

void log_source_lists(const BrightStars& bright, const MasterList& master) {
  write_record(std::cout, "('***** LOG BRITES ---     Bs: ',i5)", bright.bs);
  {
    const std::string name = "LOGK.BRITE";
    std::ofstream out = create_log(name);
    for (int b = 1; b <= bright.bs; ++b)
      write_star_log_line(out,
                          "(1x,f9.3,1x,f9.3,5x,2(f8.3,1x),5x,'B',i6.6,                                        5x,2(f11.1,1x))",
                          bright.uref_b(b), bright.vref_b(b), bright.zref_bf(b, 1), bright.zref_bf(b, 2), b);
    close_log(out, name);
  }
  write_record(std::cout, "('***** LOG PREMAG --- NMASTi: ',i5)", master.nmasti);
  {
    const std::string name = "LOGK.PREMAG";
    std::ofstream out = create_log(name);
    for (int n = 1; n <= master.nmasti; ++n)
      write_star_log_line(out,
                          "(1x,f9.3,1x,f9.3,5x,2(f8.3,1x),5x,'N',i6.6,                                        5x,2(f11.1,1x))",
                          master.umast0(n), master.vmast0(n), master.zmast0(n, 1), master.zmast0(n, 2), n);
    close_log(out, name);
  }
  write_brite_regions("LOGK.brite_u1.reg", bright, 1.0);
  write_brite_regions("LOGK.brite_u2.reg", bright, 2.0);
}

}  // namespace zeb
