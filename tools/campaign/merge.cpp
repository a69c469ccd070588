// zeb-campaign status and merge.
//
// Merging rests on what a mode-A run writes:
// - set-up logs and hash images, written before the first tile, the same in
//   every shard; the parameter-file echo differs only by the ARTSHARD line;
// - per-pass logs (LOGK.SETUP, LOGA.INPUT, LOGA.XYVIQ0..3, ...), a header and
//   then the records of each pass in pass order. A shard writes the records of
//   its own consecutive range of passes, so the merged log is the header
//   followed by the shards' records in shard order;
// - files each tile, pass or iteration rewrites (LOGL.LOCAL_ART, the
//   stack?_t.fits maps, the AUX/ diagnostics): the whole run leaves the last
//   writer's, which is the last shard that wrote one; the one AUX/ file that
//   keeps the run's first pass comes from the first shard that wrote it.
// Any other file must be the same in every shard. Before anything is written
// the LOGA.INPUT records (one per pass) are checked: every shard measured
// exactly the passes of its announced range, and together they run through
// the tiles and stars in the run's order.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "campaign.h"
#include "core/fortran_format.h"
#include "core/text.h"
#include "output/catalogue_logs.h"

namespace zebcampaign {

namespace {

// The logs that receive records pass by pass, with the suffix that names their header.
const std::map<std::string, std::string>& pass_logs() {
  static const std::map<std::string, std::string> logs = {
      {"LOGK.SETUP", ""},
      {"LOGA.INPUT", ".INPUT"},
      {"LOGA.XYFIND", ".XYFIND"},
      {"LOGA.XYVIQ0", ".XYVIQ0"},
      {"LOGA.XYVIQ1", ".XYVIQ1"},
      {"LOGA.XYVIQ2", ".XYVIQ2"},
      {"LOGA.XYVIQ3", ".XYVIQ3"},
      {"LOGA.XYVIQS", ".XYVIQS"},
      {"LOGA.FIND_AVG_Z0_F", ".FIND_AVG_Z0_F"},
      {"LOGA.FIND_AVG_Z2_F", ".FIND_AVG_Z2_F"},
      {"LOGA.FIND_AVG_UV1_F", ".FIND_AVG_UV1_F"},
      {"LOGA.FIND_NIMFO", ".FIND_NIMFO"},
  };
  return logs;
}

// Files each tile, pass or finding iteration rewrites: the run leaves the
// last one, which the last shard that wrote it holds. The diagnostic files of
// AUX/ are all of this kind but one, which collects the circles of the run's
// first pass only, as the first shard that wrote it holds them.
const char* const FIRST_PASS_REGIONS = "AUX/SHOW_TILE_LOG.FIND_NIT09.reg";

bool rewritten_per_tile_or_pass(const std::string& name) {
  static const std::set<std::string> names = {"LOGL.LOCAL_ART", "stackp_t.fits", "stackq_t.fits",
                                              "stackd_t.fits",  "stackc_t.fits", "stacky_t.fits"};
  return names.count(name) != 0 || (zeb::starts_with(name, "AUX/") && name != FIRST_PASS_REGIONS);
}

const char* const ECHO = "LOGK.INPUT_FILE";
const char* const RUN_MARKER = "ZEB.STATUS";

// The value of a "key: value" line of a run marker, or "" when it has none.
std::string marker_value(const std::string& marker, const std::string& key) {
  std::istringstream in(marker);
  for (std::string line; std::getline(in, line);)
    if (zeb::starts_with(line, key + ": ")) return line.substr(key.size() + 2);
  return "";
}

// The completion record of the merged run: every shard's zeb must have
// finished; the tiles worked on and the times are the shards' sums, the rest
// (parameter file, stars) is what every shard reports.
std::string merged_run_marker(const std::vector<std::string>& markers, const std::vector<std::string>& shard_names) {
  long tiles = 0;
  double wall = 0, checkpoint = 0;
  for (std::size_t k = 0; k < markers.size(); ++k) {
    if (!zeb::starts_with(markers[k], "FINISHED\n"))
      throw CampaignError(shard_names[k] + ": its " + RUN_MARKER + " does not record a finished run");
    tiles += std::atol(marker_value(markers[k], "tiles").c_str());
    wall += std::atof(marker_value(markers[k], "wall time").c_str());
    checkpoint += std::atof(marker_value(markers[k], "checkpoint time").c_str());
  }
  char times[96];
  std::snprintf(times, sizeof times, "wall time: %.1f s\ncheckpoint time: %.2f s\n", wall, checkpoint);
  return "FINISHED\nparameter file: " + marker_value(markers[0], "parameter file") + "\ntiles: " +
         std::to_string(tiles) + "\nstars: " + marker_value(markers[0], "stars") + "\n" + times;
}

// The range of passes a shard's zeb announced:
// "ARTSHARD   k OF   n: PASSES  first TO   last OF  total".
struct PassRange {
  long k = 0, n = 0, first = 0, last = 0, total = 0;
};

PassRange announced_range(const Campaign& c, int k) {
  std::ifstream out(shard_dir(c, k) / SHARD_STDOUT);
  std::string line;
  while (std::getline(out, line)) {
    PassRange r;
    if (std::sscanf(line.c_str(), "ARTSHARD%ld OF%ld: PASSES%ld TO%ld OF%ld", &r.k, &r.n, &r.first, &r.last,
                    &r.total) == 5) {
      if (r.k != k || r.n != c.shards)
        throw CampaignError(shard_name(c, k) + " ran part " + std::to_string(r.k) + " of " + std::to_string(r.n) +
                            ", not " + std::to_string(k) + " of " + std::to_string(c.shards));
      return r;
    }
  }
  throw CampaignError(shard_name(c, k) + ": its zeb output (" + SHARD_STDOUT + ") does not name its passes");
}

// The files a shard's zeb wrote, by path relative to the shard directory:
// links to the inputs and the campaign's own files left out.
std::set<std::string> shard_outputs(const fs::path& d) {
  std::set<std::string> names;
  for (auto it = fs::recursive_directory_iterator(d); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_symlink()) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) continue;
    const std::string rel = fs::relative(it->path(), d).generic_string();
    if (zeb::starts_with(it->path().filename().string(), CAMPAIGN_PREFIX)) continue;
    names.insert(rel);
  }
  return names;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t eol = text.find('\n', at);
    const std::size_t end = eol == std::string::npos ? text.size() : eol + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

// The single run's parameter-file echo from a shard's: the ARTSHARD line
// (line 2) left out and the lines after it numbered one lower.
std::string echo_of_single_run(const Campaign& c, int k, const std::string& echo) {
  const std::string format = "('ZEB_SETUP LINE',i3.3,3x,a200)";
  std::vector<std::string> lines = split_lines(echo);
  const std::string expected =
      zeb::fortran_record(format, 2, zeb::pad("ARTSHARD " + std::to_string(k) + " " + std::to_string(c.shards), 200));
  auto text_of = [](std::string line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return zeb::rtrim(line);
  };
  if (lines.size() < 2 || text_of(lines[1]) != zeb::rtrim(expected))
    throw CampaignError(shard_name(c, k) + ": " + ECHO + " does not show its ARTSHARD line as line 2");
  std::string out = lines[0];
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (!zeb::starts_with(line, "ZEB_SETUP LINE") || line.size() < 17)
      throw CampaignError(shard_name(c, k) + ": " + ECHO + " line " + std::to_string(i + 1) + " is not an echo");
    line.replace(14, 3, zeb::fortran_record("(i3.3)", static_cast<int>(i)));
    out += line;
  }
  return out;
}

