#include "score.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>

#include "core/fortran_format.h"
#include "core/list_directed.h"
#include "core/stop.h"

namespace zebsim {

namespace {

std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> t;
  std::string s;
  while (in >> s) t.push_back(s);
  return t;
}

class LineReader {
 public:
  explicit LineReader(const std::string& path) : path_(path), in_(path) {
    if (!in_) zeb::run_error(path, "cannot be opened");
  }
  // The items of the next line that is neither empty nor a comment; false at the
  // end. Comment lines are handed to `on_comment` when given.
  template <typename F>
  bool next(std::vector<std::string>& t, F on_comment) {
    std::string line;
    while (std::getline(in_, line)) {
      ++number_;
      if (!line.empty() && line[0] == '#') {
        on_comment(line);
        continue;
      }
      t = tokens(line);
      if (!t.empty()) return true;
    }
    if (in_.bad()) zeb::run_error(path_, "read failed");
    return false;
  }
  bool next(std::vector<std::string>& t) {
    return next(t, [](const std::string&) {});
  }
  double real(const std::string& s) const {
    std::optional<double> v = zeb::parse_real_item(s);
    if (!v || !std::isfinite(*v)) fail("not a number: " + s);
    return *v;
  }
  [[noreturn]] void fail(const std::string& what) const {
    zeb::run_error(path_, "line " + std::to_string(number_) + ": " + what);
  }

 private:
  std::string path_;
  std::ifstream in_;
  int number_ = 0;
};

bool is_truth_line(const std::vector<std::string>& t) { return t.size() == 7 && zeb::parse_int_item(t[0]).has_value(); }

double magnitude(double flux) { return -2.5 * std::log10(flux); }

// Median of v (reordered).
double median(std::vector<double>& v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Median and 1.4826 times the median absolute deviation.
void robust_stats(std::vector<double> v, double& med, double& sigma) {
  med = median(v);
  for (double& x : v) x = std::fabs(x - med);
  sigma = 1.4826 * median(v);
}

struct Pair {
  double d2;
  std::size_t t, c;
};

// Catalogue index matched to each truth star (npos when none): every pair within
// the radius, closest first, each star used once.
std::vector<std::size_t> match(const std::vector<TruthStar>& truth, const std::vector<CatalogueStar>& cat,
                               double radius) {
  constexpr std::size_t none = static_cast<std::size_t>(-1);
  std::vector<std::size_t> to_cat(truth.size(), none);
  if (truth.empty() || cat.empty() || !(radius > 0.0)) return to_cat;
  double umin = truth[0].u, vmin = truth[0].v, umax = umin, vmax = vmin;
  for (const auto& s : truth) {
    umin = std::min(umin, s.u), umax = std::max(umax, s.u);
    vmin = std::min(vmin, s.v), vmax = std::max(vmax, s.v);
  }
  // A grid of cells of the match radius over the truth; refused when it would
  // be too large to hold (a tiny radius over a wide field).
  const double cells_u = (umax - umin) / radius + 1.0, cells_v = (vmax - vmin) / radius + 1.0;
  if (!(cells_u * cells_v <= 1.0e8)) zeb::stop_run("zebsim score: match radius too small for the field");
  const long nx = static_cast<long>(cells_u), ny = static_cast<long>(cells_v);
  std::vector<std::vector<std::size_t>> cells(static_cast<std::size_t>(nx * ny));
  for (std::size_t k = 0; k < truth.size(); ++k) {
    const long cx = static_cast<long>((truth[k].u - umin) / radius),
               cy = static_cast<long>((truth[k].v - vmin) / radius);
    cells[static_cast<std::size_t>(cx + nx * cy)].push_back(k);
  }
  std::vector<Pair> pairs;
  for (std::size_t c = 0; c < cat.size(); ++c) {
    const double fx = std::floor((cat[c].u - umin) / radius), fy = std::floor((cat[c].v - vmin) / radius);
    if (fx < -1.0 || fy < -1.0 || fx > nx || fy > ny) continue;
    const long cx = static_cast<long>(fx), cy = static_cast<long>(fy);
    for (long qy = std::max(0L, cy - 1); qy <= std::min(ny - 1, cy + 1); ++qy)
      for (long qx = std::max(0L, cx - 1); qx <= std::min(nx - 1, cx + 1); ++qx)
        for (std::size_t t : cells[static_cast<std::size_t>(qx + nx * qy)]) {
          const double du = cat[c].u - truth[t].u, dv = cat[c].v - truth[t].v;
          const double d2 = du * du + dv * dv;
          if (d2 <= radius * radius) pairs.push_back({d2, t, c});
        }
  }
  std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
    if (a.d2 != b.d2) return a.d2 < b.d2;
    if (a.t != b.t) return a.t < b.t;
    return a.c < b.c;
  });
  std::vector<bool> cat_used(cat.size(), false);
  for (const Pair& p : pairs)
    if (to_cat[p.t] == none && !cat_used[p.c]) {
      to_cat[p.t] = p.c;
      cat_used[p.c] = true;
    }
  return to_cat;
}

