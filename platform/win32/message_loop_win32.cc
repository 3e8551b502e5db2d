// The message loop on Windows: the thread's message queue plus a set of
// handles, waited on together with MsgWaitForMultipleObjectsEx.
//   - Post() queues the task and sets an auto-reset event (window messages
//     would be lost in the modal loop of a message box);
//   - timers are thread timers (SetTimer without a window): their WM_TIMER
//     messages come through the queue and are handled here, not dispatched;
//   - WatchHandle adds an event or change notification to the wait.
// Run() sleeps until one of them is ready. PumpPending() runs the posted
// tasks queued at that moment, the window messages in the queue (at most
// kMaxMessages), and the watched handles signalled at that moment.
//
// Handlers may pump the loop themselves (nested PumpPending). Each event is
// claimed just before it is handled: posted tasks are popped one by one, a
// WM_TIMER is taken from the queue once, and a watched handle carries a
// "pending" mark that whoever handles it first clears. A tick that comes due
// while the same timer's callback runs is dropped; a watched handle is not
// looked at while its own callback runs. Sources are held by shared
// pointers: a callback that runs keeps its source alive when the timer or
// watch is removed meanwhile, and a removed source is never dispatched.
//
// Post() is the only member other threads call. Its queue is guarded by a
// mutex held only to push or pop one task.
#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "platform/runtime_error.h"

namespace qs::platform {
namespace {

// Most window messages one pump handles; more wait for the next pump.
constexpr int kMaxMessages = 256;
// The wait takes the post event and at most this many watched handles.
constexpr std::size_t kMaxWatches = MAXIMUM_WAIT_OBJECTS - 2;

[[noreturn]] void ThrowLastError(const char* what) {
  DWORD err = GetLastError();
  throw RuntimeError(ErrNoFromWin32(err), std::string("Message loop: ") +
                                              what + " failed, error " +
                                              std::to_string(err));
}

struct TimerSource {
  explicit TimerSource(std::function<void()> cb) : callback(std::move(cb)) {}
  const std::function<void()> callback;
  UINT_PTR id = 0;  // the thread timer while armed, else 0
  bool running = false;
};

struct WatchSource {
  WatchSource(HANDLE h, std::function<void()> cb)
      : handle(h), callback(std::move(cb)) {}
  const HANDLE handle;
  const std::function<void()> callback;
  bool running = false;
  bool pending = false;  // seen signalled, not handled yet
  bool removed = false;
};

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

class LoopCore {
 public:
  LoopCore();
  ~LoopCore();
  LoopCore(const LoopCore&) = delete;
  LoopCore& operator=(const LoopCore&) = delete;

  void Run();
  // Handles what is pending now. Run's own pump stops early once Quit() is
  // called; a pump a handler asks for handles everything.
  void Pump(bool stop_on_quit);
  // Sleeps until something is ready or `timeout_ms` (INFINITE) passed.
  void Wait(DWORD timeout_ms);
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }
  void Post(std::function<void()> task);

  // Stops the timer's thread timer and, when `interval` is not 0, starts a
  // new one.
  void Arm(const std::shared_ptr<TimerSource>& timer, std::uint32_t interval);
  void WatchHandle(HANDLE handle, std::function<void()> on_signaled);

 private:
  bool HasPosted();
  void RunPosted(std::size_t count, bool stop_on_quit);
  void PumpMessages(bool stop_on_quit);
  void DispatchTimer(UINT_PTR id);
  void PumpWatches(bool stop_on_quit);
  bool AnyWatchPending() const;

  HANDLE post_event_ = nullptr;
  bool quit_ = false;
  std::unordered_map<UINT_PTR, std::shared_ptr<TimerSource>> timers_;
  std::vector<std::shared_ptr<WatchSource>> watches_;

