// zeb-campaign plan: the shard directories, parallel.txt and slurm.sh.
//
// Shard k of n runs the mode-A parameter file unchanged except for one line,
// "ARTSHARD k n", put right after the MODE line: zeb then measures and
// reports the k-th of n consecutive ranges of its artificial-star passes and
// only injects the stars of the passes before them (see zeb's tile loop).
// The shard runs in its own directory, where zeb writes its files; every
// entry of the run directory is linked there, so the parameter file's
// relative paths find the same inputs.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "campaign.h"
#include "core/text.h"
#include "setup/param_parse.h"

namespace zebcampaign {

namespace {

// Names zeb writes into its working directory in mode A: logs, diagnostic
// images and the AUX/ directory. They are never linked into a shard, so a
// shard's zeb cannot write through a link into the run directory.
bool written_by_zeb(const std::string& name) {
  for (const char* prefix : {"LOGK.", "LOGA.", "LOGR.", "LOGL."})
    if (zeb::starts_with(name, prefix)) return true;
  if (name == "AUX") return true;
  return name.size() == 13 && zeb::starts_with(name, "stack") && name.substr(6) == "_t.fits";
}

// The fields zeb would read from each line (comments, skipped blocks and
// everything after END left out), as its tokenizer splits them.
std::vector<std::vector<std::string>> read_fields(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // the MODE line
  zeb::ParamLineWalker walker;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const zeb::ParamLineWalker::Kind kind = walker.next(line);
    if (kind == zeb::ParamLineWalker::Kind::End) break;
    if (kind == zeb::ParamLineWalker::Kind::Ignored) continue;
    try {
      lines.push_back(zeb::parse(line).fields);
    } catch (...) {
      // zeb itself reports a line it cannot read, naming it.
    }
  }
  return lines;
}

// Refuses a parameter file whose shards could not run as the single run does.
void check_params(const fs::path& params, const std::string& text) {
  if (!zeb::starts_with(text, "MODE=A"))
    throw CampaignError(params.string() + ": its first line is \"" + text.substr(0, text.find('\n')) +
                        "\"; a campaign splits the artificial-star passes of a MODE=A run");
  for (const auto& fields : read_fields(text)) {
    for (const std::string& f : fields) {
      if (zeb::starts_with(f, "ARTSHARD"))
        throw CampaignError(params.string() + " already names a part of a run (ARTSHARD); give the whole run");
      if (f == ".." || zeb::starts_with(f, "../"))
        throw CampaignError(params.string() + ": the path " + f +
                            " leaves the run directory, which the shards cannot follow; use an absolute path");
    }
  }
}

fs::path find_zeb(const std::string& given) {
  if (!given.empty()) {
    if (access(given.c_str(), X_OK) != 0) throw CampaignError("--zeb " + given + ": not an executable program");
    return fs::canonical(given);
  }
  const fs::path beside = self_path().parent_path() / "zeb";
  if (access(beside.c_str(), X_OK) == 0) return beside;
  if (const char* path = std::getenv("PATH")) {
    std::istringstream dirs(path);
    std::string d;
    while (std::getline(dirs, d, ':'))
      if (!d.empty() && access((fs::path(d) / "zeb").c_str(), X_OK) == 0) return fs::canonical(fs::path(d) / "zeb");
  }
  throw CampaignError("the zeb program is neither beside zeb-campaign nor on the PATH; name it with --zeb");
}

// The shard's parameter file: the MODE line, then "ARTSHARD k n", then the rest.
std::string shard_params(const std::string& text, int k, int n) {
  const std::size_t eol = text.find('\n');
  const std::string head = eol == std::string::npos ? text + "\n" : text.substr(0, eol + 1);
  const std::string rest = eol == std::string::npos ? std::string() : text.substr(eol + 1);
  return head + "ARTSHARD " + std::to_string(k) + " " + std::to_string(n) + "\n" + rest;
}

void make_shard(const Campaign& c, int k, const std::string& text) {
  const fs::path d = shard_dir(c, k);
  fs::create_directories(d);
  write_file_atomic(d / SHARD_PARAMS, shard_params(text, k, c.shards));
  for (const fs::directory_entry& e : fs::directory_iterator(c.rundir)) {
    const std::string name = e.path().filename().string();
    if (written_by_zeb(name) || zeb::starts_with(name, CAMPAIGN_PREFIX)) continue;
    std::error_code same_error;
    if (fs::equivalent(e.path(), c.dir, same_error)) continue;  // the campaign inside the run directory
    fs::create_symlink(e.path(), d / name);
  }
  // zeb writes its diagnostic images into AUX/ when the run directory offers one.
  if (fs::is_directory(c.rundir / "AUX")) fs::create_directory(d / "AUX");
}

std::string parallel_commands(const Campaign& c) {
  std::ostringstream s;
  const std::string self = shell_quote(self_path().string()), dir = shell_quote(c.dir.string());
  for (int k = 1; k <= c.shards; ++k) s << self << " run " << dir << ' ' << k << '\n';
  return s.str();
}

std::string slurm_script(const Campaign& c, const std::string& time, const std::string& mem) {
  std::ostringstream s;
  s << "#!/bin/sh\n"
    << "# Slurm array job of the zeb campaign in " << c.dir.string() << ": task k runs shard k.\n"
    << "#   sbatch " << c.dir.string() << "/slurm.sh\n"
    << "# When every task has ended: zeb-campaign status DIR, then zeb-campaign merge DIR.\n"
    << "# zeb runs as one thread and holds one tile's exposures at a time (well under 1 GB\n"
    << "# for 35 exposures); the time a shard needs grows with its share of the stars.\n"
    << "#SBATCH --job-name=zeb-campaign\n"
    << "#SBATCH --array=1-" << c.shards << '\n'
    << "#SBATCH --ntasks=1\n"
    << "#SBATCH --cpus-per-task=1\n"
    << "#SBATCH --mem=" << mem << '\n'
    << "#SBATCH --time=" << time << '\n';
  // #SBATCH lines cannot quote a path with blanks; Slurm's default log name serves then.
  if (c.dir.string().find_first_of(" \t%") == std::string::npos)
    s << "#SBATCH --output=" << c.dir.string() << "/slurm-%a.out\n";
  s << "exec " << shell_quote(self_path().string()) << " run " << shell_quote(c.dir.string())
    << " \"$SLURM_ARRAY_TASK_ID\"\n";
  return s.str();
}

}  // namespace

