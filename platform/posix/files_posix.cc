// The file-system object on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_impl.h"
#include "platform/runtime_error.h"

namespace qs::platform::posix {
namespace {

// Closes a descriptor on every path out of a scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports a failed close (a delayed write error).
  int Close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// A file without any write permission is read-only for everybody, root
// included, as the read-only attribute is on Windows.
bool ReadOnlyForRoot(const struct stat& st) {
  return ::geteuid() == 0 && (st.st_mode & 0222) == 0;
}

void WriteFully(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, path);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  char Separator() const override { return '/'; }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  bool FolderExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  void CreateTextFile(const std::string& path, bool overwrite) override {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    Fd fd(::open(path.c_str(), flags, 0666));
    if (fd.get() < 0) ThrowErrno(errno, path);
    if (fd.Close() != 0) ThrowErrno(errno, path);
  }

  void AppendText(const std::string& path, std::string_view text) override {
    Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (fd.get() < 0) ThrowErrno(errno, path);
    if (::geteuid() == 0) {
      struct stat st;
      if (::fstat(fd.get(), &st) == 0 && ReadOnlyForRoot(st)) {
        throw RuntimeError(kErrPermission);
      }
    }
    WriteFully(fd.get(), text, path);
    if (fd.Close() != 0) ThrowErrno(errno, path);
  }

  std::string ReadAll(const std::string& path) override {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) ThrowErrno(errno, path);
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowErrno(errno, path);
      }
      if (n == 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  void ReplaceFile(const std::string& path, std::string_view data) override {
    // Replace the target of a link, not the link.
    std::string target = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target = real;
      ::free(real);
    }
    struct stat old;
    bool had_old = ::stat(target.c_str(), &old) == 0;
    if (had_old && ::access(target.c_str(), W_OK) != 0) {
      ThrowErrno(errno, target);
    }
    if (had_old && ReadOnlyForRoot(old)) throw RuntimeError(kErrPermission);
    std::string tmp = target + ".XXXXXX";
    int raw = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (raw < 0) ThrowErrno(errno, target);
    Fd fd(raw);
    try {
      if (had_old) {
        // Best effort: a non-root writer cannot give the file away.
        if (::fchmod(fd.get(), old.st_mode & 07777) != 0) ThrowErrno(errno, target);
        if (::geteuid() == 0) (void)::fchown(fd.get(), old.st_uid, old.st_gid);
      } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        (void)::fchmod(fd.get(), 0666 & ~mask);
      }
      WriteFully(fd.get(), data, target);
      if (::fsync(fd.get()) != 0) ThrowErrno(errno, target);
      if (fd.Close() != 0) ThrowErrno(errno, target);
      if (::rename(tmp.c_str(), target.c_str()) != 0) ThrowErrno(errno, target);
    } catch (...) {
      ::unlink(tmp.c_str());
      throw;
    }
  }

  void DeleteFile(const std::string& path, bool force) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) ThrowErrno(errno, path);
    if (S_ISDIR(st.st_mode)) throw RuntimeError(kErrFileNotFound);
    // Without force a read-only file is refused, as on Windows.
    if (!force && (::access(path.c_str(), W_OK) != 0 || ReadOnlyForRoot(st))) {
      throw RuntimeError(kErrPermission);
    }
    if (::unlink(path.c_str()) != 0) ThrowErrno(errno, path);
  }

  std::int64_t FileLength(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
  }

  std::string GetDriveName(std::string_view) const override { return {}; }
};

}  // namespace

FileSystem& Files() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace qs::platform::posix