  std::mutex posted_mutex_;
  std::deque<std::function<void()>> posted_;
};

LoopCore::LoopCore() {
  post_event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (post_event_ == nullptr) ThrowLastError("CreateEvent");
}

LoopCore::~LoopCore() {
  for (const auto& [id, timer] : timers_) {
    KillTimer(nullptr, id);
    timer->id = 0;
  }
  CloseHandle(post_event_);
}

void LoopCore::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(task));
  }
  // Set after the push: a loop woken by it finds the task queued.
  SetEvent(post_event_);
}

bool LoopCore::HasPosted() {
  std::lock_guard<std::mutex> lock(posted_mutex_);
  return !posted_.empty();
}

void LoopCore::RunPosted(std::size_t count, bool stop_on_quit) {
  for (std::size_t i = 0; i < count; ++i) {
    if (stop_on_quit && quit_) return;
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(posted_mutex_);
      // An inner pump may have run the rest already.
      if (posted_.empty()) return;
      task = std::move(posted_.front());
      posted_.pop_front();
    }
    if (task) task();
  }
}

void LoopCore::Run() {
  while (!quit_) {
    Wait(INFINITE);
    Pump(true);
  }
}

void LoopCore::Wait(DWORD timeout_ms) {
  if (HasPosted() || AnyWatchPending()) return;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  std::vector<std::shared_ptr<WatchSource>> waited;
  handles[0] = post_event_;
  DWORD count = 1;
  for (const auto& w : watches_) {
    if (w->running) continue;
    handles[count++] = w->handle;
    waited.push_back(w);
  }
  DWORD r = MsgWaitForMultipleObjectsEx(count, handles, timeout_ms,
                                        QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (r == WAIT_FAILED) ThrowLastError("MsgWaitForMultipleObjectsEx");
  // A handle the wait returned may have been reset by it (auto-reset
  // events): remember that it was signalled.
  DWORD index = count;
  if (r >= WAIT_OBJECT_0 + 1 && r < WAIT_OBJECT_0 + count) {
    index = r - WAIT_OBJECT_0;
  } else if (r >= WAIT_ABANDONED_0 + 1 && r < WAIT_ABANDONED_0 + count) {
    index = r - WAIT_ABANDONED_0;
  }
  if (index < count) waited[index - 1]->pending = true;
}

void LoopCore::Pump(bool stop_on_quit) {
  // The wake event is cleared before the queue is measured: every task
  // whose wake-up is consumed here is counted, later ones wake again.
  WaitForSingleObject(post_event_, 0);
  std::size_t posted;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted = posted_.size();
  }
  RunPosted(posted, stop_on_quit);
  PumpMessages(stop_on_quit);
  PumpWatches(stop_on_quit);
}

