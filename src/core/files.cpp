#include "core/files.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <unordered_set>

#include "core/file_check.h"
#include "core/stop.h"

namespace zeb {

namespace {

struct Registry {
  std::vector<InputFile> files;
  std::unordered_set<std::string> seen;
};

Registry& registry() {
  static Registry r;
  return r;
}

thread_local HeldInputNotes* held_notes = nullptr;

}  // namespace

InputFile look_at_file(const std::string& path) {
  InputFile f;
  f.path = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return f;
  f.size = static_cast<long long>(st.st_size);
  f.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return f;
}

HeldInputNotes::HeldInputNotes() : outer_(held_notes) { held_notes = this; }
HeldInputNotes::~HeldInputNotes() { held_notes = outer_; }

void note_input_file(const std::string& path) {
  if (held_notes) {
    held_notes->paths_.push_back(path);
    return;
  }
  Registry& r = registry();
  if (!r.seen.insert(path).second) return;
  r.files.push_back(look_at_file(path));
}

const std::vector<InputFile>& input_files() { return registry().files; }

void reset_input_files() {
  registry().files.clear();
  registry().seen.clear();
}

std::ifstream open_text_input(const std::string& path, const std::string& what) {
  const std::string reason = unreadable_reason(path);
  if (!reason.empty()) run_error(path, "cannot open the " + what + ": " + reason);
  std::ifstream in(path);
  if (!in) run_error(path, with_unreadable_reason("cannot open the " + what, path));
  note_input_file(path);
  return in;
}

void write_all(int fd, const void* data, std::size_t n, const std::string& name) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) run_error(name, std::string("could not be written: ") + (w < 0 ? std::strerror(errno) : "no space"));
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void write_together(const std::vector<PendingWrite>& pieces) {
  if (pieces.empty()) return;
  // vfork: the child shares the memory instead of a copy of its page tables,
  // and the run waits for it anyway. A copy would make every page the run
  // writes afterwards fault once (copy on write), for every tile.
  const pid_t pid = ::vfork();
  if (pid < 0) {
    for (const PendingWrite& p : pieces) write_all(p.fd, p.bytes.data(), p.bytes.size(), p.name);
    return;
  }
  if (pid == 0) {
    // The child only writes and ends: no allocation, no standard streams. It
    // blocks every signal it can, so that an interrupt or termination sent to
    // the whole process group (Ctrl-C, a batch system's cancel) still lets it
    // finish the tile's records.
    sigset_t all;
    ::sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, nullptr);
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      const char* data = pieces[k].bytes.data();
      std::size_t n = pieces[k].bytes.size();
      while (n > 0) {
        const ssize_t w = ::write(pieces[k].fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ::_exit(k < 200 ? static_cast<int>(k) + 1 : 255);
        data += w;
        n -= static_cast<std::size_t>(w);
      }
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) run_error(pieces.front().name, "the process writing the records was lost");
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  const int k = WIFEXITED(status) ? WEXITSTATUS(status) - 1 : 0;
  run_error(pieces.at(static_cast<std::size_t>(k >= 0 && k < static_cast<int>(pieces.size()) ? k : 0)).name,
            "could not be written (is the disk full?)");
}

std::uint64_t checksum64(std::string_view bytes) {
  // Eight bytes per step (a tile's journaled strips run to megabytes), each
  // step a bijection of the state, so that any single changed word changes the
  // sum; the high half is folded down so that every byte reaches every bit.
  constexpr std::uint64_t kPrime = 1099511628211ULL;
  std::uint64_t h = 14695981039346656037ULL;
  std::size_t k = 0;
  for (; k + 8 <= bytes.size(); k += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, bytes.data() + k, sizeof w);
    h = (h ^ w) * kPrime;
    h ^= h >> 32;
  }
  for (; k < bytes.size(); ++k) h = (h ^ static_cast<unsigned char>(bytes[k])) * kPrime;
  return h;
}

}  // namespace zeb
