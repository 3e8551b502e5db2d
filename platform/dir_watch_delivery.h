// How both folder watchers (posix/, win32/) hand a change to the watches of
// a folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/dir_watch.h"

namespace qs::platform {

// Calls the handler of every subscription in `subs` that has not ended.
// `subs` is a copy, since handlers add and remove watches, and each handler
// is copied before its call: Unwatch inside it would destroy the original.
template <class Subscription>
void DeliverChange(std::vector<std::shared_ptr<Subscription>> subs,
                   const std::string& name, DirChange change, bool is_folder) {
  for (const auto& sub : subs) {
    if (sub->ended) continue;
    DirWatcher::Handler handler = sub->handler;
    handler(name, change, is_folder);
  }
}

}  // namespace qs::platform
