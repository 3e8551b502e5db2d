// The message loop against the real system. Intervals are short and time
// bounds loose: the build machine is small and busy.
#include "platform/message_loop.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace qs::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Ends the program when a test hangs: a loop that never returns is a
// failure, not a stuck build.
class Watchdog {
 public:
  Watchdog() {
#ifndef _WIN32
    // Started with every signal blocked: it must never take the loop's.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
#endif
    thread_ = std::thread([done = done_.get_future()] {
      if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "message loop test hung\n");
        std::abort();
      }
    });
#ifndef _WIN32
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
  }
  ~Watchdog() {
    done_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> done_;
  std::thread thread_;
};

// Pumps without blocking until `done` holds or `limit` has passed.
bool PumpUntil(MessageLoop& loop, const std::function<bool()>& done,
               milliseconds limit = milliseconds(5000)) {
  auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    loop.PumpPending();
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

void PumpFor(MessageLoop& loop, milliseconds span) {
  PumpUntil(loop, [] { return false; }, span);
}

// Processor time the calling thread has used, in milliseconds.
double ThreadCpuMillis() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
           t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
#else
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
#endif
}

// Something the loop can watch: a non-blocking pipe (POSIX) or an
// auto-reset event (Win32). Fire() makes it ready; Take(), called by the
// callback, makes it not ready again.
class Trigger {
 public:
#ifdef _WIN32
  Trigger() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Trigger() { CloseHandle(event_); }
  void Watch(MessageLoop& loop, std::function<void()> fn) {
    loop.WatchHandle(event_, std::move(fn));
  }
  void Fire() { SetEvent(event_); }
  void Take() {}  // the loop's wait reset the event

 private:
  HANDLE event_;
#else
  Trigger() { EXPECT_EQ(pipe2(fds_, O_NONBLOCK), 0); }
  ~Trigger() { close(fds_[0]), close(fds_[1]); }
  void Watch(MessageLoop& loop, std::function<void()> fn) {
    loop.WatchFd(fds_[0], std::move(fn));
  }
  void Fire() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }
  void Take() {
    for (char c; read(fds_[0], &c, 1) == 1;) {
    }
  }

 private:
  int fds_[2] = {-1, -1};
#endif
};

