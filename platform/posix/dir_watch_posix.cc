// Folder watches on Linux: one inotify instance per message loop, read
// through the loop's WatchFd.
//
// inotify hands out one watch descriptor per folder (inode) and instance:
// adding the same folder again returns the same descriptor. So each
// descriptor carries the list of watches on it; the descriptor is removed
// from the kernel only when its last watch goes. Every watch uses the same
// event mask, so adding a folder again never changes what an earlier watch
// receives.
//
// The instance lives as long as someone holds the watcher; a registry keyed
// by loop hands out the living one.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/dir_watch_delivery.h"
#include "platform/message_loop.h"
#include "platform/posix/inotify.h"
#include "platform/runtime_error.h"

namespace qs::platform {
namespace {

constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE |
                                IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                                IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

[[noreturn]] void ThrowLimit(int err, const std::string& folder) {
  if (err == ENOSPC) {
    throw RuntimeError(
        kErrTooManyFiles,
        "Folder watch: the limit on inotify watches of this user is reached "
        "(fs.inotify.max_user_watches, raise it with sysctl): " +
            folder);
  }
  throw RuntimeError(
      kErrTooManyFiles,
      "Folder watch: the limit on inotify instances of this user or on open "
      "files of the process is reached (fs.inotify.max_user_instances, "
      "raise it with sysctl; ulimit -n): " +
          folder);
}

struct Subscription {
  DirWatcher::WatchId id;
  int wd;
  DirWatcher::Handler handler;
  bool ended = false;  // unwatched, or its folder is gone
};

class InotifyWatcher final
    : public DirWatcher,
      public std::enable_shared_from_this<InotifyWatcher> {
 public:
  explicit InotifyWatcher(MessageLoop& loop) : loop_(loop) {
    if (inotify_.fd() < 0) {
      int err = errno;
      if (err == EMFILE || err == ENFILE) ThrowLimit(err, "");
      ThrowErrno(err, "");
    }
  }

  ~InotifyWatcher() override {
    if (reading_) loop_.WatchFd(inotify_.fd(), {});
  }

  // Connects the descriptor to the loop; separate from the constructor
  // because the callback holds a weak reference to the object.
  void Attach() {
    std::weak_ptr<InotifyWatcher> weak = weak_from_this();
    loop_.WatchFd(inotify_.fd(), [weak] {
      if (auto self = weak.lock()) self->ReadEvents();
    });
    reading_ = true;
  }

  WatchId Watch(const std::string& folder, Handler handler) override {
    int wd = inotify_.AddWatch(folder, kMask);
    if (wd < 0) {
      int err = errno;
      if (err == ENOSPC || err == EMFILE) ThrowLimit(err, folder);
      ThrowErrno(err, folder);
    }
    auto sub = std::make_shared<Subscription>(
        Subscription{next_id_++, wd, std::move(handler)});
    by_wd_[wd].push_back(sub);
    by_id_.emplace(sub->id, sub);
    return sub->id;
  }

  void Unwatch(WatchId id) override {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return;
    std::shared_ptr<Subscription> sub = std::move(it->second);
    by_id_.erase(it);
    sub->ended = true;
    auto list = by_wd_.find(sub->wd);
    if (list == by_wd_.end()) return;  // the kernel dropped the descriptor
    std::vector<std::shared_ptr<Subscription>>& subs = list->second;
    for (std::size_t i = 0; i < subs.size(); ++i) {
      if (subs[i] == sub) {
        subs[i] = std::move(subs.back());
        subs.pop_back();
        break;
      }
    }
    if (subs.empty()) {
      inotify_.RemoveWatch(sub->wd);
      by_wd_.erase(list);
    }
  }

 private:
  // One buffer per round of the loop; what is left stays readable and
  // comes with the next round.
  void ReadEvents() {
    // Handlers may drop the last other holder of the watcher.
    std::shared_ptr<InotifyWatcher> keep = shared_from_this();
    inotify_.ReadQueued([this](const inotify_event& ev, std::string_view name) {
      Handle(ev, std::string(name));
    });
  }

  void Handle(const inotify_event& ev, const std::string& name) {
    if (ev.mask & IN_Q_OVERFLOW) {
      std::vector<std::shared_ptr<Subscription>> all;
      all.reserve(by_id_.size());
      for (const auto& [id, sub] : by_id_) all.push_back(sub);
      DeliverChange(all, "", DirChange::kOverflow, false);
      return;
    }
    auto list = by_wd_.find(ev.wd);
    if (list == by_wd_.end()) return;  // removed while the event was queued
    // A copy: handlers add and remove watches.
    std::vector<std::shared_ptr<Subscription>> subs = list->second;
    const bool is_folder = (ev.mask & IN_ISDIR) != 0;

    if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
      if (ev.mask & IN_IGNORED) {
        // The kernel has dropped the descriptor; its ids go with it.
        by_wd_.erase(list);
        for (const auto& sub : subs) by_id_.erase(sub->id);
      }
      // A moved folder still reports to whoever keeps watching it.
      const bool moved = (ev.mask & IN_MOVE_SELF) != 0;
      DeliverChange(subs, "", DirChange::kFolderGone, true);
      if (!moved) {
        for (const auto& sub : subs) sub->ended = true;
      }
      return;
    }
    DirChange change;
    if (ev.mask & IN_CLOSE_WRITE) {
      change = DirChange::kWritten;
    } else if (ev.mask & IN_MOVED_TO) {
      change = DirChange::kMovedIn;
    } else if (ev.mask & IN_CREATE) {
      change = DirChange::kCreated;
    } else if (ev.mask & IN_DELETE) {
      change = DirChange::kDeleted;
    } else if (ev.mask & IN_MOVED_FROM) {
      change = DirChange::kMovedOut;
    } else {
      return;
    }
    DeliverChange(subs, name, change, is_folder);
  }


  MessageLoop& loop_;
  posix::Inotify inotify_;
  bool reading_ = false;
  WatchId next_id_ = 1;
  std::unordered_map<int, std::vector<std::shared_ptr<Subscription>>> by_wd_;
  std::unordered_map<WatchId, std::shared_ptr<Subscription>> by_id_;
};

}  // namespace

std::shared_ptr<DirWatcher> SharedDirWatcher(MessageLoop& loop) {
  return SharedPerLoop<InotifyWatcher>(loop, [&loop] {
    auto watcher = std::make_shared<InotifyWatcher>(loop);
    watcher->Attach();
    return watcher;
  });
}

}  // namespace qs::platform
