#include "core/file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zeb {

std::string unreadable_reason(const std::string& path) {
  if (path.empty()) return "no file name given";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return "no such file or directory";
    return std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  // O_NONBLOCK: the name could have been replaced by a pipe since the stat.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return std::string();
}

std::string with_unreadable_reason(const std::string& text, const std::string& path) {
  const std::string reason = unreadable_reason(path);
  return reason.empty() ? text : text + ": " + reason;
}

void say_why_unreadable(std::ostream& os, const std::string& path) {
  const std::string reason = unreadable_reason(path);
  if (!reason.empty()) os << "zeb: cannot open " << path << ": " << reason << '\n';
}

}  // namespace zeb
