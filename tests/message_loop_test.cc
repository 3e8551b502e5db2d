// The message loop against the real system: its timers are the system's, so
// these tests take real time, a few milliseconds each. No check needs the
// machine to be quick: a timer's tick is never earlier than its interval,
// and what must not happen is counted, not timed.
#include "platform/message_loop.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>


namespace qs::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Ints = std::vector<int>;

// How much earlier than its interval a window timer may seem to fire: the
// system's tick, against which Windows measures it, lags the clock.
constexpr milliseconds kTimerSlack(16);

// A fresh loop. A loop that never returns fails by the test run's limit
// per test.
class MessageLoopTest : public testing::Test {
 protected:
  // Pumps without blocking until `done` holds; false when 5 s passed first.
  bool PumpUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    for (; !done(); loop->PumpPending()) {
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
  }

  std::unique_ptr<MessageLoop> loop = CreateMessageLoop();
};

void Start(Timer& timer, std::uint32_t interval_ms) {
  timer.SetInterval(interval_ms);
  timer.SetEnabled(true);
}

// Something the loop can watch: a non-blocking pipe (POSIX) or an
// auto-reset event (Win32). Fire() makes it ready; Take(), called by the
// callback, makes it not ready again.
class Trigger {
 public:
#ifdef _WIN32
  ~Trigger() { CloseHandle(event_); }
  void Watch(MessageLoop& l, std::function<void()> f) { l.WatchHandle(event_, std::move(f)); }
  void Fire() { SetEvent(event_); }
  void Take() {}  // the loop's wait reset the event

 private:
  HANDLE event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
#else
  Trigger() { EXPECT_EQ(pipe2(fds_, O_NONBLOCK), 0); }
  ~Trigger() {
    for (int fd : fds_) close(fd);
  }
  void Watch(MessageLoop& l, std::function<void()> f) { l.WatchFd(fds_[0], std::move(f)); }
  void Fire() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }
  void Take() {
    for (char c; read(fds_[0], &c, 1) == 1;) {
    }
  }

 private:
  int fds_[2] = {-1, -1};
#endif
};

TEST_F(MessageLoopTest, TasksFromOtherThreadsRunOnTheLoopThreadInOrder) {
  constexpr int kThreads = 3, kPerThread = 400;
  const auto loop_thread = std::this_thread::get_id();
  Ints next(kThreads);
  int wrong = 0, total = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      // Some posts land while the loop sleeps, some while it works.
      for (int i = 0; i < kPerThread; ++i) {
        loop->Post([&, t, i] {
          wrong += std::this_thread::get_id() != loop_thread || next[t]++ != i;
          if (++total == kThreads * kPerThread) loop->Quit();
        });
        if (i % 50 == 0) std::this_thread::sleep_for(milliseconds(2));
      }
    });
  }
  loop->Run();
  for (auto& p : posters) p.join();
  EXPECT_EQ(wrong, 0);  // on another thread, out of order or twice
}

TEST_F(MessageLoopTest, NestedPumpsRunEachTaskOnceAndEndAndQuitEndsRun) {
  std::vector<std::string> log;
  loop->Post([&] {
    log.push_back("a begin");
    loop->Post([&] { log.push_back("c"); });
    loop->PumpPending();  // runs b (queued before a ran) and c
    log.push_back("a end");
  });
  loop->Post([&] { log.push_back("b"); });
  for (int i = 0; i < 3; ++i) loop->PumpPending();
  EXPECT_EQ(log, (std::vector<std::string>{"a begin", "b", "c", "a end"}));

  // A task that always posts itself again: each pump still returns.
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop->Post(again);
  };
  loop->Post(again);
  for (int i = 1; i <= 3; ++i) {
    loop->PumpPending();
    EXPECT_EQ(runs, i);
  }

  // Run ends when the handler that quit (inside a nested pump) returns.
  // What is queued behind it waits: Run returns at once from now on, and a
  // handler's own pump still works.
  loop = CreateMessageLoop();
  loop->Post([&] {
    loop->Post([&] { loop->Quit(); });
    loop->PumpPending();
  });
  loop->Run();
  loop = CreateMessageLoop();
  bool queued_ran = false;
  loop->Post([&] { loop->Quit(); });
  loop->Post([&] { queued_ran = true; });
  loop->Run();
  loop->Run();
  EXPECT_FALSE(queued_ran);
  loop->PumpPending();
  EXPECT_TRUE(queued_ran);
}

