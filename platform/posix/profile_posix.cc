// The profile functions on POSIX: GetPrivateProfileString and
// WritePrivateProfileString over the files' text rules in profile_text.h,
// and GetProfileString for the few values of the user's profile the service
// reads.
//
// Reading keeps the parsed form of the last files read, and every lookup
// makes sure its file has not changed since, so that a change on disk is
// seen at the very next lookup (within a batch, ProfileBatch, at the first
// lookup of the file: the batch reads as of one moment):
//   - Where it can be trusted, the folder of a file looked up more than
//     once is watched (one inotify instance for all of them; a file read
//     just once costs no watch). A lookup reads the pending events without
//     waiting, which usually finds none, and drops the files of the names
//     that changed. The kernel queues an event before the changing call
//     returns, so nothing that happened before the lookup is missed.
//   - Everywhere else, and as a second line once a second for watched files
//     (a folder further up may have been renamed), the lookup checks its file
//     with one stat() (device, inode, size, modification and change time to
//     the nanosecond) and parses it again on any difference. A file whose
//     time stamps are too close to the moment it was read cannot be trusted
//     that way (a second change within the same clock tick keeps the time
//     stamps) and is parsed again on every such lookup until it has aged.
// A watch is not trusted for a relative path (the current folder may
// change), a path with "." or ".." in it, a symbolic link as the file or its
// folder, a file with more than one name or mounted on its own (changes
// through another name are reported to another folder), or a file system
// that does not hear of other hosts' writes.
//
// Writing reads the file afresh, changes only the affected line and replaces
// the file atomically (safe_files.h): a temporary file in the same folder is
// written, flushed and renamed over the old one, so a reader sees the old or
// the new file, never half of one, and a crash leaves one or the other. A
// folder in which no temporary file can be made is an error (EACCES): the
// file is never rewritten in place. Writers of ours take turns through a
// lock file that only the file's writers can open, so none loses another's
// change and nobody else can hold a write up; a program that
// writes without the lock can still lose its change to ours, or ours to it,
// when both write within the same moment. Section, key or value with a line
// break are refused (EINVAL): no line of a caller's choosing reaches a file.
//
// A file name without a folder names a file in the current folder: there is
// no system folder to look in as there is on Windows.
#include <fcntl.h>
#include <langinfo.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/fd_io.h"
#include "platform/posix/inotify.h"
#include "platform/posix/posix_impl.h"
#include "platform/posix/profile_text.h"
#include "platform/posix/safe_files.h"

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

// File systems whose change notification covers every writer: local ones,
// where all changes pass through this kernel. Network and user-space file
// systems (NFS, SMB, FUSE, 9P, Ceph, ...) do not hear of other hosts'
// writes, and an unknown one is not trusted either.
bool ReportsEveryChange(const struct statfs& fs) {
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0x794C7630:  // overlay
    case 0xF2F52010:  // f2fs
    case 0x3153464A:  // jfs
    case 0x52654973:  // reiserfs
    case 0x2FC12FC1:  // zfs
    case 0xCA451A4E:  // bcachefs
    case 0x3434:      // nilfs2
    case 0x4D44:      // vfat, msdos
    case 0x2011BAB0:  // exfat
    case 0x5346544E:  // ntfs
    case 0x7366746E:  // ntfs3
    case 0x482B:      // hfsplus
      return true;
    default:
      return false;
  }
}

bool HasDotComponent(std::string_view path) {
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    if (part == "." || part == "..") return true;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return false;
}

// Watches folders through one inotify instance and reports what changed in
// them since the last look.
class FolderWatch {
 public:
  // The watch descriptor of `folder`, or -1 when its changes cannot be
  // learnt this way.
  int Watch(const std::string& folder) {
    if (state_ == kNever) return -1;
    if (!inotify_) {
      inotify_ = std::make_unique<Inotify>();
      if (inotify_->fd() < 0) {
        // Out of descriptors or instances may pass; missing support won't.
        bool later = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        inotify_.reset();
        if (!later) state_ = kNever;
        return -1;
      }
    }
    struct statfs fs;
    if (::statfs(folder.c_str(), &fs) != 0 || !ReportsEveryChange(fs)) {
      return -1;
    }
    // Not through a symbolic link: the link's own folder is not watched.
    int wd = inotify_->AddWatch(folder, kEvents);
    if (wd < 0) return -1;  // ENOSPC (too many watches) among others
    for (int w : watches_) {
      if (w == wd) return wd;
    }
    watches_.push_back(wd);
    return wd;
  }

