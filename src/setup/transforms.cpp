#include "setup/transforms.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "core/file_check.h"
#include "core/fortran_format.h"
#include "core/files.h"
#include "core/list_directed.h"
#include "core/stop.h"
#include "core/text.h"
#include "geometry/distortion.h"
#include "setup/image_slots.h"

namespace zeb {

namespace {

// Data lines a MAT file may hold; the next one stops the run.
constexpr int kNmatMax = 49998;

// Below this fraction of its natural scale a determinant counts as zero: the
// points (or the fitted matrix) are degenerate to rounding and the inverse
// would be noise.
constexpr double kSingularFraction = 1e-12;

// The matched stars of one MAT file, in file order.
struct MatEntries {
  std::vector<double> u, v, x, y;
  std::vector<float> m1, m2, d;  // d = m1 - m2
  int size() const { return static_cast<int>(u.size()); }
};

// One data line: its first six values, read list-directed, are u v x y m1
// m2, all finite numbers; whatever follows them is not read. A line that ends
// (or meets a slash) before the six, a blank line included, is a read error
// naming the file and the line, never a silent misread.
void parse_mat_line(const std::string& line, const std::string& where, MatEntries& e) {
  ListReader reader(line, where);
  double val[6];
  for (double& value : val) {
    if (reader.read_real(value) != Got::Value) run_error(where, "a MAT line needs six numbers: u v x y m1 m2");
    if (!std::isfinite(value)) run_error(where, "a MAT value is not a finite number");
  }
  if (std::fabs(val[4]) > FLT_MAX || std::fabs(val[5]) > FLT_MAX) run_error(where, "a MAT magnitude is out of range");
  e.u.push_back(val[0]);
  e.v.push_back(val[1]);
  e.x.push_back(val[2]);
  e.y.push_back(val[3]);
  const float m1 = static_cast<float>(val[4]);
  const float m2 = static_cast<float>(val[5]);
  e.m1.push_back(m1);
  e.m2.push_back(m2);
  e.d.push_back(m1 - m2);
}

// Every line is read whole. "#" in column 1 marks a comment; every other line
// is a data line.
MatEntries read_mat_entries(const std::string& path) {
  std::ifstream in = open_text_input(path, "MAT file");
  MatEntries e;
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    if (!line.empty() && line[0] == '#') continue;
    if (e.size() >= kNmatMax) {
      write_list(std::cout, "---> " + path + ", line " + std::to_string(lineno) + ": more than " +
                                std::to_string(kNmatMax) + " matched stars");
      stop_run("NMATs.gt._NMATMX_");
    }
    parse_mat_line(line, path + ", line " + std::to_string(lineno), e);
  }
  if (in.bad()) run_error(path, "the MAT file could not be read to its end");
  return e;
}

// The MAT file cannot tie the exposure to the reference frame.
[[noreturn]] void refuse_mat(int g, const std::string& path, const std::string& reason) {
  write_list(std::cout, " ");
  write_list(std::cout, "read_mat... THE MAT FILE CANNOT PLACE ITS EXPOSURE");
  write_list(std::cout, "--->   SLOT: ", g);
  write_list(std::cout, "---> MATFIL: ", path);
  write_list(std::cout, "--->", reason);
  stop_run("MAT file cannot place its exposure");
}

void set_identity(double& a, double& b, double& c, double& d, double& ubar, double& vbar, double& xbar,
                  double& ybar) {
  a = 1.0;
  b = 0.0;
  c = 0.0;
  d = 1.0;
  ubar = vbar = xbar = ybar = 0.0;
}

const char* const kAsterisks = "('***********************************************')";

std::string trans_header() {
  return fortran_record(
      "(1x,'..G.',1x,'C',1x,                                              ' ....AG...',' ....BG...',' ....CG...',' ....DG...',              4x,' ...UCEN..',' ...VCEN..',                                     4x,' ICEN',' JCEN',                                               4x,' ...XCEN..',' ...YCEN..',                                     4x,'..ZP_CG.',1x,'..SC_CG.',                                      4x,'..EXP_G.',1x,'..EXP_F.',1x,'..SKY_G.')");
}

std::string trans_row(const ImageSlots& s, const FilterSlots& filters, int g, int c) {
  // A slot outside filter slots 1..2 (refused at the end of the set-up) shows
  // an exposure time of 0 instead of reading past the filter arrays.
  const int f = s.fff_g(g);
  const float exp_f = f >= 1 && f <= filters.exp_f.n() ? filters.exp_f(f) : 0.0f;
  return fortran_record(
      "(1x,i4.4,1x,i1,1x,4f10.5,                                          4x,2f12.5,                                                        4x,2i5,                                                           4x,2f12.5,                                                        4x,f8.4,1x,f8.4,                                                  4x,f12.5,1x,f12.5,1x,                                             4x,f8.1,1x,f8.1,1x,f12.5)",
      g, c, s.ag_cg(c, g), s.bg_cg(c, g), s.cg_cg(c, g), s.dg_cg(c, g), s.ucen_cg(c, g), s.vcen_cg(c, g),
      s.icen_cg(c, g), s.jcen_cg(c, g), s.xcen_cg(c, g), s.ycen_cg(c, g), s.zp_cg(c, g), s.sc_cg(c, g), s.exp_g(g),
      exp_f, s.sky_g(g));
}

// Chips of slot g that have per-chip entries.
int chips_of_slot(const ImageSlots& s, int g) {
  const int cs = cs_kkk(s.kkk_g(g));
  return cs < s.ag_cg.nx() ? cs : static_cast<int>(s.ag_cg.nx());
}

}  // namespace

