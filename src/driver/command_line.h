// The command line before a run starts: -h/--help and --version are answered,
// and a parameter file that does not exist or is a directory is refused, all
// before the start banner and before any file is written. A run is started as
// "zeb PARAMS", or "zeb --resume PARAMS" to continue an interrupted run.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace zeb {

// The exit status when the command line has been answered here (0 after the
// help or the version on `out`; 2 after a refusal on `err`), or nothing when
// the run goes ahead. Any other argument count is left to the run, which
// answers it with its own message.
std::optional<int> answer_command_line(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The run the command line asks for: the parameter file and whether an
// interrupted run is to be continued; ok is false for any other argument
// count (the run answers it with its own message).
struct RunArguments {
  bool ok = false;
  bool resume = false;
  std::string infile;
};
RunArguments run_arguments(int argc, const char* const* argv);

}  // namespace zeb
