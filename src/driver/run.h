// The run driver: start-up, set-up, the tile loop and the end of the run.
#pragma once

#include "setup/run_state.h"

namespace zeb {

// The run summary printed after the set-up, and one settings line per
// finding iteration NITMIN..NITMAX followed by a blank line.
void print_run_summary(const RunState& run);
void print_iteration_settings(const Settings& settings);

// Runs the whole program for the process arguments and returns the exit status:
// 0 for a normal end, 1 for an error stop, 2 for a run-time error.
int run_main(int argc, char** argv);

}  // namespace zeb
