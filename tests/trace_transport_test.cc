// The trace transport on POSIX with real sockets: the window walk over the
// socket table, delivery to a viewer, hung and closed viewers, the viewer
// tool quillon-trace, and the message box that becomes a journal line.
#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/posix_impl.h"
#include "platform/posix/trace_socket.h"
#include "tests/test_support.h"

namespace qs::platform::posix {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ElementsAre;
using testing::HasSubstr;

// A title of this test only. It does not follow the viewer rule ("Ravelin"
// or "Ravelin - ..."), so that traced programs running meanwhile on this
// machine do not send their lines to the test's viewers.
std::string UniqueTitle(const std::string& kind) {
  static int n = 0;
  return "Ravelin-test " + kind + " " + std::to_string(::getpid()) + " " +
         std::to_string(++n);
}

// The handle the walk gives for `title`, 0 when it is not listed.
Hwnd FindWindow(WindowSystem& ws, const std::string& title) {
  for (Hwnd h = ws.GetWindow(ws.GetDesktopWindow(), kGwChild); h != 0;
       h = ws.GetWindow(h, kGwHwndNext)) {
    char buf[255];
    int n = ws.GetWindowText(h, buf, sizeof buf);
    if (std::string(buf, n) == title) return h;
  }
  return 0;
}

Hwnd WaitForWindow(WindowSystem& ws, const std::string& title) {
  for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
    if (Hwnd h = FindWindow(ws, title)) return h;
    ::usleep(20000);
  }
  return 0;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// The socket table, parsed from text.

TEST(TraceSocketTable, OnlyListeningAbstractSeqPacketRowsAreWindows) {
  const std::string head = "0000000000000000: 00000002 00000000 ";
  struct Row {
    std::string text;
    std::vector<std::string> titles;
  } rows[] = {
      {head + "00010000 0005 01 12345 @Ravelin", {"Ravelin"}},
      // The inode column is padded with blanks; titles hold blanks.
      {head + "00010000 0005 01   999 @Ravelin - test 1", {"Ravelin - test 1"}},
      {head + "00010000 0005 01 12345 @ Ravelin ", {" Ravelin "}},
      {head + "00010000 0005 01 12345 @Ravelin \xE4\xFC", {"Ravelin \xE4\xFC"}},
      // Not listening (an accepted connection shows its listener's name).
      {head + "00000000 0005 03 12345 @Ravelin", {}},
      // A stream or datagram socket.
      {head + "00010000 0001 01 12345 @Ravelin", {}},
      {head + "00000000 0002 01 12345 @Ravelin", {}},
      // A path in the file system, no path, an empty abstract name.
      {head + "00010000 0005 01 12345 /run/Ravelin", {}},
      {head + "00010000 0005 01 12345", {}},
      {head + "00010000 0005 01 12345 @", {}},
      // Garbage and cut rows.
      {"Num       RefCount Protocol Flags    Type St Inode Path", {}},
      {head + "0001000G 0005 01 12345 @Ravelin", {}},
      {"0000000000000000 00000002 00000000 00010000 0005 01 1 @Ravelin", {}},
      {head + "00010000", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(ParseListeningEndpoints(row.text), row.titles);
    EXPECT_EQ(ParseListeningEndpoints(row.text + "\n"), row.titles);
  }
}

TEST(TraceSocketTable, KeepsTableOrderAndListsEachTitleOnce) {
  const std::string head = "0000000000000000: 00000002 00000000 00010000 0005 ";
  const std::string table =
      "Num       RefCount Protocol Flags    Type St Inode Path\n" + head +
      "01 7 @b\n" + head + "01 8 @a\n" + head + "01 9 @b\n" + head +
      "01 10 @c";
  EXPECT_THAT(ParseListeningEndpoints(table), ElementsAre("b", "a", "c"));
}

// ---------------------------------------------------------------------------
// The walk over live sockets.

TEST(TraceTransport, WalkShowsViewerAsVisibleBorderedWindow) {
  TraceListener viewer;
  if (!viewer.Listen("Ravelin")) {
    ASSERT_EQ(viewer.error(), EADDRINUSE);
    GTEST_SKIP() << "a trace viewer titled \"Ravelin\" is running";
  }
  auto ws = NewSocketWindowSystem();
  const Hwnd desktop = ws->GetDesktopWindow();
  const Hwnd h = FindWindow(*ws, "Ravelin");
  ASSERT_NE(h, 0u);
  EXPECT_NE(h, desktop);
  EXPECT_EQ(ws->GetWindowTextLength(h), 7);
  EXPECT_EQ(static_cast<std::uint32_t>(ws->GetWindowLong(h, kGwlStyle)),
            kWsVisible | kWsBorder | 0x00CF0000u);

  // Win32 copying rules: at most max-1 bytes and a NUL.
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(ws->GetWindowText(h, buf, 4), 3);
  EXPECT_STREQ(buf, "Rav");
  EXPECT_EQ(ws->GetWindowText(h, buf, 1), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ws->GetWindowText(h, buf, 0), 0);

  // The desktop and unknown handles have no title and no top-level style.
  for (Hwnd other : {desktop, Hwnd{0}, Hwnd{0x7FFF}}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(ws->GetWindowText(other, buf, sizeof buf), 0);
    EXPECT_EQ(ws->GetWindowTextLength(other), 0);
    EXPECT_FALSE(ws->AttachViewer(other));
  }
  EXPECT_EQ(ws->GetWindowLong(Hwnd{0x7FFF}, kGwlStyle), 0);

  // A name keeps its handle: in a second walk, and after it comes back.
  EXPECT_EQ(FindWindow(*ws, "Ravelin"), h);
  viewer.Close();
  EXPECT_EQ(FindWindow(*ws, "Ravelin"), 0u);
  if (viewer.Listen("Ravelin")) {
    EXPECT_EQ(FindWindow(*ws, "Ravelin"), h);
  }
}

TEST(TraceTransport, NearMissTitlesAreWindowsToo) {
  // Which titles count as a viewer is the trace's own rule; the walk lists
  // every endpoint, in other letter case or spelling as well.
  const std::string tag = std::to_string(::getpid());
  const std::vector<std::string> titles = {
      "ravelin - " + tag, "Ravelin-x " + tag, "Ravelinx " + tag,
      "RAVELIN " + tag};
  std::vector<std::unique_ptr<TraceListener>> viewers;
  for (const auto& title : titles) {
    viewers.push_back(std::make_unique<TraceListener>());
    ASSERT_TRUE(viewers.back()->Listen(title)) << title;
  }
  auto ws = NewSocketWindowSystem();
  std::vector<Hwnd> handles;
  for (const auto& title : titles) {
    SCOPED_TRACE(title);
    handles.push_back(FindWindow(*ws, title));
    EXPECT_NE(handles.back(), 0u);
    EXPECT_EQ(ws->GetWindowTextLength(handles.back()),
              static_cast<int>(title.size()));
  }
  // GW_HWNDFIRST of any of them starts again at the top; no window has
  // children; the last one has no next.
  const Hwnd first = ws->GetWindow(ws->GetDesktopWindow(), kGwChild);
  EXPECT_EQ(ws->GetWindow(handles[2], kGwHwndFirst), first);
  EXPECT_EQ(ws->GetWindow(handles[0], kGwChild), 0u);
  Hwnd last = first;
  while (Hwnd next = ws->GetWindow(last, kGwHwndNext)) last = next;
  EXPECT_EQ(ws->GetWindow(last, kGwHwndNext), 0u);
}

TEST(TraceTransport, ViewerOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another uid";
  const std::string title = UniqueTitle("stranger");
  int ready[2], stop[2], result[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(stop), 0);
  ASSERT_EQ(::pipe(result), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TraceListener viewer;
    char got = 'N';
    if (::setgid(65534) != 0 || ::setuid(65534) != 0 || !viewer.Listen(title)) {
      got = 'E';
    }
    (void)!::write(ready[1], "R", 1);
    std::string message;
    if (got == 'N' &&
        (viewer.Wait(&message, 5000, stop[0]) ==
             TraceListener::Event::kMessage ||
         viewer.Receive(&message, 100))) {
      got = 'M';
    }
    (void)!::write(result[1], &got, 1);
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  auto ws = NewSocketWindowSystem();
  const Hwnd h = FindWindow(*ws, title);
  EXPECT_NE(h, 0u);
  EXPECT_FALSE(ws->AttachViewer(h));
  ws->SendSetText(h, "secret\r\n");
  (void)!::write(stop[1], "q", 1);
  ASSERT_EQ(::read(result[0], &c, 1), 1);
  EXPECT_EQ(c, 'N') << "E: the child could not listen, M: it got the line";
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], stop[0], stop[1], result[0], result[1]}) {
    ::close(fd);
  }
}

