// The file-system object on POSIX. Every write goes through safe_files.h,
// and so does every path: links are followed only where they are trusted,
// and never as the last component of a write.
//
// Copies go through copy_file_range where the kernel can (read and write
// otherwise), in chunks between which the caller may abandon the copy.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/posix/fd_io.h"
#include "platform/posix/posix_impl.h"
#include "platform/posix/safe_files.h"
#include "platform/runtime_error.h"

namespace qs::platform::posix {
namespace {

// One step of a copy: large enough to cost nothing per step, small enough
// that an abandoned copy stops within milliseconds.
constexpr std::size_t kCopyChunk = 8u << 20;
// From this many files on, one flush of the whole file system is cheaper
// than one flush per file.
constexpr std::size_t kSyncWholeVolumeFrom = 4;

void Check(bool ok, const std::string& path) {
  if (!ok) ThrowErrno(errno, path);
}

// Copies what is left of `in` to `out`, `size` bytes as the source had when
// it was opened (a source that grows meanwhile changes its time, and is
// copied again by the next pass); false (errno set) on an error. `more` is
// asked before each chunk after the first.
bool CopyData(int in, int out, off_t size, const std::function<bool()>& more,
              bool* abandoned) {
  bool kernel = true;
  off_t copied = 0;
  for (bool first = true;; first = false) {
    if (!first && more && !more()) {
      *abandoned = true;
      return true;
    }
    if (kernel) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
      if (n > 0) {
        copied += n;
        if (copied >= size) return true;
        continue;
      }
      if (n == 0) return true;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
          errno != EBADF && errno != EPERM) {
        return false;
      }
      kernel = false;  // this pair of files: read and write instead
    }
    static char buf[1u << 16];
    std::size_t moved = 0;
    while (moved < kCopyChunk) {
      ssize_t n = ::read(in, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) return true;
      if (!WriteAllFd(out, std::string_view(buf, static_cast<std::size_t>(n)))) return false;
      moved += static_cast<std::size_t>(n);
    }
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  char Separator() const override { return '/'; }
  bool CaseSensitiveNames() const override { return true; }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  bool FolderExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  void CreateTextFile(const std::string& path, bool overwrite) override {
    ReplaceRules rules;
    rules.only_if_missing = !overwrite;
    Check(posix::ReplaceFile(path, "", rules), path);
  }

  void AppendText(const std::string& path, std::string_view text) override {
    Check(AppendToFile(path, text, false), path);
  }

  void AppendOrCreateText(const std::string& path, std::string_view text) override {
    Check(AppendToFile(path, text, true), path);
  }

  std::string ReadTail(const std::string& path, std::uint64_t max_bytes) override {
    Fd fd = OpenRegular(path);
    struct stat st;
    Check(::fstat(fd.get(), &st) == 0, path);
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
    Check(posix::ReplaceFile(path, data, ReplaceRules{}), path);
  }

  void DeleteFile(const std::string& path, bool force) override {
    if (RemoveFile(path, force)) return;
    if (errno == EISDIR) throw RuntimeError(kErrFileNotFound);
    ThrowErrno(errno, path);
  }

  std::int64_t FileLength(const std::string& path) override {
    std::string name;
    Fd folder = OpenParent(path, &name);
    struct stat st;
    if (!folder || ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISLNK(st.st_mode)) {
      return -1;
    }
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
    std::string name;
    Fd folder = OpenParent(path, &name);
    struct stat st;
    if (!folder || ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return {};
    }
    return S_ISLNK(st.st_mode) ? LinkStat(path, st) : StatOf(st);
  }

