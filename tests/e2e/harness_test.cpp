// The harness that starts zeb from a test: a child never outlives the test
// that started it, so a test killed by its time-out leaves no zeb behind
// writing into the temporary directory.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/test_support.h"

namespace {

// A process counts as gone once it no longer exists or is a zombie waiting to be reaped.
bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pid_field, name, state;
  return !(stat >> pid_field >> name >> state) || state == "Z";
}

TEST(Harness, ProgramStartedByATestDiesWithIt) {
  zeb::test::TempDir dir;
  const pid_t test = ::fork();
  ASSERT_GE(test, 0);
  if (test == 0) {  // stands for a test that starts a long run and is then killed
    zeb::test::run_program("/bin/sh", {"-c", "echo $$ > child.pid.tmp && mv child.pid.tmp child.pid && exec sleep 60"});
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists("child.pid") && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pid_t child = 0;
  std::ifstream("child.pid") >> child;
  ASSERT_GT(child, 0) << "the program never started";
  EXPECT_FALSE(gone(child));
  ::kill(test, SIGKILL);
  ::waitpid(test, nullptr, 0);
  while (!gone(child) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(gone(child)) << "the program outlived the test that started it";
  if (!gone(child)) ::kill(child, SIGKILL);
}

}  // namespace
