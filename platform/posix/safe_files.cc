#include "platform/posix/safe_files.h"

#include <dirent.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/fd_io.h"

namespace qs::platform::posix {
namespace {

// Most links one path may pass through, as the kernel allows.
constexpr int kMaxLinks = 40;
// A temporary file older than this, and not locked, was left by a writer
// that did not live to remove it.
constexpr time_t kStaleSeconds = 60;
constexpr std::size_t kRandomChars = 6;
constexpr std::string_view kTempMark = ".qs";
// The longest a writer waits for another writer of the same file.
constexpr std::int64_t kLockWaitMs = 300;

// Whether openat2 is there: unknown until the first call.
enum class Openat2 { kUnknown, kYes, kNo };
Openat2 g_openat2 = Openat2::kUnknown;

int OpenNoLinks(const char* path, int flags, mode_t mode) {
  if (g_openat2 == Openat2::kNo) {
    errno = ENOSYS;
    return -1;
  }
  struct open_how how {};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd >= 0) {
    g_openat2 = Openat2::kYes;
    return static_cast<int>(fd);
  }
  if (errno == ENOSYS || errno == E2BIG) g_openat2 = Openat2::kNo;
  return -1;
}

std::vector<std::string> Components(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// The path a walk stands at, as components below "/".
class Trail {
 public:
  void Enter(const std::string& part) {
    if (part == "..") {
      if (!parts_.empty()) parts_.pop_back();
    } else if (part != "." && !part.empty()) {
      parts_.push_back(part);
    }
  }
  void Reset() { parts_.clear(); }
  std::string Text() const {
    if (parts_.empty()) return "/";
    std::string out;
    for (const std::string& p : parts_) out += "/" + p;
    return out;
  }

 private:
  std::vector<std::string> parts_;
};

// The walk of one path, one component at a time; links are checked before
// they are followed. `trail`, when given, follows the path walked so far
// (the walk then starts from an absolute path).
class Walk {
 public:
  explicit Walk(Trail* trail) : trail_(trail) {}

  // Opens `path` (see OpenPath). With `stop_at_missing`, a component that is
  // not there ends the walk at the last folder found; Missing() then holds
  // the components from there on.
  Fd Open(const std::string& path, int flags, mode_t mode, bool follow_last,
          bool stop_at_missing = false) {
    const bool absolute = !path.empty() && path.front() == '/';
    cur_ = Fd(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!cur_) return {};
    // Components are taken from the back.
    todo_ = Components(path);
    std::reverse(todo_.begin(), todo_.end());
    while (!todo_.empty()) {
      std::string part = std::move(todo_.back());
      todo_.pop_back();
      const bool last = todo_.empty();
      if (part == ".") {
        if (last) return Reopen(flags, mode);
        continue;
      }
      if (last && !follow_last) {
        Fd fd(::openat(cur_.get(), part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd && stop_at_missing && errno == ENOENT) return StopAt(std::move(part));
        if (fd && trail_) trail_->Enter(part);
        return fd;
      }
      Fd next(::openat(cur_.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      if (!next) {
        if (stop_at_missing && errno == ENOENT) return StopAt(std::move(part));
        return {};
      }
      struct stat st;
      if (::fstat(next.get(), &st) != 0) return {};
      if (S_ISLNK(st.st_mode)) {
        if (!Follow(next, st)) return {};
        if (todo_.empty()) return Reopen(flags, mode);  // a link to "/"
        continue;
      }
      if (trail_) trail_->Enter(part);
      if (last) {
        return Fd(::openat(cur_.get(), part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
      }
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return {};
      }
      cur_ = std::move(next);
    }
    return Reopen(flags, mode);
  }

  const std::vector<std::string>& Missing() const { return missing_; }

 private:
  Fd Reopen(int flags, mode_t mode) {
    return Fd(::openat(cur_.get(), ".", (flags & ~O_CREAT) | O_CLOEXEC, mode));
  }

  Fd StopAt(std::string part) {
    missing_.assign(1, std::move(part));
    while (!todo_.empty()) {
      missing_.push_back(std::move(todo_.back()));
      todo_.pop_back();
    }
    return std::move(cur_);
  }

  // Continues the walk at the link's target; false (ELOOP) for a link
  // nobody trusted made, or too many links.
  bool Follow(const Fd& link, const struct stat& st) {
    if (!TrustedOwner(st.st_uid) || ++links_ > kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    ssize_t n = ::readlinkat(link.get(), "", target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
      if (n >= 0) errno = ELOOP;
      return false;
    }
    target.resize(static_cast<std::size_t>(n));
    if (target.front() == '/') {
      cur_ = Fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!cur_) return false;
      if (trail_) trail_->Reset();
    }
    std::vector<std::string> parts = Components(target);
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo_.push_back(*it);
    return true;
  }

  Trail* trail_;
  Fd cur_;
  std::vector<std::string> todo_;
  std::vector<std::string> missing_;
  int links_ = 0;
};

// `absolute` as it stands, without doubled separators, when it has no "."
// or ".." and no link on the part of it that exists, as the kernel
// confirms in one call; "" otherwise (the walk then tells).
std::string StandsForItself(const std::string& absolute) {
  Trail trail;
  for (const std::string& part : Components(absolute)) {
    if (part == "." || part == "..") return {};
    trail.Enter(part);
  }
  const std::string whole = trail.Text();
  for (std::string found = whole;;) {
    const int fd = OpenNoLinks(found.c_str(), O_PATH | O_CLOEXEC, 0);
    if (fd >= 0) {
      ::close(fd);
      return whole;
    }
    if (errno != ENOENT || found == "/") return {};
    found.resize(std::max<std::size_t>(found.rfind('/'), 1));  // its folder
  }
}

// The last component of `path` and the folder before it.
bool SplitPath(const std::string& path, std::string* folder, std::string* name) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::size_t slash = p.rfind('/');
  *name = slash == std::string::npos ? p : p.substr(slash + 1);
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  if (name->empty() || *name == "." || *name == "..") {
    errno = EINVAL;
    return false;
  }
  return true;
}

// A file without any write permission is read-only for everybody, root
// included; another user's file needs write permission as well.
bool ReadOnly(int folder, const std::string& name, const struct stat& st) {
  if ((st.st_mode & 0222) == 0) return true;
  return ::geteuid() != 0 &&
         ::faccessat(folder, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0;
}

// The start of the temporary names of `name`: short enough that six random
// characters still fit the file system's limit for any name.
std::string TempPrefix(const std::string& name) {
  constexpr std::size_t kKeep = 200;
  std::string stem = name;
  if (stem.size() > kKeep) {
    std::uint32_t h = 2166136261u;  // FNV-1a of the whole name
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[9];
    for (int i = 7; i >= 0; --i, h >>= 4) hex[i] = "0123456789abcdef"[h & 15];
    hex[8] = '\0';
    stem = name.substr(0, kKeep - 9) + "~" + hex;
  }
  return "." + stem + std::string(kTempMark);
}

bool IsTempOf(std::string_view entry, const std::string& prefix) {
  if (entry.size() != prefix.size() + kRandomChars || !entry.starts_with(prefix)) {
    return false;
  }
  for (char c : entry.substr(prefix.size())) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string RandomChars() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[kRandomChars];
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    static std::uint64_t counter = 0;
    std::uint64_t v = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter ^
                      static_cast<std::uint64_t>(::time(nullptr));
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(v >>= 5);
  }
  std::string out;
  for (unsigned char b : bytes) out += kChars[b % 36];
  return out;
}

// The folder as a descriptor that can be read, locked and flushed.
Fd ReadableFolder(int folder) {
  return Fd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::int64_t MonotonicMs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// Who may open the lock of a file: exactly the classes that may write it.
mode_t LockMode(const struct stat& file) {
  return ((file.st_mode & S_IWUSR) ? 0600 : 0) | ((file.st_mode & S_IWGRP) ? 0060 : 0) |
         ((file.st_mode & S_IWOTH) ? 0006 : 0);
}

// Whether only writers of `file` can have opened `lock`: its owner is root
// or the file's, and it opens to no class that may not write the file.
bool LockFits(const struct stat& lock, const struct stat& file) {
  return S_ISREG(lock.st_mode) && lock.st_nlink == 1 &&
         (lock.st_uid == 0 || lock.st_uid == file.st_uid) &&
         (lock.st_mode & 07777 & ~LockMode(file)) == 0 &&
         ((lock.st_mode & 0070) == 0 || lock.st_gid == file.st_gid);
}

// Holds the lock of the writers of `name` in `folder` (`file` is what is
// there, st_mode 0 for nothing): a file of its own beside it, named after
// it, that only those who may write the file can open. The file or its
// folder would do as a lock for our writers, but anybody who can read them
// could hold it and stop every write. A lock file that fits no longer (made
// by someone else, or before the file's mode changed) is removed and made
// anew, so that whoever holds the old one holds nothing. Waits at most
// kLockWaitMs for another writer; an empty Fd when the lock is not had.
Fd LockWriters(int folder, const std::string& name, const struct stat& file) {
  struct stat want = file;
  if (file.st_mode == 0) {  // the file we are about to make
    want.st_uid = ::geteuid();
    want.st_gid = ::getegid();
    want.st_mode = S_IFREG | 0600;
  }
  const std::string lock_name = TempPrefix(name) + "lock";
  const char* lock = lock_name.c_str();
  const std::int64_t deadline = MonotonicMs() + kLockWaitMs;
  for (int attempt = 0; attempt < 8 && MonotonicMs() < deadline; ++attempt) {
    Fd fd(::openat(folder, lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd && errno == ENOENT) {
      fd = Fd(::openat(folder, lock, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    } else if (!fd && errno == EACCES) {
      return {};  // a lock of writers we are not one of
    }
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !LockFits(st, want)) {
      if (!fd && errno == EEXIST) continue;  // another writer made it meanwhile
      if (::unlinkat(folder, lock, 0) != 0) return {};
      continue;
    }
    // Opened to all the writers, and only to them.
    if (st.st_uid != want.st_uid || st.st_gid != want.st_gid) {
      (void)!::fchown(fd.get(), want.st_uid, want.st_gid);
    }
    if ((st.st_mode & 07777) != LockMode(want)) (void)!::fchmod(fd.get(), LockMode(want));
    for (int pause_ms = 1; ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0; pause_ms *= 2) {
      const std::int64_t left = deadline - MonotonicMs();
      if ((errno != EWOULDBLOCK && errno != EINTR) || left <= 0) return {};
      const std::int64_t ms = std::min<std::int64_t>({pause_ms, left, 20});
      const timespec pause{0, static_cast<long>(ms * 1000000)};
      ::nanosleep(&pause, nullptr);
    }
    // Still the lock under its name, not one removed meanwhile?
    struct stat now;
    if (::fstatat(folder, lock, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
        now.st_dev == st.st_dev) {
      return fd;
    }
  }
  return {};
}

// Removes the temporary files of `name` that a writer left behind.
void RemoveStaleTemps(int folder, const std::string& name) {
  Fd dir = ReadableFolder(folder);
  if (!dir) return;
  DIR* d = ::fdopendir(dir.get());
  if (d == nullptr) return;
  dir.Release();  // `d` owns it now
  const std::string prefix = TempPrefix(name);
  const time_t now = ::time(nullptr);
  while (struct dirent* e = ::readdir(d)) {
    if (!IsTempOf(e->d_name, prefix)) continue;
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || now - st.st_mtime < kStaleSeconds) {
      continue;
    }
    Fd fd(::openat(::dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held;
    if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &held) == 0 &&
        held.st_ino == st.st_ino && held.st_dev == st.st_dev) {
      ::unlinkat(::dirfd(d), e->d_name, 0);
    }
  }
  ::closedir(d);
}

bool WriteCounted(int fd, std::string_view data, std::size_t* done) {
  *done = 0;
  while (*done < data.size()) {
    ssize_t n = ::write(fd, data.data() + *done, data.size() - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    *done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the new file beside `name` in `folder` and renames it over `name`.
// `old` is what is there now, null for nothing.
bool ReplaceIn(int folder, const std::string& name, std::string_view data,
               const struct stat* old, const ReplaceRules& rules) {
  RemoveStaleTemps(folder, name);
  const std::string prefix = TempPrefix(name);
  std::string temp;
  Fd fd;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    temp = prefix + RandomChars();
    // A new file is made with its final mode; an old file's mode and owner
    // are given to it once it is private to us.
    fd = Fd(::openat(folder, temp.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     old ? 0600 : rules.new_mode));
    if (!fd && errno != EEXIST) return false;
  }
  if (!fd) return false;
  // Nobody removes it as stale while it is being written.
  (void)::flock(fd.get(), LOCK_EX | LOCK_NB);
  bool ok = WriteAllFd(fd.get(), data);
  if (ok && old) {
    // Owner first: changing it clears the set-id bits that fchmod restores.
    if (::geteuid() == 0) {
      ok = ::fchown(fd.get(), old->st_uid, old->st_gid) == 0;
    } else if (old->st_gid != ::getegid()) {
      (void)!::fchown(fd.get(), static_cast<uid_t>(-1), old->st_gid);
    }
    ok = ok && ::fchmod(fd.get(), old->st_mode & 07777) == 0;
  }
  ok = ok && FlushFile(fd.get()) == 0;
  if (ok) {
    if (rules.only_if_missing) {
      ok = ::renameat2(folder, temp.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0;
      if (!ok && (errno == EINVAL || errno == ENOSYS)) {
        // No RENAME_NOREPLACE here: a hard link fails on a name in use too.
        ok = ::linkat(folder, temp.c_str(), folder, name.c_str(), 0) == 0;
        if (ok) ::unlinkat(folder, temp.c_str(), 0);
      }
    } else {
      ok = ::renameat(folder, temp.c_str(), folder, name.c_str()) == 0;
    }
  }
  if (!ok) {
    int saved = errno;
    ::unlinkat(folder, temp.c_str(), 0);
    errno = saved;
    return false;
  }
  Fd dir = ReadableFolder(folder);
  if (dir) SyncFolder(dir.get());
  return true;
}

// The folder and name a replacement of `path` writes: with `follow_last`
// the target of a trusted link (so the link stays), else `path` itself.
// `old` receives what is there (st_mode 0 for nothing).
Fd ReplaceTarget(const std::string& path, bool follow_last, std::string* name,
                 struct stat* old) {
  std::string target = path;
  if (follow_last) {
    std::string resolved = ResolveTrusted(path);
    if (resolved.empty()) return {};
    target = resolved;
  }
  Fd folder = OpenParent(target, name);
  if (!folder) return {};
  if (::fstatat(folder.get(), name->c_str(), old, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return {};
    old->st_mode = 0;
    return folder;
  }
  if (S_ISDIR(old->st_mode)) {
    errno = EISDIR;
    return {};
  }
  if (S_ISLNK(old->st_mode)) {
    errno = ELOOP;
    return {};
  }
  if (!S_ISREG(old->st_mode) || old->st_nlink > 1 || ReadOnly(folder.get(), *name, *old)) {
    errno = EACCES;
    return {};
  }
  return folder;
}

}  // namespace

int (*FlushFile)(int fd) = ::fsync;

bool TrustedOwner(uid_t uid) {
  static const uid_t self = ::geteuid();
  return uid == 0 || uid == self;
}

Fd OpenPath(const std::string& path, int flags, mode_t mode, bool follow_last) {
  if (path.empty()) {
    errno = ENOENT;
    return {};
  }
  int fd = OpenNoLinks(path.c_str(), flags | O_CLOEXEC | (follow_last ? 0 : O_NOFOLLOW), mode);
  if (fd >= 0) return Fd(fd);
  if (errno != ELOOP && errno != ENOSYS && errno != E2BIG && errno != EPERM) return {};
  return Walk(nullptr).Open(path, flags, mode, follow_last);
}

Fd OpenParent(const std::string& path, std::string* name) {
  std::string folder;
  if (!SplitPath(path, &folder, name)) return {};
  return OpenPath(folder, O_PATH | O_DIRECTORY, 0, true);
}

std::string ResolveTrusted(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute.front() != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    absolute = std::string(cwd) + "/" + absolute;
  }
  // Most paths need no walk.
  if (std::string plain = StandsForItself(absolute); !plain.empty()) return plain;
  Trail trail;
  Walk walk(&trail);
  Fd fd = walk.Open(absolute, O_PATH, 0, true, true);
  if (!fd) return {};
  for (const std::string& part : walk.Missing()) trail.Enter(part);
  return trail.Text();
}

std::string UntrustedBecause(const std::string& path) {
  std::string name;
  Fd folder = OpenParent(path, &name);
  if (!folder) {
    return errno == ELOOP ? "a symbolic link on its path is not trusted" : "";
  }
  struct stat st;
  if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return "";
  if (S_ISLNK(st.st_mode)) {
    if (!TrustedOwner(st.st_uid)) {
      return "it is a symbolic link of user " + std::to_string(st.st_uid);
    }
    Fd target = OpenPath(path, O_PATH, 0, true);
    if (!target || ::fstat(target.get(), &st) != 0) return "";
  }
  if (!TrustedOwner(st.st_uid)) return "it belongs to user " + std::to_string(st.st_uid);
  if (st.st_mode & S_IWOTH) return "every user may write it";
  if (st.st_mode & S_IWGRP) return "group " + std::to_string(st.st_gid) + " may write it";
  return "";
}

bool AppendToFile(const std::string& path, std::string_view data, bool create) {
  const int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY;
  // A log line is written many times a second: a file that is there is
  // opened in one call when no link is on its path.
  Fd fd = OpenPath(path, flags);
  bool created = false;
  if (!fd && errno == ENOENT && create) {
    std::string name;
    Fd folder = OpenParent(path, &name);
    if (!folder) return false;
    const int in_folder = flags | O_NOFOLLOW | O_CLOEXEC;
    fd = Fd(::openat(folder.get(), name.c_str(), in_folder | O_CREAT | O_EXCL, 0666));
    created = static_cast<bool>(fd);
    if (!fd && errno == EEXIST) fd = Fd(::openat(folder.get(), name.c_str(), in_folder));
  }
  if (!fd) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1 || (!created && (st.st_mode & 0222) == 0)) {
    errno = EACCES;
    return false;
  }
  std::size_t done = 0;
  if (!WriteCounted(fd.get(), data, &done)) {
    const int saved = errno;
    struct stat now;
    // Only what this write added is taken back.
    if (done > 0 && ::fstat(fd.get(), &now) == 0 &&
        now.st_size == st.st_size + static_cast<off_t>(done)) {
      (void)!::ftruncate(fd.get(), st.st_size);
    }
    errno = saved;
    return false;
  }
  return fd.Close();
}

bool ReplaceFile(const std::string& path, std::string_view data,
                 const ReplaceRules& rules) {
  std::string name;
  struct stat old;
  Fd folder = ReplaceTarget(path, rules.follow_last, &name, &old);
  if (!folder) return false;
  if (old.st_mode != 0 && rules.only_if_missing) {
    errno = EEXIST;
    return false;
  }
  return ReplaceIn(folder.get(), name, data, old.st_mode ? &old : nullptr, rules);
}

bool UpdateFile(const std::string& path,
                const std::function<bool(std::string& bytes, bool exists)>& edit,
                const ReplaceRules& rules) {
  std::string name;
  struct stat old;
  Fd folder = ReplaceTarget(path, rules.follow_last, &name, &old);
  if (!folder) return false;
  // Writers of ours take turns: each reads what the one before it wrote.
  // Without the lock in time the write goes ahead all the same, as it does
  // where no lock can be made (a read-only or lock-less file system): only
  // the file's writers can hold the lock, so one that holds it this long is
  // stuck (stopped, or on a hung disk). Failing instead would drop the
  // change, mostly unseen (the service's own writes are not checked, as on
  // Windows), and waiting on would hold up the service's answer to a stop;
  // going ahead risks only the stuck writer's change, should it ever go on.
  Fd lock = LockWriters(folder.get(), name, old);
  // What is there now, read after the lock was taken.
  std::string bytes;
  bool exists = false;
  Fd fd(::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd) {
    if (::fstat(fd.get(), &old) != 0) return false;
    if (!S_ISREG(old.st_mode) || old.st_nlink > 1 || ReadOnly(folder.get(), name, old)) {
      errno = S_ISDIR(old.st_mode) ? EISDIR : EACCES;
      return false;
    }
    if (!ReadAllFd(fd.get(), &bytes)) return false;
    exists = true;
  } else if (errno != ENOENT) {
    return false;
  }
  fd.Close();
  if (!edit(bytes, exists)) return true;
  return ReplaceIn(folder.get(), name, bytes, exists ? &old : nullptr, rules);
}

bool RemoveFile(const std::string& path, bool force) {
  std::string name;
  Fd folder = OpenParent(path, &name);
  if (!folder) return false;
  struct stat st;
  if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!force && !S_ISLNK(st.st_mode) && ReadOnly(folder.get(), name, st)) {
    errno = EACCES;
    return false;
  }
  return ::unlinkat(folder.get(), name.c_str(), 0) == 0;
}

bool SyncFolder(int folder_fd) {
  return ::fsync(folder_fd) == 0 || errno == EINVAL || errno == EROFS;
}

}  // namespace qs::platform::posix