TEST(MessageLoopPost, TasksFromOtherThreadsRunOnTheLoopThreadInOrder) {
  Watchdog watchdog;
  auto loop = CreateMessageLoop();
  constexpr int kThreads = 3, kPerThread = 400;
  const auto loop_thread = std::this_thread::get_id();
  std::vector<std::vector<int>> seen(kThreads);
  int off_thread = 0, total = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      // Some posts land while the loop sleeps, some while it works.
      for (int i = 0; i < kPerThread; ++i) {
        loop->Post([&, t, i] {
          if (std::this_thread::get_id() != loop_thread) ++off_thread;
          seen[t].push_back(i);
          if (++total == kThreads * kPerThread) loop->Quit();
        });
        if (i % 50 == 0) std::this_thread::sleep_for(milliseconds(2));
      }
    });
  }
  loop->Run();
  for (auto& p : posters) p.join();
  EXPECT_EQ(off_thread, 0);
  std::vector<int> expected(kPerThread);
  std::iota(expected.begin(), expected.end(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << t;
}

TEST(MessageLoopPost, NestedPumpRunsEachTaskOnceAndPumpsEnd) {
  auto loop = CreateMessageLoop();
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
  std::function<void()> again = [&] { ++runs, loop->Post(again); };
  loop->Post(again);
  for (int i = 1; i <= 3; ++i) {
    loop->PumpPending();
    EXPECT_EQ(runs, i);
  }
}

TEST(MessageLoopQuit, RunEndsWhenTheHandlerThatQuitReturns) {
  Watchdog watchdog;
  auto loop = CreateMessageLoop();
  bool outer_finished = false;
  loop->Post([&] {
    loop->Post([&] { loop->Quit(); });
    loop->PumpPending();  // the quit comes from inside this nested pump
    EXPECT_TRUE(loop->QuitRequested());
    outer_finished = true;
  });
  loop->Run();
  EXPECT_TRUE(outer_finished);

  // What is queued behind the quitting task waits; Run returns at once
  // from now on, and a handler's own pump still works.
  auto loop2 = CreateMessageLoop();
  bool queued_ran = false;
  loop2->Post([&] { loop2->Quit(); });
  loop2->Post([&] { queued_ran = true; });
  loop2->Run();
  EXPECT_FALSE(queued_ran);
  loop2->Run();
  EXPECT_FALSE(queued_ran);
  loop2->PumpPending();
  EXPECT_TRUE(queued_ran);
}

// A timer and two watches ready in the same pump; the first callback that
// may nest pumps again, so the inner pump handles the others, which must not
// run again when the outer pump comes to them. Once the timer nests, once
// the first watch.
TEST(MessageLoopNesting, EventsTakenByAnInnerPumpAreNotRepeated) {
  for (bool timer_nests : {true, false}) {
    SCOPED_TRACE(timer_nests ? "timer nests" : "watch nests");
    auto loop = CreateMessageLoop();
    Trigger first, second;
    bool nested = false;
    int timer_calls = 0, first_calls = 0, second_calls = 0;
    auto nest_once = [&] {
      if (!nested) {
        nested = true;
        loop->PumpPending();
      }
    };
    auto timer = loop->CreateTimer([&] {
      if (++timer_calls, timer_nests) nest_once();
    });
    first.Watch(*loop, [&] { ++first_calls, nest_once(), first.Take(); });
    second.Watch(*loop, [&] { ++second_calls, nest_once(), second.Take(); });
    if (!timer_nests) first.Fire();  // ready before the timer
    timer->SetInterval(30), timer->SetEnabled(true);
    std::this_thread::sleep_for(milliseconds(45));
    if (timer_nests) first.Fire();
    second.Fire();
    loop->PumpPending();
    EXPECT_TRUE(nested);
    EXPECT_EQ(std::vector<int>({timer_calls, first_calls, second_calls}),
              std::vector<int>({1, 1, 1}));
  }
}

TEST(MessageLoopWait, SleepsUntilWorkArrivesOrTheLimitPasses) {
  Watchdog watchdog;
  auto loop = CreateMessageLoop();
  double cpu_before = ThreadCpuMillis();
  auto start = Clock::now();
  loop->WaitAndPump(300);
  EXPECT_GE(Clock::now() - start, milliseconds(200));
  EXPECT_LT(ThreadCpuMillis() - cpu_before, 100.0);  // no polling

  bool ran = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(milliseconds(30));
    loop->Post([&] { ran = true; });
  });
  start = Clock::now();
  loop->WaitAndPump(10000);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
}

