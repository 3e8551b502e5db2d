// Whole reads and writes on file descriptors, retried across interrupted
// calls. False with errno set when the system refuses.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace qs::platform::posix {

inline bool WriteAllFd(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Appends everything up to the end of the file to `out`.
inline bool ReadAllFd(int fd, std::string* out) {
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(chunk, static_cast<std::size_t>(n));
  }
}

// Appends the whole file at `path` to `out`.
inline bool ReadFileInto(const char* path, std::string* out) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ReadAllFd(fd, out);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

}  // namespace qs::platform::posix
