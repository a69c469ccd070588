#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "campaign.h"

namespace zebcampaign {

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw CampaignError(p.string() + ": cannot be read");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file_atomic(const fs::path& p, const std::string& content) {
  const fs::path tmp = p.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) throw CampaignError(tmp.string() + ": cannot be written");
  }
  fs::rename(tmp, p);
}

std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

fs::path self_path() { return fs::canonical("/proc/self/exe"); }

namespace {

const char* const CAMPAIGN_FILE = "campaign.txt";

// "key value" lines; the value runs to the end of the line.
std::map<std::string, std::string> read_keys(const fs::path& p) {
  std::map<std::string, std::string> keys;
  std::istringstream in(read_file(p));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    keys[line.substr(0, blank)] = line.substr(blank + 1);
  }
  return keys;
}

long number_or(const std::map<std::string, std::string>& keys, const std::string& key, long fallback) {
  auto it = keys.find(key);
  if (it == keys.end()) return fallback;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(it->second.c_str(), &end, 10);
  return (errno == 0 && end && *end == '\0' && end != it->second.c_str()) ? v : fallback;
}

// True when process `pid` on this machine is a zeb-campaign shard run.
bool campaign_process_alive(long pid) {
  if (pid <= 0 || pid > INT_MAX || kill(static_cast<pid_t>(pid), 0) != 0) return false;
  std::ifstream cmd("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string args((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
  return args.find("zeb-campaign") != std::string::npos;
}

// The last non-empty line of a file, or "".
std::string last_line(const fs::path& p) {
  std::ifstream in(p);
  std::string line, last;
  while (std::getline(in, line))
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  return last;
}

}  // namespace

Campaign load_campaign(const fs::path& dir) {
  const fs::path file = dir / CAMPAIGN_FILE;
  if (!fs::exists(file))
    throw CampaignError(dir.string() + " is not a campaign directory (no " + CAMPAIGN_FILE +
                        "; make one with zeb-campaign plan)");
  const auto keys = read_keys(file);
  Campaign c;
  c.dir = fs::absolute(dir).lexically_normal();
  c.shards = static_cast<int>(number_or(keys, "shards", 0));
  if (c.shards < 1 || c.shards > MAX_SHARDS) throw CampaignError(file.string() + ": no valid shard count");
  auto path_of = [&](const char* key) {
    auto it = keys.find(key);
    if (it == keys.end() || it->second.empty()) throw CampaignError(file.string() + ": no " + key + " line");
    return fs::path(it->second);
  };
  c.zeb = path_of("zeb");
  c.rundir = path_of("rundir");
  c.params = path_of("params");
  return c;
}

void save_campaign(const Campaign& c) {
  std::ostringstream s;
  s << "# zeb-campaign plan (read by zeb-campaign run, status and merge)\n"
    << "shards " << c.shards << '\n'
    << "zeb " << c.zeb.string() << '\n'
    << "rundir " << c.rundir.string() << '\n'
    << "params " << c.params.string() << '\n';
  write_file_atomic(c.dir / CAMPAIGN_FILE, s.str());
}

fs::path shard_dir(const Campaign& c, int k) {
  char name[16];
  std::snprintf(name, sizeof name, "shard-%03d", k);
  return c.dir / name;
}

std::string shard_name(const Campaign& c, int k) {
  return "shard " + std::to_string(k) + " (" + shard_dir(c, k).string() + ")";
}

ShardStatus shard_status(const Campaign& c, int k) {
  const fs::path d = shard_dir(c, k);
  ShardStatus s;
  if (!fs::exists(d / SHARD_STARTED)) {
    s.detail = "never started";
    return s;
  }
  const auto started = read_keys(d / SHARD_STARTED);
  const std::string host = started.count("host") ? started.at("host") : "?";
  const long pid = number_or(started, "pid", 0);
  const long start = number_or(started, "start", 0);
  if (fs::exists(d / SHARD_EXIT)) {
    const auto ended = read_keys(d / SHARD_EXIT);
    const long seconds = number_or(ended, "seconds", -1);
    const long exit_status = number_or(ended, "exit", -1);
    if (exit_status == 0 && !ended.count("signal")) {
      s.state = ShardState::Finished;
      s.detail = "finished in " + std::to_string(seconds) + " s";
      return s;
    }
    s.state = ShardState::Failed;
    s.detail = ended.count("signal") ? "failed: zeb was killed by signal " + ended.at("signal")
                                     : "failed: zeb ended with status " + std::to_string(exit_status);
    std::string why = last_line(d / SHARD_STDERR);
    if (why.empty()) why = last_line(d / SHARD_STDOUT);
    if (!why.empty()) s.detail += " (\"" + why + "\")";
    return s;
  }
  const long running_for = start > 0 ? static_cast<long>(std::time(nullptr)) - start : -1;
  if (host == host_name()) {
    if (campaign_process_alive(pid)) {
      s.state = ShardState::Running;
      s.detail = "running (pid " + std::to_string(pid) + ", for " + std::to_string(running_for) + " s)";
    } else {
      s.state = ShardState::Interrupted;
      s.detail = "interrupted: started " + std::to_string(running_for) + " s ago, killed before zeb ended";
    }
  } else {
    s.state = ShardState::Elsewhere;
    s.detail = "started on " + host + " " + std::to_string(running_for) +
               " s ago and not ended: still running there, or killed";
  }
  return s;
}

}  // namespace zebcampaign
