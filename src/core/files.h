// Files of a run. Every reader registers the file it reads, with its size and
// modification time at that moment, so that a checkpoint can tell later
// whether the inputs it was written from are still the same; text inputs are
// opened only when they are regular files (a directory, a device or a named
// pipe named as an input would otherwise be read for ever or block). Output
// written through a descriptor goes out whole or is a run-time error.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace zeb {

struct InputFile {
  std::string path;        // as opened, relative to the working directory or absolute
  long long size = -1;     // bytes; -1 when it could not be looked at
  long long mtime_ns = 0;  // modification time, nanoseconds since the epoch
};

// Size and modification time of a file as it is now (size -1 when it cannot be
// looked at).
InputFile look_at_file(const std::string& path);

// Notes that the run reads `path` (once per path; later calls are ignored).
void note_input_file(const std::string& path);

// While a scope lives, what its thread notes is held in the scope instead of
// the run's list: files opened side by side are noted afterwards, with
// note_held(), in the order a serial run would have opened them.
class HeldInputNotes {
 public:
  HeldInputNotes();
  ~HeldInputNotes();
  HeldInputNotes(const HeldInputNotes&) = delete;
  HeldInputNotes& operator=(const HeldInputNotes&) = delete;
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  friend void note_input_file(const std::string& path);
  std::vector<std::string> paths_;
  HeldInputNotes* outer_;
};

// Every file noted so far, in the order they were first noted.
const std::vector<InputFile>& input_files();

// Forgets every noted file (start of a run; tests).
void reset_input_files();

// Opens a text input for reading after checking that it is a regular file,
// and notes it. A name that is no regular file, or a file that cannot be
// opened, is a run-time error naming the file and `what` it was for.
std::ifstream open_text_input(const std::string& path, const std::string& what);

// Writes all `n` bytes at the descriptor's position; a failing write (a full
// disk) is a run-time error naming the file.
void write_all(int fd, const void* data, std::size_t n, const std::string& name);

// Bytes that belong together, each to be appended at its descriptor's position.
struct PendingWrite {
  int fd = -1;
  std::string_view bytes;
  std::string name;  // for the message of a failing write
};

// Writes every piece in a child process and waits for it: a kill of the run
// (which does not reach the child) cannot cut a piece short, because the child
// finishes its writes; a write the kernel would otherwise stop at a page
// boundary when the writer is killed. (Without a child, when none can be
// made, the pieces are written directly.) A failing write is a run-time error
// naming the file.
void write_together(const std::vector<PendingWrite>& pieces);

// 64-bit checksum of bytes (FNV-1a style, a word at a time): it detects a
// record cut short or overwritten; it is no defence against deliberate change.
std::uint64_t checksum64(std::string_view bytes);

}  // namespace zeb
