// Folder watches on Windows: ReadDirectoryChangesW, overlapped, with a
// completion routine. Completion routines run inside the message loop's
// alertable waits and pumps, so every report is handled on the loop's
// thread (message_loop_win32.cc).
//
// A watched folder is served by a handle that watches its whole tree: its
// own, or that of a watched folder above it. So no handle is ever held
// inside a watched tree, and its subfolders can be deleted and renamed
// freely; each report goes to the watched folder it is in, if that folder
// is served by the handle that reported it.
//
// What Windows reports, and the changes it becomes:
//   FILE_ACTION_ADDED             kCreated; for a file then kWritten
//   FILE_ACTION_MODIFIED          kWritten for a file, nothing for a folder
//   FILE_ACTION_REMOVED           kDeleted
//   FILE_ACTION_RENAMED_OLD_NAME  kMovedOut
//   FILE_ACTION_RENAMED_NEW_NAME  kMovedIn
//   a notification that did not fit the buffer    kOverflow
// Windows tells no one when a file is closed. A file counts as written once
// no program holds it open for writing: an open that denies writers
// succeeds. While that open fails, the file is tried again every
// kBusyRetryMs, and kWritten comes when it succeeds.
//
// kFolderGone: a folder removed or renamed away, as a report about it (or
// about a folder above it) says, or one whose handle fails. The parent of a
// folder with a handle of its own is watched as well (without its tree),
// since the removal of a folder does not reach its own handle everywhere.
// After kFolderGone a watch reports nothing more.
//
// The handles allow deleting and renaming the watched folders themselves
// (FILE_SHARE_DELETE); as with every open handle, the folders above them
// cannot be renamed meanwhile. Under Wine a watched folder deleted through
// Windows calls stays until its handle closes, and nothing reports it (one
// deleted by a Linux program is reported).
#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/dir_watch_delivery.h"
#include "platform/message_loop.h"
#include "platform/posted_tasks.h"
#include "platform/runtime_error.h"
#include "platform/win32/win32_impl.h"

