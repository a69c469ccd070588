// The zebsim command line.
#pragma once

namespace zebsim {

// Runs zebsim for the process arguments and returns the exit status: 0 after
// success, 1 after an error stop (a usage error included), 2 after a run-time
// error such as a file that cannot be written.
int zebsim_main(int argc, char** argv);

}  // namespace zebsim
