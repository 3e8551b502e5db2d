// The profile functions on POSIX: GetPrivateProfileString and
// WritePrivateProfileString over the files' text rules in profile_text.h,
// and GetProfileString for the few values of the user's profile the service
// reads.
//
// Reading keeps the parsed form of the last files read. Every lookup checks
// its file with one stat() (device, inode, size, modification and change
// time to the nanosecond) and parses it again on any difference, so a change
// on disk is seen at the next lookup. A file whose time stamps are too close
// to the moment it was read cannot be trusted that way (a second change
// within the same clock tick keeps the time stamps) and is parsed again on
// every lookup until it has aged.
//
// Writing reads the file afresh, changes only the affected line and replaces
// the file atomically: a temporary file in the same folder is written,
// flushed and renamed over the old one, so a reader sees the old or the new
// file, never half of one.
//
// A file name without a folder names a file in the current folder: there is
// no system folder to look in as there is on Windows.
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/fd_io.h"
#include "platform/posix/posix_impl.h"
#include "platform/posix/profile_text.h"

namespace qs::platform::posix {
namespace {

using profile::CaseFold;
using profile::ParsedProfile;

constexpr std::size_t kCachedFiles = 16;

// Copies at most size-1 bytes and a NUL; returns the count copied.
std::uint32_t CopyOut(std::string_view text, char* buffer, std::uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<std::uint32_t>(n);
}

// Names each ended by a NUL, then a final NUL the count leaves out. A list
// that does not fit is cut to size-2 bytes and ended by two NULs.
std::uint32_t CopyList(const std::vector<std::string_view>& names, char* buffer,
                       std::uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  std::string all;
  for (std::string_view n : names) {
    all.append(n);
    all.push_back('\0');
  }
  if (all.size() + 1 <= size) {
    std::memcpy(buffer, all.data(), all.size());
    buffer[all.size()] = '\0';
    return static_cast<std::uint32_t>(all.size());
  }
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, all.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

// The default as it comes back: trailing spaces removed (never its first
// character), then its quotes.
std::string_view DefaultText(const char* def) {
  std::string_view d = def ? def : "";
  while (d.size() > 1 && d.back() == ' ') d.remove_suffix(1);
  return profile::WithoutQuotes(d);
}

std::string_view CurrentCodeset() {
  const char* cs = ::nl_langinfo(CODESET);
  return cs ? cs : "";
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::int64_t Nanos(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// How long after its last change a file's time stamps stay ambiguous: a
// clock tick for file systems with fine time stamps, two seconds for those
// that keep whole seconds only.
std::int64_t AmbiguityWindow(const struct stat& st) {
  if (st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0) return 2000000000;
  return 100000000;
}

bool ReadWhole(int fd, std::string& out) {
  out.clear();
  return ReadAllFd(fd, &out);
}

bool ReadFile(const std::string& path, std::string& out, struct stat* st) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = (st == nullptr || ::fstat(fd, st) == 0) && ReadWhole(fd, out);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

// The file a path finally names: symbolic links of its last component are
// followed, so that a write replaces the target and keeps the link.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat lst;
    if (::lstat(path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) break;
    std::string target(static_cast<std::size_t>(lst.st_size) + 256, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0) break;
    target.resize(static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    if (target.front() != '/' && slash != std::string::npos) {
      target.insert(0, path, 0, slash + 1);
    }
    path = std::move(target);
  }
  return path;
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A file without any write permission is read-only for everybody, root
// included, as the read-only attribute is on Windows.
bool IsReadOnly(const std::string& path, const struct stat& st) {
  return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}

// Used only when the folder does not let us make the temporary file but the
// file itself may be written.
bool WriteInPlace(const std::string& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAllFd(fd, data) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) return false;
  errno = saved;
  return ok;
}

bool ReplaceAtomically(const std::string& path, std::string_view data,
                       const struct stat* old) {
  static unsigned counter = 0;
  const std::string folder = FolderOf(path);
  const std::string base = path.substr(path.rfind('/') + 1);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder + "/." + base + "." + std::to_string(::getpid()) + "." +
           std::to_string(++counter) + ".tmp";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    if (old && (errno == EACCES || errno == EPERM)) {
      return WriteInPlace(path, data);
    }
    return false;
  }
  bool ok = WriteAllFd(fd, data);
  if (ok && old) {
    // Owner first: changing it clears the set-id bits that fchmod restores.
    if (::geteuid() == 0) {
      ok = ::fchown(fd, old->st_uid, old->st_gid) == 0;
    } else if (old->st_gid != ::getegid()) {
      (void)!::fchown(fd, static_cast<uid_t>(-1), old->st_gid);
    }
    ok = ok && ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

class PosixProfile final : public ProfileApi {
 public:
  std::uint32_t GetPrivateProfileString(const char* section, const char* key,
                                        const char* def, char* buffer,
                                        std::uint32_t size,
                                        const char* file) override {
    const ParsedProfile* p = Load(file);
    std::vector<std::string_view> names;
    if (section == nullptr) {  // a list, empty for a missing file
      if (p != nullptr) {
        for (const ParsedProfile::Section& s : p->sections) {
          if (!s.name.empty()) names.push_back(s.name);
        }
      }
      return CopyList(names, buffer, size);
    }
    if (p == nullptr) return CopyOut(DefaultText(def), buffer, size);
    const ParsedProfile::Section* s =
        p->Find(profile::Folded(profile::TrimmedName(section), fold_));
    if (s == nullptr) return CopyOut(DefaultText(def), buffer, size);
    if (key == nullptr) {
      for (const std::string& n : s->key_names) {
        if (!n.empty() && n.front() != ';') names.push_back(n);
      }
      if (names.empty()) return CopyOut(DefaultText(def), buffer, size);
      return CopyList(names, buffer, size);
    }
    auto it = s->values.find(profile::Folded(profile::TrimmedName(key), fold_));
    if (it == s->values.end() || !it->second.present) {
      return CopyOut(DefaultText(def), buffer, size);
    }
    return CopyOut(it->second.text, buffer, size);
  }

  bool WritePrivateProfileString(const char* section, const char* key,
                                 const char* value, const char* file) override {
    if (section == nullptr) {
      errno = ENOENT;
      return false;
    }
    if (file == nullptr || *file == '\0') {
      errno = EINVAL;
      return false;
    }
    Forget(file);
    const std::string path = FollowLinks(file);
    Forget(path);
    CaseFold fold = FoldNow();

    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    std::string bytes;
    if (exists) {
      if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
      }
      if (IsReadOnly(path, st)) {
        errno = EACCES;
        return false;
      }
      if (!ReadFile(path, bytes, nullptr)) return false;
    } else {
      struct stat folder;
      if (::stat(FolderOf(path).c_str(), &folder) != 0) return false;
      if (!S_ISDIR(folder.st_mode)) {
        errno = ENOTDIR;
        return false;
      }
    }
    if (!profile::Edit(bytes, section, key, value, fold)) return true;
    return ReplaceAtomically(path, bytes, exists ? &st : nullptr);
  }

  std::uint32_t GetProfileString(const char* app, const char* key,
                                 const char* def, char* buffer,
                                 std::uint32_t size) override {
    // The user's profile holds nothing but the decimal separator of the
    // regional settings.
    CaseFold fold = FoldNow();
    if (app && key &&
        profile::Folded(profile::TrimmedName(app), fold) == "intl" &&
        profile::Folded(profile::TrimmedName(key), fold) == "sdecimal") {
      const std::lconv* lc = std::localeconv();
      const char* point = lc && lc->decimal_point && *lc->decimal_point
                              ? lc->decimal_point
                              : ".";
      return CopyOut(point, buffer, size);
    }
    return CopyOut(DefaultText(def), buffer, size);
  }

 private:
  struct Entry {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    bool trusted = false;  // time stamps old enough to reveal any change
    std::string codeset;
    std::uint64_t last_use = 0;
    ParsedProfile parsed;
  };

  // The parsed file, current as of this call; null when it cannot be read.
  const ParsedProfile* Load(const char* file) {
    if (file == nullptr || *file == '\0') {
      errno = EACCES;
      return nullptr;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    FoldNow();
    struct stat st;
    int rc = ::stat(file, &st);
    if (rc != 0 || !S_ISREG(st.st_mode)) {
      int saved = rc != 0 ? errno : EACCES;
      Forget(file);
      errno = saved;
      return nullptr;
    }
    Entry* e = Find(file);
    if (e && e->trusted && e->dev == st.st_dev && e->ino == st.st_ino &&
        e->size == st.st_size && SameTime(e->mtime, st.st_mtim) &&
        SameTime(e->ctime, st.st_ctim) && e->codeset == codeset_) {
      e->last_use = ++clock_;
      return &e->parsed;
    }
    std::string bytes;
    if (!ReadFile(file, bytes, &st)) {
      Forget(file);
      return nullptr;
    }
    if (e == nullptr) e = NewEntry(file);
    e->dev = st.st_dev;
    e->ino = st.st_ino;
    e->size = st.st_size;
    e->mtime = st.st_mtim;
    e->ctime = st.st_ctim;
    std::int64_t changed = Nanos(st.st_mtim) > Nanos(st.st_ctim)
                               ? Nanos(st.st_mtim)
                               : Nanos(st.st_ctim);
    e->trusted = changed + AmbiguityWindow(st) < Nanos(now);
    e->codeset = codeset_;
    e->last_use = ++clock_;
    e->parsed = profile::Parse(profile::DecodeToAnsi(bytes), fold_);
    return &e->parsed;
  }

  // The fold of the locale's character set, which may change at any time.
  CaseFold FoldNow() {
    std::string_view codeset = CurrentCodeset();
    if (codeset != codeset_) {
      codeset_.assign(codeset);
      fold_ = profile::FoldForCodeset(codeset);
    }
    return fold_;
  }

  Entry* Find(std::string_view path) {
    for (Entry& e : cache_) {
      if (e.path == path) return &e;
    }
    return nullptr;
  }

  Entry* NewEntry(const char* path) {
    if (cache_.size() < kCachedFiles) {
      cache_.emplace_back();
      cache_.back().path = path;
      return &cache_.back();
    }
    Entry* oldest = &cache_.front();
    for (Entry& e : cache_) {
      if (e.last_use < oldest->last_use) oldest = &e;
    }
    *oldest = Entry();
    oldest->path = path;
    return oldest;
  }

  void Forget(std::string_view path) {
    for (std::size_t i = 0; i < cache_.size(); ++i) {
      if (cache_[i].path == path) {
        cache_.erase(cache_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
    }
  }

  std::vector<Entry> cache_;  // at most kCachedFiles, least recent evicted
  std::uint64_t clock_ = 0;
  std::string codeset_;
  CaseFold fold_ = CaseFold::kAscii;
};

}  // namespace

ProfileApi& Profile() {
  static PosixProfile profile;
  return profile;
}

}  // namespace qs::platform::posix
