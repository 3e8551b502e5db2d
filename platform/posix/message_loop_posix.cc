// The message loop on Linux: one epoll instance over
//   - an eventfd that Post() writes to wake the loop,
//   - one timerfd (CLOCK_MONOTONIC) per Timer,
//   - one signalfd for every signal given to OnSignal,
//   - the descriptors given to WatchFd (level-triggered).
// The loop never polls: Run() sleeps in epoll_wait until one of them is
// ready. PumpPending() takes what is ready at that moment (epoll_wait with
// timeout 0) and the posted tasks queued at that moment, and handles just
// those, so it ends even when handlers keep posting.
//
// Handlers may pump the loop themselves (nested PumpPending). What an outer
// pump has taken but not yet handled may then be handled by the inner one,
// so each event is claimed at the moment it is handled, never earlier:
// posted tasks are popped one by one, a timer's or the signalfd's counter is
// read just before its callback runs (a read that finds nothing means an
// inner pump got there first), and a watched descriptor is polled again.
// Sources live in a table keyed by an id that is never reused; an entry of a
// ready list whose id has gone from the table (timer destroyed, watch
// removed) is skipped, and a callback that runs holds its source alive.
// A watched descriptor is not looked at while its own callback runs; one
// that stays readable meanwhile wakes WaitAndPump at once, so a callback
// that waits should read its descriptor first.
//
// Post() is the only member other threads call (posted_tasks.h).
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/message_loop.h"
#include "platform/posted_tasks.h"
#include "platform/runtime_error.h"

namespace qs::platform {
namespace {

// Most events taken from epoll by one pump; more stay ready for the next.
constexpr int kMaxEvents = 64;
// Most signals one readiness of the signalfd delivers.
constexpr int kMaxSignalsPerEvent = 32;

// The longest single sleep of WaitAndPump.
constexpr std::uint32_t kMaxWaitMs = 0x7fffffff;

constexpr std::uint64_t kWakeId = 1;
constexpr std::uint64_t kSignalId = 2;
constexpr std::uint64_t kFirstSourceId = 16;

[[noreturn]] void ThrowSystem(const char* what) {
  int err = errno;
  throw RuntimeError(ErrNoFromErrno(err), std::string("Message loop: ") +
                                              what + ": " +
                                              std::strerror(err));
}

// A timer or a watched descriptor.
struct Source {
  enum class Kind { kTimer, kWatch };
  Source(Kind k, int f, std::function<void()> cb)
      : kind(k), fd(f), callback(std::move(cb)) {}
  ~Source() {
    if (kind == Kind::kTimer && fd >= 0) ::close(fd);
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  const Kind kind;
  int fd;  // a timer owns its timerfd; a watch does not own its descriptor
  const std::function<void()> callback;
  bool running = false;
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
  // Sleeps until something is ready or `timeout_ms` (-1: no limit) passed.
  void Wait(int timeout_ms);
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }
  void Post(std::function<void()> task);

  // Registers a new timerfd; returns the source and its id.
  std::pair<std::uint64_t, std::shared_ptr<Source>> AddTimer(
      std::function<void()> on_tick);
  void Remove(std::uint64_t id);

  void OnSignal(int signo, std::function<void()> on_signal);
  void WatchFd(int fd, std::function<void()> on_readable);

 private:
  void Dispatch(std::uint64_t id);
  void DispatchSignals(bool stop_on_quit);
  void DrainWake();
  void SetSignalMask();
  static void ForgetSignal(int signo, bool unblock);

  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  int signal_fd_ = -1;
  bool quit_ = false;

  std::uint64_t next_id_ = kFirstSourceId;
  std::unordered_map<std::uint64_t, std::shared_ptr<Source>> sources_;
  std::map<int, std::uint64_t> watch_ids_;  // watched fd -> source id

  // Signal number -> handler; shared so a running handler survives its
  // replacement.
  std::map<int, std::shared_ptr<const std::function<void()>>> signal_handlers_;
  // Signals this loop blocked itself (and unblocks when it lets them go).
  std::map<int, bool> blocked_by_us_;

  PostedTasks posted_;
};

LoopCore::LoopCore() {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) ThrowSystem("epoll_create1");
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    int err = errno;
    ::close(epoll_fd_);
    errno = err;
    ThrowSystem("eventfd");
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeId;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0) {
    int err = errno;
    ::close(wake_fd_);
    ::close(epoll_fd_);
    errno = err;
    ThrowSystem("epoll_ctl");
  }
}

LoopCore::~LoopCore() {
  for (const auto& [signo, ours] : blocked_by_us_) ForgetSignal(signo, ours);
  if (signal_fd_ >= 0) ::close(signal_fd_);
  ::close(wake_fd_);
  ::close(epoll_fd_);
}

