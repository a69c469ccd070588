#include "core/stop.h"

#include <cstdio>
#include <iostream>

namespace zeb {

void stop_run() { throw RunStop{std::string(), false, 1}; }

void stop_run(const std::string& text) { throw RunStop{text, true, 1}; }

void stop_run_normally() { throw RunStop{std::string(), false, 0}; }

void run_error(const std::string& what) { throw RunError(what); }

void run_error(const std::string& file, const std::string& what) { throw RunError(file + ": " + what); }

void write_bad_value(const std::string& name, const std::string& value, const std::string& rule,
                     const std::string& where) {
  std::cout << " \n";
  std::cout << " VALUE REFUSED: " << name << " = " << value << '\n';
  std::cout << "   it must be " << rule << '\n';
  std::cout << "   in " << where << '\n';
  std::cout << " \n";
}

void stop_bad_value(const std::string& name, const std::string& value, const std::string& rule,
                    const std::string& where) {
  write_bad_value(name, value, rule, where);
  stop_run(name + " out of range");
}

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