  std::vector<FolderEntry> ListFolder(const std::string& folder) override {
    Fd fd = OpenPath(folder, O_RDONLY | O_DIRECTORY, 0, true);
    if (!fd) {
      if (errno == ENOENT) throw RuntimeError(kErrPathNotFound);  // a folder
      ThrowErrno(errno, folder);
    }
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) ThrowErrno(errno, folder);
    fd.Release();
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
      FileStat info = S_ISLNK(st.st_mode) ? LinkStat(BuildPath(folder, name), st) : StatOf(st);
      out.push_back({std::move(name), info});
    }
    ::closedir(dir);
    if (err != 0) ThrowErrno(err, folder);
    return out;
  }

  bool CopyToNewFile(const std::string& from, const std::string& to,
                     const CopyOptions& options) override {
    Fd in = OpenPath(from, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, options.follow_link);
    Check(static_cast<bool>(in), from);
    struct stat st;
    Check(::fstat(in.get(), &st) == 0, from);
    if (!S_ISREG(st.st_mode)) throw RuntimeError(kErrPermission);
    std::string name;
    Fd folder = OpenParent(to, &name);
    Check(static_cast<bool>(folder), to);
    Fd out(::openat(folder.get(), name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    Check(static_cast<bool>(out), to);
    bool abandoned = false;
    bool ok = CopyData(in.get(), out.get(), st.st_size, options.keep_going, &abandoned);
    if (ok && !abandoned) {
      // The owner may always write the copy, so the next copy can replace it.
      ok = ::fchmod(out.get(), (st.st_mode & 0777) | S_IWUSR) == 0;
      struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
      ok = ok && ::futimens(out.get(), times) == 0;
      ok = ok && (!options.durable || ::fdatasync(out.get()) == 0);
      ok = ok && out.Close();
    }
    if (!ok || abandoned) {
      const int saved = errno;
      out.Close();
      ::unlinkat(folder.get(), name.c_str(), 0);
      if (!ok) ThrowErrno(saved, to);
      return false;
    }
    return true;
  }

  void FlushToDisk(const std::vector<std::string>& paths) override {
    if (paths.size() >= kSyncWholeVolumeFrom) {
      // One flush of each file system the batch touches: what the kernel
      // does for one file it then does for all of them at once.
      std::vector<dev_t> done;
      std::string last_folder;
      for (const std::string& p : paths) {
        const std::string folder = p.substr(0, p.rfind('/') + 1);
        if (folder == last_folder) continue;  // a batch comes folder by folder
        last_folder = folder;
        Fd fd = OpenPath(p, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, true);
        struct stat st;
        Check(fd && ::fstat(fd.get(), &st) == 0, p);
        if (std::find(done.begin(), done.end(), st.st_dev) != done.end()) continue;
        Check(::syncfs(fd.get()) == 0, p);
        done.push_back(st.st_dev);
      }
      return;
    }
    for (const std::string& p : paths) {
      Fd fd = OpenPath(p, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, true);
      struct stat st;
      Check(fd && ::fstat(fd.get(), &st) == 0, p);
      if (S_ISDIR(st.st_mode)) {
        Check(posix::SyncFolder(fd.get()), p);
      } else {
        Check(::fdatasync(fd.get()) == 0, p);
      }
    }
  }

  void RenameFile(const std::string& from, const std::string& to) override {
    std::string from_name, to_name;
    Fd from_folder = OpenParent(from, &from_name);
    Check(static_cast<bool>(from_folder), from);
    // Within one folder (the usual rename of a copy) one handle does.
    const bool same = from.substr(0, from.rfind('/')) == to.substr(0, to.rfind('/'));
    Fd to_folder = same ? Fd() : OpenParent(to, &to_name);
    if (same) to_name = to.substr(to.rfind('/') + 1);
    Check(same || static_cast<bool>(to_folder), to);
    Check(::renameat(from_folder.get(), from_name.c_str(),
                     same ? from_folder.get() : to_folder.get(), to_name.c_str()) == 0,
          to);
  }

  void CreateFolder(const std::string& path) override {
    std::string name;
    Fd folder = OpenParent(path, &name);
    Check(folder && ::mkdirat(folder.get(), name.c_str(), 0777) == 0, path);
  }

  std::string ResolvePath(const std::string& path) override {
    std::string resolved = ResolveTrusted(path);
    if (resolved.empty()) ThrowErrno(errno, path);
    return resolved;
  }

  std::string UntrustedBecause(const std::string& path) override {
    return posix::UntrustedBecause(path);
  }

 private:
  // A regular file, never through a link at `path`; read-only.
  static Fd OpenRegular(const std::string& path) {
    Fd fd = OpenPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    Check(static_cast<bool>(fd), path);
    struct stat st;
    Check(::fstat(fd.get(), &st) == 0, path);
    if (!S_ISREG(st.st_mode)) throw RuntimeError(kErrPermission);
    return fd;
  }

  // A link at `path`: what it leads to when it is trusted, else kOther.
  static FileStat LinkStat(const std::string& path, const struct stat& link) {
    FileStat info{FileStat::kOther, 0, 0, true};
    if (!TrustedOwner(link.st_uid)) return info;
    Fd target = OpenPath(path, O_PATH, 0, true);
    struct stat st;
    if (target && ::fstat(target.get(), &st) == 0) info = StatOf(st);
    info.link = true;
    return info;
  }

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