struct BinData {
  std::array<std::vector<double>, 2> dmag;
  std::vector<double> du, dv;
};

void finish_bin(MagnitudeBin& b, const BinData& d) {
  for (int f = 0; f < 2; ++f) {
    b.photometry[f] = static_cast<int>(d.dmag[f].size());
    robust_stats(d.dmag[f], b.dmag_median[f], b.dmag_sigma[f]);
  }
  double s2 = 0.0, su = 0.0, sv = 0.0;
  for (std::size_t k = 0; k < d.du.size(); ++k) {
    s2 += d.du[k] * d.du[k] + d.dv[k] * d.dv[k];
    su += d.du[k];
    sv += d.dv[k];
  }
  if (!d.du.empty()) {
    const double n = static_cast<double>(d.du.size());
    b.dpos_rms = std::sqrt(s2 / n);
    b.du_mean = su / n;
    b.dv_mean = sv / n;
  }
}

}  // namespace

Truth read_truth(const std::string& path) {
  Truth truth;
  LineReader in(path);
  std::vector<std::string> t;
  auto region_line = [&](const std::string& line) {
    std::vector<std::string> c = tokens(line);
    if (c.size() == 8 && c[1] == "region" && c[2] == "u" && c[5] == "v") {
      truth.region = Region{in.real(c[3]), in.real(c[4]), in.real(c[6]), in.real(c[7])};
      truth.has_region = true;
    }
  };
  while (in.next(t, region_line)) {
    if (!is_truth_line(t)) in.fail("not a truth record (id u v flux1 mag1 flux2 mag2)");
    TruthStar s;
    s.id = *zeb::parse_int_item(t[0]);
    s.u = in.real(t[1]);
    s.v = in.real(t[2]);
    s.flux = {in.real(t[3]), in.real(t[5])};
    s.mag = {in.real(t[4]), in.real(t[6])};
    for (double m : s.mag)
      if (std::fabs(m) > 100.0) in.fail("not a magnitude: " + std::to_string(m));
    truth.stars.push_back(s);
  }
  return truth;
}

std::vector<CatalogueStar> read_catalogue(const std::string& path) {
  std::vector<CatalogueStar> cat;
  LineReader in(path);
  std::vector<std::string> t;
  while (in.next(t)) {
    CatalogueStar s;
    if (t.size() == 4) {  // u v flux1 flux2
      s.id = std::to_string(cat.size() + 1);
      s.u = in.real(t[0]);
      s.v = in.real(t[1]);
      s.flux = {in.real(t[2]), in.real(t[3])};
    } else if (is_truth_line(t)) {
      s.id = t[0];
      s.u = in.real(t[1]);
      s.v = in.real(t[2]);
      s.flux = {in.real(t[3]), in.real(t[5])};
    } else if (t.size() == 12 || t.size() == 16) {  // XYVIQ0 (4 values per filter), XYVIQ1..3 (6)
      const std::size_t group = (t.size() - 4) / 2;
      s.u = in.real(t[0]);
      s.v = in.real(t[1]);
      in.real(t[2]);
      s.id = t[3];
      s.flux = {in.real(t[4]), in.real(t[4 + group])};
    } else {
      in.fail("not a catalogue record (" + std::to_string(t.size()) + " items)");
    }
    cat.push_back(s);
  }
  return cat;
}