void LoopCore::PumpMessages(bool stop_on_quit) {
  MSG msg;
  for (int i = 0; i < kMaxMessages; ++i) {
    if (stop_on_quit && quit_) return;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
    if (msg.message == WM_QUIT) {
      quit_ = true;
    } else if (msg.message == WM_TIMER && msg.hwnd == nullptr &&
               msg.lParam == 0) {
      DispatchTimer(msg.wParam);
    } else {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

void LoopCore::DispatchTimer(UINT_PTR id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;  // stopped since it came due
  std::shared_ptr<TimerSource> timer = it->second;
  // A tick that comes due while this timer's callback runs is dropped.
  if (timer->running) return;
  FlagScope running(timer->running);
  timer->callback();
}

bool LoopCore::AnyWatchPending() const {
  for (const auto& w : watches_) {
    if (w->pending && !w->running) return true;
  }
  return false;
}

void LoopCore::PumpWatches(bool stop_on_quit) {
  std::vector<std::shared_ptr<WatchSource>> ready;
  // A copy: callbacks may add or remove watches.
  std::vector<std::shared_ptr<WatchSource>> all = watches_;
  for (const auto& w : all) {
    if (w->running) continue;
    if (!w->pending && WaitForSingleObject(w->handle, 0) == WAIT_OBJECT_0) {
      w->pending = true;
    }
    if (w->pending) ready.push_back(w);
  }
  for (const auto& w : ready) {
    if (stop_on_quit && quit_) return;
    // Handled by an inner pump meanwhile, removed, or running.
    if (w->removed || !w->pending || w->running) continue;
    w->pending = false;
    FlagScope running(w->running);
    w->callback();
  }
}

void LoopCore::Arm(const std::shared_ptr<TimerSource>& timer,
                   std::uint32_t interval) {
  if (timer->id != 0) {
    // Also takes back a tick that came due and was not taken yet.
    KillTimer(nullptr, timer->id);
    timers_.erase(timer->id);
    timer->id = 0;
  }
  if (interval == 0) return;
  UINT_PTR id = SetTimer(nullptr, 0, interval, nullptr);
  if (id == 0) ThrowLastError("SetTimer");
  timer->id = id;
  timers_[id] = timer;
}

void LoopCore::WatchHandle(HANDLE handle, std::function<void()> on_signaled) {
  std::shared_ptr<WatchSource> old;
  std::size_t at = watches_.size();
  for (std::size_t i = 0; i < watches_.size(); ++i) {
    if (watches_[i]->handle == handle) {
      old = watches_[i];
      at = i;
      break;
    }
  }
  if (old) old->removed = true;
  if (!on_signaled) {
    if (old) watches_.erase(watches_.begin() + static_cast<long long>(at));
    return;
  }
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    throw RuntimeError(kErrInvalidCall);
  }
  auto source = std::make_shared<WatchSource>(handle, std::move(on_signaled));
  if (old) {
    source->pending = old->pending;  // a signal already taken stays due
    watches_[at] = std::move(source);
    return;
  }
  if (watches_.size() >= kMaxWatches) throw RuntimeError(67);
  watches_.push_back(std::move(source));
}

class Win32Timer : public Timer {
 public:
  Win32Timer(std::weak_ptr<LoopCore> core, std::function<void()> on_tick)
      : core_(std::move(core)),
        source_(std::make_shared<TimerSource>(std::move(on_tick))) {}
  ~Win32Timer() override {
    // A callback running now keeps the source until it returns.
    if (auto core = core_.lock()) core->Arm(source_, 0);
  }

  void SetInterval(std::uint32_t ms) override {
    interval_ = ms;
    if (enabled_) Arm();
  }
  std::uint32_t Interval() const override { return interval_; }
  void SetEnabled(bool enabled) override {
    enabled_ = enabled;
    Arm();
  }
  bool Enabled() const override { return enabled_; }

 private:
  // Starts a fresh interval, or stops the timer.
  void Arm() {
    if (auto core = core_.lock()) core->Arm(source_, enabled_ ? interval_ : 0);
  }

  std::weak_ptr<LoopCore> core_;
  std::shared_ptr<TimerSource> source_;
  std::uint32_t interval_ = 0;
  bool enabled_ = false;
};

class Win32MessageLoop : public MessageLoop {
 public:
  Win32MessageLoop() : core_(std::make_shared<LoopCore>()) {}

  void Run() override { core_->Run(); }
  void PumpPending() override { core_->Pump(false); }
  void WaitAndPump(std::uint32_t max_wait_ms) override {
    // INFINITE is 0xffffffff: the longest wait is one millisecond less.
    core_->Wait(max_wait_ms == INFINITE ? INFINITE - 1 : max_wait_ms);
    core_->Pump(false);
  }
  void Quit() override { core_->Quit(); }
  bool QuitRequested() const override { return core_->QuitRequested(); }
  void Post(std::function<void()> task) override {
    core_->Post(std::move(task));
  }
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override {
    return std::make_unique<Win32Timer>(core_, std::move(on_tick));
  }
  void WatchHandle(void* handle,
                   std::function<void()> on_signaled) override {
    core_->WatchHandle(static_cast<HANDLE>(handle), std::move(on_signaled));
  }

 private:
  // Shared with the timers, which may outlive the loop.
  std::shared_ptr<LoopCore> core_;
};

}  // namespace

std::unique_ptr<MessageLoop> CreateMessageLoop() {
  return std::make_unique<Win32MessageLoop>();
}

}  // namespace qs::platform
