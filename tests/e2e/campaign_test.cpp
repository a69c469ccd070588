// A mode-A campaign split into shards, run under GNU parallel and merged: the
// merged files are those of one plain run of the same parameter file. A shard
// killed mid-run is named by status and merge, and rerunning it alone
// completes the campaign.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "field_files.h"
#include "support/test_support.h"

extern char** environ;

namespace zebsim {
namespace {

namespace fs = std::filesystem;
using namespace zeb::test;

const std::string kCampaign = binary_path("tools/campaign/zeb-campaign");

// 64 artificial stars spread over both tiles of the e2e-ir field (u 16..256,
// v 16..136), magnitudes -13 to -7; every fourth lies on a starting star, so
// that the star reported for it is that loaded starting star.
std::string artificial_stars() {
  std::vector<std::pair<double, double>> start;
  std::istringstream list(read_file(kStartFile));
  for (std::string line; std::getline(list, line);) {
    double u = 0, v = 0;
    if (line[0] != '#' && std::istringstream(line) >> u >> v) start.emplace_back(u, v);
  }
  std::ostringstream s;
  s << "# u v mag1 mag2\n";
  for (std::size_t i = 0; i < 64; ++i) {
    double u = 20.0 + std::fmod(i * 37.31, 232.0), v = 20.0 + std::fmod(i * 17.93, 112.0);
    if (i % 4 == 0) std::tie(u, v) = start.at(i / 4 % start.size());
    s << u + 0.3 << ' ' << v - 0.2 << ' ' << -13.0 + 0.095 * i << ' ' << -12.7 + 0.095 * i << '\n';
  }
  return s.str();
}

// The e2e-ir field with its starting list in mode A: the artificial stars'
// identifiers 1..16 are also those of starting stars, so a pass that altered
// the master list under its identifier would change what later passes load,
// and a starting star loaded into a slot an earlier pass used would show that
// pass's finding records. Every log is on, the files rewritten per tile or
// pass (LOGL.LOCAL_ART, stack?_t.fits) included.
void write_mode_a_field() {
  FieldDesign d = field_preset("e2e-ir");
  d.with_start_list = true;
  write_field(d, ".");
  write_file("art.txt", artificial_stars());
  std::string p = read_file(kParamFile);
  p.replace(p.find("MODE=R"), 6, "MODE=A");
  p.replace(p.find("NITLIM 1 2"), 10, "NITLIM 1 1\nLOGFINFO+ LOGNIMFO+ VERBOSE+");
  p.replace(p.find("END\n"), 4, "ARTMAG art.txt\nEND\n");
  write_file(kParamFile, p);
}

Captured campaign(const std::vector<std::string>& args) { return run_program(kCampaign, args); }

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// `merged` holds exactly the files the single run wrote, each the same but
// the run marker, which records a finished run with the shards' summed times.
void expect_same_as_single_run(const std::set<std::string>& outputs, const fs::path& merged) {
  EXPECT_EQ(names_in(merged), outputs);
  for (const std::string& name : outputs) {
    if (name == "ZEB.STATUS") {
      EXPECT_EQ(read_file((merged / name).string()).rfind("FINISHED\nparameter file: ", 0), 0u);
      continue;
    }
    EXPECT_TRUE(fs::exists(merged / name) && read_file(name) == read_file((merged / name).string())) << name;
  }
}

TEST(Campaign, ShardsUnderParallelMergeToTheSingleRunAndAKilledShardIsRerun) {
  TempDir tmp;
  fs::create_directory("run");
  fs::current_path("run");
  write_mode_a_field();
  const std::set<std::string> inputs = names_in(".");
  Captured single = run_program(binary_path("src/driver/zeb"), {kParamFile});
  ASSERT_EQ(single.status, 0) << single.out << single.err;
  std::set<std::string> outputs;
  std::ranges::set_difference(names_in("."), inputs, std::inserter(outputs, outputs.begin()));
  // A starting star (W0) reported for an artificial star was loaded, not
  // found: it has no finding records, whatever an earlier pass found in its slot.
  int starting = 0;
  for (const std::string& line : zeb::test::read_lines("LOGA.XYFIND")) {
    if (line.find("   W0 ") == std::string::npos) continue;
    ++starting;
    EXPECT_NE(line.find("C000 Q000/000 D000/000 P000/000"), std::string::npos) << line;
  }
  EXPECT_GT(starting, 10);

  for (int shards : {1, 3, 7}) {
    SCOPED_TRACE(std::to_string(shards) + " shards");
    const std::string dir = "../camp" + std::to_string(shards);
    Captured plan = campaign({"plan", kParamFile, "--shards", std::to_string(shards), "--dir", dir, "--zeb",
                              binary_path("src/driver/zeb")});
    ASSERT_EQ(plan.status, 0) << plan.err;
    Captured run = run_program("/bin/sh", {"-c", "parallel --will-cite -j 2 < " + dir + "/parallel.txt"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(campaign({"status", dir}).status, 0);
    Captured merge = campaign({"merge", dir});
    ASSERT_EQ(merge.status, 0) << merge.err;
    expect_same_as_single_run(outputs, dir + "/merged");
  }

  // Shard 2 of 3 again, its runner killed once zeb has finished its first
  // tile (zeb goes with it); the merge refuses until the shard has been run
  // again, which resumes it after that tile, its passes counted.
  const fs::path shard = fs::canonical("../camp3/shard-002");
  const std::string name = "shard 2 (" + shard.string() + ")";
  std::vector<std::string> args{kCampaign, "run", "../camp3", "2"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, kCampaign.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  // This runner's start marker names it; zeb's output file is made after it.
  auto in_tiles = [&] {
    return fs::exists(shard / "zeb-campaign.started") &&
           read_file((shard / "zeb-campaign.started").string()).find("pid " + std::to_string(pid) + "\n") !=
               std::string::npos &&
           fs::exists(shard / "zeb-campaign.stdout") &&
           read_file((shard / "zeb-campaign.stdout").string()).find(" IT002 JT001") != std::string::npos;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!in_tiles() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(in_tiles()) << "shard 2 never reached its tiles";
  Captured status = campaign({"status", "../camp3"});
  EXPECT_EQ(status.status, 1);
  EXPECT_NE(status.out.find("shard   2: interrupted"), std::string::npos) << status.out;
  Captured refused = campaign({"merge", "../camp3"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(name + ": interrupted"), std::string::npos) << refused.err;

  ASSERT_EQ(campaign({"run", "../camp3", "2"}).status, 0);
  EXPECT_NE(read_file((shard / "ZEB.STATUS").string()).find("\nresumed after: IT 001 JT 001\n"), std::string::npos);
  ASSERT_EQ(campaign({"merge", "../camp3"}).status, 0);
  expect_same_as_single_run(outputs, "../camp3/merged");

  // Only a mode-A run can be split.
  write_file("r.txt", "MODE=R\n" + read_file(kParamFile).substr(7));
  Captured mode_r = campaign({"plan", "r.txt", "--shards", "2", "--dir", "../campr"});
  EXPECT_EQ(mode_r.status, 1);
  EXPECT_NE(mode_r.err.find("MODE=A"), std::string::npos) << mode_r.err;
}

}  // namespace
}  // namespace zebsim
