// The trace transport on POSIX with real sockets (the kernel's socket table,
// its peer credentials and full buffers are the point), the quillon-trace
// tool, and the message box that becomes a line on standard error or in the
// journal.
#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/posix_impl.h"
#include "platform/posix/trace_socket.h"
#include "tests/run_tool.h"
#include "tests/test_support.h"

namespace qs::platform::posix {
namespace {

using testing::HasSubstr;

// Not "Ravelin" nor "Ravelin - ...": traced programs running meanwhile on
// this machine do not send their lines to the test's viewers.
std::string UniqueTitle(const std::string& kind) {
  static int n = 0;
  return "Ravelin-test " + kind + " " + std::to_string(::getpid()) + " " +
         std::to_string(++n);
}

// A viewer listening under a fresh title, and its handle in a new walk.
struct Attached {
  explicit Attached(const std::string& kind, int deadline_ms = kSendDeadlineMs)
      : ws(NewSocketWindowSystem(deadline_ms)) {
    ok = viewer.Listen(UniqueTitle(kind)) && (h = test::FindTopWindow(*ws, viewer.title())) != 0;
  }
  TraceListener viewer;
  std::unique_ptr<WindowSystem> ws;
  Hwnd h = 0;
  bool ok = false;
};

TEST(TraceSocketTable, OnlyListeningAbstractSeqPacketRowsAreWindows) {
  const std::string head = "0000000000000000: 00000002 00000000 ";
  struct Row { std::string text; std::vector<std::string> titles; } rows[] = {
      // The inode column is padded with blanks; titles hold blanks and any
      // byte, and are not filtered by the viewer rule.
      {head + "00010000 0005 01   999 @Ravelin - test 1", {"Ravelin - test 1"}},
      {head + "00010000 0005 01 12345 @ ravelin \xE4", {" ravelin \xE4"}},
      {head + "00000000 0005 03 12345 @Ravelin", {}},  // accepted, not listening
      {head + "00010000 0001 01 12345 @Ravelin", {}},  // stream
      {head + "00010000 0005 01 12345 /run/Ravelin", {}},
      {head + "00010000 0005 01 12345", {}},
      {head + "00010000 0005 01 12345 @", {}},
      {"Num       RefCount Protocol Flags    Type St Inode Path", {}},
      {head + "0001000G 0005 01 12345 @Ravelin", {}},
      {"0000000000000000 00000002 00000000 00010000 0005 01 1 @Ravelin", {}},
      {head + "00010000", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(ParseListeningEndpoints(row.text), row.titles);
  }
  // Table order, each title once.
  const std::string row = "\n" + head + "00010000 0005 01 7 @";
  EXPECT_THAT(ParseListeningEndpoints(rows[7].text + row + "b" + row + "a" + row + "b" + row + "c"),
              testing::ElementsAre("b", "a", "c"));
}

TEST(TraceTransport, WalkShowsViewerAsVisibleBorderedWindow) {
  TraceListener viewer;
  if (!viewer.Listen("Ravelin")) {
    ASSERT_EQ(viewer.error(), EADDRINUSE);
    GTEST_SKIP() << "a trace viewer titled \"Ravelin\" is running";
  }
  auto ws = NewSocketWindowSystem();
  const Hwnd desktop = ws->GetDesktopWindow();
  const Hwnd h = test::FindTopWindow(*ws, "Ravelin");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(ws->GetWindowTextLength(h), 7);
  EXPECT_EQ(static_cast<std::uint32_t>(ws->GetWindowLong(h, kGwlStyle)),
            kWsVisible | kWsBorder | 0x00CF0000u);
  // At most max-1 bytes and a NUL.
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(ws->GetWindowText(h, buf, 4), 3);
  EXPECT_STREQ(buf, "Rav");
  EXPECT_EQ(ws->GetWindowText(h, buf, 1), 0);
  EXPECT_STREQ(buf, "");
  for (Hwnd none : {desktop, Hwnd{0}, Hwnd{0x7FFF}}) {
    SCOPED_TRACE(none);
    EXPECT_EQ(ws->GetWindowText(none, buf, sizeof buf), 0);
    EXPECT_EQ(ws->GetWindowTextLength(none), 0);
    EXPECT_FALSE(ws->AttachViewer(none));
  }
  EXPECT_EQ(ws->GetWindowLong(Hwnd{0x7FFF}, kGwlStyle), 0);
  // GW_HWNDFIRST starts again at the top; a window has no children.
  EXPECT_EQ(ws->GetWindow(h, kGwHwndFirst), ws->GetWindow(desktop, kGwChild));
  EXPECT_EQ(ws->GetWindow(h, kGwChild), 0u);
  viewer.Close();
  EXPECT_EQ(test::FindTopWindow(*ws, "Ravelin"), 0u);
}

// Neither side talks to another user's: the service sends nothing to a
// stranger's viewer, and a viewer shows nothing of a stranger's program.
TEST(TraceTransport, ViewerOrProgramOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
  // The kernel keeps credentials per thread (the C library's setuid changes
  // them all); a socket keeps those of its listen() or connect().
  TraceListener viewer, ours;
  ASSERT_TRUE(ours.Listen(UniqueTitle("ours")));
  std::thread([&] {
    ASSERT_EQ(::syscall(SYS_setresuid, 65534, 65534, 65534), 0);
    ASSERT_TRUE(viewer.Listen(UniqueTitle("stranger")));
    auto stranger = NewSocketWindowSystem();
    const Hwnd h = test::FindTopWindow(*stranger, ours.title());
    ASSERT_TRUE(stranger->AttachViewer(h));
    stranger->SendSetText(h, "\x1b]2;owned\a\r\n");
  }).join();
  auto ws = NewSocketWindowSystem();
  const Hwnd h = test::FindTopWindow(*ws, viewer.title());
  ASSERT_NE(h, 0u);
  EXPECT_FALSE(ws->AttachViewer(h));
  ws->SendSetText(h, "secret\r\n");
  std::string message;
  EXPECT_FALSE(viewer.Receive(&message, 0)) << message;
  EXPECT_FALSE(ours.Receive(&message, 0)) << message;
  EXPECT_THAT(ours.refused_users(), testing::ElementsAre(65534u));
}

// Anybody may listen under a viewer's title and never accept: such a
// viewer is not waited for, however long a text may wait for a real one.
TEST(TraceTransport, ViewerThatTakesNoConnectionIsNotWaitedFor) {
  Attached squatter("squatter", 3000);
  ASSERT_TRUE(squatter.ok && ::listen(squatter.viewer.fd(), 0) == 0);
  auto filler = NewSocketWindowSystem();
  ASSERT_TRUE(filler->AttachViewer(test::FindTopWindow(*filler, squatter.viewer.title())));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(squatter.ws->AttachViewer(squatter.h));  // its queue is full
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// Out of descriptors, a viewer drops new connections: they would stay
// queued, and poll would report them at once, for ever.
TEST(TraceTransport, ViewerOutOfDescriptorsDropsNewcomers) {
  Attached a("full");
  ASSERT_TRUE(a.ok && a.ws->AttachViewer(a.h));
  a.ws->SendSetText(a.h, "dropped\r\n");
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit none = {static_cast<rlim_t>(::dup(2)), saved.rlim_max};  // from the lowest free
  ::close(static_cast<int>(none.rlim_cur));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  std::string message;
  a.viewer.Receive(&message, 0);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(a.viewer.Receive(&message, 100)) << message;
}

// Lines of a size that a few dozen fill a socket's send buffer, and enough
// of them to fill it, plus `extra`.
std::string Line(int i) { return std::to_string(i) + std::string(4000, '.'); }
int LinesToFill(int extra) {
  return std::stoi(test::ReadBytes("/proc/sys/net/core/wmem_default")) / 4000 + 2 + extra;
}

// The viewer reads `count` lines (waiting at most `wait_ms` for each) and
// says how many of them came whole and in order from Line(0) on.
int ReceivedInOrder(TraceListener& viewer, int count, int wait_ms) {
  std::string message;
  int received = 0;
  while (received < count && viewer.Receive(&message, wait_ms) && message == Line(received)) {
    ++received;
  }
  return received;
}

// Linux: whether thread `tid` sleeps in the kernel.
bool Sleeping(pid_t tid) {
  const std::string stat = test::ReadBytes("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::size_t end = stat.rfind(')');
  return end != std::string::npos && stat.compare(end, 3, ") S") == 0;
}

// A viewer slow to read is waited for: the sender sleeps while the socket is
// full (the deadline outlasts any test), and every line arrives.
TEST(TraceTransport, SlowViewerIsWaitedFor) {
  Attached a("slow", 3600 * 1000);
  ASSERT_TRUE(a.ok && a.ws->AttachViewer(a.h));
  const int count = LinesToFill(0);
  std::atomic<pid_t> tid = 0;
  std::atomic<bool> done = false;
  std::thread sender([&] {
    tid = ::gettid();
    for (int i = 0; i < count; ++i) a.ws->SendSetText(a.h, Line(i));
    done = true;
  });
  // Read only once the sender waits, or has given up on the lines.
  while (!done && (tid == 0 || !Sleeping(tid))) std::this_thread::yield();
  EXPECT_EQ(ReceivedInOrder(a.viewer, count, 10000), count);
  sender.join();
}

// A viewer that takes nothing costs the deadline once: the line that waited
// is dropped, and the lines after it at once. Waiting for each of the 5,000
// would take 500 s, past the test run's limit per test.
TEST(TraceTransport, HungViewerCostsTheDeadlineOnce) {
  Attached a("hung", 100);
  ASSERT_TRUE(a.ok && a.ws->AttachViewer(a.h));
  const int count = LinesToFill(5000);
  for (int i = 0; i < count; ++i) a.ws->SendSetText(a.h, Line(i));
  // The viewer wakes up: it gets what fitted, in order, and new lines again.
  const int fitted = ReceivedInOrder(a.viewer, count, 0);
  EXPECT_GT(fitted, 0);
  EXPECT_LT(fitted, count - 5000);
  std::string message;
  EXPECT_FALSE(a.viewer.Receive(&message, 0)) << message.substr(0, 20);
  a.ws->SendSetText(a.h, "after\r\n");
  ASSERT_TRUE(a.viewer.Receive(&message, 2000));
  EXPECT_EQ(message, "after\r\n");
}

// Lines arrive whole and in order, one message each, bytes intact; a viewer
// that closed or vanished stays closed, and no send raises SIGPIPE.
TEST(TraceTransport, LinesArriveWholeUntilTheViewerCloses) {
  ::signal(SIGPIPE, SIG_DFL);  // a send raising SIGPIPE ends this program
  {
    Attached gone("gone");  // vanishes before the first connect
    ASSERT_TRUE(gone.ok);
    gone.viewer.Close();
    EXPECT_FALSE(gone.ws->AttachViewer(gone.h));
    gone.ws->SendSetText(gone.h, "x\r\n");
  }
  Attached a("closed");
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(a.ws->AttachViewer(a.h));
  ASSERT_TRUE(a.ws->AttachViewer(a.h));  // the connection is made once
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  const std::vector<std::string> lines = {
      "[QuillonSrv] [00002] [00000.002] ->\t\tmodSize : Function X : \r\n",
      "[QuillonSrv] ERROR 53 \"Datei \xFC\" at a : b : 0\r\n", high,
      std::string(20000, 'L') + "\r\n", "no line end", "last\r\n"};
  a.ws->SendSetText(a.h, "");  // shows nothing
  for (const auto& line : lines) a.ws->SendSetText(a.h, line);
  std::vector<std::string> got;
  std::string message;
  while (got.size() < lines.size() && a.viewer.Receive(&message, 5000)) got.push_back(message);
  EXPECT_EQ(got, lines);
  EXPECT_FALSE(a.viewer.Receive(&message, 0));
  EXPECT_EQ(a.viewer.connection_count(), 1u);

  a.viewer.Close();
  a.ws->SendSetText(a.h, "lost\r\n");
  // A name keeps its handle in a later walk. A new viewer under the same
  // title is for a new process's walk, not for the connection that broke.
  ASSERT_TRUE(a.viewer.Listen(a.viewer.title()));
  EXPECT_EQ(test::FindTopWindow(*a.ws, a.viewer.title()), a.h);
  a.ws->SendSetText(a.h, "stale\r\n");
  EXPECT_FALSE(a.ws->AttachViewer(a.h));
  EXPECT_FALSE(a.viewer.Receive(&message, 0)) << message;
  auto fresh = NewSocketWindowSystem();
  const Hwnd h2 = test::FindTopWindow(*fresh, a.viewer.title());
  ASSERT_TRUE(fresh->AttachViewer(h2));
  fresh->SendSetText(h2, "fresh\r\n");
  ASSERT_TRUE(a.viewer.Receive(&message, 1000));
  EXPECT_EQ(message, "fresh\r\n");
}

// --- the viewer program ----------------------------------------------------

// A title another viewer holds is refused (what it shows: trace_view_test).
TEST(TraceViewerTool, RefusesATakenTitle) {
  TraceListener holder;
  ASSERT_TRUE(holder.Listen(UniqueTitle("taken")));
  const auto run = test::RunTool({QS_QUILLON_TRACE}, {holder.title()});
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->first, 1);
  EXPECT_THAT(run->second, HasSubstr("already listens"));
}

// --- the message box without a desktop -------------------------------------

constexpr unsigned kBoxType = kMbAbortRetryIgnore | kMbIconStop | kMbDefButton1;

TEST(TraceErrorBox, OneLineOnStandardErrorOrInTheJournalAndIgnoreAtOnce) {
  const char* old = ::getenv("JOURNAL_STREAM");
  const std::string saved = old ? old : "";
  auto box = [&](const std::string& text) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Ui().MessageBox(text, "Unexpected Error", kBoxType), 5);  // IDIGNORE
    return testing::internal::GetCapturedStderr();
  };
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(box("Ravelin reports x (Datei \xFC)\r\nzwei"),
            "Unexpected Error: Ravelin reports x (Datei \xFC)  zwei\n");
  // A journal stream that is not our standard error (inherited from a parent
  // whose output went to the journal) changes nothing.
  ::setenv("JOURNAL_STREAM", "1:1", 1);
  EXPECT_EQ(box("inherited"), "Unexpected Error: inherited\n");
  // Standard error is the journal stream: the line goes to a journal socket
  // of our own, in a mount namespace of this thread's own (the kernel keeps
  // one per thread), and not a second time to standard error.
  bool namespaced = false;
  std::string datagram, copy;
  std::thread([&] {
    namespaced = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                 ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!namespaced) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/run/systemd/journal/socket");
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::mount("tmpfs", "/run", "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(::mkdir("/run/systemd", 0755), 0);
    ASSERT_EQ(::mkdir("/run/systemd/journal", 0755), 0);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    testing::internal::CaptureStderr();
    struct stat st{};
    ::fstat(STDERR_FILENO, &st);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    Ui().MessageBox("Ravelin reports x", "Unexpected Error", kBoxType);
    copy = testing::internal::GetCapturedStderr();
    char buf[4096];
    const ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    datagram.assign(buf, n > 0 ? n : 0);
    ::close(sock);
  }).join();
  old ? ::setenv("JOURNAL_STREAM", saved.c_str(), 1) : ::unsetenv("JOURNAL_STREAM");
  if (!namespaced) GTEST_SKIP() << "the journal case needs root and a private mount namespace";
  for (const char* field : {"MESSAGE=Unexpected Error: Ravelin reports x\n", "PRIORITY=3\n",
                            "SYSLOG_IDENTIFIER=quillon_tests\n"}) {
    EXPECT_THAT(datagram, HasSubstr(field));
  }
  EXPECT_EQ(copy, "");
}

}  // namespace
}  // namespace qs::platform::posix

#endif  // _WIN32
