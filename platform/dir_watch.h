// Changes in folders, reported on the loop's thread.
//
// One watcher serves every folder watch of a message loop: SharedDirWatcher
// hands out the same object to every caller while anyone holds it, so a
// thousand watch jobs cost the process one notification descriptor, not a
// thousand. Watching one folder twice is allowed; each watch gets every
// change of the folder.
//
// The watcher and everyone who holds it must go before the loop does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qs::platform {

class MessageLoop;

enum class DirChange {
  kWritten,     // a file written and closed
  kMovedIn,     // an entry renamed into the folder (or within it, new name)
  kCreated,     // an entry created (a file may still be written to)
  kDeleted,     // an entry deleted
  kMovedOut,    // an entry renamed away (or within the folder, old name)
  kFolderGone,  // the watched folder itself was deleted, moved or unmounted
  kOverflow,    // changes were lost; whoever watches must look again
};

class DirWatcher {
 public:
  // `name` is the entry inside the watched folder ("" for kFolderGone and
  // kOverflow); `is_folder` tells whether that entry is a folder.
  using Handler = std::function<void(const std::string& name, DirChange change,
                                     bool is_folder)>;
  using WatchId = std::uint64_t;

  virtual ~DirWatcher() = default;

  // Starts watching `folder`; the handler runs on the loop's thread for
  // every change until Unwatch. After kFolderGone for a folder deleted or
  // unmounted the watch reports nothing more; a folder moved elsewhere goes
  // on reporting until Unwatch. Throws qs::RuntimeError when the folder
  // cannot be watched (missing, no folder, no access, or the system's limit
  // on watches reached; the description then names the limit).
  virtual WatchId Watch(const std::string& folder, Handler handler) = 0;
  // Stops a watch; an unknown or ended id is ignored. Safe inside a handler,
  // also the watch's own.
  virtual void Unwatch(WatchId id) = 0;
};

// The watcher of `loop`, created at the first call and shared by every
// caller until the last holder lets it go.
std::shared_ptr<DirWatcher> SharedDirWatcher(MessageLoop& loop);

}  // namespace qs::platform
