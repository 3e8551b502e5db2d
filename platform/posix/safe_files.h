// The one way this program writes files on POSIX, and the path rules that
// every file access of the platform layer follows. The service runs as root
// and works in folders other users can write, so nothing here may be turned
// against a file those users could not touch themselves.
//
// Paths. A symbolic link on the way to a file is followed only when it is
// trusted: owned by root or by this process's own user. Anybody else's link
// is refused (ELOOP). A path without links is opened by the kernel in one
// step that refuses any link (openat2 with RESOLVE_NO_SYMLINKS), so a link
// swapped in after a check is refused as well; a path with links is walked
// one component at a time (openat with O_NOFOLLOW), each link checked
// before it is followed. The last component of a path is never followed by
// a write unless the caller asks for it (INI files keep their links).
//
// Writes. Appending, replacing and removing never act through a link or on
// anything but a regular file with a single name; a file without any write
// permission is read-only for root too, as the read-only attribute is on
// Windows. A replacement is atomic and durable: a temporary file in the
// same folder, locked while it is written, flushed, given the old file's
// owner and mode, renamed over the old name, and the folder flushed. Its
// name starts with a dot and the file's own name and ends in ".qs" and six
// random characters; a later replacement in the folder removes the ones of
// the same file that nobody holds locked and that are older than a minute
// (left by a writer that was killed). All functions return false with errno
// set when the system refuses.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace qs::platform::posix {

// An owned descriptor, closed when the object goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(fd_, -1); }
  // Closes now; false (errno set) when the close reports a delayed error.
  bool Close() {
    if (fd_ < 0) return true;
    return ::close(std::exchange(fd_, -1)) == 0;
  }

 private:
  void Reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }
  int fd_ = -1;
};

// Root and this process's own user.
bool TrustedOwner(uid_t uid);

// Opens `path` with `flags` (O_CLOEXEC and, for the last component,
// O_NOFOLLOW added), following trusted links on the way; with
// `follow_last` a trusted link as the last component is followed too.
Fd OpenPath(const std::string& path, int flags, mode_t mode = 0,
            bool follow_last = false);

// The folder that holds `path`, as a path handle, and the last component's
// name. EINVAL for a path that ends in "." or "..".
Fd OpenParent(const std::string& path, std::string* name);

// `path` made absolute, with "." and ".." taken out and every link on it
// resolved; untrusted links are refused. A part at the end that does not
// exist yet is appended as written (so a folder still to be made has its
// final name). Empty, errno set, when the path cannot be resolved.
std::string ResolveTrusted(const std::string& path);

// Why the file or folder at `path` cannot be trusted to tell this service
// what to do: "" when only root or this process's user can change it (or
// it is not there); otherwise the reason, for a log line.
std::string UntrustedBecause(const std::string& path);

// Appends `data` to the regular file `path`; with `create` a missing file
// is made (mode 0666 less the umask). When the disk fills up in the middle
// (a short write), the file is cut back to where this write began, so no
// half line is left for the next write to be glued to.
bool AppendToFile(const std::string& path, std::string_view data, bool create);

struct ReplaceRules {
  // A trusted link at `path` is kept and its target replaced (INI files);
  // otherwise a link at `path` is refused.
  bool follow_last = false;
  // Only a file that is not there yet is made; EEXIST otherwise.
  bool only_if_missing = false;
  // Mode of a new file, less the umask.
  mode_t new_mode = 0666;
};

// Replaces the file at `path` with `data` atomically (see above).
bool ReplaceFile(const std::string& path, std::string_view data,
                 const ReplaceRules& rules);

// Reads the file at `path`, lets `edit` change the bytes, and replaces the
// file with the result, while holding the lock of the file's writers (a
// file beside it, "." + name + ".qslock", that only they can open): two
// writers that use this function never lose each other's change, and
// nobody who may not write the file can delay a write. `edit`
// gets the bytes ("" for a missing file) and whether the file exists, and
// returns false to leave everything as it is (then nothing is written). A
// missing folder is ENOENT; a folder is EISDIR; a read-only file EACCES.
bool UpdateFile(const std::string& path,
                const std::function<bool(std::string& bytes, bool exists)>& edit,
                const ReplaceRules& rules);

// Removes the file `path` itself (a link there is removed, never followed).
// Without `force` a read-only file is refused (EACCES). A folder: EISDIR.
bool RemoveFile(const std::string& path, bool force);

// Makes the folder's entries durable (names made, renamed, removed).
bool SyncFolder(int folder_fd);

// Flushes a file's data to the disk before it is renamed into place:
// ::fsync, or what a test puts in its place.
extern int (*FlushFile)(int fd);

}  // namespace qs::platform::posix
