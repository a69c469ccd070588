// Helpers shared by the tests: temporary directories, file contents, and
// capturing what a routine writes to standard output.
#pragma once

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace zeb::test {

// A fresh empty directory, removed when the object goes away; the process works
// inside it while it lives (cwd restored afterwards).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return dir_; }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
  std::filesystem::path old_cwd_;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);
// The blank-separated words of a line.
std::vector<std::string> split_words(const std::string& line);
// The lines of a text that start with `prefix`.
std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix);

// Output of one call: what went to standard output and standard error, and how
// the call ended (0 normal return, else the stop's status; 2 run-time error).
struct Captured {
  std::string out;
  std::string err;
  int status = 0;
  bool stopped = false;   // ended by a RunStop
  bool errored = false;   // ended by a RunError
};

// Runs f with std::cout and std::cerr redirected, catching stops and errors the
// way main does.
Captured capture(const std::function<void()>& f);

// Runs a program with arguments in the current directory, with the
// environment variables `env` ("NAME=value") added; returns its exit status and
// output.
Captured run_program(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {});

std::string binary_path(const std::string& relative);

}  // namespace zeb::test
