// Runs that survive a kill: zeb killed at random moments of a small simulated
// field (2 x 2 tiles, both mosaics) leaves whole records of whole tiles only
// and a marker that says the run is in progress; `zeb --resume` then gives
// every file byte for byte as the uninterrupted run wrote it. The same right
// after the first tile and during the last one; a checkpoint whose inputs
// changed is refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

namespace fs = std::filesystem;
using namespace zeb::test;
using Clock = std::chrono::steady_clock;

// Every file the run writes, by name.
std::map<std::string, std::string> outputs(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("LOG", 0) == 0) out[name] = read_file(e.path().string());
  }
  return out;
}

pid_t start_zeb(const fs::path& dir) {
  const std::string zeb = binary_path("src/driver/zeb");
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The run dies with the test, should the test die first.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::chdir(dir.c_str()) != 0 ||
        !std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
      _exit(127);
    ::execl(zeb.c_str(), zeb.c_str(), "params.txt", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// A killed run's records writer may outlive it by a moment: it holds the
// directory's lock until its writes are done.
void wait_for_writer(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ::flock(fd, LOCK_EX);
  ::close(fd);
}

int setup_lines(const fs::path& dir) {
  return fs::exists(dir / "LOGK.SETUP") ? static_cast<int>(read_lines((dir / "LOGK.SETUP").string()).size()) : 0;
}

// Kills the run when `moment` says so; returns true when the run was still
// working then (false: it had ended by itself).
template <typename Moment>
bool kill_when(pid_t pid, Moment moment) {
  int st = 0;
  while (!moment()) {
    if (::waitpid(pid, &st, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &st, 0);
  return WIFSIGNALED(st);
}

TEST(KillAndResume, KilledRunsLeaveWholeRecordsAndResumeToTheSameFiles) {
  TempDir dir;
  FieldDesign d = field_preset("e2e-ir");
  d.tiles = {1, 2, 1, 2};
  d.nstars = 400;
  d.nit_max = 1;
  write_field(d, (dir.path() / "ref").string());
  // The interrupted runs work in a directory of links to the same inputs.
  std::set<std::string> inputs;
  fs::create_directory(dir.path() / "run");
  for (const auto& e : fs::directory_iterator(dir.path() / "ref")) {
    inputs.insert(e.path().filename().string());
    fs::create_symlink(e.path(), dir.path() / "run" / e.path().filename());
  }

  fs::current_path(dir.path() / "ref");
  const auto t0 = Clock::now();
  auto ref_run = run_program(binary_path("src/driver/zeb"), {"params.txt"});
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  ASSERT_EQ(ref_run.status, 0) << ref_run.err;
  EXPECT_EQ(read_lines("ZEB.STATUS").at(0), "FINISHED");
  EXPECT_EQ(read_lines("ZEB.STATUS").at(2), "tiles: 4");
  EXPECT_FALSE(fs::exists("ZEB.CHECKPOINT"));
  const std::map<std::string, std::string> reference = outputs(".");
  const int tiles = setup_lines(".");
  ASSERT_EQ(tiles, 4);

  const fs::path run = dir.path() / "run";
  fs::current_path(run);
  // Random moments (a fraction of the uninterrupted run's time after the
  // start), and two moments watched in LOGK.SETUP, which receives one line
  // when a tile ends.
  std::mt19937 rng(20261207);
  Clock::time_point started;
  // (A moment counts from when the run has marked the directory as its own:
  // a run killed before that has started nothing.)
  auto after = [&](double fraction) {
    return [&started, &run, fraction, seconds] {
      return Clock::now() - started >= std::chrono::duration<double>(fraction * seconds) &&
             fs::exists(run / "ZEB.STATUS");
    };
  };
  std::vector<std::pair<std::string, std::function<bool()>>> moments;
  for (int k = 1; k <= 3; ++k)
    moments.emplace_back("at random moment " + std::to_string(k),
                         after(std::uniform_real_distribution<>(0.15, 0.9)(rng)));
  moments.emplace_back("right after the first tile", [&] { return setup_lines(run) >= 1; });
  moments.emplace_back("during the last tile", [&] { return setup_lines(run) >= tiles - 1; });

  for (const auto& [what, reached] : moments) {
    SCOPED_TRACE(what);
    for (const auto& e : fs::directory_iterator(run))
      if (!inputs.count(e.path().filename().string())) fs::remove_all(e.path());
    started = Clock::now();
    const pid_t pid = start_zeb(run);
    const bool killed = kill_when(pid, reached);
    wait_for_writer(run);
    // The run ended before the moment came (nothing to resume), or was killed
    // on its way out after it had marked itself finished (a busy machine can
    // stretch that moment): its files are complete either way.
    if (!killed || read_lines("ZEB.STATUS").at(0) == "FINISHED") {
      EXPECT_EQ(outputs(run), reference);
      auto again = run_program(binary_path("src/driver/zeb"), {"--resume", "params.txt"});
      EXPECT_EQ(again.status, 1);
      EXPECT_EQ(again.err, "STOP nothing to resume\n");
      continue;
    }
    // Whole records of whole tiles: every log is the start of the
    // uninterrupted run's log, cut at the end of a line.
    EXPECT_EQ(read_lines("ZEB.STATUS").at(0), "RUNNING");
    // (The set-up's own logs, LOGK.* but LOGK.SETUP, are written before any
    // tile and written again by the resumed run.)
    for (const auto& [name, text] : outputs(run)) {
      if (name.find(".fits") != std::string::npos) continue;
      ASSERT_TRUE(reference.count(name)) << name;
      EXPECT_EQ(reference.at(name).compare(0, text.size(), text), 0) << name;
      const bool tile_log = name.rfind("LOGK.", 0) != 0 || name == "LOGK.SETUP";
      EXPECT_TRUE(!tile_log || text.empty() || text.back() == '\n') << name;
    }
    if (what == "right after the first tile") {
      // A checkpoint whose inputs changed is refused, naming the file.
      const std::string exposure = exposure_file(plan_field(d).exposures.front());
      const auto then = fs::last_write_time(exposure);
      fs::last_write_time(exposure, then + std::chrono::seconds(1));
      auto refused = run_program(binary_path("src/driver/zeb"), {"--resume", "params.txt"});
      EXPECT_EQ(refused.status, 1);
      EXPECT_EQ(refused.err, "STOP checkpoint does not match the inputs\n");
      EXPECT_NE(refused.out.find(exposure + " has changed since the interrupted run read it"), std::string::npos)
          << refused.out;
      fs::last_write_time(exposure, then);
      // A checkpoint left beside a finished run is not resumed.
      fs::copy_file("ZEB.CHECKPOINT", dir.path() / "ref" / "ZEB.CHECKPOINT");
      fs::current_path(dir.path() / "ref");
      auto finished = run_program(binary_path("src/driver/zeb"), {"--resume", "params.txt"});
      EXPECT_EQ(finished.status, 1);
      EXPECT_EQ(finished.err, "STOP nothing to resume\n");
      fs::current_path(run);
    }
    auto resumed = run_program(binary_path("src/driver/zeb"), {"--resume", "params.txt"});
    ASSERT_EQ(resumed.status, 0) << resumed.out.substr(0, 2000) << resumed.err;
    EXPECT_EQ(read_lines("ZEB.STATUS").at(0), "FINISHED");
    EXPECT_EQ(read_lines("ZEB.STATUS").at(2), "tiles: 4");
    EXPECT_FALSE(fs::exists("ZEB.CHECKPOINT"));
    const std::map<std::string, std::string> got = outputs(run);
    ASSERT_EQ(got.size(), reference.size());
    for (const auto& [name, text] : reference) EXPECT_TRUE(got.at(name) == text) << name << " differs";
  }
}

}  // namespace
}  // namespace zebsim