namespace qs::platform {
namespace {

using win32::FileAttributes;
using win32::SystemPath;
using win32::TryOpenDenyingWriters;
using win32::Utf8FromWide;
using win32::WideFromUtf8;

// "Too many files": the classic number for running out of watches.
constexpr std::int32_t kErrTooManyFiles = 67;
constexpr DWORD kBufferBytes = 64 * 1024;  // the most a network share takes
constexpr std::uint32_t kBusyRetryMs = 250;
constexpr DWORD kFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;

[[noreturn]] void ThrowWatchError(DWORD err, const std::string& folder) {
  if (err == ERROR_NO_SYSTEM_RESOURCES || err == ERROR_NOT_ENOUGH_MEMORY ||
      err == ERROR_NOT_ENOUGH_QUOTA || err == ERROR_TOO_MANY_OPEN_FILES) {
    throw RuntimeError(
        kErrTooManyFiles,
        "Folder watch: the system has no resources for another folder watch "
        "(error " +
            std::to_string(err) + "): " + folder);
  }
  throw RuntimeError(ErrNoFromWin32(err));
}

// The key of a folder: its full path in upper case, as Windows compares
// names.
std::string Upper(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  if (!wide.empty()) CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  return Utf8FromWide(wide);
}

// "" for a root ("C:\", "\\server\share").
std::string ParentOf(const std::string& full) {
  std::size_t cut = full.find_last_of('\\');
  if (cut == std::string::npos || cut + 1 == full.size()) return "";
  if (full.rfind("\\\\", 0) == 0 &&
      full.find('\\', full.find('\\', 2) + 1) == std::string::npos) {
    return "";
  }
  return full.substr(0, cut == 2 && full[1] == ':' ? 3 : cut);
}

std::string Child(const std::string& folder, const std::string& name) {
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

class Win32Watcher;

struct Subscription {
  DirWatcher::WatchId id;
  DirWatcher::Handler handler;
  bool ended = false;  // unwatched, or its folder is gone
};

// One open folder handle and its outstanding read.
struct DirHandle {
  OVERLAPPED overlapped{};          // hEvent points back to the handle
  Win32Watcher* watcher = nullptr;  // null once closed
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path, key;
  bool tree = false;  // reports the whole tree, or the folder alone
  int users = 0;      // folders it serves, or whose parent it watches
  std::vector<DWORD> buffer = std::vector<DWORD>(kBufferBytes / sizeof(DWORD));
  std::shared_ptr<DirHandle> in_flight;  // itself, while a read is outstanding
};

// A watched folder.
struct Folder {
  std::string path, key;
  std::vector<std::shared_ptr<Subscription>> subs;
  std::shared_ptr<DirHandle> served_by;  // the tree handle that reports it
  std::shared_ptr<DirHandle> parent;  // its parent's, with a handle of its own
  std::set<std::string> busy;         // files held open for writing elsewhere
  bool gone = false;
};

// What a completion brought, queued so that reports keep their order when
// a handler pumps and further completions run inside it.
struct Report {
  enum Kind { kAction, kOverflow, kFailed, kWrittenNow };
  std::shared_ptr<DirHandle> handle;
  Kind kind;
  DWORD action = 0;
  std::string name;  // below the handle's folder; for kWrittenNow the file
  std::shared_ptr<Folder> folder;  // kWrittenNow only
};

class Win32Watcher final : public DirWatcher,
                           public std::enable_shared_from_this<Win32Watcher> {
 public:
  explicit Win32Watcher(MessageLoop& loop) : loop_(loop) {}

  ~Win32Watcher() override {
    for (auto* handles : {&trees_, &parents_}) {
      std::map<std::string, std::shared_ptr<DirHandle>> all = *handles;
      for (const auto& [key, h] : all) Close(h);
    }
  }

  WatchId Watch(const std::string& folder, Handler handler) override {
    const std::string full = win32::FullPath(folder);
    DWORD attrs = FileAttributes(full);
    if (attrs == INVALID_FILE_ATTRIBUTES) ThrowWatchError(GetLastError(), full);
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      throw RuntimeError(kErrPathNotFound);
    }
    const std::string key = Upper(full);
    std::shared_ptr<Folder>& f = folders_[key];
    if (!f) {
      try {
        f = NewFolder(full, key);
      } catch (...) {
        folders_.erase(key);
        throw;
      }
    }
    auto sub = std::make_shared<Subscription>(
        Subscription{next_id_++, std::move(handler)});
    f->subs.push_back(sub);
    by_id_.emplace(sub->id, std::make_pair(sub, f));
    return sub->id;
  }

  void Unwatch(WatchId id) override {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return;
    auto [sub, f] = std::move(it->second);
    by_id_.erase(it);
    sub->ended = true;
    std::erase(f->subs, sub);
    if (f->subs.empty()) Forget(f);
  }

 private:
  // A folder served by the tree handle of a watched folder above it, or by
  // one of its own (then with its parent watched too).
  std::shared_ptr<Folder> NewFolder(const std::string& full,
                                    const std::string& key) {
    auto f = std::make_shared<Folder>();
    f->path = full;
    f->key = key;
    for (std::string up = full; !up.empty(); up = ParentOf(up)) {
      auto tree = trees_.find(Upper(up));
      if (tree != trees_.end()) {
        f->served_by = tree->second;
        break;
      }
    }
    if (!f->served_by) {
      f->served_by = Open(trees_, full, true);
      // A parent that cannot be watched leaves only the folder's own handle
      // to tell of its removal.
      const std::string parent = ParentOf(full);
      if (!parent.empty()) {
        try {
          f->parent = Open(parents_, parent, false);
          ++f->parent->users;
        } catch (const RuntimeError&) {
        }
      }
    }
    ++f->served_by->users;
    return f;
  }

  // The handle of `full` in `handles`, opened now when it is not yet.
  std::shared_ptr<DirHandle> Open(
      std::map<std::string, std::shared_ptr<DirHandle>>& handles,
      const std::string& full, bool tree) {
    const std::string key = Upper(full);
    auto found = handles.find(key);
    if (found != handles.end()) return found->second;
    auto h = std::make_shared<DirHandle>();
    h->path = full;
    h->key = key;
    h->tree = tree;
    h->handle =
        CreateFileW(SystemPath(full).c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (h->handle == INVALID_HANDLE_VALUE)
      ThrowWatchError(GetLastError(), full);
    h->watcher = this;
    h->overlapped.hEvent = h.get();
    if (!Issue(h)) {
      DWORD err = GetLastError();
      CloseHandle(h->handle);
      ThrowWatchError(err, full);
    }
    handles.emplace(key, h);
    return h;
  }

  static bool Issue(const std::shared_ptr<DirHandle>& h) {
    if (!ReadDirectoryChangesW(h->handle, h->buffer.data(), kBufferBytes,
                               h->tree, kFilter, nullptr, &h->overlapped,
                               &Win32Watcher::Completed)) {
      return false;
    }
    h->in_flight = h;
    return true;
  }

  void Release(std::shared_ptr<DirHandle>& h) {
    if (!h) return;
    if (--h->users <= 0) Close(h);
    h.reset();
  }

  // Closes the handle; its read completes as aborted, and the handle goes
  // with that. Closing twice does nothing.
  void Close(std::shared_ptr<DirHandle> h) {
    if (h->watcher == nullptr) return;
    h->watcher = nullptr;
    auto& handles = h->tree ? trees_ : parents_;
    auto it = handles.find(h->key);
    if (it != handles.end() && it->second == h) handles.erase(it);
    CloseHandle(h->handle);
  }

  // A folder nobody watches any more, or one that is gone.
  void Forget(const std::shared_ptr<Folder>& f) {
    auto it = folders_.find(f->key);
    if (it != folders_.end() && it->second == f) folders_.erase(it);
    Release(f->served_by);
    Release(f->parent);
  }

  static VOID CALLBACK Completed(DWORD err, DWORD bytes, OVERLAPPED* ov) {
    auto* raw = static_cast<DirHandle*>(ov->hEvent);
    std::shared_ptr<DirHandle> h = std::move(raw->in_flight);
    if (raw->watcher == nullptr || err == ERROR_OPERATION_ABORTED) return;
    raw->watcher->OnCompleted(h, err, bytes);
  }

  void OnCompleted(const std::shared_ptr<DirHandle>& h, DWORD err,
                   DWORD bytes) {
    // Handlers may drop the last other holder of the watcher.
    std::shared_ptr<Win32Watcher> keep = shared_from_this();
    const bool overflow =
        (err == ERROR_SUCCESS && bytes == 0) || err == ERROR_NOTIFY_ENUM_DIR;
    if (err == ERROR_SUCCESS && bytes > 0) {
      const char* at = reinterpret_cast<const char*>(h->buffer.data());
      for (;;) {
        const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
        reports_.push_back(
            {h, Report::kAction, info->Action,
             Utf8FromWide(std::wstring_view(
                 info->FileName, info->FileNameLength / sizeof(wchar_t))),
             nullptr});
        if (info->NextEntryOffset == 0) break;
        at += info->NextEntryOffset;
      }
    }
    // Read again before anything is handled, so nothing is missed.
    const bool failed = (err != ERROR_SUCCESS && !overflow) || !Issue(h);
    if (overflow) reports_.push_back({h, Report::kOverflow, 0, "", nullptr});
    if (failed) reports_.push_back({h, Report::kFailed, 0, "", nullptr});
    Drain();
  }

  void Drain() {
    if (draining_) return;  // the outer drain goes on with what is queued
    FlagScope draining(draining_);
    while (!reports_.empty()) {
      Report r = std::move(reports_.front());
      reports_.pop_front();
      HandleReport(r);
    }
  }

  // The watched folders `h` serves.
  std::vector<std::shared_ptr<Folder>> ServedBy(const DirHandle& h) const {
    std::vector<std::shared_ptr<Folder>> out;
    for (const auto& [key, f] : folders_) {
      if (f->served_by.get() == &h) out.push_back(f);
    }
    return out;
  }

  void HandleReport(const Report& r) {
    if (r.kind == Report::kWrittenNow) {
      Folder& f = *r.folder;
      if (!f.gone && f.busy.count(r.name) != 0 && Written(f, r.name)) {
        Deliver(f, r.name, DirChange::kWritten, false);
      }
      return;
    }
    const auto& h = r.handle;
    if (h->watcher == nullptr) return;  // closed since
    if (r.kind == Report::kOverflow) {
      for (const auto& f : ServedBy(*h)) {
        Deliver(*f, "", DirChange::kOverflow, false);
      }
      return;
    }
    if (r.kind == Report::kFailed) {
      for (const auto& f : ServedBy(*h)) Gone(f);
      Close(h);
      return;
    }
    const std::string full = Child(h->path, r.name);
    const std::string key = Upper(full);
    const bool removal = r.action == FILE_ACTION_REMOVED ||
                         r.action == FILE_ACTION_RENAMED_OLD_NAME;
    const bool was_watched = folders_.count(key) != 0;
    // Every watched folder at or below what went away is gone.
    if (removal) GoneAtOrBelow(key);
    if (!h->tree) return;  // a parent's handle: only removals matter
    auto in = folders_.find(Upper(ParentOf(full)));
    if (in == folders_.end() || in->second->served_by != h) return;
    Folder& f = *in->second;
    const std::string name = full.substr(full.find_last_of('\\') + 1);
    if (removal) {
      f.busy.erase(name);
      Deliver(f, name,
              r.action == FILE_ACTION_REMOVED ? DirChange::kDeleted
                                              : DirChange::kMovedOut,
              was_watched);
      return;
    }
    DWORD attrs = FileAttributes(full);
    const bool is_folder = attrs != INVALID_FILE_ATTRIBUTES &&
                           (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (r.action == FILE_ACTION_RENAMED_NEW_NAME) {
      Deliver(f, name, DirChange::kMovedIn, is_folder);
    } else if (r.action == FILE_ACTION_ADDED) {
      Deliver(f, name, DirChange::kCreated, is_folder);
      if (!is_folder && attrs != INVALID_FILE_ATTRIBUTES && Written(f, name)) {
        Deliver(f, name, DirChange::kWritten, false);
      }
    } else if (r.action == FILE_ACTION_MODIFIED && !is_folder &&
               attrs != INVALID_FILE_ATTRIBUTES && Written(f, name)) {
      Deliver(f, name, DirChange::kWritten, false);
    }
  }

  // True when no program holds the file open for writing; otherwise it is
  // tried again later.
  bool Written(Folder& f, const std::string& name) {
    const DWORD err = TryOpenDenyingWriters(Child(f.path, name));
    if (err == ERROR_SUCCESS) {
      f.busy.erase(name);
      return true;
    }
    if (err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION) {
      f.busy.insert(name);
      RetryBusyLater();
      return false;
    }
    f.busy.erase(name);
    // Not readable for another reason: whoever copies it will say why.
    return err == ERROR_ACCESS_DENIED;
  }

  void RetryBusyLater() {
    if (!retry_) {
      std::weak_ptr<Win32Watcher> weak = weak_from_this();
      retry_ = loop_.CreateTimer([weak] {
        if (auto self = weak.lock()) self->RetryBusy();
      });
      retry_->SetInterval(kBusyRetryMs);
    }
    if (!retry_->Enabled()) retry_->SetEnabled(true);
  }

  void RetryBusy() {
    std::shared_ptr<Win32Watcher> keep = shared_from_this();
    bool any = false;
    for (const auto& [key, f] : folders_) {
      for (const std::string& name : f->busy) {
        reports_.push_back({nullptr, Report::kWrittenNow, 0, name, f});
        any = true;
      }
    }
    if (!any) retry_->SetEnabled(false);
    Drain();
  }

  void GoneAtOrBelow(const std::string& key) {
    std::vector<std::shared_ptr<Folder>> gone;
    for (auto it = folders_.lower_bound(key);
         it != folders_.end() && it->first.compare(0, key.size(), key) == 0;
         ++it) {
      if (it->first.size() == key.size() || it->first[key.size()] == '\\') {
        gone.push_back(it->second);
      }
    }
    for (const auto& f : gone) Gone(f);
  }

  // Each watch of the folder reports once that it is gone; its handles are
  // let go (an open handle would keep a deleted folder's name taken).
  void Gone(const std::shared_ptr<Folder>& f) {
    if (f->gone) return;
    f->gone = true;
    Forget(f);
    DeliverChange(f->subs, "", DirChange::kFolderGone, true);
    for (const auto& sub : f->subs) sub->ended = true;
  }

  static void Deliver(const Folder& f, const std::string& name,
                      DirChange change, bool is_folder) {
    DeliverChange(f.subs, name, change, is_folder);
  }

  MessageLoop& loop_;
  WatchId next_id_ = 1;
  std::map<std::string, std::shared_ptr<Folder>> folders_;   // watched, by key
  std::map<std::string, std::shared_ptr<DirHandle>> trees_;  // by key
  std::map<std::string, std::shared_ptr<DirHandle>> parents_;  // by key
  std::map<WatchId,
           std::pair<std::shared_ptr<Subscription>, std::shared_ptr<Folder>>>
      by_id_;
  std::deque<Report> reports_;
  bool draining_ = false;
  std::unique_ptr<Timer> retry_;
};

}  // namespace

std::shared_ptr<DirWatcher> SharedDirWatcher(MessageLoop& loop) {
  return SharedPerLoop<Win32Watcher>(
      loop, [&loop] { return std::make_shared<Win32Watcher>(loop); });
}

}  // namespace qs::platform
