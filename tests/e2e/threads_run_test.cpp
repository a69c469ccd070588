// Runs with 1, 2 and 7 threads write the same bytes: every file, the standard
// output and error and the exit status, in the run modes R, D and A (and with
// the joint criterion), on both cameras and the demo field; a ZEB_THREADS that
// is not a number of threads stops the run with a message naming it; without
// it, a run confined to one core (a batch task, taskset) gets one thread.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "field_files.h"
#include "support/test_support.h"

namespace zebsim {
namespace {

namespace fs = std::filesystem;
using zeb::test::binary_path;
using zeb::test::read_file;
using zeb::test::run_program;
using zeb::test::TempDir;
using zeb::test::write_file;

// Everything a run left in its directory (the inputs are links), with what it
// printed; the run marker without its wall and checkpoint times.
std::map<std::string, std::string> run_with_threads(const fs::path& field, const fs::path& dir,
                                                    const std::string& params, int threads) {
  fs::create_directories(dir);
  for (const auto& e : fs::directory_iterator(field))
    if (e.path().filename() != kParamFile) fs::create_symlink(e.path(), dir / e.path().filename());
  write_file((dir / kParamFile).string(), params);
  fs::current_path(dir);
  const auto run = run_program(binary_path("src/driver/zeb"), {kParamFile}, {"ZEB_THREADS=" + std::to_string(threads)});
  std::map<std::string, std::string> out{{"stdout", run.out}, {"stderr", run.err},
                                         {"status", std::to_string(run.status)}};
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_symlink() || !e.is_regular_file()) continue;
    std::string text = read_file(e.path().string());
    if (e.path().filename() == "ZEB.STATUS")
      for (const char* timed : {"wall time:", "checkpoint time:"})
        if (const auto at = text.find(timed); at != std::string::npos) text.erase(at, text.find('\n', at) - at);
    out[fs::relative(e.path(), dir).string()] = text;
  }
  return out;
}

TEST(Threads, AnyNumberOfThreadsWritesTheSameBytes) {
  TempDir dir;
  FieldDesign ir = field_preset("e2e-ir");
  ir.with_start_list = true;
  write_field(ir, (dir.path() / "ir").string());
  FieldDesign hrc = field_preset("e2e-hrc");
  hrc.with_start_list = true;
  write_field(hrc, (dir.path() / "hrc").string());
  write_field(field_preset("demo"), (dir.path() / "demo").string());
  auto params = [&](const std::string& field, const std::string& mode, const std::string& extra) {
    std::string p = read_file((dir.path() / field / kParamFile).string());
    p.replace(p.find("MODE=R\n"), 7, "MODE=" + mode + "\n");
    // The starting list is for mode D only.
    if (const auto at = p.find("#PREMAG"); at != std::string::npos) p.erase(at, 1);
    if (mode != "D" && p.find("PREMAG") != std::string::npos) p.insert(p.find("PREMAG"), "#");
    p.replace(p.find("END\n"), 4, extra + "END\n");
    return p;
  };
  struct Case { std::string field, mode, extra; };
  const std::string two_art = "ADDART 80.25 70.5 5000 5000\nADDART 200.75 90.0 -9.0 -8.5\n";
  // Every mode on both cameras; the demo field (four tiles that see each
  // other's stars, three finding iterations) in mode R.
  const std::vector<Case> cases{
      {"ir", "R", ""},  {"ir", "D", ""},  {"ir", "A", two_art},  {"hrc", "R", "NIT02 JSIG=4.0\n"},
      {"hrc", "D", ""}, {"hrc", "A", two_art}, {"demo", "R", ""},
  };
  for (const Case& c : cases) {
    const std::string p = params(c.field, c.mode, c.extra);
    const fs::path field = dir.path() / c.field;
    const auto one = run_with_threads(field, dir.path() / (c.field + c.mode + "1"), p, 1);
    ASSERT_EQ(one.at("status"), "0") << c.field << " " << c.mode << ": " << one.at("stderr");
    // Stars were found and measured: there is something to differ.
    const std::string catalogue = "LOG" + c.mode + ".XYVIQ1";
    ASSERT_TRUE(one.count(catalogue)) << c.field << " " << c.mode;
    EXPECT_GT(one.at(catalogue).size(), 200u) << c.field << " " << c.mode;
    for (const int threads : {2, 7}) {
      const auto many = run_with_threads(field, dir.path() / (c.field + c.mode + std::to_string(threads)), p, threads);
      EXPECT_EQ(many.size(), one.size()) << c.field << " " << c.mode << " " << threads << " threads";
      for (const auto& [name, bytes] : one) {
        const auto it = many.find(name);
        ASSERT_NE(it, many.end()) << name;
        EXPECT_TRUE(it->second == bytes) << c.field << " mode " << c.mode << ", " << threads << " threads: " << name;
      }
    }
  }

  fs::current_path(dir.path() / "ir");
  for (const char* bad : {"0", "two", "100000"}) {
    const auto refused = run_program(binary_path("src/driver/zeb"), {kParamFile}, {std::string("ZEB_THREADS=") + bad});
    EXPECT_EQ(refused.status, 1) << bad;
    EXPECT_NE(refused.out.find(std::string("VALUE REFUSED: ZEB_THREADS = ") + bad), std::string::npos) << refused.out;
    EXPECT_EQ(refused.err, "STOP ZEB_THREADS out of range\n");
  }
}

TEST(Threads, DefaultFollowsTheCoresTheRunMayUse) {
  ASSERT_EQ(unsetenv("ZEB_THREADS"), 0);
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  zeb::set_thread_count(0);
  const int confined = zeb::thread_count();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  zeb::set_thread_count(0);
  EXPECT_EQ(confined, 1);
  EXPECT_EQ(zeb::thread_count(), std::min(CPU_COUNT(&all), zeb::MAX_THREADS));
}

}  // namespace
}  // namespace zebsim
