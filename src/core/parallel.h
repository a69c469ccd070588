// Parallel loops whose results do not depend on the number of threads.
//
// parallel_for(first, last, body) calls body(i, worker) once for every i in
// first..last, spread over the run's threads; `worker` (0 .. workers - 1)
// names the thread, so that a caller can give each thread its own working
// storage. The bodies must write only what belongs to their own i (or to
// their worker's storage): then the result is the one of the plain loop.
//
// Everything a body writes to standard output is held back and written after
// the loop, in the order of i, so that the messages come out as the plain
// loop writes them. When bodies throw, the exception of the lowest i is
// rethrown after the loop, and only the output of the bodies up to that one is
// written: as if the plain loop had stopped there.
#pragma once

#include <functional>

namespace zeb {

// Threads of the run: ZEB_THREADS when it is set (1 .. MAX_THREADS; 1 is the
// plain serial run), otherwise every core the run may use (its CPU affinity).
// A value that is not such a number stops the run. Read once.
inline constexpr int MAX_THREADS = 256;
int thread_count();

// Sets the number of threads (tests; 0 reads ZEB_THREADS again).
void set_thread_count(int n);

// Workers a loop over `items` indices uses: min(thread_count(), items), at least 1.
int workers_for(int items);

void parallel_for(int first, int last, const std::function<void(int i, int worker)>& body);

}  // namespace zeb

#include <memory>
#include <vector>

namespace zeb {

// One T for each worker of the loops of one site, the per-thread working
// storage of those loops, kept from call to call: a site (a function of the
// tile loop, called again in every iteration of every tile) reuses its
// workers' storage instead of allocating and clearing it anew. fit() makes
// room for the workers of a loop over `items` and refits each with
// T::fit(args...) (storage grows, never shrinks). A site's loops never run
// at the same time, so one instance serves the site.
template <typename T>
class PerWorker {
 public:
  template <typename... A>
  void fit(int items, const A&... args) {
    const int n = workers_for(items);
    while (static_cast<int>(all_.size()) < n) all_.push_back(std::make_unique<T>(args...));
    for (int w = 0; w < n; ++w) all_[static_cast<std::size_t>(w)]->fit(args...);
  }
  T& operator[](int worker) { return *all_[static_cast<std::size_t>(worker)]; }

 private:
  std::vector<std::unique_ptr<T>> all_;
};

}  // namespace zeb