  // Calls `changed(wd, name)` for each name that changed in a watched
  // folder since the last call, with an empty name when the folder itself
  // changed, and with wd -1 when anything may have changed (events were
  // lost, or the watching failed and has stopped).
  template <class Changed>
  void Read(Changed&& changed) {
    if (!inotify_) return;
    auto one = [&](const struct inotify_event& ev, std::string_view name) {
      if (ev.mask & IN_Q_OVERFLOW) {
        changed(-1, std::string_view());
        return;
      }
      if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
        // The watch no longer stands for the folder at its path.
        if (ev.mask & IN_MOVE_SELF) inotify_->RemoveWatch(ev.wd);
        std::erase(watches_, ev.wd);
      }
      changed(ev.wd, name);
    };
    for (;;) {
      switch (inotify_->ReadQueued(one)) {
        case Inotify::Read::kMore:
          continue;
        case Inotify::Read::kFailed:
          inotify_.reset();
          state_ = kNever;
          watches_.clear();
          changed(-1, std::string_view());
          return;
        default:
          return;
      }
    }
  }

  // Stops the watches nobody needs any more.
  void Keep(const std::vector<int>& needed) {
    std::erase_if(watches_, [&](int wd) {
      for (int n : needed) {
        if (n == wd) return false;
      }
      inotify_->RemoveWatch(wd);
      return true;
    });
  }

 private:
  enum State { kNotYet, kNever };
  static constexpr std::uint32_t kEvents =
      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
      IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
      IN_ONLYDIR | IN_DONT_FOLLOW;

  std::unique_ptr<Inotify> inotify_;  // made at the first watch
  State state_ = kNotYet;
  std::vector<int> watches_;
};

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
    // A line break would start a line of the caller's choosing.
    for (const char* text : {section, key, value}) {
      if (text && std::strpbrk(text, "\r\n")) {
        errno = EINVAL;
        return false;
      }
    }
    Forget(file);
    CaseFold fold = FoldNow();
    ReplaceRules rules;
    rules.follow_last = true;  // the file behind a link changes; the link stays
    const bool ok = UpdateFile(
        file,
        [&](std::string& bytes, bool) {
          return profile::Edit(bytes, section, key, value, fold);
        },
        rules);
    // The cache may hold the file under the name a link led to.
    cache_.clear();
    return ok;
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

  void BeginBatch() override {
    if (batch_depth_++ == 0) {
      batch_checked_ = false;
      ++batch_;
    }
  }
  void EndBatch() override {
    if (batch_depth_ > 0) --batch_depth_;
  }

 private:
  struct Entry {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    bool trusted = false;  // time stamps old enough to reveal any change
    int wd = -1;           // the folder's watch; -1: a stat() every lookup
    bool watch_tried = false;
    std::string name;      // the file's name in that folder
    std::uint32_t checked = 0;  // TickCount of the last stat()
    std::string codeset;
    std::uint64_t last_use = 0;
    std::uint64_t batch = 0;  // the batch that last checked it
    ParsedProfile parsed;

    bool Matches(const struct stat& st) const {
      return dev == st.st_dev && ino == st.st_ino && size == st.st_size &&
             SameTime(mtime, st.st_mtim) && SameTime(ctime, st.st_ctim);
    }
  };

  // How long a watched file goes without a stat(): a rename of a folder
  // further up its path is seen within this time.
  static constexpr std::uint32_t kRecheckMs = 1000;

  // The parsed file, current as of this call; null when it cannot be read.
  const ParsedProfile* Load(const char* file) {
    if (file == nullptr || *file == '\0') {
      errno = EACCES;
      return nullptr;
    }
    FoldNow();
    if (batch_depth_ == 0 || !batch_checked_) {
      watch_.Read([this](int wd, std::string_view name) { Drop(wd, name); });
      batch_checked_ = batch_depth_ > 0;
    }
    Entry* e = Find(file);
    // Checked already in this batch: as of the batch's moment.
    if (e && batch_depth_ > 0 && e->batch == batch_ && e->codeset == codeset_) {
      e->last_use = ++clock_;
      return &e->parsed;
    }
    e = Check(file, e);
    if (e == nullptr) return nullptr;
    if (batch_depth_ > 0) e->batch = batch_;
    return &e->parsed;
  }

  // Load for a file not checked in this batch, whose entry `e` may be
  // null: the entry, current as of this call; null when it cannot be read.
  Entry* Check(const char* file, Entry* e) {
    const std::uint32_t ticks = Current().clock->TickCount();
    if (e && e->wd >= 0 && e->codeset == codeset_ &&
        ticks - e->checked < kRecheckMs) {
      e->last_use = ++clock_;
      return e;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat st;
    int rc = ::stat(file, &st);
    if (rc != 0 || !S_ISREG(st.st_mode)) {
      int saved = rc != 0 ? errno : EACCES;
      Forget(file);
      errno = saved;
      return nullptr;
    }
    // A watched file needs no aged time stamps: a change within the same
    // clock tick is reported all the same.
    if (e && (e->trusted || e->wd >= 0) && e->Matches(st) &&
        e->codeset == codeset_) {
      if (e->wd < 0 && !e->watch_tried) StartWatching(*e);
      e->checked = ticks;
      e->last_use = ++clock_;
      return e;
    }
    // A file is watched from its second lookup on: one read once, as the
    // job files are, costs no watch. Watch first, read second, so that a
    // change after the read is reported.
    std::string name;
    int wd = -1;
    if (e && (!e->watch_tried || e->wd >= 0)) {
      wd = WatchFor(file, &name);
      e->watch_tried = true;
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
    e->wd = st.st_nlink == 1 ? wd : -1;
    e->name = std::move(name);
    e->checked = ticks;
    e->codeset = codeset_;
    e->last_use = ++clock_;
    e->parsed = profile::Parse(profile::DecodeToAnsi(bytes), fold_);
    StopUnneededWatches();
    return e;
  }

  // Watches a cached file that has not changed since it was read; its time
  // stamps are old enough to show a change made before the watch was set.
  void StartWatching(Entry& e) {
    e.watch_tried = true;
    std::string name;
    int wd = WatchFor(e.path, &name);
    struct stat st;
    if (wd >= 0 && ::stat(e.path.c_str(), &st) == 0 && e.Matches(st) &&
        st.st_nlink == 1) {
      e.wd = wd;
      e.name = std::move(name);
    }
    StopUnneededWatches();
  }

  void StopUnneededWatches() {
    std::vector<int> needed;
    for (const Entry& c : cache_) {
      if (c.wd >= 0) needed.push_back(c.wd);
    }
    watch_.Keep(needed);
  }

  // The watch that reports changes of `path`, or -1 when only a stat() of
  // the path can be trusted; `name` is the file's name in its folder.
  int WatchFor(const std::string& path, std::string* name) {
    if (path.front() != '/' || HasDotComponent(path)) return -1;
    std::size_t slash = path.rfind('/');
    *name = path.substr(slash + 1);
    int wd = watch_.Watch(slash == 0 ? "/" : path.substr(0, slash));
    if (wd < 0) return -1;
    // A file mounted on its own path reports its changes to the folder it
    // was mounted from.
    struct statx stx;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE,
                &stx) != 0 ||
        !S_ISREG(stx.stx_mode) ||
        !(stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) ||
        (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
      return -1;
    }
    return wd;
  }

  // Drops the files a change in a watched folder may concern.
  void Drop(int wd, std::string_view name) {
    if (wd < 0) {
      cache_.clear();
      return;
    }
    std::erase_if(cache_, [&](const Entry& e) {
      return e.wd == wd && (name.empty() || e.name == name);
    });
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
  // Inside a batch the watch is read at the first lookup only, and each
  // file is checked at its first lookup only.
  int batch_depth_ = 0;
  bool batch_checked_ = false;
  std::uint64_t batch_ = 0;  // the current or last batch, counted from 1
  FolderWatch watch_;
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
