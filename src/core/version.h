// The version of the build, for the --version lines of zeb and its companion
// commands. Defined in a file generated at build time (library zeb_version).
#pragma once

#include <string>

namespace zeb {

// The project's version number ("0.1.0").
const char* version_number();
// The git commit the sources were built from, with "-dirty" when they differed
// from it; empty when the build did not come from a git checkout.
const char* version_commit();

// "<program> <version>" and, when known, " (commit <commit>)".
inline std::string version_line(const std::string& program) {
  std::string line = program + " " + version_number();
  const std::string commit = version_commit();
  if (!commit.empty()) line += " (commit " + commit + ")";
  return line;
}

}  // namespace zeb
