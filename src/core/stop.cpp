#include "core/stop.h"

#include <cstdio>
#include <iostream>

namespace zeb {

void stop_run() { throw RunStop{std::string(), false, 1}; }

void stop_run(const std::string& text) { throw RunStop{text, true, 1}; }

void stop_run_normally() { throw RunStop{std::string(), false, 0}; }

void run_error(const std::string& what) { throw RunError(what); }

void run_error(const std::string& file, const std::string& what) { throw RunError(file + ": " + what); }

int finish_stop(const RunStop& stop) {
  std::cout.flush();
  if (stop.has_text) {
    std::cerr << "STOP " << stop.text << '\n';
    std::cerr.flush();
  }
  return stop.status;
}

int finish_error(const RunError& err) {
  std::cout.flush();
  std::cerr << "zeb: run-time error: " << err.what() << '\n';
  std::cerr.flush();
  return 2;
}

}  // namespace zeb