// ---------------------------------------------------------------------------
// Delivery.

TEST(TraceTransport, LinesArriveInOrderOneMessageEachBytesIntact) {
  TraceListener viewer;
  ASSERT_TRUE(viewer.Listen(UniqueTitle("order")));
  auto ws = NewSocketWindowSystem();
  const Hwnd h = FindWindow(*ws, viewer.title());
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(ws->AttachViewer(h));
  ASSERT_TRUE(ws->AttachViewer(h));  // the connection is made once

  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  const std::vector<std::string> lines = {
      "QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12\r\n",
      "[QuillonSrv] [00001] [00000.001] ->frmMain : Sub RunRTMonitor : \r\n",
      "[QuillonSrv] [00002] [00000.002] ->\t\tmodSize : Function X : \r\n",
      "[QuillonSrv] ERROR 53 \"Datei \xFC\" at a : b : 0\r\n",
      high,
      std::string(20000, 'L') + "\r\n",
      "no line end",
  };
  for (const auto& line : lines) ws->SendSetText(h, line);
  ws->SendSetText(h, "");  // shows nothing and keeps the connection
  ws->SendSetText(h, "last\r\n");

  std::vector<std::string> got;
  std::string message;
  while (viewer.Receive(&message, 200)) got.push_back(message);
  std::vector<std::string> want = lines;
  want.push_back("last\r\n");
  EXPECT_EQ(got, want);
  EXPECT_EQ(viewer.connection_count(), 1u);
}