int ij_cen(int ixy, int ik, int kkk) {
  if (ixy != 1 && ixy != 2) stop_run("ixy.ne.1or2");
  if (ik < 1 || ik > 4) stop_run("ik.lt.1.or.ik.gt.4");
  if (kkk < 1 || kkk > 10) stop_run("KKK.lt.1.or.KKK.gt.10");
  int i = 0;
  int j = 0;
  if (kkk == 1) {
    i = 400;
    j = 400;
  } else if ((kkk == 5 || kkk == 8) && ik <= 2) {
    i = 2048;
    j = ik == 1 ? 1024 : 3072;
  } else if ((kkk == 7 || kkk == 9) && ik == 1) {
    i = 512;
    j = 512;
  }
  return ixy == 1 ? i : j;
}

bool glob_fit6nrdp(std::span<const double> u, std::span<const double> v, std::span<const double> x,
                   std::span<const double> y, int n, double& a, double& b, double& c, double& d, double& ubar,
                   double& vbar, double& xbar, double& ybar) {
  // Never read past the arrays, whatever count the caller gives.
  n = static_cast<int>(std::min({static_cast<std::size_t>(n < 0 ? 0 : n), u.size(), v.size(), x.size(), y.size()}));
  if (n <= 2) {
    set_identity(a, b, c, d, ubar, vbar, xbar, ybar);
    return false;
  }
  double su = 0, sv = 0, sx = 0, sy = 0;
  for (int k = 0; k < n; ++k) {
    su += u[k];
    sv += v[k];
    sx += x[k];
    sy += y[k];
  }
  const double nn = n;
  ubar = su / nn;
  vbar = sv / nn;
  xbar = sx / nn;
  ybar = sy / nn;
  double suu = 0, s_u = 0, svv = 0, s_v = 0, suv = 0, sux = 0, svx = 0, s_x = 0, suy = 0, svy = 0, s_y = 0;
  for (int k = 0; k < n; ++k) {
    const double du = u[k] - ubar;
    const double dv = v[k] - vbar;
    const double dx = x[k] - xbar;
    const double dy = y[k] - ybar;
    suu += du * du;
    s_u += du;
    svv += dv * dv;
    s_v += dv;
    suv += du * dv;
    sux += du * dx;
    svx += dv * dx;
    s_x += dx;
    suy += du * dy;
    svy += dv * dy;
    s_y += dy;
  }
  const double p = s_u * s_u - nn * suu;
  const double q = s_v * s_v - nn * svv;
  const double r = s_u * s_v - nn * suv;
  const double det = p * q - r * r;
  if (det == 0.0) {
    set_identity(a, b, c, d, ubar, vbar, xbar, ybar);
    return false;
  }
  const double e = s_x * s_u - nn * sux;
  const double f = s_x * s_v - nn * svx;
  const double g = s_y * s_u - nn * suy;
  const double h = s_y * s_v - nn * svy;
  a = (e * q - f * r) / det;
  b = (f * p - e * r) / det;
  c = (g * q - h * r) / det;
  d = (h * p - g * r) / det;
  const bool finite = std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) &&
                      std::isfinite(ubar) && std::isfinite(vbar) && std::isfinite(xbar) && std::isfinite(ybar);
  return finite && std::fabs(det) > kSingularFraction * std::fabs(p * q);
}

