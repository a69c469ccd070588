#include "support/test_support.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "core/stop.h"

namespace zeb::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  old_cwd_ = fs::current_path();
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = fs::temp_directory_path() / ("zebtest_" + std::to_string(::getpid()) + "_" + std::to_string(rd()));
    if (fs::create_directory(p)) {
      dir_ = p;
      fs::current_path(dir_);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::current_path(old_cwd_, ec);
  fs::remove_all(dir_, ec);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::vector<std::string> read_lines(const std::string& path) { return split_lines(read_file(path)); }

std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& l : split_lines(text))
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

Captured capture(const std::function<void()>& f) {
  Captured c;
  std::ostringstream out, err;
  std::streambuf* old_out = std::cout.rdbuf(out.rdbuf());
  std::streambuf* old_err = std::cerr.rdbuf(err.rdbuf());
  try {
    f();
  } catch (const RunStop& s) {
    c.status = finish_stop(s);
    c.stopped = true;
  } catch (const RunError& e) {
    c.status = finish_error(e);
    c.errored = true;
  } catch (...) {
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
    throw;
  }
  std::cout.rdbuf(old_out);
  std::cerr.rdbuf(old_err);
  c.out = out.str();
  c.err = err.str();
  return c;
}

std::string binary_path(const std::string& relative) { return std::string(ZEB_BINARY_DIR) + "/" + relative; }

namespace {
// Limits of a program started by a test: generous for the small simulated
// fields of the suite (seconds, a few tens of MB), fatal for a runaway.
constexpr rlim_t kChildCpuSeconds = 300;
constexpr rlim_t kChildFileBytes = rlim_t{1} << 30;
}  // namespace

Captured run_program(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env) {
  Captured c;
  std::string out_file = (fs::temp_directory_path() / ("zebrun_out_" + std::to_string(::getpid()))).string();
  std::string err_file = out_file + ".err";
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The child must never outlive its test: when the test process dies (a
    // time-out kills it) the child is killed too, and a child that loops or
    // writes without end is stopped by its CPU-time and file-size limits
    // instead of filling the disk.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) _exit(127);
    const rlimit cpu{kChildCpuSeconds, kChildCpuSeconds + 5};
    const rlimit fsize{kChildFileBytes, kChildFileBytes};
    if (::setrlimit(RLIMIT_CPU, &cpu) != 0 || ::setrlimit(RLIMIT_FSIZE, &fsize) != 0) _exit(127);
    if (!std::freopen(out_file.c_str(), "w", stdout) || !std::freopen(err_file.c_str(), "w", stderr)) _exit(127);
    for (const std::string& e : env) {
      const std::size_t eq = e.find('=');
      if (eq == std::string::npos || ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1) != 0) _exit(127);
    }
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  c.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  c.out = read_file(out_file);
  c.err = read_file(err_file);
  fs::remove(out_file);
  fs::remove(err_file);
  return c;
}

}  // namespace zeb::test
