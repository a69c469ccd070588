// The run driver: start-up, set-up, the tile loop and the end of the run.
#pragma once

namespace zeb {

// Runs the whole program for the process arguments and returns the exit status:
// 0 for a normal end, 1 for an error stop, 2 for a run-time error.
int run_main(int argc, char** argv);

}  // namespace zeb
