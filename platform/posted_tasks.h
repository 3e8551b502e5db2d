// The tasks posted to a message loop, and the flag a handler holds while it
// runs. Both loops (posix/, win32/) keep their posted tasks here.
//
// Push() is the only member other threads call. The mutex is held only to
// push or pop one task, never while a task runs, so a task may post again.
// Tasks are popped one by one, each just before it runs: a handler that
// pumps the loop lets the inner pump run the rest, and nothing runs twice.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace qs::platform {

// Sets a flag for the lifetime of the object, even when a callback throws.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

class PostedTasks {
 public:
  void Push(std::function<void()> task);
  bool Empty();
  std::size_t Size();
  // Runs at most `count` tasks in the order they were posted; fewer when an
  // inner pump ran some meanwhile, or when `quit` is given and becomes true.
  void Run(std::size_t count, const bool* quit);

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace qs::platform