void LoopCore::Post(std::function<void()> task) {
  posted_.Push(std::move(task));
  // Written after the push: a loop woken by it finds the task queued.
  std::uint64_t one = 1;
  while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void LoopCore::DrainWake() {
  std::uint64_t count;
  while (::read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void LoopCore::Run() {
  while (!quit_) {
    Wait(-1);
    Pump(true);
  }
}

void LoopCore::Wait(int timeout_ms) {
  if (!posted_.Empty()) return;
  // What is ready stays ready (level triggered) for the pump that follows.
  epoll_event ev;
  int n = ::epoll_wait(epoll_fd_, &ev, 1, timeout_ms);
  if (n < 0 && errno != EINTR) ThrowSystem("epoll_wait");
}

void LoopCore::Pump(bool stop_on_quit) {
  epoll_event events[kMaxEvents];
  int n;
  do {
    n = ::epoll_wait(epoll_fd_, events, kMaxEvents, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) ThrowSystem("epoll_wait");

  // The wake counter is cleared before the queue is measured: every task
  // whose wake-up is consumed here is counted, later ones wake again.
  DrainWake();
  posted_.Run(posted_.Size(), stop_on_quit ? &quit_ : nullptr);

  for (int i = 0; i < n; ++i) {
    if (stop_on_quit && quit_) return;
    std::uint64_t id = events[i].data.u64;
    if (id == kWakeId) continue;
    if (id == kSignalId) {
      DispatchSignals(stop_on_quit);
    } else {
      Dispatch(id);
    }
  }
}

void LoopCore::Dispatch(std::uint64_t id) {
  auto it = sources_.find(id);
  if (it == sources_.end()) return;  // removed since it became ready
  std::shared_ptr<Source> source = it->second;

  if (source->kind == Source::Kind::kTimer) {
    std::uint64_t expirations;
    ssize_t got;
    do {
      got = ::read(source->fd, &expirations, sizeof expirations);
    } while (got < 0 && errno == EINTR);
    // Nothing to read: an inner pump took this tick, or the timer was
    // disarmed or restarted since.
    if (got != static_cast<ssize_t>(sizeof expirations)) return;
    // A tick that comes due while this timer's callback runs is dropped.
    if (source->running) return;
  } else {
    // The callback of a watch runs once at a time; a descriptor that is
    // still readable afterwards is reported again by the next pump.
    if (source->running) return;
    pollfd p{source->fd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || (p.revents & POLLNVAL)) return;
  }
  FlagScope running(source->running);
  source->callback();
}

void LoopCore::DispatchSignals(bool stop_on_quit) {
  if (signal_fd_ < 0) return;
  // One signal at a time, so that a handler that pumps lets the next one be
  // handled by the inner pump and not twice.
  for (int i = 0; i < kMaxSignalsPerEvent; ++i) {
    if (stop_on_quit && quit_) return;
    signalfd_siginfo info;
    ssize_t got = ::read(signal_fd_, &info, sizeof info);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof info)) return;
    auto it = signal_handlers_.find(static_cast<int>(info.ssi_signo));
    if (it == signal_handlers_.end()) continue;
    std::shared_ptr<const std::function<void()>> handler = it->second;
    (*handler)();
  }
}

std::pair<std::uint64_t, std::shared_ptr<Source>> LoopCore::AddTimer(
    std::function<void()> on_tick) {
  int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) ThrowSystem("timerfd_create");
  auto source =
      std::make_shared<Source>(Source::Kind::kTimer, fd, std::move(on_tick));
  std::uint64_t id = next_id_++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    ThrowSystem("epoll_ctl");  // `source` closes the timerfd
  }
  sources_.emplace(id, source);
  return {id, std::move(source)};
}

void LoopCore::Remove(std::uint64_t id) {
  auto it = sources_.find(id);
  if (it == sources_.end()) return;
  // The descriptor may be closed already (a watch whose owner closed it);
  // epoll then forgot it by itself.
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, it->second->fd, nullptr);
  sources_.erase(it);
}

void LoopCore::WatchFd(int fd, std::function<void()> on_readable) {
  auto old = watch_ids_.find(fd);
  if (!on_readable) {
    if (old == watch_ids_.end()) return;
    Remove(old->second);
    watch_ids_.erase(old);
    return;
  }
  if (fd < 0) throw RuntimeError(kErrInvalidCall);
  auto source = std::make_shared<Source>(Source::Kind::kWatch, fd,
                                         std::move(on_readable));
  std::uint64_t id = next_id_++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  if (old != watch_ids_.end()) {
    // A new id: a ready entry of an outer pump for the old callback is
    // dropped, and a running old callback keeps its own source.
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) {
      ThrowSystem("epoll_ctl");
    }
    sources_.erase(old->second);
    old->second = id;
  } else {
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ThrowSystem("epoll_ctl");
    }
    watch_ids_.emplace(fd, id);
  }
  sources_.emplace(id, std::move(source));
}