TEST(TraceTransport, HungViewerCostsOneSecondOnceThenLinesDropFast) {
  TraceListener viewer;  // listens but never accepts nor reads, until later
  ASSERT_TRUE(viewer.Listen(UniqueTitle("hung")));
  auto ws = NewSocketWindowSystem();
  const Hwnd h = FindWindow(*ws, viewer.title());
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(ws->AttachViewer(h));

  const std::string pad(200, '.');
  auto line = [&](int i) { return "line " + std::to_string(i) + pad; };
  int sent = 0;
  double slow = 0;
  for (; sent < 100000 && slow < 0.5; ++sent) {
    auto start = Clock::now();
    ws->SendSetText(h, line(sent));
    slow = SecondsSince(start);
  }
  ASSERT_GE(slow, 0.5) << "the socket buffer never filled";
  EXPECT_LT(slow, 2.0) << "a send waited past its deadline";
  const int delivered = sent - 1;  // the slow one was dropped

  auto start = Clock::now();
  double longest = 0;
  for (int i = 0; i < 20; ++i) {
    auto one = Clock::now();
    ws->SendSetText(h, line(sent + i));
    longest = std::max(longest, SecondsSince(one));
  }
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_LT(longest, 0.2) << "a hung viewer is waited for on every line";

  // The viewer wakes up: it gets what fitted, in order, and new lines again.
  std::string message;
  int received = 0;
  while (received < delivered && viewer.Receive(&message, 2000)) {
    ASSERT_EQ(message, line(received));
    ++received;
  }
  EXPECT_EQ(received, delivered);
  EXPECT_FALSE(viewer.Receive(&message, 100)) << message.substr(0, 20);
  ws->SendSetText(h, "after\r\n");
  ASSERT_TRUE(viewer.Receive(&message, 2000));
  EXPECT_EQ(message, "after\r\n");
}

