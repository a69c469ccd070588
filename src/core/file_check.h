// Why a file cannot be read, in words a user can act on. The run's messages
// for an input file that cannot be opened are preceded by this reason, so that
// a missing exposure is not mistaken for a malformed one.
#pragma once

#include <ostream>
#include <string>

namespace zeb {

// Empty when `path` names a regular file that can be opened for reading;
// otherwise the reason: "no such file or directory", "is a directory", "is not
// a regular file", or the system's reason the opening failed.
std::string unreadable_reason(const std::string& path);

// `text` followed by ": <reason>" when the file cannot be read (for the
// run-time error of a file that cannot be opened).
std::string with_unreadable_reason(const std::string& text, const std::string& path);

// When the file cannot be read: writes "zeb: cannot open <path>: <reason>" to
// `os` (the run's standard output, before the stop's own lines).
void say_why_unreadable(std::ostream& os, const std::string& path);

}  // namespace zeb
