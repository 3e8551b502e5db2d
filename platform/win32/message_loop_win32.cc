// The message loop on Windows: the thread's message queue, read with
// PeekMessage, and a hidden top-level window that receives what the loop is
// sent. The window is the service form's hWnd (LoopWindow()).
//   - Post() queues the task (posted_tasks.h) and posts one wake-up message
//     to the window while none is on its way, which ends the loop's wait;
//   - timers are window timers (SetTimer), each arming with an id of its
//     own, so a WM_TIMER of an earlier arming is recognised and dropped;
//   - OnWindowMessage hands messages sent to the window from outside
//     (WM_CLOSE, registered messages) to their handlers;
//   - WatchHandle adds an event or change notification to the wait;
//   - I/O completion routines queued to the thread (ReadDirectoryChangesW)
//     run inside the loop's alertable waits and pumps.
// Run() sleeps in MsgWaitForMultipleObjectsEx until one of them is ready.
// PumpPending() runs the posted tasks queued at that moment, the messages in
// the queue (at most kMaxMessages), the completion routines queued, and the
// watched handles signalled at that moment.
//
// The window procedure runs whoever pumps: this loop or the modal loop of a
// message box, which dispatches the window's messages (timers) too; posted
// tasks run only in the loop's own pumps. Handlers may
// pump the loop themselves (nested PumpPending). Each event is claimed just
// before it is handled: posted tasks are popped one by one, a WM_TIMER is
// taken from the queue once, and a watched handle carries a "pending" mark
// that whoever handles it first clears. A tick that comes due while the
// same timer's callback runs is dropped; a watched handle is not looked at
// while its own callback runs. Sources are held by shared pointers: a
// callback that runs keeps its source alive when the timer or watch is
// removed meanwhile, and a removed source is never dispatched.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "platform/posted_tasks.h"
#include "platform/runtime_error.h"
#include "platform/win32/win32_impl.h"

namespace qs::platform {
namespace {

// Most window messages one pump handles; more wait for the next pump.
constexpr int kMaxMessages = 256;
// The wait takes at most this many watched handles.
constexpr std::size_t kMaxWatches = MAXIMUM_WAIT_OBJECTS - 1;
// Posted to the loop's window while tasks wait to be run.
constexpr UINT kWakeMessage = WM_APP + 1;

// The window of the newest loop of this thread.
thread_local HWND tls_loop_window = nullptr;

[[noreturn]] void ThrowLastError(const char* what) {
  DWORD err = GetLastError();
  throw RuntimeError(ErrNoFromWin32(err), std::string("Message loop: ") + what +
                                              " failed, error " +
                                              std::to_string(err));
}

struct TimerSource {
  explicit TimerSource(std::function<void()> cb) : callback(std::move(cb)) {}
  const std::function<void()> callback;
  UINT_PTR id = 0;  // the window timer while armed, else 0
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

  // Stops the timer's window timer and, when `interval` is not 0, starts a
  // new one.
  void Arm(const std::shared_ptr<TimerSource>& timer, std::uint32_t interval);
  void WatchHandle(HANDLE handle, std::function<void()> on_signaled);
  void OnWindowMessage(UINT message, std::function<void()> handler);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam,
                                     LPARAM lparam);
  // False for a message the window leaves to the default procedure.
  bool HandleMessage(UINT message, WPARAM wparam);
  void RunPosted();
  void PumpMessages();
  void DispatchTimer(UINT_PTR id);
  void PumpWatches();
  bool AnyWatchPending() const;
  // The quit flag a stopping pump looks at (null: run everything).
  const bool* StopFlag() const { return stop_on_quit_ ? &quit_ : nullptr; }

  HWND window_ = nullptr;
  HWND previous_window_ = nullptr;  // of the thread's loop before this one
  bool quit_ = false;
  bool stop_on_quit_ = false;  // of the pump that runs now
  UINT_PTR next_timer_id_ = 1;
  std::unordered_map<UINT_PTR, std::shared_ptr<TimerSource>> timers_;
  std::vector<std::shared_ptr<WatchSource>> watches_;
  std::map<UINT, std::shared_ptr<const std::function<void()>>> handlers_;

  std::atomic<bool> wake_posted_{false};
  PostedTasks posted_;
};

LoopCore::LoopCore() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc{};
  wc.lpfnWndProc = &LoopCore::WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = win32::kFormWindowClass;
  if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    ThrowLastError("RegisterClass");
  }
  // A hidden top-level window: in the list of top-level windows, as a form
  // is, but never visible. Its title is the program's until the service
  // control names it.
  window_ = CreateWindowExA(WS_EX_TOOLWINDOW, win32::kFormWindowClass,
                            "QuillonSrv", WS_POPUP, 0, 0, 0, 0, nullptr,
                            nullptr, instance, nullptr);
  // Without a desktop (Wine without a display driver) only a message-only
  // window can be made: the loop works the same, but the form is then not
  // among the top-level windows.
  if (window_ == nullptr) {
    window_ = CreateWindowExA(0, win32::kFormWindowClass, "QuillonSrv", 0, 0, 0,
                              0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  }
  if (window_ == nullptr) ThrowLastError("CreateWindowEx");
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  previous_window_ = tls_loop_window;
  tls_loop_window = window_;
}