TEST(TraceTransport, ClosedViewerFailsSilentlyAndStaysClosed) {
  ::signal(SIGPIPE, SIG_DFL);  // a send raising SIGPIPE ends this program
  TraceListener viewer;
  const std::string title = UniqueTitle("closed");
  ASSERT_TRUE(viewer.Listen(title));
  auto ws = NewSocketWindowSystem();
  const Hwnd h = FindWindow(*ws, title);
  ASSERT_NE(h, 0u);
  ws->SendSetText(h, "one\r\n");  // connects on first use
  std::string message;
  ASSERT_TRUE(viewer.Receive(&message, 1000));
  EXPECT_EQ(message, "one\r\n");
  viewer.Close();

  auto start = Clock::now();
  for (int i = 0; i < 5; ++i) ws->SendSetText(h, "lost\r\n");
  EXPECT_LT(SecondsSince(start), 0.5);

  // A new viewer under the same title is a new window for a new walk by a
  // new process, not for the connection that broke.
  ASSERT_TRUE(viewer.Listen(title));
  EXPECT_EQ(FindWindow(*ws, title), h);
  ws->SendSetText(h, "stale\r\n");
  EXPECT_FALSE(ws->AttachViewer(h));
  EXPECT_FALSE(viewer.Receive(&message, 200)) << message;
  auto fresh = NewSocketWindowSystem();
  const Hwnd h2 = FindWindow(*fresh, title);
  ASSERT_TRUE(fresh->AttachViewer(h2));
  fresh->SendSetText(h2, "fresh\r\n");
  ASSERT_TRUE(viewer.Receive(&message, 1000));
  EXPECT_EQ(message, "fresh\r\n");
}

TEST(TraceTransport, VanishedViewerBeforeConnectCostsNothing) {
  auto ws = NewSocketWindowSystem();
  Hwnd h;
  {
    TraceListener viewer;
    ASSERT_TRUE(viewer.Listen(UniqueTitle("gone")));
    h = FindWindow(*ws, viewer.title());
    ASSERT_NE(h, 0u);
  }
  auto start = Clock::now();
  EXPECT_FALSE(ws->AttachViewer(h));
  for (int i = 0; i < 10; ++i) ws->SendSetText(h, "x\r\n");
  EXPECT_LT(SecondsSince(start), 0.5);
}

// ---------------------------------------------------------------------------
// The viewer tool, end to end.

struct Tool {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Tool StartTool(const std::vector<std::string>& args) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  Tool tool;
  tool.pid = ::fork();
  if (tool.pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(QS_QUILLON_TRACE));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QS_QUILLON_TRACE, argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  tool.out = out[0];
  tool.err = err[0];
  return tool;
}

