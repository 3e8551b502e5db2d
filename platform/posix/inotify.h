// One inotify instance: made non-blocking and close-on-exec, watches added
// and removed by descriptor, and the queued events read without waiting.
// The folder watcher of the message loop (dir_watch_posix.cc) and the
// profile reader's cache (profile_posix.cc) both learn of changes through it.
#pragma once

#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace qs::platform::posix {

class Inotify {
 public:
  // What one Read found.
  enum class Read {
    kEmpty,    // nothing was queued
    kDrained,  // events were read and the queue is empty now
    kMore,     // the buffer was filled: more may be queued
    kFailed,   // the read failed (errno tells why); nothing was delivered
  };

  // fd() is -1 when the instance could not be made; errno then tells why.
  Inotify() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~Inotify() {
    if (fd_ >= 0) ::close(fd_);
  }
  Inotify(const Inotify&) = delete;
  Inotify& operator=(const Inotify&) = delete;

  int fd() const { return fd_; }

  // The watch descriptor of `folder`, or -1 with errno. Adding a folder
  // that is watched already returns its descriptor again.
  int AddWatch(const std::string& folder, std::uint32_t mask) {
    return ::inotify_add_watch(fd_, folder.c_str(), mask);
  }
  void RemoveWatch(int wd) { ::inotify_rm_watch(fd_, wd); }

  // Reads one buffer of queued events without waiting and calls
  // `on_event(event, name)` for each; `name` is empty for an event without
  // one.
  template <class OnEvent>
  Read ReadQueued(OnEvent&& on_event) {
    alignas(inotify_event) char buf[kBuffer];
    ssize_t got;
    do {
      got = ::read(fd_, buf, sizeof buf);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN) return Read::kEmpty;
    if (got <= 0) return Read::kFailed;
    const auto n = static_cast<std::size_t>(got);
    for (std::size_t at = 0; at + sizeof(inotify_event) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += sizeof(inotify_event) + ev->len;
      std::string_view name;
      if (ev->len > 0) {
        name = std::string_view(ev->name, ::strnlen(ev->name, ev->len));
      }
      on_event(*ev, name);
    }
    // A read that left room for the largest event emptied the queue.
    return n + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buf
               ? Read::kDrained
               : Read::kMore;
  }

 private:
  static constexpr std::size_t kBuffer = 64 * 1024;
  int fd_;
};

}  // namespace qs::platform::posix
