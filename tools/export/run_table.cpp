#include "run_table.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "core/text.h"
#include "setup/param_parse.h"

namespace zeb_export {

namespace {

namespace fs = std::filesystem;

// One blank-separated item of a log record. `name` may hold "{F}" (the filter
// suffix) and `description` "{FILTER}" (the filter's name and slot); an empty
// name skips the item. Items such as "L0013" or "Q003/003" carry a `prefix`
// that is dropped and, with `names2`, a second number after a slash.
struct Item {
  std::string name;
  ColumnType type = ColumnType::Real;
  std::string unit;
  std::string description;
  std::string prefix;
  std::string name2, description2;
  bool with_mag = false;  // a flux: its magnitude column comes first
};

// A log: its items before the per-filter groups, and the group written for
// filter slots 1 and 2.
struct Layout {
  std::string suffix;
  std::vector<Item> fixed;
  std::vector<Item> per_filter;
};

constexpr const char* kFlux = "ct";
constexpr const char* kSky = "ct / pix";

Item real(std::string name, std::string unit, std::string description) {
  return {std::move(name), ColumnType::Real, std::move(unit), std::move(description), "", "", "", false};
}
Item integer(std::string name, std::string description, std::string prefix = "") {
  return {std::move(name), ColumnType::Integer, "", std::move(description), std::move(prefix), "", "", false};
}
Item pair(std::string prefix, std::string name, std::string description, std::string name2, std::string description2) {
  Item i = integer(std::move(name), std::move(description), std::move(prefix));
  i.name2 = std::move(name2);
  i.description2 = std::move(description2);
  return i;
}
Item skip() { return {}; }
Item id_item() { return {"id", ColumnType::Text, "", "", "", "", "", false}; }
Item flux(int m, const std::string& what) {
  Item i = real("flux" + std::to_string(m) + "_{F}", kFlux, what + " in {FILTER}, instrumental");
  i.with_mag = true;
  return i;
}

// The per-filter group of XYVIQ1, XYVIQ2 and XYVIQ3 for method m.
std::vector<Item> method_group(int m, const std::string& what) {
  const std::string k = std::to_string(m);
  return {flux(m, what),
          real("flux" + k + "_err_{F}", kFlux, "error of the method-" + k + " flux in {FILTER}"),
          real("q" + k + "_{F}", "",
               "method-" + k + " fit quality in {FILTER}: correlation of the pixels with the PSF (1 best)"),
          real("o" + k + "_{F}", "",
               "method-" + k +
                   " crowding in {FILTER}: flux of other stars in the fitting box over the star's own PSF fraction"),
          integer("nused" + k + "_{F}", "method-" + k + " measurements of {FILTER} exposures used"),
          integer("nkept" + k + "_{F}", "method-" + k + " measurements of {FILTER} exposures kept after rejection")};
}

std::vector<Layout> layouts(char mode) {
  const std::vector<Item> viq_fixed = {skip(), skip(), skip(), id_item()};
  std::vector<Layout> out;
  if (mode == 'A') {
    out.push_back(
        {".INPUT",
         {real("art_u", "pix", "injected star: u in the reference frame"),
          real("art_v", "pix", "injected star: v in the reference frame"),
          real("art_mag", "mag", "injected star: instrumental magnitude of its filter-slot-1 flux"),
          integer("art_it", "tile index IT of the pass"), integer("art_jt", "tile index JT of the pass"),
          integer("art_index", "number of the star among the tile's artificial stars (NARTu)"),
          integer("art_count", "artificial stars of the tile (NARTf)"),
          real("art_x", "", "injected star: u on the tile grid (two steps per pixel)"),
          real("art_y", "", "injected star: v on the tile grid"),
          integer("art_i1", "search window: first tile-grid column"), integer("art_i2", "search window: last column"),
          integer("art_j1", "search window: first tile-grid row"), integer("art_j2", "search window: last row"),
          integer("art_iter", "finding iteration of the strongest finding-map peak at the star (-1: none)"),
          integer("art_p", "P count at that peak (-1: none)"), integer("art_q", "Q count at that peak (-1: none)"),
          integer("art_c", "coverage at that peak (-1: none)"), id_item()},
         {real("art_flux_{F}", kFlux, "injected flux in {FILTER}"),
          real("art_level_{F}", kFlux, "level of the light already under the injected star's core in {FILTER}"),
          real("art_sky_{F}", kSky, "local sky at the injected star in {FILTER}"),
          real("art_sky_rms_{F}", kSky, "scatter of the local sky at the injected star in {FILTER}")}});
  }
  out.push_back({".XYVIQ0",
                 {real("u", "pix", "u in the reference frame (umast0)"),
                  real("v", "pix", "v in the reference frame (vmast0)"), skip(), id_item()},
                 {flux(0, "method-0 flux (fitted position and flux, robust mean over the exposures)"),
                  real("flux0_err_{F}", kFlux, "scatter of the method-0 flux in {FILTER}"),
                  integer("nused0_{F}", "method-0 measurements of {FILTER} exposures used"),
                  integer("nkept0_{F}", "method-0 measurements of {FILTER} exposures kept after rejection")}});
  out.push_back({".XYVIQ1", viq_fixed, method_group(1, "method-1 flux (least-squares PSF fit of position and flux)")});
  out.push_back(
      {".XYVIQ2", viq_fixed, method_group(2, "method-2 flux (PSF-weighted over the fitting box, position fixed)")});
  out.push_back({".XYVIQ3", viq_fixed, method_group(3, "method-3 flux (pixels within 0.75 pixel of the centre)")});
  out.push_back({".XYVIQS",
                 {id_item()},
                 {skip(), real("sky_{F}", kSky, "local sky level around the star in {FILTER}"),
                  real("sky_rms_{F}", kSky, "scatter of the local sky around the star in {FILTER}")}});
  out.push_back(
      {".XYFIND",
       {real("find_u", "pix", "u in the reference frame where the star was found"),
        real("find_v", "pix", "v in the reference frame where the star was found"),
        skip(),
        real("find_x", "", "tile-grid column where the star was found (two steps per pixel)"),
        real("find_y", "", "tile-grid row where the star was found"),
        real("tile_x", "", "tile-grid column of the star when its tile committed it"),
        real("tile_y", "", "tile-grid row of the star when its tile committed it"),
        id_item(),
        integer("local_index", "index of the star in its tile's local list", "L"),
        integer("tile_it", "tile index IT of the tile that committed the star", "IT"),
        integer("tile_jt", "tile index JT of the tile that committed the star", "JT"),
        integer("find_iter", "finding iteration that found the star (0: starting list)", "W"),
        integer("find_crit", "finding criterion: 1 Q, 2 D, 3 P (0: starting list)", "Y"),
        integer("find_cover", "exposures covering the star's position when it was found", "C"),
        pair("Q", "find_q", "Q count (exposures whose peak correlates with the PSF)", "find_qreq", "Q count required"),
        pair("D", "find_d", "D count (exposures with a significant peak at the refined position)", "find_dreq",
             "D count required"),
        pair("P", "find_p", "P count (exposures with a peak there)", "find_preq", "P count required"),
        real("local_flux", kFlux, "local flux in the filter-slot-1 stack at the discovery position"),
        real("local_mask", "", "bright-star mask level of the filter-slot-1 stack at the star"),
        real("bright_u", "pix", "u of the nearest bright star (0: none)"),
        real("bright_v", "pix", "v of the nearest bright star (0: none)"),
        real("bright_flux", kFlux, "filter-slot-1 flux of the nearest bright star (0: none)")},
       {}});
  return out;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

bool all_stars(const std::string& t) { return !t.empty() && t.find_first_not_of('*') == std::string::npos; }

// The number a log item holds, as text; empty for a field the log could only
// fill with asterisks.
std::string checked_number(const std::string& token, ColumnType type, const std::string& where) {
  if (all_stars(token)) return std::string();
  const char* b = token.c_str();
  char* end = nullptr;
  errno = 0;
  if (type == ColumnType::Integer) {
    const long v = std::strtol(b, &end, 10);
    if (end != b && *end == '\0' && errno == 0 && v >= -2147483647L && v <= 2147483647L) return std::to_string(v);
  } else {
    const double v = std::strtod(b, &end);
    if (end != b && *end == '\0' && std::isfinite(v)) return token;
  }
  throw ExportError(where + ": \"" + token + "\" is not " + (type == ColumnType::Integer ? "an integer" : "a number"));
}

std::vector<std::string> split_blanks(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

// One log read: per record, its identifier and the texts of its columns.
struct Record {
  std::string key;  // identifier and its occurrence, so a repeated identifier pairs up in order
  std::vector<std::pair<std::string, std::string>> cells;
};

struct ColumnSpec {
  Column column;
  std::string flux_of;  // a magnitude column: the flux column it is computed from
};

class Reader {
 public:
  Reader(const std::string& dir, char mode, const RunSettings& settings) : dir_(dir), mode_(mode), settings_(settings) {
    for (int f = 0; f < 2; ++f) suffix_[f] = filter_suffix(f);
  }

  std::vector<Record> read(const Layout& layout, std::vector<ColumnSpec>& specs) {
    declare(layout, specs);
    const std::string name = std::string("LOG") + mode_ + layout.suffix;
    const std::string path = (fs::path(dir_) / name).string();
    std::ifstream in(path);
    if (!in) throw ExportError(name + ": cannot be opened in " + dir_);
    const std::size_t ntok = layout.fixed.size() + 2 * layout.per_filter.size();
    std::vector<Record> records;
    std::map<std::string, int> seen;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      const std::vector<std::string> tok = split_blanks(line);
      const std::string where = name + " line " + std::to_string(n);
      if (tok.empty()) continue;
      if (tok.size() != ntok)
        throw ExportError(where + ": " + std::to_string(tok.size()) + " items where the log has " +
                          std::to_string(ntok));
      Record r;
      for (std::size_t k = 0; k < ntok; ++k) {
        const bool grouped = k >= layout.fixed.size();
        const std::size_t g = grouped ? (k - layout.fixed.size()) % layout.per_filter.size() : k;
        const int f = grouped ? static_cast<int>((k - layout.fixed.size()) / layout.per_filter.size()) : 0;
        const Item& item = grouped ? layout.per_filter[g] : layout.fixed[g];
        const std::string where_k = where + ", item " + std::to_string(k + 1);
        if (item.name == "id") {
          const std::string& id = tok[k];
          if (id.size() != 8 || id[0] != mode_)
            throw ExportError(where_k + ": \"" + id + "\" is no identifier of this run");
          r.key = id + "#" + std::to_string(seen[id]++);
          continue;
        }
        if (item.name.empty()) continue;
        std::string t = tok[k];
        if (!item.prefix.empty()) {
          if (t.rfind(item.prefix, 0) != 0)
            throw ExportError(where_k + ": \"" + t + "\" does not begin with " + item.prefix);
          t = t.substr(item.prefix.size());
        }
        const std::string col = column_name(item.name, f);
        if (!item.name2.empty()) {
          const std::size_t slash = t.find('/');
          if (slash == std::string::npos) throw ExportError(where_k + ": \"" + tok[k] + "\" has no slash");
          r.cells.emplace_back(col, checked_number(t.substr(0, slash), item.type, where_k));
          r.cells.emplace_back(item.name2, checked_number(t.substr(slash + 1), item.type, where_k));
        } else {
          r.cells.emplace_back(col, checked_number(t, item.type, where_k));
        }
      }
      records.push_back(std::move(r));
    }
    if (in.bad()) throw ExportError(name + ": read error");
    files_.push_back(name);
    return records;
  }

  const std::vector<std::string>& files() const { return files_; }
  const std::string& suffix(int f) const { return suffix_[f]; }

 private:
  // Filter names become column suffixes when they are distinct names of
  // letters, digits and underscores; otherwise the slots are named f1 and f2.
  std::string filter_suffix(int f) const {
    auto usable = [](const std::string& s) {
      return !s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") ==
                               std::string::npos;
    };
    const std::string& a = settings_.filter[0];
    const std::string& b = settings_.filter[1];
    if (usable(a) && usable(b) && a != b) return settings_.filter[f];
    return "f" + std::to_string(f + 1);
  }

  std::string column_name(const std::string& name, int f) const { return replace_all(name, "{F}", suffix_[f]); }

  std::string filter_words(int f) const {
    const std::string slot = "filter slot " + std::to_string(f + 1);
    return settings_.filter[f].empty() ? slot : settings_.filter[f] + " (" + slot + ")";
  }

  static void add(std::vector<ColumnSpec>& specs, Column c, const std::string& flux_of = std::string()) {
    specs.push_back({std::move(c), flux_of});
  }

  void declare(const Layout& layout, std::vector<ColumnSpec>& specs) {
    auto declare_item = [&](const Item& item, int f) {
      if (item.name.empty()) return;
      const std::string name = column_name(item.name, f);
      const std::string description = replace_all(item.description, "{FILTER}", filter_words(f));
      if (item.name == "id") return;  // the first column, declared once
      if (item.with_mag) {
        const std::string m = "mag" + name.substr(4, name.find('_') - 4) + "_" + suffix_[f];
        add(specs,
            {m,
             "mag",
             "instrumental magnitude -2.5 log10(" + name + "); empty when the flux is not positive",
             ColumnType::Real,
             {}},
            name);
      }
      add(specs, {name, item.unit, description, item.type, {}});
      if (!item.name2.empty()) add(specs, {item.name2, item.unit, item.description2, item.type, {}});
    };
    for (const Item& item : layout.fixed) declare_item(item, 0);
    for (int f = 0; f < 2; ++f)
      for (const Item& item : layout.per_filter) declare_item(item, f);
  }

  std::string dir_;
  char mode_;
  RunSettings settings_;
  std::string suffix_[2];
  std::vector<std::string> files_;
};

std::string magnitude_of(const std::string& flux) {
  if (flux.empty()) return std::string();
  const double z = std::strtod(flux.c_str(), nullptr);
  if (!(z > 0.0)) return std::string();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", -2.5 * std::log10(z));
  return buf;
}

// Number of fields a parameter-file keyword takes after itself (1 unless listed).
int values_after(const std::string& field) {
  static const std::pair<const char*, int> counts[] = {
      {"LOGNIMFO", 0}, {"LOGFINFO", 0}, {"VERBOSE", 0}, {"MOSAIC_X", 0}, {"SHOW_TILE", 0}, {"IJTLIM", 4},
      {"UVLIM", 4},    {"ADDBRITE", 4}, {"ADDART", 4},  {"ULIM", 2},     {"VLIM", 2},      {"NITLIM", 2},
      {"NITFND", 2},   {"PREMAG", 3},   {"PREFLX", 3},  {"BRITE", 3}};
  for (const auto& [key, n] : counts)
    if (zeb::starts_with(field, key)) return n;
  return 1;
}

}  // namespace

RunSettings read_settings(const std::string& echo_file) {
  std::ifstream in(echo_file);
  if (!in) throw ExportError(echo_file + ": cannot be opened (the run's echo of its parameter file)");
  RunSettings s;
  std::vector<std::string> names[2];
  int slot = 0;
  std::string filter;
  zeb::ParamLineWalker walker;
  std::string raw;
  // Each echoed line is "ZEB_SETUP LINEnnn   " followed by the line as read.
  for (int n = 1; std::getline(in, raw); ++n) {
    if (n == 1) continue;  // the MODE line
    std::string line = raw.size() > 20 ? raw.substr(20) : std::string();
    const zeb::ParamLineWalker::Kind kind = walker.next(line);
    if (kind == zeb::ParamLineWalker::Kind::End) break;
    if (kind == zeb::ParamLineWalker::Kind::Ignored) continue;
    if (zeb::starts_with(line, "ONEOFF") || zeb::starts_with(line, "NIT0")) continue;
    const zeb::ParamLine p = zeb::parse(line);
    const bool slot_line = p.count() > 0 && std::isdigit(static_cast<unsigned char>(p.field(1)[0]));
    int slot_of_line = 0;
    std::string filter_of_line;
    for (int k = slot_line ? 2 : 1; k <= p.count();) {
      // A slot takes the settings current before each of its fields.
      slot_of_line = slot;
      filter_of_line = filter;
      const std::string f = p.field(k);
      if (zeb::starts_with(f, "END")) break;
      if (zeb::starts_with(f, "F_SLOT")) slot = std::atoi(p.field(k + 1).c_str());
      if (zeb::starts_with(f, "FILTER")) filter = p.field(k + 1).substr(0, 5);
      if (zeb::starts_with(f, "EXPFLT") && (slot == 1 || slot == 2)) s.expflt[slot - 1] = zeb::trim(p.field(k + 1));
      if (zeb::starts_with(f, "LABEL7")) s.label = zeb::rtrim(p.field(k + 1).substr(0, 7));
      k += 1 + values_after(f);
    }
    if (slot_line && (slot_of_line == 1 || slot_of_line == 2)) {
      std::vector<std::string>& v = names[slot_of_line - 1];
      const std::string name = zeb::trim(filter_of_line);
      if (!name.empty() && std::find(v.begin(), v.end(), name) == v.end()) v.push_back(name);
    }
    if (p.count() > 0 && zeb::starts_with(p.field(1), "END")) break;
  }
  for (int f = 0; f < 2; ++f)
    for (const std::string& name : names[f]) s.filter[f] += (s.filter[f].empty() ? "" : "/") + name;
  return s;
}

char find_mode(const std::string& dir, char mode) {
  if (mode != 0) return mode;
  std::string found;
  for (char m : {'R', 'D', 'A', 'C'}) {
    std::error_code ec;
    if (fs::exists(fs::path(dir) / (std::string("LOG") + m + ".XYVIQ0"), ec)) found += m;
  }
  if (found.empty()) throw ExportError(dir + " holds no catalogue of a run (no LOGR.XYVIQ0, LOGD, LOGA or LOGC)");
  if (found.size() > 1)
    throw ExportError(dir + " holds the catalogues of runs in modes " + found + "; choose one with --mode");
  return found[0];
}

Table read_run(const std::string& dir, char mode, const std::string& creator) {
  const RunSettings settings = read_settings((fs::path(dir) / "LOGK.INPUT_FILE").string());
  Reader reader(dir, mode, settings);
  std::vector<ColumnSpec> specs = {{{"id",
                                     "",
                                     "identifier: the run's mode letter and seven digits (master index; in mode A "
                                     "the artificial star's number)",
                                     ColumnType::Text,
                                     {}},
                                    ""}};
  std::vector<std::vector<Record>> logs;
  for (const Layout& layout : layouts(mode)) logs.push_back(reader.read(layout, specs));

  // Rows: the records of the first log (".INPUT" in mode A, else XYVIQ0), in order.
  std::map<std::string, std::size_t> row_of;
  for (const Record& r : logs.front()) row_of.emplace(r.key, row_of.size());
  std::map<std::string, std::size_t> col_of;
  for (std::size_t c = 0; c < specs.size(); ++c) {
    specs[c].column.cells.assign(row_of.size(), std::string());
    col_of[specs[c].column.name] = c;
  }
  for (std::size_t l = 0; l < logs.size(); ++l) {
    for (const Record& r : logs[l]) {
      const auto row = row_of.find(r.key);
      if (row == row_of.end())
        throw ExportError(reader.files()[l] + ": star " + r.key.substr(0, 8) + " is not in " + reader.files().front());
      for (const auto& [name, text] : r.cells) specs[col_of.at(name)].column.cells[row->second] = text;
    }
  }
  for (const auto& [key, row] : row_of) specs[col_of.at("id")].column.cells[row] = key.substr(0, 8);
  for (ColumnSpec& s : specs)
    if (!s.flux_of.empty()) {
      const Column& flux = specs[col_of.at(s.flux_of)].column;
      for (std::size_t k = 0; k < flux.cells.size(); ++k) s.column.cells[k] = magnitude_of(flux.cells[k]);
    }

  Table t;
  t.meta.emplace_back("mode", std::string(1, mode));
  for (int f = 0; f < 2; ++f) {
    const std::string k = std::to_string(f + 1);
    t.meta.emplace_back("filter" + k, settings.filter[f]);
    t.meta.emplace_back("suffix" + k, reader.suffix(f));
    t.meta.emplace_back("expflt" + k, settings.expflt[f]);
  }
  if (!settings.label.empty()) t.meta.emplace_back("label", settings.label);
  std::string files;
  for (const std::string& f : reader.files()) files += (files.empty() ? "" : " ") + f;
  t.meta.emplace_back("logs", files);
  t.meta.emplace_back("creator", creator);
  for (ColumnSpec& s : specs) t.columns.push_back(std::move(s.column));
  return t;
}

}  // namespace zeb_export