int plan_command(const fs::path& params, int shards, const fs::path& dir, const std::string& zeb,
                 const std::string& slurm_time, const std::string& slurm_mem) {
  if (shards < 1 || shards > MAX_SHARDS)
    throw CampaignError("--shards " + std::to_string(shards) + ": give 1 to " + std::to_string(MAX_SHARDS));
  const std::string text = read_file(params);
  check_params(params, text);
  Campaign c;
  c.shards = shards;
  c.zeb = find_zeb(zeb);
  c.rundir = fs::current_path();
  c.params = fs::absolute(params).lexically_normal();
  if (fs::exists(dir) && !(fs::is_directory(dir) && fs::is_empty(dir)))
    throw CampaignError(dir.string() + " exists and is not an empty directory; give a new campaign directory");
  fs::create_directories(dir);
  c.dir = fs::canonical(dir);
  for (int k = 1; k <= shards; ++k) make_shard(c, k, text);
  write_file_atomic(c.dir / "parallel.txt", parallel_commands(c));
  write_file_atomic(c.dir / "slurm.sh", slurm_script(c, slurm_time, slurm_mem));
  fs::permissions(c.dir / "slurm.sh", fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  save_campaign(c);
  std::cout << "planned " << shards << " shard" << (shards == 1 ? "" : "s") << " of " << c.params.string() << " in "
            << c.dir.string() << "\n"
            << "run them on this machine:  parallel < " << c.dir.string() << "/parallel.txt\n"
            << "or on a Slurm cluster:     sbatch " << c.dir.string() << "/slurm.sh\n"
            << "then:                      zeb-campaign status " << c.dir.string() << "\n"
            << "                           zeb-campaign merge " << c.dir.string() << "\n";
  return 0;
}

}  // namespace zebcampaign