// Over 120 ms: an enabled 20 ms timer fires about six times, a disabled one
// never.
TEST(MessageLoopTimer, FiresAtItsIntervalOnlyWhileEnabled) {
  auto loop = CreateMessageLoop();
  struct Case {
    const char* name;
    std::function<void(Timer&)> setup;
    int min, max;
  } cases[] = {
      {"enabled", [](Timer& t) { t.SetInterval(20), t.SetEnabled(true); }, 2, 7},
      {"never enabled", [](Timer& t) { t.SetInterval(10); }, 0, 0},
      {"interval 0", [](Timer& t) { t.SetEnabled(true); }, 0, 0},
      {"disabled with ticks due",
       [](Timer& t) {
         t.SetInterval(10), t.SetEnabled(true);
         std::this_thread::sleep_for(milliseconds(60));
         t.SetEnabled(false);
       },
       0, 0},
      {"interval set to 0 while enabled",
       [](Timer& t) { t.SetInterval(10), t.SetEnabled(true), t.SetInterval(0); },
       0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ticks = 0;
    auto timer = loop->CreateTimer([&] { ++ticks; });
    c.setup(*timer);
    PumpFor(*loop, milliseconds(120));
    EXPECT_GE(ticks, c.min);
    EXPECT_LE(ticks, c.max);
  }
}

TEST(MessageLoopTimer, EnablingAgainRestartsTheInterval) {
  auto loop = CreateMessageLoop();
  int slow_ticks = 0;
  auto slow = loop->CreateTimer([&] { ++slow_ticks; });
  slow->SetInterval(300), slow->SetEnabled(true);
  auto restarter = loop->CreateTimer([&] { slow->SetEnabled(true); });
  restarter->SetInterval(30), restarter->SetEnabled(true);
  PumpFor(*loop, milliseconds(900));
  EXPECT_EQ(slow_ticks, 0);
  restarter.reset();
  EXPECT_TRUE(PumpUntil(*loop, [&] { return slow_ticks > 0; }));
}

// A work cycle that waits, pumping, for what another thread brings in: its
// own timer keeps coming due, is not delivered and does not make it spin,
// while other sources still run.
TEST(MessageLoopTimer, TickDuringItsOwnNestedPumpIsDropped) {
  Watchdog watchdog;
  auto loop = CreateMessageLoop();
  int ticks = 0, depth = 0, max_depth = 0, other_ticks_while_nested = 0;
  bool nested = false, arrived = false;
  double cpu_used = -1;
  std::thread poster;
  auto other = loop->CreateTimer([&] { other_ticks_while_nested += nested; });
  other->SetInterval(20);
  auto timer = loop->CreateTimer([&] {
    max_depth = std::max(max_depth, ++depth);
    if (++ticks == 1) {
      nested = true;
      other->SetEnabled(true);
      poster = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(300));
        loop->Post([&] { arrived = true; });
      });
      double cpu_before = ThreadCpuMillis();
      while (!arrived) loop->WaitAndPump(5000);
      cpu_used = ThreadCpuMillis() - cpu_before;
      nested = false;
    } else if (ticks == 3) {
      loop->Quit();
    }
    --depth;
  });
  timer->SetInterval(20), timer->SetEnabled(true);
  loop->Run();
  poster.join();
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(ticks, 3);
  EXPECT_GT(other_ticks_while_nested, 0);
  EXPECT_GE(cpu_used, 0.0);
  EXPECT_LT(cpu_used, 150.0);
}

TEST(MessageLoopTimer, DestroyingTimersWhileTheyAreDueIsSafe) {
  auto loop = CreateMessageLoop();
  // Two timers due in the same pump; whichever runs first destroys both
  // (itself included), and the other's tick must never be delivered.
  int ticks = 0;
  std::unique_ptr<Timer> a, b;
  auto destroy_both = [&] { ++ticks, a.reset(), b.reset(); };
  a = loop->CreateTimer(destroy_both);
  b = loop->CreateTimer(destroy_both);
  for (Timer* t : {a.get(), b.get()}) t->SetInterval(10), t->SetEnabled(true);
  std::this_thread::sleep_for(milliseconds(50));
  PumpFor(*loop, milliseconds(60));
  EXPECT_EQ(ticks, 1);

  // A timer that outlives its loop.
  auto timer = loop->CreateTimer([] {});
  timer->SetInterval(10), timer->SetEnabled(true);
  loop.reset();
  timer->SetEnabled(false);
}

