// The tests' clock: its time moves only when a test moves it, and the timers
// of a loop made with LoopOn follow it. So a test lets seconds of the
// program's time pass in no time at all, and a timer fires exactly when its
// time has come, never a little earlier or later.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/platform.h"

namespace qs::test {

class FakeClock : public platform::Clock {
 public:
  std::uint32_t ticks = 1000;  // TickCount; Advance moves it
  platform::LocalTime now{2026, 12, 4, 19, 36, 12};
  std::string date = "04.12.2026";
  std::string time = "19:36:13";
  int begin_period_calls = 0;

  std::string ShortDateText() override { return date; }
  std::string TimeOfDayText() override { return time; }
  platform::LocalTime Now() override { return now; }
  std::uint32_t TickCount() override { return ticks; }
  std::uint32_t TimeBeginPeriod(std::uint32_t) override {
    ++begin_period_calls;
    return 0;
  }

  // Moves the ticks `ms` forward. Every timer of a loop on this clock fires
  // as its time comes, in the order of their times, and its loop then
  // handles what is pending before the time moves on. Not from a timer's
  // callback.
  void Advance(std::uint32_t ms);

  class Timer;

 private:
  std::vector<Timer*> timers_;  // of the loops on this clock
};

// A real message loop (posted tasks, watched descriptors, signals) whose
// timers follow `clock` instead of the system's time. The clock must
// outlive the loop, and the timers must go before it.
std::unique_ptr<platform::MessageLoop> LoopOn(FakeClock& clock);

}  // namespace qs::test
