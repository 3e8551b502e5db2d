// The one thread's message loop, its timers, and the way events from outside
// (signals, the service manager, file watches, other threads) reach it.
//
// Everything the service does runs on the thread that owns the loop. Code
// that waits for something pumps the loop (PumpPending) instead of blocking,
// so handlers can run nested inside one another; PumpPending is re-entrant.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace qs::platform {

class MessageLoop;

// A window timer: fires every Interval milliseconds while Enabled. The
// callback runs on the loop's thread. A tick that comes due while the
// previous callback of the same timer still runs (nested pumping) is not
// delivered; the timer then fires again one interval after it came due.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetInterval(std::uint32_t ms) = 0;
  virtual std::uint32_t Interval() const = 0;
  // Enabling (re)starts the interval; disabling drops a pending tick.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

class MessageLoop {
 public:
  virtual ~MessageLoop() = default;

  // Runs until Quit(); returns at once if Quit() was already called.
  virtual void Run() = 0;
  // Handles every message pending at this moment, then returns without
  // waiting ("let pending messages run"). Re-entrant.
  virtual void PumpPending() = 0;
  // Sleeps until something is pending or `max_wait_ms` has passed, then
  // handles what is pending as PumpPending does. For a handler that waits,
  // pumping, for a condition other handlers set, without spinning.
  virtual void WaitAndPump(std::uint32_t max_wait_ms) = 0;
  // Makes Run() return once the handler that called Quit() returns to it.
  virtual void Quit() = 0;
  virtual bool QuitRequested() const = 0;

  // Runs `task` on the loop's thread, after what is pending. The only
  // member that may be called from another thread (or a signal-free
  // context of another thread, such as a service-manager callback).
  virtual void Post(std::function<void()> task) = 0;

  // The new timer is disabled, with interval 0.
  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) = 0;

#ifndef _WIN32
  // Calls `on_signal` on the loop's thread each time `signo` arrives. The
  // signal is blocked for the whole process and read from a signalfd.
  virtual void OnSignal(int signo, std::function<void()> on_signal) = 0;
  // Calls `on_readable` on the loop's thread while `fd` is readable;
  // WatchFd with an empty function stops watching.
  virtual void WatchFd(int fd, std::function<void()> on_readable) = 0;
#else
  // Calls `on_signaled` on the loop's thread each time `handle` (a Win32
  // event or change notification) is signalled; a null function stops.
  virtual void WatchHandle(void* handle, std::function<void()> on_signaled) = 0;
  // Calls `on_message` on the loop's thread each time the loop's hidden
  // window (the form's window) receives `message`, say WM_CLOSE or a
  // registered message another program sends; a null function stops.
  // I/O completion routines queued to the loop's thread run inside its
  // waits and pumps, on that thread, as its other events do.
  virtual void OnWindowMessage(std::uint32_t message,
                               std::function<void()> on_message) = 0;
#endif
};

// A new loop for the calling thread.
std::unique_ptr<MessageLoop> CreateMessageLoop();

// The one object of type T that all users on `loop` share: made by `make`
// (returning a shared_ptr<T>) on first use, gone once its last user lets it
// go. Its users release it before the loop goes. One thread uses it.
template <class T, class Make>
std::shared_ptr<T> SharedPerLoop(MessageLoop& loop, Make&& make) {
  static std::map<MessageLoop*, std::weak_ptr<T>> registry;
  std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
  auto found = registry.find(&loop);
  if (found != registry.end()) return found->second.lock();
  std::shared_ptr<T> made = make();
  registry.emplace(&loop, made);
  return made;
}

}  // namespace qs::platform