void read_mat(const std::string& filemat, int kkk, int flt, const std::string& filegcs, int g, ImageSlots& slots) {
  const int c = 1;
  slots.ucen_cg(c, g) = -9999.0;
  slots.vcen_cg(c, g) = -9999.0;
  slots.icen_cg(c, g) = 0;
  slots.jcen_cg(c, g) = 0;
  for (auto* m : {&slots.ag_cg, &slots.bg_cg, &slots.cg_cg, &slots.dg_cg, &slots.ga_cg, &slots.gb_cg, &slots.gc_cg,
                  &slots.gd_cg})
    (*m)(c, g) = 0.0;
  slots.sc_cg(c, g) = 0.0f;

  // An empty slot (camera code 0) has no chip to place; the other chipless
  // codes cannot be set from the parameter file and likewise have nothing.
  const int cs = cs_kkk(kkk);
  if (cs == 0) return;
  if (cs > 1) {
    write_list(std::cout, "---> image slot " + std::to_string(g) + ": camera code " + std::to_string(kkk) + " has " +
                                std::to_string(cs) + " chips (MAT file " + rtrim(filemat) + ")");
    stop_run("Cs.gt._CDIM_");
  }

  // Every entry belongs to the slot's single chip, and the chip is fitted from
  // its own entries, however few.
  const MatEntries e = read_mat_entries(filemat);
  const int n = e.size();
  if (n < 3) refuse_mat(g, filemat, "fewer than 3 matched stars: " + std::to_string(n));
  double a = 0, b = 0, cc = 0, d = 0, ubar = 0, vbar = 0, xbar = 0, ybar = 0;
  if (!glob_fit6nrdp(e.u, e.v, e.x, e.y, n, a, b, cc, d, ubar, vbar, xbar, ybar))
    refuse_mat(g, filemat, "the matched stars lie on one line: the fit is singular");
  const double det = d * a - cc * b;
  if (!std::isfinite(det) || std::fabs(det) <= kSingularFraction * (std::fabs(a * d) + std::fabs(b * cc)))
    refuse_mat(g, filemat, "the fitted transformation is singular");

  slots.ag_cg(c, g) = a;
  slots.bg_cg(c, g) = b;
  slots.cg_cg(c, g) = cc;
  slots.dg_cg(c, g) = d;
  const double ga = d / det;
  const double gb = -b / det;
  const double gc = -cc / det;
  const double gd = a / det;
  slots.ga_cg(c, g) = ga;
  slots.gb_cg(c, g) = gb;
  slots.gc_cg(c, g) = gc;
  slots.gd_cg(c, g) = gd;

  const int icen = ij_cen(1, c, kkk);
  const int jcen = ij_cen(2, c, kkk);
  slots.icen_cg(c, g) = icen;
  slots.jcen_cg(c, g) = jcen;
  double xcen = slots.xcen_cg(c, g);
  double ycen = slots.ycen_cg(c, g);
  gc_cf(icen, jcen, xcen, ycen, kkk, flt, c, filegcs);
  slots.xcen_cg(c, g) = xcen;
  slots.ycen_cg(c, g) = ycen;
  const double ucen = ubar + (xcen - xbar) * ga + (ycen - ybar) * gb;
  const double vcen = vbar + (xcen - xbar) * gc + (ycen - ybar) * gd;
  if (!std::isfinite(ucen) || !std::isfinite(vcen))
    refuse_mat(g, filemat, "the chip centre does not map into the reference frame");
  slots.ucen_cg(c, g) = ucen;
  slots.vcen_cg(c, g) = vcen;

  float mean = 0.0f, sigma = 0.0f;
  int nused = 0;
  barsig(e.d, n, mean, sigma, nused);
  if (slots.zp_cg(c, g) <= -90.0f) slots.zp_cg(c, g) = mean;
  const float sc = std::pow(10.0f, -mean / 2.5f);
  // A flux scale that overflows or vanishes in single precision would turn
  // every flux of the exposure into infinity or zero.
  if (!std::isnormal(sc)) refuse_mat(g, filemat, "the mean magnitude difference m1 - m2 is out of range");
  slots.sc_cg(c, g) = sc;
}

void read_mat_files(const Settings& settings, ImageSlots& slots, const FilterSlots& filters) {
  write_record(std::cout, kAsterisks);
  write_record(std::cout, "('***** ')");
  write_record(std::cout, "('***** READ IN THE MAT FILES...')");
  write_record(std::cout, "('***** ')");
  write_record(std::cout, kAsterisks);
  std::cout << '\n';

  const std::string header = trans_header();
  std::vector<std::string> rows;
  for (int g = 1; g <= slots.gs; ++g) {
    std::cout << header << '\n';
    const int cs = chips_of_slot(slots, g);
    for (int c = 1; c <= cs; ++c) slots.zp_cg(c, g) = slots.zpu_g(g);
    // A slot without chips opens no file, so its path is not composed.
    const std::string path =
        cs_kkk(slots.kkk_g(g)) > 0 ? slot_file_path(settings, slots, g, slots.filemat_g(g)) : std::string();
    read_mat(path, slots.kkk_g(g), slots.flt_g(g), slots.filegcs_g(g), g, slots);
    for (int c = 1; c <= cs; ++c) {
      rows.push_back(trans_row(slots, filters, g, c));
      std::cout << rows.back() << '\n';
    }
  }
  std::cout << header << '\n';
  std::cout << '\n';

  std::ofstream log("LOGK.TRANS_zeb");
  if (!log) run_error("LOGK.TRANS_zeb", "cannot be created");
  log << header << '\n';
  for (const std::string& row : rows) log << row << '\n';
  log << header << '\n';
  log.close();
  if (!log) run_error("LOGK.TRANS_zeb", "could not be written");
}

}  // namespace zeb
