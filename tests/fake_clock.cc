#include "tests/fake_clock.h"

#include <utility>

namespace qs::test {

class FakeClock::Timer final : public platform::Timer {
 public:
  Timer(FakeClock& clock, platform::MessageLoop& loop, std::function<void()> on_tick)
      : clock_(clock), loop_(loop), on_tick_(std::move(on_tick)) {
    clock_.timers_.push_back(this);
  }
  ~Timer() override { std::erase(clock_.timers_, this); }

  void SetInterval(std::uint32_t ms) override {
    interval_ = ms;
    if (enabled_) due_ = std::int64_t{clock_.ticks} + interval_;
  }
  std::uint32_t Interval() const override { return interval_; }
  void SetEnabled(bool on) override {
    enabled_ = on;
    due_ = std::int64_t{clock_.ticks} + interval_;
  }
  bool Enabled() const override { return enabled_; }

  // When it fires next; -1 for never.
  std::int64_t Due() const { return enabled_ && interval_ > 0 ? due_ : -1; }
  // Fires at its due time, then lets its loop handle what is pending. The
  // callback may let the timer go.
  void Fire() {
    platform::MessageLoop& loop = loop_;
    due_ += interval_;
    std::function<void()> on_tick = on_tick_;
    on_tick();
    loop.PumpPending();
  }

 private:
  FakeClock& clock_;
  platform::MessageLoop& loop_;
  std::function<void()> on_tick_;
  std::uint32_t interval_ = 0;
  bool enabled_ = false;
  std::int64_t due_ = 0;  // in ticks
};

void FakeClock::Advance(std::uint32_t ms) {
  const std::int64_t target = std::int64_t{ticks} + ms;
  for (;;) {
    Timer* next = nullptr;
    for (Timer* t : timers_) {
      if (t->Due() >= 0 && t->Due() <= target && (!next || t->Due() < next->Due())) next = t;
    }
    if (!next) break;
    ticks = static_cast<std::uint32_t>(next->Due());
    next->Fire();
  }
  ticks = static_cast<std::uint32_t>(target);
}

namespace {

class FakeClockLoop : public platform::MessageLoop {
 public:
  explicit FakeClockLoop(FakeClock& clock) : clock_(clock) {}

  void Run() override { real_->Run(); }
  void PumpPending() override { real_->PumpPending(); }
  void WaitAndPump(std::uint32_t ms) override { real_->WaitAndPump(ms); }
  void Quit() override { real_->Quit(); }
  bool QuitRequested() const override { return real_->QuitRequested(); }
  void Post(std::function<void()> task) override { real_->Post(std::move(task)); }
  std::unique_ptr<platform::Timer> CreateTimer(std::function<void()> on_tick) override {
    return std::make_unique<FakeClock::Timer>(clock_, *this, std::move(on_tick));
  }
#ifndef _WIN32
  void OnSignal(int signo, std::function<void()> f) override {
    real_->OnSignal(signo, std::move(f));
  }
  void WatchFd(int fd, std::function<void()> f) override { real_->WatchFd(fd, std::move(f)); }
#else
  void WatchHandle(void* h, std::function<void()> f) override {
    real_->WatchHandle(h, std::move(f));
  }
  void OnWindowMessage(std::uint32_t message, std::function<void()> f) override {
    real_->OnWindowMessage(message, std::move(f));
  }
#endif

 private:
  FakeClock& clock_;
  std::unique_ptr<platform::MessageLoop> real_ = platform::CreateMessageLoop();
};

}  // namespace

std::unique_ptr<platform::MessageLoop> LoopOn(FakeClock& clock) {
  return std::make_unique<FakeClockLoop>(clock);
}

}  // namespace qs::test
