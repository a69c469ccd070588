// Orderly ends of a run.
//
// stop_run() ends the run after its explanation lines have gone to standard
// output; with a stop text, "STOP <text>" goes to standard error as one line.
// Both throw RunStop, caught in main, so that every open log is flushed and
// closed by its destructor on the way out. An error stop exits with status 1:
// a failure is never reported as success. The normal end of a run is
// stop_run_normally(), status 0.
//
// run_error() is for faults of the input that the run-time system itself would
// meet (a number that cannot be read, a file that cannot be opened, memory
// that cannot be had): it throws RunError, main prints its one line naming the
// file and the fault, and the exit status is 2.
#pragma once

#include <stdexcept>
#include <string>

namespace zeb {

struct RunStop {
  std::string text;  // empty: no stop text
  bool has_text = false;
  int status = 1;
};

class RunError : public std::runtime_error {
 public:
  explicit RunError(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] void stop_run();
[[noreturn]] void stop_run(const std::string& text);
[[noreturn]] void stop_run_normally();
[[noreturn]] void run_error(const std::string& what);
[[noreturn]] void run_error(const std::string& file, const std::string& what);

// An input value outside the range in which the run can give a meaningful
// result (not a finite number, reversed limits, a time of zero...): writes
// what was refused, the value as it was written, what it must be and where it
// stands (file and line, or file and card), then stops with the stop text
// "<name> out of range". write_bad_value writes the same lines only, for a
// stop that has its own stop text.
void write_bad_value(const std::string& name, const std::string& value, const std::string& rule,
                     const std::string& where);
[[noreturn]] void stop_bad_value(const std::string& name, const std::string& value, const std::string& rule,
                                 const std::string& where);

// Writes the stop text (if any) to standard error, flushes standard output and
// returns the exit status; used by main and by tests that call the driver.
int finish_stop(const RunStop& stop);
int finish_error(const RunError& err);

}  // namespace zeb
