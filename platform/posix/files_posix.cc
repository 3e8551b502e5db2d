// The file-system object on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/posix/fd_io.h"
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
  if (!WriteAllFd(fd, data)) ThrowErrno(errno, path);
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

  // The open is the existence test: a file that is there is opened for
  // appending, and only when there is none is it created (empty, then
  // written through the same descriptor).
  void AppendOrCreateText(const std::string& path,
                          std::string_view text) override {
    int raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    bool created = false;
    if (raw < 0 && errno == ENOENT) {
      raw = ::open(path.c_str(),
                   O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      created = true;
    }
    Fd fd(raw);
    if (fd.get() < 0) ThrowErrno(errno, path);
    // The service's effective user does not change while it runs.
    static const bool root = ::geteuid() == 0;
    if (!created && root) {
      struct stat st;
      if (::fstat(fd.get(), &st) == 0 && (st.st_mode & 0222) == 0) {
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

  std::string ReadTail(const std::string& path,
                       std::uint64_t max_bytes) override {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) ThrowErrno(errno, path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) ThrowErrno(errno, path);
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t want = size < max_bytes ? size : max_bytes;
    off_t at = static_cast<off_t>(size - want);
    std::string out;
    try {
      out.resize(static_cast<std::size_t>(want));
    } catch (const std::bad_alloc&) {
      throw RuntimeError(kErrOutOfMemory);
    }
    std::size_t got = 0;
    while (got < out.size()) {
      ssize_t n = ::pread(fd.get(), out.data() + got, out.size() - got,
                          at + static_cast<off_t>(got));
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowErrno(errno, path);
      }
      if (n == 0) break;  // cut short by another program meanwhile
      got += static_cast<std::size_t>(n);
    }
    out.resize(got);
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

  bool GetDiskFreeSpace(const std::string& root,
                        std::uint32_t* sectors_per_cluster,
                        std::uint32_t* bytes_per_sector,
                        std::uint32_t* free_clusters,
                        std::uint32_t* total_clusters) override {
    struct statvfs vfs;
    int rc;
    do {
      rc = ::statvfs(root.c_str(), &vfs);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    auto cut = [](std::uint64_t v) {
      return static_cast<std::uint32_t>(v < kMax ? v : kMax);
    };
    std::uint64_t fragment = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    if (sectors_per_cluster) *sectors_per_cluster = 1;
    if (bytes_per_sector) *bytes_per_sector = cut(fragment);
    if (free_clusters) *free_clusters = cut(vfs.f_bavail);
    if (total_clusters) *total_clusters = cut(vfs.f_blocks);
    return true;
  }

  FileStat GetFileStat(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return StatOf(st);
  }

  std::vector<FolderEntry> ListFolder(const std::string& folder) override {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
      if (errno == ENOENT) throw RuntimeError(kErrPathNotFound);  // a folder
      ThrowErrno(errno, folder);
    }
    std::vector<FolderEntry> out;
    int err = 0;
    for (;;) {
      errno = 0;
      struct dirent* e = ::readdir(dir);
      if (e == nullptr) {
        err = errno;
        break;
      }
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        continue;  // gone meanwhile
      }
      FileStat info = StatOf(st);
      if (S_ISLNK(st.st_mode)) {
        struct stat target;
        bool file = ::fstatat(::dirfd(dir), e->d_name, &target, 0) == 0 &&
                    S_ISREG(target.st_mode);
        info = file ? StatOf(target) : FileStat{FileStat::kOther, 0, 0};
      }
      out.push_back({std::move(name), info});
    }
    ::closedir(dir);
    if (err != 0) ThrowErrno(err, folder);
    return out;
  }

  void CopyToNewFile(const std::string& from, const std::string& to) override {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) ThrowErrno(errno, from);
    struct stat st;
    if (::fstat(in.get(), &st) != 0) ThrowErrno(errno, from);
    Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (out.get() < 0) ThrowErrno(errno, to);
    try {
      char buf[65536];
      for (;;) {
        ssize_t n = ::read(in.get(), buf, sizeof buf);
        if (n < 0) {
          if (errno == EINTR) continue;
          ThrowErrno(errno, from);
        }
        if (n == 0) break;
        WriteFully(out.get(), std::string_view(buf, static_cast<std::size_t>(n)),
                   to);
      }
      // The owner may always write the copy, so the next copy can replace it.
      (void)::fchmod(out.get(), (st.st_mode & 0777) | S_IWUSR);
      struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
      if (::futimens(out.get(), times) != 0) ThrowErrno(errno, to);
      if (::fsync(out.get()) != 0) ThrowErrno(errno, to);
      if (out.Close() != 0) ThrowErrno(errno, to);
    } catch (...) {
      out.Close();
      ::unlink(to.c_str());
      throw;
    }
  }

  void RenameFile(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) ThrowErrno(errno, to);
  }

  void CreateFolder(const std::string& path) override {
    if (::mkdir(path.c_str(), 0777) != 0) ThrowErrno(errno, path);
  }

 private:
  static FileStat StatOf(const struct stat& st) {
    FileStat info;
    info.kind = S_ISREG(st.st_mode)   ? FileStat::kFile
                : S_ISDIR(st.st_mode) ? FileStat::kFolder
                                      : FileStat::kOther;
    info.size = static_cast<std::int64_t>(st.st_size);
    // Seconds from 1601 to 1970, then 100-ns steps.
    constexpr std::int64_t kEpoch = 11644473600;
    info.modified = (static_cast<std::int64_t>(st.st_mtim.tv_sec) + kEpoch) *
                        10000000 +
                    st.st_mtim.tv_nsec / 100;
    return info;
  }
};

}  // namespace

FileSystem& Files() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace qs::platform::posix