// A timer and two watches ready in the same pump; the first callback that
// may nest pumps again, so the inner pump handles the others, which must not
// run again when the outer pump comes to them. Once the timer nests, once
// the first watch.
TEST_F(MessageLoopTest, EventsTakenByAnInnerPumpAreNotRepeated) {
  for (bool timer_nests : {true, false}) {
    SCOPED_TRACE(timer_nests ? "timer nests" : "watch nests");
    loop = CreateMessageLoop();
    Trigger first, second;
    bool nested = false;
    Ints calls(3);  // timer, first, second
    // Callback `i` (0: the timer) nests once; a watch takes its trigger after.
    auto handle = [&](int i, Trigger* trigger) {
      ++calls[i];
      if ((i > 0 || timer_nests) && !std::exchange(nested, true)) loop->PumpPending();
      if (trigger) trigger->Take();
    };
    std::unique_ptr<Timer> timer;
    timer = loop->CreateTimer([&] {
      timer->SetEnabled(false);  // one tick, however long a pump takes
      handle(0, nullptr);
    });
    first.Watch(*loop, [&] { handle(1, &first); });
    second.Watch(*loop, [&] { handle(2, &second); });
    if (!timer_nests) first.Fire();  // ready before the timer
    Start(*timer, 10);
    std::this_thread::sleep_for(milliseconds(10) + kTimerSlack);
    if (timer_nests) first.Fire();
    second.Fire();
    loop->PumpPending();
    EXPECT_TRUE(nested);
    EXPECT_EQ(calls, Ints({1, 1, 1}));
  }
}

