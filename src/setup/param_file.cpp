#include "setup/param_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <type_traits>
#include <iostream>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/files.h"
#include "core/limits.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"
#include "psf/psf_camera.h"
#include "setup/image_slots.h"
#include "setup/param_parse.h"
#include "setup/source_lists.h"
#include "setup/transforms.h"

namespace zeb {

namespace {

constexpr const char* STARS = "('***********************************************')";

// A number from field k of a line, read list-directed; a missing value is a
// read error naming the line.
template <typename T>
T field_number(const ParamLine& line, int k, const char* what) {
  ListReader r(line.field(k), line.context() + " (" + what + ")");
  T v{};
  Got g;
  if constexpr (std::is_integral_v<T>)
    g = r.read_int(v);
  else
    g = r.read_real(v);
  if (g != Got::Value) run_error(line.context(), std::string("missing value for ") + what);
  return v;
}

// NITMIN and NITMAX address the per-iteration tables, which exist for
// iterations 1..9; a negative NITMIN means "not given" (the tile loop then
// refuses to search). Zero or values above 9 would address entries that do
// not exist, so they are refused here.
int iteration_limit(const ParamLine& line, int k, const char* what, int lowest) {
  const int v = field_number<int>(line, k, what);
  if (v >= lowest && v <= 9) return v;
  if (v < 0 && lowest == 1) return v;
  write_list(std::cout, what, " MUST LIE IN ", lowest, " .. 9: ", v);
  write_list(std::cout, line.context());
  stop_run();
}

// What a real value of the parameter file must be to give a meaningful run.
// A value that is not a finite number would silently switch tests off (every
// comparison with NaN fails) or poison sums, so every rule includes finiteness.
enum class Accept { Finite, NonNegative, Positive };

const char* rule_text(Accept a) {
  switch (a) {
    case Accept::NonNegative: return "a finite number >= 0";
    case Accept::Positive: return "a finite number > 0";
    default: return "a finite number";
  }
}

bool acceptable(double v, Accept a) {
  if (!std::isfinite(v)) return false;
  if (a == Accept::NonNegative) return v >= 0.0;
  if (a == Accept::Positive) return v > 0.0;
  return true;
}

// A real value of field k checked against its rule; a refused value stops the
// run naming the keyword, the value as written, the file and the line.
float checked_real(const ParamLine& line, int k, const char* what, Accept accept) {
  const float v = field_number<float>(line, k, what);
  if (!acceptable(v, accept)) stop_bad_value(what, line.field(k), rule_text(accept), line.context());
  return v;
}

// The value as written of the last (name, value) pair of an iteration line
// whose name begins with `key`.
std::string iteration_value_text(const ParamLine& line, const std::string& key) {
  std::string text;
  for (int k = 2; k + 1 <= line.count(); k += 2)
    if (line.field(k).substr(0, 4) == key) text = line.field(k + 1);
  return text;
}

// The settings of iteration entry nit after its line was read. The finding
// compares with SSIG and QSEL and excludes within OPRX and OPRV: a value that
// is not a finite number would silently disable a test, and a negative
// threshold or radius has no meaning. The region files write RSIZ with f6.3
// and RWID with i1: a value that does not fit would write asterisks.
void check_iteration_values(const ParamLine& line, int nit, const Settings& st) {
  auto check = [&line](bool ok, const char* key, const char* rule) {
    if (!ok) stop_bad_value(key, iteration_value_text(line, key), rule, line.context());
  };
  if (nit <= 9) {
    check(acceptable(st.ssig_nit(nit), Accept::NonNegative), "SSIG", rule_text(Accept::NonNegative));
    check(acceptable(st.qsel_nit(nit), Accept::Finite), "QSEL", rule_text(Accept::Finite));
    check(acceptable(st.oprx_nit(nit), Accept::NonNegative), "OPRX", rule_text(Accept::NonNegative));
    check(acceptable(st.oprv_nit(nit), Accept::NonNegative), "OPRV", rule_text(Accept::NonNegative));
  }
  check(acceptable(st.rsiz_nit(nit), Accept::NonNegative) && st.rsiz_nit(nit) < 99.9995f, "RSIZ",
        "a finite number from 0 to 99.999 (the region files write it with f6.3)");
  check(st.rwid_nit(nit) >= 0 && st.rwid_nit(nit) <= 9, "RWID",
        "an integer from 0 to 9 (the region files write it with i1)");
}

// The values of fields k + 1 .. k + n as written, separated by blanks.
std::string values_text(const ParamLine& line, int k, int n) {
  std::string t;
  for (int j = 1; j <= n; ++j) t += (j > 1 ? " " : "") + line.field(k + j);
  return t;
}

// IJTLIM: a reversed or empty range would process no tile and end with empty
// catalogues as if all went well; tile indices address the 99 x 99 hash grid,
// and an index above 99 stops with the tile loop's own stop text, here before
// any tile has been processed.
void check_tile_range(const ParamLine& line, int k, const std::array<int, 4>& r) {
  const char* rule = "1 <= IT min <= IT max <= 99 and 1 <= JT min <= JT max <= 99";
  if (r[0] < 1 || r[2] < 1 || r[0] > r[1] || r[2] > r[3])
    stop_bad_value("IJTLIM", values_text(line, k, 4), rule, line.context());
  if (r[1] > HASHDM || r[3] > HASHDM) {
    write_bad_value("IJTLIM", values_text(line, k, 4), rule, line.context());
    stop_run(r[1] > HASHDM ? "IT.gt._HASHDM_" : "JT.gt._HASHDM_");
  }
}

// ULIM, VLIM, UVLIM: a reversed window meets no tile.
void check_window(const ParamLine& line, int k, const char* key, int n, const Settings& st) {
  if (st.umin <= st.umax && st.vmin <= st.vmax) return;
  stop_bad_value(key, values_text(line, k, n), "a window with U MIN <= U MAX and V MIN <= V MAX", line.context());
}

// A spreading radius of an iteration line (QSEP, DSEP, PSEP), refused here
// when finding could not use it (spreading_radius_ok).
float spreading_radius(const ParamLine& line, int k, const char* what) {
  const float v = field_number<float>(line, k, what);
  if (spreading_radius_ok(v)) return v;
  write_list(std::cout, std::string(what) + " MUST LIE IN 0 .. 10: ", v);
  write_list(std::cout, line.context());
  stop_run();
}

// A JSIG threshold, in sigma. Zero, a negative value or one that is not a
// number would accept every point of the joint map as a source.
float jsig_value(const ParamLine& line, int k) {
  const float v = field_number<float>(line, k, "JSIG");
  if (v > 0.0f) return v;
  write_list(std::cout, "JSIG MUST BE A POSITIVE SIGNIFICANCE: ", v);
  write_list(std::cout, line.context());
  stop_run();
}

bool is_mask(const std::string& m) {
  for (char c : m)
    if (c != '0' && c != '1') return false;
  return true;
}

const char* const LEGIT_COLOURS[] = {"yellow ", "red    ", "green  ", "blue   ",
                                     "cyan   ", "magenta", "white  ", "black  "};

// Splits a raw line as read into what is processed: carriage return removed,
// tabs as blanks. A line longer than 200 characters would lose its tail
// silently, so it is refused unless the tail is blank or a comment.
std::string line_for_processing(const std::string& raw, const std::string& context) {
  std::string s = raw;
  if (!s.empty() && s.back() == '\r') s.pop_back();
  for (char& c : s)
    if (c == '\t') c = ' ';
  if (s.size() > PARAM_LINE_WIDTH) {
    std::string head = s.substr(0, PARAM_LINE_WIDTH);
    std::string tail = s.substr(PARAM_LINE_WIDTH);
    if (head.find('#') == std::string::npos && !trim(tail).empty()) {
      write_list(std::cout, "PARAMETER LINE LONGER THAN 200 CHARACTERS: ", context);
      stop_run("parameter line too long");
    }
    s = head;
  }
  return pad(s, PARAM_LINE_WIDTH);
}

}  // namespace

ParamFileReader::ParamFileReader(RunState& run, const PrescanCounts& counts, std::string infile)
    : run_(run), counts_(counts), infile_(std::move(infile)) {}

void ParamFileReader::initialise() {
  // Room for every slot the limits allow: slot numbers are checked against
  // them as lines are read, so no line can address a slot outside the arrays.
  run_.slots.allocate(GDIM, CDIM);
  for (int g = 1; g <= GDIM; ++g) {
    run_.slots.zpu_g(g) = -99.0f;
    run_.slots.msk_g(g) = maskfac_;
    run_.slots.oth_g(g) = othrfac_;
  }
  run_.filters.allocate(FDIM);
  run_.slots.gs = 0;
  run_.filters.fs = 0;
  run_.bright.bs = 0;
  run_.master.nmasti = 0;
  run_.art.narts = 0;
  echo_ = std::make_unique<std::ofstream>("LOGK.INPUT_FILE", std::ios::out | std::ios::trunc);
  if (!*echo_) run_error("LOGK.INPUT_FILE", "cannot be created");
}

void ParamFileReader::first_line(const std::string& raw) {
  line_no_ = 1;
  std::string six = pad(raw.substr(0, raw.size() && raw.back() == '\r' ? raw.size() - 1 : raw.size()), 6);
  std::string echo = fortran_record("('ZEB_SETUP LINE',i3.3,3x,200a)", 1, six);
  std::cout << echo << '\n';
  *echo_ << echo << '\n';
  if (six == "MODE=R" || six == "MODE=D" || six == "MODE=A" || six == "MODE=C") {
    run_.settings.cmode = six[5];
    return;
  }
  std::cout.flush();
  stop_run("must spec MODE=R,D,A, or C... on LINE1");
}

bool ParamFileReader::next_line(const std::string& raw) {
  if (ended_) return false;
  ++line_no_;
  const std::string context = infile_ + " line " + std::to_string(line_no_);
  std::string line = line_for_processing(raw, context);
  std::string echo = fortran_record("('ZEB_SETUP LINE',i3.3,3x,a200)", line_no_, line);
  std::cout << echo << '\n';
  *echo_ << echo << '\n';

  if (line[0] == '#') return true;
  // Everything from the first '#' after column 1 on is a comment.
  std::size_t hash = line.find('#', 1);
  if (hash != std::string::npos) line.replace(hash, std::string::npos, PARAM_LINE_WIDTH - hash, ' ');

  if (skipping_) {
    if (starts_with(line, "PIKS")) skipping_ = false;
    return true;
  }
  if (starts_with(line, "SKIP")) {
    skipping_ = true;
    return true;
  }
  Settings& st = run_.settings;
  if (starts_with(line, "ONEOFF")) {
    ListReader r(std::string_view(line).substr(7, 73), context + " (ONEOFF)");
    double x = 0, y = 0;
    if (r.read_real(x) != Got::Value || r.read_real(y) != Got::Value)
      run_error(context, "ONEOFF needs two numbers");
    st.oneoff = true;
    double xs = x + 0.5, ys = y + 0.5;
    if (!(std::fabs(xs) < 2.0e9 && std::fabs(ys) < 2.0e9)) run_error(context, "ONEOFF position out of range");
    st.oneoffx = static_cast<int>(xs);
    st.oneoffy = static_cast<int>(ys);
    write_record(std::cout, "(10x,'ONEOFF: ',l1,2i7)", st.oneoff, st.oneoffx, st.oneoffy);
    return true;
  }
  if (starts_with(line, "END")) {
    ended_ = true;
    return false;
  }
  ParamLine fields = parse(line, context);
  if (starts_with(line, "NIT0"))
    iteration_line(fields);
  else
    field_loop(fields);
  return !ended_;
}

void ParamFileReader::iteration_line(const ParamLine& line) {
  Settings& st = run_.settings;
  char digit = line.text[4];
  if (!std::isdigit(static_cast<unsigned char>(digit)))
    run_error(line.context(), std::string("bad iteration number '") + digit + "'");
  const int nit = digit == '0' ? NITDIM + 1 : digit - '0';
  for (int k = 2; k + 1 <= line.count(); k += 2) {
    const std::string name = line.field(k).substr(0, 4);
    const bool region_key = name == "RSIZ" || name == "RWID" || name == "RCOL";
    if (nit <= 9 || region_key) {
      if (name == "HMIN") { st.hmin_nit(nit) = field_number<int>(line, k + 1, "HMIN"); continue; }
      if (name == "SSIG") { st.ssig_nit(nit) = field_number<float>(line, k + 1, "SSIG"); continue; }
      if (name == "QMIN") { st.qmin_nit(nit) = field_number<int>(line, k + 1, "QMIN"); continue; }
      if (name == "QSEL") { st.qsel_nit(nit) = field_number<float>(line, k + 1, "QSEL"); continue; }
      if (name == "QSEP") { st.qsep_nit(nit) = spreading_radius(line, k + 1, "QSEP"); continue; }
      if (name == "PMIN") { st.pmin_nit(nit) = field_number<int>(line, k + 1, "PMIN"); continue; }
      if (name == "PSEP") { st.psep_nit(nit) = spreading_radius(line, k + 1, "PSEP"); continue; }
      if (name == "DMIN") { st.dmin_nit(nit) = field_number<int>(line, k + 1, "DMIN"); continue; }
      if (name == "DSEP") { st.dsep_nit(nit) = spreading_radius(line, k + 1, "DSEP"); continue; }
      if (name == "OPRX") { st.oprx_nit(nit) = field_number<float>(line, k + 1, "OPRX"); continue; }
      if (name == "OPRV") { st.oprv_nit(nit) = field_number<float>(line, k + 1, "OPRV"); continue; }
      if (name == "RSIZ") { st.rsiz_nit(nit) = field_number<float>(line, k + 1, "RSIZ"); continue; }
      if (name == "RWID") { st.rwid_nit(nit) = field_number<int>(line, k + 1, "RWID"); continue; }
      if (name == "RCOL") {
        const std::string colour = pad(line.field(k + 1), 7);
        bool legit = false;
        for (const char* c : LEGIT_COLOURS) legit = legit || colour == c;
        if (!legit) {
          write_list(std::cout, "LEGIT COLORS FOR RCOL_NIT: ");
          write_list(std::cout, "   yellow, red, green, blue ");
          write_list(std::cout, "   cyan magenta white black ");
          stop_run();
        }
        st.rcol_nit(nit) = colour;
        continue;
      }
      if (name == "JSIG") {
        st.jsig_nit(nit) = jsig_value(line, k + 1);
        st.jsig_given = true;
        continue;
      }
    }
    for (const char* text : {"  ", "NIT0 SYNTAX ERROR, YOU BOZO!", "  ", "FIELD NOT RECOGNIZED AS NIT SPEC: "})
      write_list(std::cout, text);
    write_list(std::cout, "FIELD: ", line.field(k).substr(0, 5));
    for (const char* text : {" LIST: HMIN= SSIG= ", "       QMIN= QSEL= ", "       DMIN= DSEL= ", "       PMIN= ",
                             "       OPRX= OPRV= ", "       RCOL= RWID= RSIZ= ", " ",
                             "(NIT00 can only do RCOL,RWID,RSIZ...)", " "})
      write_list(std::cout, text);
    stop_run();
  }
  check_iteration_values(line, nit, st);
}

void ParamFileReader::commit_slot(int g) {
  ImageSlots& s = run_.slots;
  if (line_camera_ == 0) {
    write_list(std::cout, "Image has been specified w/o a chip.");
    stop_run();
  }
  // A slot outside both filter slots would address filter arrays that do not
  // exist when its exposure is measured.
  if (filter_slot_ < 1 || filter_slot_ > FDIM) {
    write_list(std::cout, "Image has been specified w/o a filter slot (F_SLOT 1 or 2).");
    write_list(std::cout, "   G  : ", g);
    write_list(std::cout, "F_SLOT: ", filter_slot_);
    stop_run();
  }
  s.fff_g(g) = filter_slot_;
  run_.filters.fs = std::max(run_.filters.fs, filter_slot_);
  s.rap_g(g) = line_rap_;
  s.kkk_g(g) = line_camera_;
  s.pos_g(g) = line_pos_;
  s.fnd_g(g) = line_fnd_;
  s.flt_g(g) = which_filt(filter_name_, line_camera_);
  s.subdir_g(g) = subdir_;
  s.nsubdir_g(g) = nsubdir_;
  s.msk_g(g) = maskfac_;
  s.oth_g(g) = othrfac_;
}

int ParamFileReader::require_slot(const ParamLine& line, int k, int g) const {
  if (g != 0) return g;
  write_list(std::cout, "PARSING ERROR... ");
  write_list(std::cout, "    N: ", k, line.field(k).substr(0, 30));
  write_list(std::cout, line.field(k).substr(0, 30), "needs an image slot number at the start of its line");
  stop_run();
}

std::string ParamFileReader::compose_name(int g, const std::string& value, const std::string& what) const {
  return slot_file_path(run_.settings, run_.slots, g, value,
                        what + " of image slot " + std::to_string(g) + " (" + infile_ + " line " +
                            std::to_string(line_no_) + ")");
}

// ARTSHARD k n: the run measures part k of n of its artificial-star passes
// (see the tile loop). Parts exist only for mode A, whose passes are
// independent of one another.
void ParamFileReader::item_artshard(const ParamLine& line, int k) {
  Settings& st = run_.settings;
  const int part = field_number<int>(line, k + 1, "ARTSHARD part");
  const int parts = field_number<int>(line, k + 2, "ARTSHARD number of parts");
  if (st.cmode != 'A') {
    write_list(std::cout, "ARTSHARD SPLITS THE ARTIFICIAL-STAR PASSES OF MODE A;  CMODE: ", std::string(1, st.cmode));
    write_list(std::cout, line.context());
    stop_run("ARTSHARD needs MODE=A");
  }
  if (parts < 1 || parts > ARTMAX || part < 1 || part > parts) {
    write_list(std::cout, "ARTSHARD k n NEEDS 1 <= k <= n <= ", ARTMAX, ":  k: ", part, "  n: ", parts);
    write_list(std::cout, line.context());
    stop_run("ARTSHARD out of range");
  }
  st.art_part = part;
  st.art_parts = parts;
}

void ParamFileReader::set_mask(const std::string& value, std::string& line_mask, std::string& current,
                               bool slot_line) {
  const std::string mask = pad(value, 9);
  if (!is_mask(mask)) {
    write_list(std::cout, "ZEB_SETUP ERRROR: ");
    write_list(std::cout, "UPOS must be 9x 1s and 0s");
    write_list(std::cout, "UPOS: ", mask);
    stop_run();
  }
  line_mask = mask;
  if (!slot_line) current = mask;
}

void ParamFileReader::field_loop(const ParamLine& line) {
  Settings& st = run_.settings;
  ImageSlots& s = run_.slots;
  FilterSlots& fl = run_.filters;
  int g = 0;
  line_camera_ = camera_;
  line_rap_ = rap_;
  line_pos_ = pos_mask_;
  line_fnd_ = fnd_mask_;
  const int n = line.count();
  int k = 1;
  while (k <= n) {
    if (g != 0) commit_slot(g);
    const std::string f = line.field(k);
    auto is = [&f](const char* key) { return starts_with(f, key); };
    auto value = [&line, k](int j = 1) { return line.field(k + j); };
    auto sign = [&f](std::size_t col) { return char_at(f, col); };

    if (is("END")) {
      ended_ = true;
      return;
    }
    if (is("LABEL7")) {
      st.label = pad(value(), 7);
      k += 2;
    } else if (k == 1 && std::isdigit(static_cast<unsigned char>(f[0]))) {
      g = field_number<int>(line, 1, "image slot number");
      if (g == 0) {
        write_list(std::cout, "IMAGE SLOT NUMBER 0000 IS NOT A SLOT; SLOTS ARE NUMBERED FROM 0001");
        stop_run();
      }
      s.gs = std::max(s.gs, g);
      if (s.gs > GDIM) {
        write_list(std::cout, "                 ");
        write_list(std::cout, "Gs.gt._GDIM_ --- ");
        write_list(std::cout, "   Gs  : ", s.gs);
        write_list(std::cout, " _GDIM_: ", GDIM);
        write_list(std::cout, "                 ");
        stop_run();
      }
      // The whole name is compared: "NULL" alone means no library.
      if (psf_name_ != "NULL") s.filepsf_g(g) = psf_name_;
      s.filegcs_g(g) = gcs_name_;
      k += 1;
    } else if (is("LOGNIMFO+") || is("LOGNIMFO-")) {
      st.lognimfo = f[8] == '+' ? 1 : 0;
      k += 1;
    } else if (is("LOGFINFO+") || is("LOGFINFO-")) {
      st.logfinfo = f[8] == '+' ? 1 : 0;
      k += 1;
    } else if (is("VERBOSE")) {
      if (sign(8) == '+') st.verbose = 1;
      if (sign(8) == '-') st.verbose = 0;
      k += 1;
    } else if (is("MOSAIC_X1") || is("MOSAIC_X2")) {
      int& sw = f[8] == '1' ? st.mosaic_x1 : st.mosaic_x2;
      if (sign(10) == '+') sw = 1;
      if (sign(10) == '-') sw = 0;
      k += 1;
    } else if (is("SHOW_TILES")) {
      if (sign(11) == '+') st.show_tile = st.show_tiles = 1;
      if (sign(11) == '-') st.show_tiles = 0;
      k += 1;
    } else if (is("SHOW_TILE")) {
      if (sign(10) == '+') st.show_tile = 1;
      if (sign(10) == '-') st.show_tile = st.show_tiles = 0;
      k += 1;
    } else if (is("MASKFAC")) {
      maskfac_ = checked_real(line, k + 1, "MASKFAC", Accept::NonNegative);
      k += 2;
    } else if (is("OTHRFAC")) {
      othrfac_ = checked_real(line, k + 1, "OTHRFAC", Accept::NonNegative);
      k += 2;
    } else if (is("PIX")) {
      require_slot(line, k, g);
      // A second exposure for the same slot would silently replace the first.
      if (pix_given_.at(static_cast<std::size_t>(g))) {
        write_list(std::cout, " ");
        write_list(std::cout, "IMAGE SLOT GIVEN A SECOND PIX...  G: ", g);
        write_list(std::cout, "   first : ", rtrim(s.filename_g(g)));
        write_list(std::cout, "   second: ", value());
        write_list(std::cout, "   in " + line.context());
        stop_run("image slot given a second PIX");
      }
      pix_given_.at(static_cast<std::size_t>(g)) = true;
      s.filename_g(g) = compose_name(g, value(), "PIX file");
      const std::string card = query_hdr(s.filename_g(g), "EXPTIME ");
      const std::string card_where =
          rtrim(s.filename_g(g)) + ", primary header card EXPTIME (PIX on " + line.context() + ")";
      ListReader r(card, card_where);
      float exptime = 0.0f;
      if (r.read_real(exptime) != Got::Value) run_error(s.filename_g(g), "EXPTIME has no value");
      // The header's time is used only when no EXPT came first on the line;
      // then it must be a usable exposure time (an EXPT before the PIX
      // overrides a broken card).
      if (s.exp_g(g) == 0.0f) {
        if (!acceptable(exptime, Accept::Positive))
          stop_bad_value("EXPTIME", trim(card), "a finite number of seconds > 0 (or give EXPT= before PIX=)",
                         card_where);
        s.exp_g(g) = exptime;
      }
      k += 2;
    } else if (is("MAT")) {
      require_slot(line, k, g);
      s.filemat_g(g) = fit_field(value(), 80, "MAT file of image slot " + std::to_string(g));
      k += 2;
    } else if (is("SKY")) {
      require_slot(line, k, g);
      s.sky_g(g) += checked_real(line, k + 1, "SKY", Accept::Finite);
      if (!std::isfinite(s.sky_g(g)))
        stop_bad_value("SKY", line.field(k + 1), "a finite number, and the sum of the slot's SKY values too",
                       line.context());
      k += 2;
    } else if (is("ZPU")) {
      require_slot(line, k, g);
      // 10^(ZPU/2.5) scales every pixel of the exposure and must stay a normal
      // single-precision number; values of -90 and below keep the meaning
      // "take the zero point from the MAT file".
      s.zpu_g(g) = checked_real(line, k + 1, "ZPU", Accept::Finite);
      if (s.zpu_g(g) > 90.0f)
        stop_bad_value("ZPU", line.field(k + 1), "a finite number <= 90 (magnitudes)", line.context());
      k += 2;
    } else if (is("EXPT")) {
      require_slot(line, k, g);
      s.exp_g(g) = checked_real(line, k + 1, "EXPT", Accept::Positive);
      k += 2;
    } else if (is("PSF3UV") || is("PSF3IR") || is("PSFHRC") || is("PSFACS")) {
      // The camera PSF file is read into the PSF library of the current
      // filter slot, which must exist.
      if (filter_slot_ < 1 || filter_slot_ > FDIM) {
        write_list(std::cout, f.substr(0, 6), "needs a current F_SLOT of 1 or 2; F_SLOT: ", filter_slot_);
        stop_run();
      }
      fl.psfkind_f(filter_slot_) = f.substr(0, 6);
      fl.psffile_f(filter_slot_) = fit_field(value(), 80, f.substr(0, 6) + " file");
      load_camera_psf(fl.psfkind_f(filter_slot_), fl.psffile_f(filter_slot_), filter_slot_, fl);
      psf_name_ = "NULL";
      k += 2;
    } else if (is("PSF") && g != 0) {
      // On a slot line PSF (and so also PSFSTD) names the slot's own library.
      s.filepsf_g(g) = compose_name(g, value(), "PSF file");
      k += 2;
    } else if (is("PSFSTD")) {
      psf_name_ = fit_field(value(), 80, "PSFSTD file");
      write_list(std::cout, "G       : ", g);
      write_list(std::cout, "FILEPSFu: ", psf_name_);
      k += 2;
    } else if (is("F_SLOT")) {
      filter_slot_ = field_number<int>(line, k + 1, "F_SLOT");
      if (filter_slot_ > FDIM) stop_run("F_SLOT.gt._FDIM_");
      k += 2;
    } else if (is("EXPFLT")) {
      if (filter_slot_ < 1 || filter_slot_ > FDIM) stop_run("ETIME FSLOT");
      fl.exp_f(filter_slot_) = field_number<float>(line, k + 1, "EXPFLT");
      if (!acceptable(fl.exp_f(filter_slot_), Accept::Positive)) {
        write_list(std::cout, "EXPFLT = ", line.field(k + 1), " must be a finite number > 0; in ", line.context());
        stop_run("ETIME ERROR");
      }
      k += 2;
    } else if (is("SCLFLT")) {
      if (filter_slot_ < 1 || filter_slot_ > FDIM) stop_run("SCLFLT FSLOT");
      fl.scl_f(filter_slot_) = field_number<float>(line, k + 1, "SCLFLT");
      if (!acceptable(fl.scl_f(filter_slot_), Accept::Positive)) {
        write_list(std::cout, "SCLFLT = ", line.field(k + 1), " must be a finite number > 0; in ", line.context());
        stop_run("SCALE ERROR");
      }
      k += 2;
    } else if (is("IJTLIM")) {
      for (int j = 0; j < 4; ++j) st.ijtminmaxu[j] = field_number<int>(line, k + 1 + j, "IJTLIM");
      check_tile_range(line, k, st.ijtminmaxu);
      k += 5;
    } else if (is("NITLIM") || is("NITFND")) {
      st.nitminmaxu[0] = iteration_limit(line, k + 1, "NITMIN", 1);
      st.nitminmaxu[1] = iteration_limit(line, k + 2, "NITMAX", 0);
      k += 3;
    } else if (is("NITMIN")) {
      st.nitminmaxu[0] = iteration_limit(line, k + 1, "NITMIN", 1);
      k += 2;
    } else if (is("NITMAX")) {
      st.nitminmaxu[1] = iteration_limit(line, k + 1, "NITMAX", 0);
      k += 2;
    } else if (is("ULIM")) {
      st.umin = field_number<int>(line, k + 1, "ULIM");
      st.umax = field_number<int>(line, k + 2, "ULIM");
      check_window(line, k, "ULIM", 2, st);
      k += 3;
    } else if (is("VLIM")) {
      st.vmin = field_number<int>(line, k + 1, "VLIM");
      st.vmax = field_number<int>(line, k + 2, "VLIM");
      check_window(line, k, "VLIM", 2, st);
      k += 3;
    } else if (is("UVLIM")) {
      st.umin = field_number<int>(line, k + 1, "UVLIM");
      st.umax = field_number<int>(line, k + 2, "UVLIM");
      st.vmin = field_number<int>(line, k + 3, "UVLIM");
      st.vmax = field_number<int>(line, k + 4, "UVLIM");
      check_window(line, k, "UVLIM", 4, st);
      k += 5;
    } else if (is("FILTER")) {
      filter_name_ = pad(value(), 5);
      k += 2;
    } else if (is("CHIPNA")) {
      const std::string chip = pad(value(), 6);
      if (chip == "ACSWFC") camera_ = 5;
      else if (chip == "ACSHRC") camera_ = 7;
      else if (chip == "WFC3UV") camera_ = 8;
      else if (chip == "WFC3IR") camera_ = 9;
      else {
        write_list(std::cout, "BAD CHIP NAME...", chip);
        stop_run();
      }
      k += 2;
    } else if (is("GCSTD")) {
      gcs_name_ = fit_field(value(), 80, "GCSTD file");
      if (g != 0) s.filegcs_g(g) = gcs_name_;
      k += 2;
    } else if (is("DIRECT")) {
      st.direct = fit_field(value(), 80, "DIRECT directory");
      st.ndirect = strlen(st.direct);
      k += 2;
    } else if (is("SUBDIR")) {
      const std::string v = fit_field(value(), 80, "SUBDIR directory");
      nsubdir_ = strlen(v);
      subdir_ = v.substr(0, static_cast<std::size_t>(nsubdir_));
      k += 2;
    } else if (is("RAP")) {
      line_rap_ = field_number<int>(line, k + 1, "RAP");
      if (g == 0) rap_ = line_rap_;
      k += 2;
    } else if (is("USEPOS")) {
      set_mask(value(), line_pos_, pos_mask_, g != 0);
      k += 2;
    } else if (is("USEFND")) {
      set_mask(value(), line_fnd_, fnd_mask_, g != 0);
      k += 2;
    } else if (is("PREFLX")) {
      k = item_premag(line, k, false, run_.master);
    } else if (is("PREMAG")) {
      k = item_premag(line, k, true, run_.master);
    } else if (is("BRITE")) {
      k = item_brite(line, k, run_.bright);
    } else if (is("ADDBRITE")) {
      k = item_addbrite(line, k, run_.bright);
    } else if (is("ADDART")) {
      k = item_addart(line, k, run_.art);
    } else if (is("ARTLST")) {
      item_artlst();
    } else if (is("ARTFLX")) {
      k = item_artfile(line, k, false, run_.art);
    } else if (is("ARTMAG")) {
      k = item_artfile(line, k, true, run_.art);
    } else if (is("ARTSHARD")) {
      item_artshard(line, k);
      k += 3;
    } else if (is("DRIVXY")) {
      k = item_drivxy(line, k, run_.master);
    } else {
      write_list(std::cout, "PARSING ERROR... ");
      write_list(std::cout, "    N: ", k, f.substr(0, 30));
      write_list(std::cout, "   Ns: ", n);
      stop_run();
    }
  }
}

void zeb_setup(const std::string& infile, const PrescanCounts& counts, RunState& run) {
  write_record(std::cout, STARS);
  write_record(std::cout, "('***** ')");
  write_record(std::cout, "('***** READ IN ZEB INPUT FILE...')");
  write_record(std::cout, "('***** ')");
  write_record(std::cout, STARS);
  std::cout << '\n';
  {
    ParamFileReader reader(run, counts, infile);
    reader.initialise();
    write_record(std::cout, "('ENTER ZEB_SETUP... INFILENAME: ',a80)", pad(infile, 80));
    std::ifstream in = open_text_input(infile, "parameter file");
    std::string raw;
    if (!std::getline(in, raw)) run_error(infile, "end of file before the first line");
    try {
      reader.first_line(raw);
      while (std::getline(in, raw))
        if (!reader.next_line(raw)) break;
    } catch (const RunStop& stop) {
      // Every stop met while a line is read names that line.
      if (stop.status != 0) write_list(std::cout, "---> " + infile + " line " + std::to_string(reader.line_number()));
      throw;
    }
    if (in.bad()) run_error(infile, "read error");
  }
  report_image_slots(run.slots);
  read_mat_files(run.settings, run.slots, run.filters);
  log_source_lists(run.bright, run.master);
  end_of_setup(run.slots, run.filters);
}

void load_camera_psf(const std::string& kind, const std::string& file, int f, FilterSlots& filters) {
  if (f < 1 || f > filters.psf_f.n()) {
    write_list(std::cout, kind, "needs a filter slot of 1 or 2; F_SLOT: ", f);
    stop_run();
  }
  CameraPsf& psf = filters.psf_f(f);
  const std::string k = kind.substr(0, 6);
  if (k == "PSF3IR") {
    read_psf3ir(file, psf);
  } else if (k == "PSFHRC") {
    read_psfhrc(file, psf);
  } else if (k == "PSFACS") {
    read_psfacs(file, psf);
  } else if (k == "PSF3UV") {
    read_psf3uv(file, psf);
  } else {
    write_list(std::cout, "load_camera_psf: unknown camera PSF kind: ", kind);
    stop_run();
  }
}

}  // namespace zeb