// Tile and artificial star of a LOGA.INPUT record (IT, JT in columns 35-41,
// the identifier "A" and seven digits in columns 112-119).
struct PassKey {
  int jt = 0, it = 0, id = 0;
  auto operator<=>(const PassKey&) const = default;
};

PassKey pass_key(const std::string& record, const std::string& where) {
  PassKey key;
  char letter = 0;
  if (record.size() < 119 || std::sscanf(record.substr(34, 7).c_str(), "%3d %3d", &key.it, &key.jt) != 2 ||
      std::sscanf(record.substr(111, 8).c_str(), "%c%7d", &letter, &key.id) != 2 || letter != 'A')
    throw CampaignError(where + ": not a pass record: " + zeb::rtrim(record));
  return key;
}

// True when the file begins with `header`.
bool begins_with(const fs::path& file, const std::string& header) {
  std::ifstream in(file, std::ios::binary);
  std::string head(header.size(), '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  return in.gcount() == static_cast<std::streamsize>(header.size()) && head == header;
}

// Checks the passes the shards measured (their LOGA.INPUT records after the
// header) against their announced ranges and the run's order; returns the
// number of passes.
long check_passes(const Campaign& c, const std::vector<PassRange>& ranges, std::size_t header) {
  std::vector<long> counts;
  long total = 0;
  PassKey previous;
  std::string previous_where = "the start";
  for (int k = 1; k <= c.shards; ++k) {
    const std::string where = shard_name(c, k) + " LOGA.INPUT";
    std::ifstream in(shard_dir(c, k) / "LOGA.INPUT", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(header));
    long count = 0;
    for (std::string r; std::getline(in, r); ++count) {
      const PassKey key = pass_key(r, where);
      if (!(previous < key))
        throw CampaignError(where + ": the pass of artificial star " + std::to_string(key.id) + " in tile " +
                            std::to_string(key.it) + "," + std::to_string(key.jt) + " does not follow " +
                            previous_where + " in the run's order");
      previous = key;
      previous_where = "that of star " + std::to_string(key.id);
    }
    counts.push_back(count);
    total += count;
  }
  for (int k = 1; k <= c.shards; ++k) {
    const PassRange& r = ranges[static_cast<std::size_t>(k - 1)];
    const long upto = k < c.shards ? std::min(r.last, total) : total;
    const long expected = std::max(0L, upto - r.first + 1);
    if (counts[static_cast<std::size_t>(k - 1)] != expected)
      throw CampaignError(shard_name(c, k) + " measured " + std::to_string(counts[static_cast<std::size_t>(k - 1)]) +
                          " passes; its range " + std::to_string(r.first) + " to " + std::to_string(r.last) +
                          " of the campaign's " + std::to_string(total) + " calls for " + std::to_string(expected));
  }
  return total;
}

// A merged file: its whole text, or a log's header followed by the records of
// the shards' logs (copied from the files when written, as they can be large).
struct MergedFile {
  std::string text;
  std::vector<fs::path> bodies;
};

void write_merged(const fs::path& path, const MergedFile& m) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << m.text;
  for (const fs::path& body : m.bodies) {
    if (fs::file_size(body) <= m.text.size()) continue;  // the header alone
    std::ifstream in(body, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m.text.size()));
    out << in.rdbuf();
  }
  out.flush();
  if (!out) throw CampaignError(path.string() + ": cannot be written");
}

}  // namespace