// Reads `fd` until it holds `size` bytes, it ends, or `timeout_ms` pass.
std::string ReadOutput(int fd, std::size_t size, int timeout_ms = 5000) {
  std::string data;
  auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (data.size() < size && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  return data;
}

// Exit status of the tool after SIGTERM (or of its own accord).
int StopTool(Tool& tool, bool terminate) {
  if (terminate) ::kill(tool.pid, SIGTERM);
  int status = 0;
  ::waitpid(tool.pid, &status, 0);
  ::close(tool.out);
  ::close(tool.err);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const std::vector<std::string> kSession = {
    "QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12\r\n",
    "[QuillonSrv] [00001] [00000.002] ->frmMain : Sub RunRTMonitor : \r\n",
    "[QuillonSrv] [00002] [00000.003] ->\t\tmodIniHandler : Function "
    "GetINIString : \r\n",
    "[QuillonSrv] ERROR 53 \"Datei \xFC\" at modIniHandler : Function "
    "GetINIString : 0\r\n",
    "[QuillonSrv] [00003] [00000.004] <-\t\tmodIniHandler : Function "
    "GetINIString : \r\n",
    "[QuillonSrv] [00004] [00000.005] <-frmMain : Sub RunRTMonitor : \r\n",
};

TEST(TraceViewerTool, ShowsLinesPlainRawAndAsTree) {
  std::string raw;
  for (const auto& line : kSession) raw += line;
  const std::string g = "\x1b[32m", b = "\x1b[34m", r = "\x1b[31m",
                    bold = "\x1b[1m", off = "\x1b[0m";
  const std::string banner =
      "QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12";
  const std::string in1 = "[QuillonSrv] [00001] [00000.002] -> frmMain : Sub "
                          "RunRTMonitor : ";
  const std::string in3 = "[QuillonSrv] [00002] [00000.003] ->     "
                          "modIniHandler : Function GetINIString : ";
  const std::string error = "[QuillonSrv] ERROR 53 \"Datei \xFC\" at "
                            "modIniHandler : Function GetINIString : 0";
  const std::string out3 = "[QuillonSrv] [00003] [00000.004] <-     "
                           "modIniHandler : Function GetINIString : ";
  const std::string out1 = "[QuillonSrv] [00004] [00000.005] <- frmMain : "
                           "Sub RunRTMonitor : ";
  struct Case {
    std::vector<std::string> options;
    std::string want;
  } cases[] = {
      {{}, banner + "\n" + kSession[1].substr(0, kSession[1].size() - 2) +
               "\n" + kSession[2].substr(0, kSession[2].size() - 2) + "\n" +
               error + "\n" + kSession[4].substr(0, kSession[4].size() - 2) +
               "\n" + kSession[5].substr(0, kSession[5].size() - 2) + "\n"},
      {{"--raw"}, raw},
      {{"--tree", "--no-color"},
       banner + "\n" + in1 + "\n" + in3 + "\n" + error + "\n" + out3 + "\n" +
           out1 + "\n"},
      {{"--tree", "--color"},
       bold + banner + off + "\n" + g + in1 + off + "\n" + g + in3 + off +
           "\n" + r + error + off + "\n" + b + out3 + off + "\n" + b + out1 +
           off + "\n"},
      // Not a terminal: no colours unless asked for.
      {{"--tree"},
       banner + "\n" + in1 + "\n" + in3 + "\n" + error + "\n" + out3 + "\n" +
           out1 + "\n"},
  };
  WindowSystem& ws = *OsPlatform().windows;
  for (const Case& c : cases) {
    const std::string title = UniqueTitle("tool");
    SCOPED_TRACE(testing::PrintToString(c.options));
    std::vector<std::string> args = c.options;
    args.push_back(title);
    Tool tool = StartTool(args);
    ASSERT_GT(tool.pid, 0);
    const Hwnd h = WaitForWindow(ws, title);
    EXPECT_NE(h, 0u) << ReadOutput(tool.err, 1);
    if (h != 0) {
      EXPECT_TRUE(ws.AttachViewer(h));
      for (const auto& line : kSession) ws.SendSetText(h, line);
      EXPECT_EQ(ReadOutput(tool.out, c.want.size()), c.want);
      EXPECT_EQ(ReadOutput(tool.out, 1, 100), "");  // and nothing more
    }
    EXPECT_EQ(StopTool(tool, true), 0);
  }
}

TEST(TraceViewerTool, TakenTitleHelpAndBadOptions) {
  TraceListener holder;
  ASSERT_TRUE(holder.Listen(UniqueTitle("taken")));
  Tool taken = StartTool({holder.title()});
  EXPECT_THAT(ReadOutput(taken.err, 1000), HasSubstr("already listens"));
  EXPECT_EQ(StopTool(taken, false), 1);

  Tool help = StartTool({"--help"});
  EXPECT_THAT(ReadOutput(help.out, 1 << 16), testing::StartsWith("Usage:"));
  EXPECT_EQ(StopTool(help, false), 0);

  for (auto args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--tree", "--raw"}, {"a", "b"}}) {
    Tool bad = StartTool(args);
    EXPECT_EQ(StopTool(bad, false), 2) << testing::PrintToString(args);
  }
}

// ---------------------------------------------------------------------------
// The message box without a desktop.

// Runs `body` with standard error sent to a file and returns what it wrote.
template <class Body>
std::string CaptureStderr(const std::string& path, Body&& body) {
  int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  return test::ReadBytes(path);
}

std::string JournalStreamOf(const std::string& path) {
  struct stat st{};
  ::stat(path.c_str(), &st);
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

constexpr unsigned kBoxType = kMbAbortRetryIgnore | kMbIconStop | kMbDefButton1;

TEST(TraceErrorBox, OneLineOnStandardErrorAndIgnoreAtOnce) {
  test::TempDir dir;
  const std::string path = dir.Join("stderr");
  const char* old_stream = ::getenv("JOURNAL_STREAM");
  const std::string saved = old_stream ? old_stream : "";
  ::unsetenv("JOURNAL_STREAM");
  int answer = 0;
  std::string text = CaptureStderr(path, [&] {
    answer = Ui().MessageBox("Ravelin reports x (Datei \xFC)\r\nzwei",
                             "Unexpected Error", kBoxType);
  });
  EXPECT_EQ(answer, 5);
  EXPECT_EQ(text, "Unexpected Error: Ravelin reports x (Datei \xFC)  zwei\n");

  // A journal stream that is not our standard error (inherited from a parent
  // whose output went to the journal) changes nothing.
  ::setenv("JOURNAL_STREAM", "1:1", 1);
  text = CaptureStderr(path, [&] {
    Ui().MessageBox("inherited", "Unexpected Error", kBoxType);
  });
  EXPECT_EQ(text, "Unexpected Error: inherited\n");
  if (old_stream) {
    ::setenv("JOURNAL_STREAM", saved.c_str(), 1);
  } else {
    ::unsetenv("JOURNAL_STREAM");
  }
}

TEST(TraceErrorBox, JournalGetsPriorityErrAndIdentifier) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private /run";
  test::TempDir dir;
  const std::string err_path = dir.Join("stderr");
  int result[2];
  ASSERT_EQ(::pipe(result), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A journal socket of our own, in a mount namespace of our own.
    std::string report = "E";
    int sock = -1;
    if (::unshare(CLONE_NEWNS) == 0 &&
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) == 0 &&
        ::mkdir("/run/systemd", 0755) == 0 &&
        ::mkdir("/run/systemd/journal", 0755) == 0 &&
        (sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) >= 0) {
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strcpy(addr.sun_path, "/run/systemd/journal/socket");
      if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        test::WriteBytes(err_path, "");
        ::setenv("JOURNAL_STREAM", JournalStreamOf(err_path).c_str(), 1);
        std::string err = CaptureStderr(err_path, [] {
          Ui().MessageBox("Ravelin reports x", "Unexpected Error", kBoxType);
        });
        char buf[4096];
        ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        report = "J" + std::string(buf, n > 0 ? n : 0) + '\0' + err;
      }
    }
    (void)!::write(result[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(result[1]);
  std::string report = ReadOutput(result[0], 1 << 16);
  ::close(result[0]);
  ::waitpid(child, nullptr, 0);
  if (report == "E") GTEST_SKIP() << "no private mount namespace here";
  ASSERT_FALSE(report.empty());
  const std::size_t split = report.find('\0');
  ASSERT_NE(split, std::string::npos);
  const std::string datagram = report.substr(1, split - 1);
  EXPECT_THAT(datagram, HasSubstr("MESSAGE=Unexpected Error: Ravelin reports x\n"));
  EXPECT_THAT(datagram, HasSubstr("PRIORITY=3\n"));
  EXPECT_THAT(datagram, HasSubstr("SYSLOG_IDENTIFIER=quillon_tests\n"));
  // Standard error is that journal's stream: no second copy there.
  EXPECT_EQ(report.substr(split + 1), "");
}

}  // namespace
}  // namespace qs::platform::posix

#endif  // _WIN32