TEST(MessageLoopWatch, CallsOnTheLoopThreadUntilUnwatched) {
  Watchdog watchdog;
  auto loop = CreateMessageLoop();
  Trigger trigger;
  const auto loop_thread = std::this_thread::get_id();
  int calls = 0, off_thread = 0;
  trigger.Watch(*loop, [&] {
    if (std::this_thread::get_id() != loop_thread) ++off_thread;
    trigger.Take();
    if (++calls == 3) loop->Quit();
  });
  PumpFor(*loop, milliseconds(30));
  EXPECT_EQ(calls, 0);
  std::thread firer([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(milliseconds(30));
      trigger.Fire();
    }
  });
  loop->Run();
  firer.join();
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(off_thread, 0);

  // A replaced callback is never called. Two watches ready in the same
  // pump: the first unwatches both, though they stay ready, and the second
  // is not called.
  auto loop2 = CreateMessageLoop();
  Trigger other;
  int calls2 = 0;
  auto unwatch_both = [&] {
    ++calls2, trigger.Watch(*loop2, {}), other.Watch(*loop2, {});
  };
  trigger.Watch(*loop2, [&] { calls2 = 1000; });
  trigger.Watch(*loop2, unwatch_both);
  other.Watch(*loop2, unwatch_both);
  trigger.Fire(), other.Fire();
  PumpFor(*loop2, milliseconds(50));
  EXPECT_EQ(calls2, 1);
}

#ifndef _WIN32

TEST(MessageLoopWatch, LevelTriggeredWithoutReentry) {
  auto loop = CreateMessageLoop();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  int calls = 0, depth = 0, max_depth = 0;
  loop->WatchFd(fds[0], [&] {
    ++calls;
    max_depth = std::max(max_depth, ++depth);
    PumpFor(*loop, milliseconds(20));  // still readable while this runs
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), 1);  // one byte per call
    --depth;
  });
  ASSERT_EQ(write(fds[1], "xyz", 3), 3);
  PumpFor(*loop, milliseconds(150));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(max_depth, 1);
  loop->WatchFd(fds[0], {});
  close(fds[0]), close(fds[1]);
}

bool SignalBlocked(int signo) {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return sigismember(&current, signo) == 1;
}

TEST(MessageLoopSignal, SignalsFromEverySourceRunOnTheLoop) {
  ASSERT_FALSE(SignalBlocked(SIGUSR1) || SignalBlocked(SIGUSR2));
  {
    auto loop = CreateMessageLoop();
    int usr1 = 0, usr2 = 0;
    loop->OnSignal(SIGUSR1, [&] { ++usr1; });
    loop->OnSignal(SIGUSR2, [&] {
      if (++usr2 == 1) loop->Quit();
    });
    Watchdog watchdog;

    raise(SIGUSR1);  // on the loop's own thread
    EXPECT_TRUE(PumpUntil(*loop, [&] { return usr1 == 1; }));

    // From another thread (it inherits the blocked mask) while Run sleeps.
    std::thread sender([] {
      std::this_thread::sleep_for(milliseconds(30));
      kill(getpid(), SIGUSR2);
    });
    loop->Run();
    sender.join();
    EXPECT_EQ(usr2, 1);

    // From another process.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      kill(getppid(), SIGUSR1);
      _exit(0);
    }
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(PumpUntil(*loop, [&] { return usr1 == 2; }));

    // Letting a signal go unblocks it again; so does the loop's end.
    loop->OnSignal(SIGUSR2, {});
    EXPECT_FALSE(SignalBlocked(SIGUSR2));
    EXPECT_TRUE(SignalBlocked(SIGUSR1));
  }
  EXPECT_FALSE(SignalBlocked(SIGUSR1));
}

#else  // _WIN32

TEST(MessageLoopWatch, ChangeNotificationOfAFolder) {
  qs::test::TempDir dir;
  auto loop = CreateMessageLoop();
  HANDLE change = FindFirstChangeNotificationA(dir.path().c_str(), FALSE,
                                               FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  int calls = 0;
  loop->WatchHandle(change, [&] {
    ++calls;
    FindNextChangeNotification(change);
  });
  PumpFor(*loop, milliseconds(30));
  EXPECT_EQ(calls, 0);
  qs::test::WriteBytes(dir.Join("new.txt"), "x");
  EXPECT_TRUE(PumpUntil(*loop, [&] { return calls > 0; }));
  loop->WatchHandle(change, nullptr);
  FindCloseChangeNotification(change);
}

#endif

}  // namespace
}  // namespace qs::platform
