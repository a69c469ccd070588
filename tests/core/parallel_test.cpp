// The default number of threads is the number of cores the run may use: a run
// confined to one core (a batch task, taskset) gets one thread.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>

#include "core/parallel.h"

namespace zeb {
namespace {

TEST(ThreadCount, DefaultFollowsTheCoresTheRunMayUse) {
  ASSERT_EQ(unsetenv("ZEB_THREADS"), 0);
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  set_thread_count(0);
  const int confined = thread_count();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  set_thread_count(0);
  EXPECT_EQ(confined, 1);
  EXPECT_EQ(thread_count(), std::min(CPU_COUNT(&all), MAX_THREADS));
}

}  // namespace
}  // namespace zeb