// A timer that is not enabled with an interval never fires, while another
// fires three times, the n-th tick no earlier than n intervals after the
// start.
TEST_F(MessageLoopTest, TimerFiresAtItsIntervalOnlyWhileEnabled) {
  struct Case { const char* name; std::function<void(Timer&)> setup; } cases[] = {
      {"never enabled", [](Timer& t) { t.SetInterval(5); }},
      {"interval 0", [](Timer& t) { t.SetEnabled(true); }},
      {"disabled with ticks due",
       [](Timer& t) {
         Start(t, 5);
         std::this_thread::sleep_for(milliseconds(5) + kTimerSlack);
         t.SetEnabled(false);
       }},
      {"interval set to 0 while enabled",
       [](Timer& t) {
         Start(t, 5);
         t.SetInterval(0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int never = 0, ticks = 0;
    auto idle = loop->CreateTimer([&] { ++never; });
    auto reference = loop->CreateTimer([&] { ++ticks; });
    c.setup(*idle);
    const auto start = Clock::now();
    Start(*reference, 10);
    ASSERT_TRUE(PumpUntil([&] { return ticks == 3; }));
    EXPECT_GE(Clock::now() - start, milliseconds(30) - kTimerSlack);
    EXPECT_EQ(never, 0);
  }
}

// A timer enabled again while it runs starts its interval afresh: it fires
// only a whole interval after the last enabling.
TEST_F(MessageLoopTest, TimerEnabledAgainRestartsTheInterval) {
  constexpr milliseconds kInterval(30);
  Clock::time_point enabled = Clock::now(), fired;
  auto slow = loop->CreateTimer([&] { fired = Clock::now(); });
  Start(*slow, kInterval.count());
  int restarts = 0;
  std::unique_ptr<Timer> restarter;
  restarter = loop->CreateTimer([&] {
    enabled = Clock::now();
    slow->SetEnabled(true);
    if (++restarts == 8) restarter->SetEnabled(false);
  });
  Start(*restarter, 5);
  ASSERT_TRUE(PumpUntil([&] { return fired != Clock::time_point(); }));
  EXPECT_GE(fired - enabled, kInterval - kTimerSlack) << restarts << " restarts";
}

// A work cycle that waits, pumping, for what another source brings in: its
// own timer comes due meanwhile, is not delivered and does not make the
// wait spin, while other sources still run.
TEST_F(MessageLoopTest, TimerTickDuringItsOwnNestedPumpIsDropped) {
  int ticks = 0, depth = 0, max_depth = 0, other_ticks = 0, waits = 0;
  milliseconds waited(0);
  auto other = loop->CreateTimer([&] { ++other_ticks; });
  other->SetInterval(10);
  auto timer = loop->CreateTimer([&] {
    max_depth = std::max(max_depth, ++depth);
    if (++ticks == 1) {
      other->SetEnabled(true);
      const auto start = Clock::now();
      for (; other_ticks < 4; ++waits) loop->WaitAndPump(5000);
      waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }
    if (ticks == 3) loop->Quit();
    --depth;
  });
  Start(*timer, 10);
  loop->Run();
  EXPECT_EQ(max_depth, 1);
  // Each wait ends for a tick of one of the two timers: a spinning wait
  // would end thousands of times a millisecond.
  EXPECT_LT(waits, waited.count() + 10);
}

// Two timers due in the same pump; whichever runs first destroys both
// (itself included), and the other's tick must never be delivered. A timer
// may outlive its loop.
TEST_F(MessageLoopTest, DestroyingTimersWhileTheyAreDueIsSafe) {
  int ticks = 0;
  std::unique_ptr<Timer> a, b;
  auto destroy_both = [&] {
    ++ticks;
    a.reset();
    b.reset();
  };
  a = loop->CreateTimer(destroy_both);
  b = loop->CreateTimer(destroy_both);
  for (Timer* t : {a.get(), b.get()}) Start(*t, 5);
  std::this_thread::sleep_for(milliseconds(5) + kTimerSlack);
  ASSERT_TRUE(PumpUntil([&] { return ticks > 0; }));
  loop->PumpPending();
  EXPECT_EQ(ticks, 1);

  a = loop->CreateTimer([] {});
  Start(*a, 10);
  loop.reset();
  a->SetEnabled(false);
}

// A ready watch wakes Run as it does a pump, and is called again while it
// is made ready again.
TEST_F(MessageLoopTest, WatchCallsUntilUnwatched) {
  Trigger trigger, other;
  int calls = 0;
  trigger.Watch(*loop, [&] {
    trigger.Take();
    ++calls < 3 ? trigger.Fire() : loop->Quit();
  });
  loop->PumpPending();
  EXPECT_EQ(calls, 0);
  trigger.Fire();
  loop->Run();
  EXPECT_EQ(calls, 3);

  // A replaced callback is never called. Two watches ready in the same
  // pump: the first unwatches both, though they stay ready, and the second
  // is not called.
  loop = CreateMessageLoop();
  calls = 0;
  auto unwatch_both = [&] {
    ++calls;
    for (Trigger* t : {&trigger, &other}) t->Watch(*loop, {});
  };
  trigger.Watch(*loop, [&] { calls = 1000; });
  trigger.Watch(*loop, unwatch_both);
  other.Watch(*loop, unwatch_both);
  trigger.Fire();
  other.Fire();
  for (int i = 0; i < 3; ++i) loop->PumpPending();
  EXPECT_EQ(calls, 1);
}

#ifndef _WIN32

bool SignalBlocked(int signo) {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return sigismember(&current, signo) == 1;
}

// One signal sent to the loop's own thread and one to the process (as
// another thread or another process sends it); the second ends Run.
TEST_F(MessageLoopTest, SignalsFromEverySourceRunOnTheLoop) {
  ASSERT_FALSE(SignalBlocked(SIGUSR1) || SignalBlocked(SIGUSR2));
  int usr1 = 0, usr2 = 0;
  loop->OnSignal(SIGUSR1, [&] { ++usr1; });
  loop->OnSignal(SIGUSR2, [&] {
    if (++usr2 == 1) loop->Quit();
  });
  raise(SIGUSR1);
  EXPECT_TRUE(PumpUntil([&] { return usr1 == 1; }));
  kill(getpid(), SIGUSR2);  // to the process, not the thread
  loop->Run();
  EXPECT_EQ(usr2, 1);

  // Letting a signal go unblocks it again; so does the loop's end.
  loop->OnSignal(SIGUSR2, {});
  EXPECT_FALSE(SignalBlocked(SIGUSR2));
  EXPECT_TRUE(SignalBlocked(SIGUSR1));
  loop.reset();
  EXPECT_FALSE(SignalBlocked(SIGUSR1));
}

#endif

}  // namespace
}  // namespace qs::platform
