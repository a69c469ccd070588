#include "core/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <stop_token>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "core/stop.h"

namespace zeb {

namespace {

std::atomic<int> configured{0};

// The cores the run may use: those of its CPU affinity, which a batch
// scheduler's task or taskset makes fewer than the machine has (more threads
// than that would only take turns on them); the machine's count where the
// affinity cannot be read.
int cores_of_run() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<int>(hw);
}

int read_thread_count() {
  const char* env = std::getenv("ZEB_THREADS");
  if (env == nullptr || *env == '\0') return std::clamp(cores_of_run(), 1, MAX_THREADS);
  const std::string text(env);
  bool digits = text.size() <= 3;
  for (const char c : text) digits = digits && c >= '0' && c <= '9';
  const int n = digits ? std::stoi(text) : 0;
  if (n < 1 || n > MAX_THREADS)
    stop_bad_value("ZEB_THREADS", text, "a whole number of threads from 1 to " + std::to_string(MAX_THREADS),
                   "the environment");
  return n;
}

// The output of the bodies of a loop: while a loop runs, standard output goes
// through this buffer, which appends what a thread writes to the text of the
// body that thread is running. Only one loop runs at a time (they are not
// nested: a body runs its own loops serially).
class HeldOutput : public std::streambuf {
 public:
  static thread_local std::string* target;

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) target->push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    target->append(s, static_cast<std::size_t>(n));
    return n;
  }
};
thread_local std::string* HeldOutput::target = nullptr;

thread_local bool inside_loop = false;

// The run's helper threads, started when a loop first needs them and kept:
// every loop wakes them instead of starting threads of its own (a run has
// thousands of loops, many of them a millisecond or less, and a thread that
// is started anew joins its loop late). A round runs work(0) on the calling
// thread and work(1..helpers) on the helpers, and ends when every helper it
// woke has finished.
class Helpers {
 public:
  void run(int workers, const std::function<void(int)>& work) {
    int helpers = workers - 1;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      try {
        while (static_cast<int>(threads_.size()) < helpers) {
          const int worker = static_cast<int>(threads_.size()) + 1;
          threads_.emplace_back([this, worker](std::stop_token stop) { serve(stop, worker); });
        }
      } catch (...) {
        helpers = static_cast<int>(threads_.size());  // as many as could be started
      }
      work_ = &work;
      wanted_ = helpers;
      busy_ = helpers;
      ++round_;
    }
    wake_.notify_all();
    work(0);
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait(hold, [this] { return busy_ == 0; });
    work_ = nullptr;
  }

 private:
  void serve(std::stop_token stop, int worker) {
    long seen = 0;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      if (!wake_.wait(hold, stop, [&] { return round_ != seen; })) return;  // the run is ending
      seen = round_;
      if (worker > wanted_) continue;
      const std::function<void(int)>* work = work_;
      hold.unlock();
      (*work)(worker);
      hold.lock();
      if (--busy_ == 0) done_.notify_one();
    }
  }

  std::mutex lock_;
  std::condition_variable_any wake_;
  std::condition_variable done_;
  const std::function<void(int)>* work_ = nullptr;
  long round_ = 0;
  int wanted_ = 0;  // helpers taking part in the current round
  int busy_ = 0;    // of those, the ones still working
  std::vector<std::jthread> threads_;  // last: joined while the rest still exists
};

Helpers& helpers() {
  static Helpers all;
  return all;
}

}  // namespace

int thread_count() {
  int n = configured.load();
  if (n == 0) {
    n = read_thread_count();
    configured.store(n);
  }
  return n;
}

void set_thread_count(int n) { configured.store(n); }

int workers_for(int items) { return std::max(1, std::min(thread_count(), items)); }

void parallel_for(int first, int last, const std::function<void(int i, int worker)>& body) {
  const int items = last - first + 1;
  if (items <= 0) return;
  const int workers = inside_loop ? 1 : workers_for(items);
  if (workers == 1) {
    for (int i = first; i <= last; ++i) body(i, 0);
    return;
  }

  std::vector<std::string> texts(static_cast<std::size_t>(items));
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(items));
  std::atomic<int> next{0};
  std::atomic<int> failed{items};  // lowest failing index so far (items: none)
  const std::function<void(int)> work = [&](int worker) {
    inside_loop = true;
    for (;;) {
      const int k = next.fetch_add(1);
      // Bodies after a failing one would not have run in the plain loop.
      if (k >= items || k > failed.load()) break;
      HeldOutput::target = &texts[static_cast<std::size_t>(k)];
      try {
        body(first + k, worker);
      } catch (...) {
        errors[static_cast<std::size_t>(k)] = std::current_exception();
        int seen = failed.load();
        while (k < seen && !failed.compare_exchange_weak(seen, k)) {
        }
      }
    }
    HeldOutput::target = nullptr;
    inside_loop = false;
  };

  std::cout.flush();
  HeldOutput held;
  std::streambuf* const out = std::cout.rdbuf(&held);
  helpers().run(workers, work);
  std::cout.rdbuf(out);

  const int stop = failed.load();
  for (int k = 0; k < items && k <= stop; ++k) std::cout.write(texts[static_cast<std::size_t>(k)].data(),
                                                                static_cast<std::streamsize>(texts[static_cast<std::size_t>(k)].size()));
  if (stop < items) std::rethrow_exception(errors[static_cast<std::size_t>(stop)]);
}

}  // namespace zeb