ScoreReport score_catalogue(const Truth& truth, const std::vector<CatalogueStar>& catalogue,
                            const ScoreOptions& options) {
  ScoreReport r;
  r.radius = options.radius;
  r.has_region = options.has_region || truth.has_region;
  r.region = options.has_region ? options.region : truth.region;
  auto inside = [&](double u, double v) { return !r.has_region || r.region.contains(u, v); };

  const std::vector<std::size_t> to_cat = match(truth.stars, catalogue, options.radius);
  std::vector<bool> cat_matched(catalogue.size(), false);
  for (std::size_t c : to_cat)
    if (c < catalogue.size()) cat_matched[c] = true;
  for (std::size_t c = 0; c < catalogue.size(); ++c)
    if (inside(catalogue[c].u, catalogue[c].v)) {
      ++r.catalogue;
      if (!cat_matched[c]) ++r.unmatched;
    }

  // Bins of filter-1 magnitude over the truth stars counted.
  double mlo = 0.0, mhi = 0.0;
  bool any = false;
  for (const auto& s : truth.stars)
    if (inside(s.u, s.v)) {
      mlo = any ? std::min(mlo, s.mag[0]) : s.mag[0];
      mhi = any ? std::max(mhi, s.mag[0]) : s.mag[0];
      any = true;
    }
  const double w = options.bin_width > 0.0 ? options.bin_width : 1.0;
  if (any && (mhi - mlo) / w > 10000.0) zeb::stop_run("zebsim score: magnitude bins too narrow for the range");
  const long first = static_cast<long>(std::floor(mlo / w)), last = static_cast<long>(std::floor(mhi / w));
  const std::size_t nbins = any ? static_cast<std::size_t>(last - first + 1) : 0;
  r.bins.resize(nbins);
  std::vector<BinData> data(nbins);
  BinData all;
  for (std::size_t b = 0; b < nbins; ++b) {
    r.bins[b].lo = (first + static_cast<long>(b)) * w;
    r.bins[b].hi = r.bins[b].lo + w;
  }
  for (std::size_t k = 0; k < truth.stars.size(); ++k) {
    const TruthStar& s = truth.stars[k];
    if (!inside(s.u, s.v)) continue;
    const std::size_t b = static_cast<std::size_t>(static_cast<long>(std::floor(s.mag[0] / w)) - first);
    MagnitudeBin& bin = r.bins[b];
    ++bin.truth;
    ++r.all.truth;
    if (to_cat[k] >= catalogue.size()) continue;
    const CatalogueStar& c = catalogue[to_cat[k]];
    ++bin.matched;
    ++r.all.matched;
    for (BinData* d : {&data[b], &all}) {
      for (int f = 0; f < 2; ++f)
        if (c.flux[f] > 0.0) d->dmag[f].push_back(magnitude(c.flux[f]) - s.mag[f]);
      d->du.push_back(c.u - s.u);
      d->dv.push_back(c.v - s.v);
    }
  }
  for (std::size_t b = 0; b < nbins; ++b) finish_bin(r.bins[b], data[b]);
  finish_bin(r.all, all);
  if (any) {
    r.all.lo = r.bins.front().lo;
    r.all.hi = r.bins.back().hi;
  }
  r.truth = r.all.truth;
  r.matched = r.all.matched;
  return r;
}

namespace {

void write_bin_row(std::ostream& out, const MagnitudeBin& b) {
  const double compl_ = b.truth > 0 ? static_cast<double>(b.matched) / b.truth : 0.0;
  zeb::write_record(out, "(2(1x,f6.2),2(1x,i6),1x,f6.3,2(1x,i6,2(1x,f8.4)),1x,f8.4,2(1x,f8.4))", b.lo, b.hi, b.truth,
                    b.matched, compl_, b.photometry[0], b.dmag_median[0], b.dmag_sigma[0], b.photometry[1],
                    b.dmag_median[1], b.dmag_sigma[1], b.dpos_rms, b.du_mean, b.dv_mean);
}

}  // namespace

void write_score(std::ostream& out, const ScoreReport& r) {
  zeb::write_record(out, "('# match radius',f6.2,' reference pixels; magnitudes of filter 1')", r.radius);
  if (r.has_region)
    zeb::write_record(out, "('# region u',2(1x,f10.2),' v',2(1x,f10.2))", r.region.umin, r.region.umax, r.region.vmin,
                      r.region.vmax);
  out << "#  mag1 from-to   truth  found  compl  nphot1 dm1_med  dm1_sig  nphot2 dm2_med  dm2_sig"
         "  dpos_rms  du_mean  dv_mean\n";
  for (const MagnitudeBin& b : r.bins) write_bin_row(out, b);
  out << "# all\n";
  write_bin_row(out, r.all);
  zeb::write_record(out, "('truth ',i7,'  catalogue ',i7,'  matched ',i7,'  unmatched ',i7,'  completeness ',f6.3)",
                    r.truth, r.catalogue, r.matched, r.unmatched,
                    r.truth > 0 ? static_cast<double>(r.matched) / r.truth : 0.0);
}

}  // namespace zebsim