int status_command(const fs::path& dir) {
  const Campaign c = load_campaign(dir);
  std::map<ShardState, int> tally;
  for (int k = 1; k <= c.shards; ++k) {
    const ShardStatus s = shard_status(c, k);
    ++tally[s.state];
    char label[32];
    std::snprintf(label, sizeof label, "shard %3d: ", k);
    std::cout << label << s.detail << '\n';
  }
  const int finished = tally[ShardState::Finished];
  std::cout << c.dir.string() << ": " << finished << " of " << c.shards << " shards finished";
  if (tally[ShardState::Running]) std::cout << ", " << tally[ShardState::Running] << " running";
  if (tally[ShardState::Elsewhere])
    std::cout << ", " << tally[ShardState::Elsewhere] << " started on other machines and not ended";
  if (tally[ShardState::Interrupted]) std::cout << ", " << tally[ShardState::Interrupted] << " interrupted";
  if (tally[ShardState::Failed]) std::cout << ", " << tally[ShardState::Failed] << " failed";
  if (tally[ShardState::NeverStarted]) std::cout << ", " << tally[ShardState::NeverStarted] << " never started";
  std::cout << '\n';
  return finished == c.shards ? 0 : 1;
}

int merge_command(const fs::path& dir) {
  const Campaign c = load_campaign(dir);
  std::string unfinished;
  for (int k = 1; k <= c.shards; ++k) {
    const ShardStatus s = shard_status(c, k);
    if (s.state != ShardState::Finished)
      unfinished += "\n  " + shard_name(c, k) + ": " + s.detail + "; rerun it with: zeb-campaign run " +
                    shell_quote(c.dir.string()) + " " + std::to_string(k);
  }
  if (!unfinished.empty()) throw CampaignError("cannot merge: not every shard has finished" + unfinished);

  std::vector<PassRange> ranges;
  std::vector<std::set<std::string>> outputs;
  std::set<std::string> names;
  for (int k = 1; k <= c.shards; ++k) {
    ranges.push_back(announced_range(c, k));
    const PassRange& r = ranges.back();
    const PassRange& first = ranges.front();
    if (r.total != first.total || r.first != (k == 1 ? 1 : ranges[static_cast<std::size_t>(k - 2)].last + 1))
      throw CampaignError(shard_name(c, k) + ": its passes " + std::to_string(r.first) + " to " +
                          std::to_string(r.last) + " of " + std::to_string(r.total) +
                          " do not continue those of the shard before it");
    outputs.push_back(shard_outputs(shard_dir(c, k)));
    names.insert(outputs.back().begin(), outputs.back().end());
  }

  auto content = [&](int k, const std::string& name) { return read_file(shard_dir(c, k) / name); };
  auto require_everywhere = [&](const std::string& name) {
    for (int k = 1; k <= c.shards; ++k)
      if (!outputs[static_cast<std::size_t>(k - 1)].count(name))
        throw CampaignError(shard_name(c, k) + " has no " + name + ", which the other shards wrote");
  };

  std::map<std::string, MergedFile> merged;
  long passes = -1;
  for (const std::string& name : names) {
    MergedFile& m = merged[name];
    if (name == ECHO) {
      require_everywhere(name);
      m.text = echo_of_single_run(c, 1, content(1, name));
      for (int k = 2; k <= c.shards; ++k)
        if (echo_of_single_run(c, k, content(k, name)) != m.text)
          throw CampaignError(shard_name(c, k) + " did not read the same parameter file as shard 1 (" + ECHO + ")");
    } else if (name == RUN_MARKER) {
      require_everywhere(name);
      std::vector<std::string> markers, shard_names;
      for (int k = 1; k <= c.shards; ++k) {
        markers.push_back(content(k, name));
        shard_names.push_back(shard_name(c, k));
      }
      m.text = merged_run_marker(markers, shard_names);
    } else if (pass_logs().count(name)) {
      require_everywhere(name);
      m.text = zeb::log_header(pass_logs().at(name));
      for (int k = 1; k <= c.shards; ++k) {
        m.bodies.push_back(shard_dir(c, k) / name);
        if (!begins_with(m.bodies.back(), m.text))
          throw CampaignError(shard_name(c, k) + ": " + name + " does not begin with its header");
      }
      if (name == "LOGA.INPUT") passes = check_passes(c, ranges, m.text.size());
    } else if (rewritten_per_tile_or_pass(name)) {
      for (int k = c.shards; k >= 1; --k)
        if (outputs[static_cast<std::size_t>(k - 1)].count(name)) {
          m.text = content(k, name);
          break;
        }
    } else if (name == FIRST_PASS_REGIONS) {
      for (int k = 1; k <= c.shards; ++k)
        if (outputs[static_cast<std::size_t>(k - 1)].count(name)) {
          m.text = content(k, name);
          break;
        }
    } else {
      require_everywhere(name);
      m.text = content(1, name);
      for (int k = 2; k <= c.shards; ++k)
        if (content(k, name) != m.text)
          throw CampaignError(name + " differs between shard 1 and " + shard_name(c, k) +
                              ": the shards did not run on the same input");
    }
  }
  if (passes < 0) throw CampaignError("the shards wrote no LOGA.INPUT: they were not mode-A runs of zeb");

  // Written beside the old result and swapped in, so a failed merge leaves the
  // earlier one whole.
  const fs::path out = c.dir / "merged", tmp = c.dir / "merged.tmp";
  fs::remove_all(tmp);
  for (const auto& [name, m] : merged) write_merged(tmp / name, m);
  fs::remove_all(out);
  fs::rename(tmp, out);
  std::cout << "merged " << c.shards << " shard" << (c.shards == 1 ? "" : "s") << " (" << passes
            << " artificial-star passes) into " << out.string() << ": " << merged.size() << " files\n";
  return 0;
}

}  // namespace zebcampaign