void LoopCore::SetSignalMask() {
  sigset_t mask;
  sigemptyset(&mask);
  for (const auto& entry : signal_handlers_) sigaddset(&mask, entry.first);
  int fd = ::signalfd(signal_fd_, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) ThrowSystem("signalfd");
  if (signal_fd_ < 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kSignalId;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      int err = errno;
      ::close(fd);
      errno = err;
      ThrowSystem("epoll_ctl");
    }
    signal_fd_ = fd;
  }
}

// Takes back a signal: instances pending now are discarded, and when this
// loop blocked it, it is unblocked again.
void LoopCore::ForgetSignal(int signo, bool unblock) {
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signo);
  timespec zero{0, 0};
  while (::sigtimedwait(&one, nullptr, &zero) == signo) {
  }
  if (unblock) ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
}

void LoopCore::OnSignal(int signo, std::function<void()> on_signal) {
  if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP) {
    throw RuntimeError(kErrInvalidCall);
  }
  if (!on_signal) {
    if (signal_handlers_.erase(signo) == 0) return;
    SetSignalMask();
    auto it = blocked_by_us_.find(signo);
    ForgetSignal(signo, it->second);
    blocked_by_us_.erase(it);
    return;
  }
  if (blocked_by_us_.count(signo) == 0) {
    // Blocked before the signalfd is created, so that no instance takes the
    // default action in between. Threads started later inherit the mask;
    // one started earlier could still take the signal, so handlers are set
    // up before other threads start.
    sigset_t one, old;
    sigemptyset(&one);
    sigaddset(&one, signo);
    if (::pthread_sigmask(SIG_BLOCK, &one, &old) != 0) {
      ThrowSystem("pthread_sigmask");
    }
    blocked_by_us_[signo] = sigismember(&old, signo) == 0;
  }
  signal_handlers_[signo] =
      std::make_shared<const std::function<void()>>(std::move(on_signal));
  SetSignalMask();
}

class PosixTimer : public Timer {
 public:
  PosixTimer(std::weak_ptr<LoopCore> core, std::uint64_t id,
             std::shared_ptr<Source> source)
      : core_(std::move(core)), id_(id), source_(std::move(source)) {}
  ~PosixTimer() override {
    if (auto core = core_.lock()) core->Remove(id_);
    // Disarms the timer; a callback running now keeps the source (without
    // its descriptor) until it returns.
    ::close(source_->fd);
    source_->fd = -1;
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
  // Starts a fresh interval, or disarms. Setting the timerfd also clears
  // its count of expirations, so a tick that was due is dropped.
  void Arm() {
    itimerspec setting{};
    if (enabled_ && interval_ > 0) {
      setting.it_value.tv_sec = interval_ / 1000;
      setting.it_value.tv_nsec = static_cast<long>(interval_ % 1000) * 1000000L;
      setting.it_interval = setting.it_value;
    }
    if (::timerfd_settime(source_->fd, 0, &setting, nullptr) != 0) {
      ThrowSystem("timerfd_settime");
    }
  }

  std::weak_ptr<LoopCore> core_;
  std::uint64_t id_;
  std::shared_ptr<Source> source_;
  std::uint32_t interval_ = 0;
  bool enabled_ = false;
};

class PosixMessageLoop : public MessageLoop {
 public:
  PosixMessageLoop() : core_(std::make_shared<LoopCore>()) {}

  void Run() override { core_->Run(); }
  void PumpPending() override { core_->Pump(false); }
  void WaitAndPump(std::uint32_t max_wait_ms) override {
    core_->Wait(static_cast<int>(std::min(max_wait_ms, kMaxWaitMs)));
    core_->Pump(false);
  }
  void Quit() override { core_->Quit(); }
  bool QuitRequested() const override { return core_->QuitRequested(); }
  void Post(std::function<void()> task) override {
    core_->Post(std::move(task));
  }
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override {
    auto [id, source] = core_->AddTimer(std::move(on_tick));
    return std::make_unique<PosixTimer>(core_, id, std::move(source));
  }
  void OnSignal(int signo, std::function<void()> on_signal) override {
    core_->OnSignal(signo, std::move(on_signal));
  }
  void WatchFd(int fd, std::function<void()> on_readable) override {
    core_->WatchFd(fd, std::move(on_readable));
  }

 private:
  // Shared with the timers, which may outlive the loop.
  std::shared_ptr<LoopCore> core_;
};

}  // namespace

std::unique_ptr<MessageLoop> CreateMessageLoop() {
  return std::make_unique<PosixMessageLoop>();
}

}  // namespace qs::platform