LoopCore::~LoopCore() {
  for (const auto& [id, timer] : timers_) {
    KillTimer(window_, id);
    timer->id = 0;
  }
  SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
  if (tls_loop_window == window_) tls_loop_window = previous_window_;
}

LRESULT CALLBACK LoopCore::WindowProc(HWND hwnd, UINT message, WPARAM wparam,
                                      LPARAM lparam) {
  auto* core =
      reinterpret_cast<LoopCore*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (core != nullptr && core->HandleMessage(message, wparam)) return 0;
  // The loop's window is never closed from outside: it goes with the loop.
  if (message == WM_CLOSE) return 0;
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

bool LoopCore::HandleMessage(UINT message, WPARAM wparam) {
  if (message == kWakeMessage) {
    // It has woken the loop; the tasks run in the loop's own pumps (never
    // inside a message box's loop, say).
    wake_posted_ = false;
    return true;
  }
  if (message == WM_TIMER) {
    DispatchTimer(wparam);
    return true;
  }
  auto it = handlers_.find(message);
  if (it == handlers_.end()) return false;
  // Held: the handler may replace itself.
  std::shared_ptr<const std::function<void()>> handler = it->second;
  (*handler)();
  return true;
}

void LoopCore::Post(std::function<void()> task) {
  posted_.Push(std::move(task));
  // One wake-up on its way is enough: it runs every task queued by then.
  // A loop that finds the queue full of messages has them to handle and
  // looks at the tasks before it sleeps again.
  if (!wake_posted_.exchange(true) &&
      !PostMessageA(window_, kWakeMessage, 0, 0)) {
    wake_posted_ = false;
  }
}

void LoopCore::RunPosted() {
  // Cleared before the queue is measured: every task whose wake-up is
  // consumed here is counted, later ones wake again.
  wake_posted_ = false;
  posted_.Run(posted_.Size(), StopFlag());
}

void LoopCore::Run() {
  while (!quit_) {
    Wait(INFINITE);
    Pump(true);
  }
}

void LoopCore::Wait(DWORD timeout_ms) {
  if (!posted_.Empty() || AnyWatchPending()) return;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  std::vector<std::shared_ptr<WatchSource>> waited;
  DWORD count = 0;
  for (const auto& w : watches_) {
    if (w->running) continue;
    handles[count++] = w->handle;
    waited.push_back(w);
  }
  DWORD r = MsgWaitForMultipleObjectsEx(count, handles, timeout_ms, QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE | MWMO_ALERTABLE);
  if (r == WAIT_FAILED) ThrowLastError("MsgWaitForMultipleObjectsEx");
  // A handle the wait returned may have been reset by it (auto-reset
  // events): remember that it was signalled.
  DWORD index = count;
  if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) {
    index = r - WAIT_OBJECT_0;
  } else if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count) {
    index = r - WAIT_ABANDONED_0;
  }
  if (index < count) waited[index]->pending = true;
}

void LoopCore::Pump(bool stop_on_quit) {
  const bool outer_stop = stop_on_quit_;
  stop_on_quit_ = stop_on_quit;
  struct Restore {
    bool& flag;
    bool value;
    ~Restore() { flag = value; }
  } restore{stop_on_quit_, outer_stop};

  RunPosted();
  PumpMessages();
  if (stop_on_quit && quit_) return;
  // Completion routines queued by now run here, on this thread.
  SleepEx(0, TRUE);
  PumpWatches();
}

void LoopCore::PumpMessages() {
  MSG msg;
  for (int i = 0; i < kMaxMessages; ++i) {
    if (stop_on_quit_ && quit_) return;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return;
    if (msg.message == WM_QUIT) {
      quit_ = true;
    } else {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

void LoopCore::DispatchTimer(UINT_PTR id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;  // stopped or re-armed since it came due
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

void LoopCore::PumpWatches() {
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
    if (stop_on_quit_ && quit_) return;
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
    KillTimer(window_, timer->id);
    timers_.erase(timer->id);
    timer->id = 0;
  }
  if (interval == 0) return;
  UINT_PTR id = next_timer_id_++;
  if (SetTimer(window_, id, interval, nullptr) == 0) ThrowLastError("SetTimer");
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

void LoopCore::OnWindowMessage(UINT message, std::function<void()> handler) {
  if (message == kWakeMessage || message == WM_TIMER) {
    throw RuntimeError(kErrInvalidCall);
  }
  if (!handler) {
    handlers_.erase(message);
    return;
  }
  handlers_[message] =
      std::make_shared<const std::function<void()>>(std::move(handler));
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
  void WatchHandle(void* handle, std::function<void()> on_signaled) override {
    core_->WatchHandle(static_cast<HANDLE>(handle), std::move(on_signaled));
  }
  void OnWindowMessage(std::uint32_t message,
                       std::function<void()> handler) override {
    core_->OnWindowMessage(message, std::move(handler));
  }

 private:
  // Shared with the timers, which may outlive the loop.
  std::shared_ptr<LoopCore> core_;
};

}  // namespace

std::unique_ptr<MessageLoop> CreateMessageLoop() {
  return std::make_unique<Win32MessageLoop>();
}

namespace win32 {

HWND LoopWindow() { return tls_loop_window; }

}  // namespace win32
}  // namespace qs::platform
