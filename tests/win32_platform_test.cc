// The Win32 platform layer against the real system (run under Wine in CI).
// The window and message-box cases need a desktop: Wine's null graphics
// driver or a display. The profile functions run in profile_files_test.cc.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "engine/engine.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "platform/service_control.h"
#include "platform/win32/win32_impl.h"
#include "tests/fake_clock.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs::platform {
namespace {

using namespace std::string_literals;
using qs::test::ErrorOf;
using qs::test::ReadBytes;
using qs::test::TempDir;
using qs::test::WriteBytes;

bool HasAttribute(const std::string& path, DWORD attribute) {
  return (::GetFileAttributesA(path.c_str()) & attribute) != 0;
}

// --- paths -----------------------------------------------------------------

// Drives, shares and both separators; the rest runs on every platform.
TEST(Win32PathTest, JoinBaseAndDriveNames) {
  struct Join { const char *path, *name, *joined; } const kJoins[] = {
      {"C:\\a/", "b", "C:\\a/b"},
      {"C:", "b.txt", "C:b.txt"},
      {"\\\\srv\\share", "x.log", "\\\\srv\\share\\x.log"},
  };
  for (const Join& j : kJoins) {
    EXPECT_EQ(win32::Files().BuildPath(j.path, j.name), j.joined) << j.path << " + " << j.name;
  }
  struct Case { const char *path, *base, *drive; } const kCases[] = {
      {"C:\\Apps\\QuillonSrv.exe", "QuillonSrv", "C:"},
      {"D:\\logs\\folder\\", "folder", "D:"},
      {"C:Daily.qlj", "Daily", "C:"},
      {"C:", "", "C:"},
      {"\\\\server\\share\\bin\\QuillonSrv.exe", "QuillonSrv", "\\\\server\\share"},
      {"\\\\server\\share", "share", "\\\\server\\share"},
      {"//server/share/x.txt", "x", "//server/share"},
      {"\\\\server", "server", ""},
      {"\\\\\\share\\x", "x", ""},
      {"1:\\x", "x", ""},
      {"", "", ""},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(win32::Files().GetBaseName(c.path), c.base) << c.path;
    EXPECT_EQ(win32::Files().GetDriveName(c.path), c.drive) << c.path;
  }
}

// --- files: a real folder, as the system's own errors, attributes and
// sharing are the point -------------------------------------------------------

class Win32FilesTest : public testing::Test {
 protected:
  TempDir dir_;
  FileSystem& fs_ = win32::Files();
};

// No line-end translation and no stop at a NUL, either way; a replacement
// swaps the content and keeps the attributes.
TEST_F(Win32FilesTest, AppendReadAndReplaceKeepBytesAndAttributes) {
  const std::string log = dir_.Join("DefaultLog.txt");
  const std::string text = "NT-Service: gr\xF6\xDF!\r\n" "\n\rx\0y\x1A\r\n"s;
  fs_.CreateTextFile(log, false);
  fs_.AppendText(log, text.substr(0, 19));
  fs_.AppendText(log, text.substr(19));
  EXPECT_EQ(ReadBytes(log), text);

  ASSERT_TRUE(::SetFileAttributesA(log.c_str(), FILE_ATTRIBUTE_HIDDEN));
  fs_.ReplaceFile(log, "tail\r\n\xF6");
  EXPECT_EQ(ReadBytes(log), "tail\r\n\xF6");
  EXPECT_TRUE(HasAttribute(log, FILE_ATTRIBUTE_HIDDEN));
  EXPECT_FALSE(HasAttribute(log, FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(qs::test::FolderEntries(dir_.path()), std::vector<std::string>{"DefaultLog.txt"});
  // A file that vanished meanwhile is created; an empty text is allowed.
  fs_.ReplaceFile(dir_.Join("gone.log"), "");
  EXPECT_EQ(fs_.FileLength(dir_.Join("gone.log")), 0);
  EXPECT_EQ(qs::test::FolderEntries(dir_.path()).size(), 2u);
  // A folder is not a file to replace.
  const std::string folder = dir_.Join("sub");
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
  EXPECT_NE(ErrorOf([&] { fs_.ReplaceFile(folder, "x"); }), 0);
  EXPECT_TRUE(fs_.FolderExists(folder));
}

TEST_F(Win32FilesTest, OtherProgramsHoldingAFileOpen) {
  const std::string path = dir_.Join("held.log");
  WriteBytes(path, "12345");
  auto open = [&](DWORD access, DWORD share) {
    return ::CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  // A reader that shares reading and writing (as a log viewer does) does
  // not stop appending or reading, and is no writer.
  HANDLE viewer = open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  fs_.AppendText(path, "67");
  EXPECT_EQ(fs_.ReadTail(path, 100), "1234567");
  EXPECT_FALSE(fs_.OpenForWriting(path));
  ::CloseHandle(viewer);
  // A writer that shares everything (as a log writer does) is one that the
  // copy rules wait for.
  HANDLE writer = open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  EXPECT_TRUE(fs_.OpenForWriting(path));
  ::CloseHandle(writer);
  // A program that locks the file out: the length can still be read, the
  // rest fails with "Permission denied" and the file stays.
  HANDLE locker = open(GENERIC_WRITE, 0);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fs_.FileLength(path), 7);
  EXPECT_EQ(ErrorOf([&] { fs_.AppendText(path, "8"); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs_.ReadTail(path, 1); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs_.DeleteFile(path, true); }), kErrPermission);
  ::CloseHandle(locker);
  EXPECT_EQ(ReadBytes(path), "1234567");
}

// --- the engine on real files ------------------------------------------------

// A scheduled job whose folders are texts in the ANSI code page (with a
// "\xFC") more than 260 characters long, holding names that are not: a
// Greek and a Japanese one beside a Latin look-alike are each copied as
// themselves, once, and the log names them in the code page's letters. A
// text that never became a path is refused, not taken for another file.
TEST(Win32EngineTest, CopiesEveryNameAsItselfOnce) {
  TempDir dir;
  FileSystem& fs = win32::Files();
  const std::string in = dir.Join("gr\xFC\xDF" + std::string(240, 'd')), out = in + "-out";
  fs.CreateFolder(fs.PathFromText(in));
  const std::vector<std::string> names = {"Omega.txt", "\xCE\xA9mega.txt", "\xE6\x97\xA5.txt"};
  for (const std::string& name : names) {
    fs.AppendOrCreateText(fs.PathFromText(in) + "\\" + name, name);
  }
  WriteBytes(dir.Join("Daily.qlj"), "[Job]\r\nSettle=0\r\nFrom=" + in + "\r\nTo=" + out + "\r\n");
  fs.AppendOrCreateText(fs.PathFromText(dir.path()) + "\\\xCE\xA9.qlj", "[Job]\r\n");
  test::FakeUi ui;
  ScopedPlatform scoped({.ui = &ui});
  test::FakeClock clock;
  auto loop = test::LoopOn(clock);
  auto engine = engine::CreateJobEngine(*loop, fs, clock);
  std::vector<std::string> logs, copied;
  engine->LogMessage = [&](std::string& msg, std::int16_t&, bool&, bool&, bool&, bool&) {
    logs.push_back(msg);
  };
  std::string jobs = dir.path(), lang;
  bool all = true, b = false, c = false;
  for (int pass = 0; pass < 2; ++pass) engine->ProcessJobs(jobs, lang, all, b, c);
  for (const char* shown : {"Omega.txt", "?mega.txt", "?.txt"}) {
    copied.push_back("Datei kopiert: " + in + "\\" + shown + " -> " + out + "\\" + shown);
  }
  copied.push_back("3 Dateien kopiert, 0 Fehler");
  EXPECT_EQ(logs, copied);  // the second pass has nothing to do
  EXPECT_EQ(ui.notices, std::vector<std::string>{"Job file refused, not run: " + jobs +
                                                 "\\?.qlj: its name is outside the "
                                                 "code page in which job files are read"});
  for (const std::string& name : names) {
    EXPECT_EQ(fs.ReadTail(fs.PathFromText(out) + "\\" + name, 100), name);
  }
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(out + "x"); }), kErrBadFileName);
  // Short names again, which the temporary folder's removal reaches.
  fs.RenameFile(fs.PathFromText(in), dir.Join("in"));
  fs.RenameFile(fs.PathFromText(out), dir.Join("out"));
}

// --- text ------------------------------------------------------------------

TEST(Win32TextTest, Utf8ToAnsiUnderCodePage1252) {
  ASSERT_EQ(::GetACP(), 1252u) << "the test prefix must use code page 1252";
  struct Case { std::string utf8, ansi; } const kCases[] = {
      {"Logdateigr\xC3\xB6sse", "Logdateigr\xF6sse"},
      {"\xE2\x82\xAC 5", "\x80 5"},  // euro sign
      {"\xCE\xA9", "?"},             // Greek capital omega
      {"a\xC3", "a?"},               // cut-off sequence
      {std::string("a\0\xC3\xA4", 4), std::string("a\0\xE4", 3)},
      {"", ""},
  };
  for (const Case& c : kCases) EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi) << c.utf8;
}

// --- windows ---------------------------------------------------------------

TEST(Win32WindowsTest, WalkFindsTheViewerWindowAndDeliversTexts) {
  // A hidden top-level window of this process.
  WNDCLASSA wc{};
  wc.lpfnWndProc = ::DefWindowProcA;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = "QsWin32PlatformTest";
  ::RegisterClassA(&wc);
  std::unique_ptr<std::remove_pointer_t<HWND>, decltype(&::DestroyWindow)> viewer(
      ::CreateWindowExA(0, wc.lpszClassName, "Ravelin - test", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                        nullptr, nullptr, wc.hInstance, nullptr),
      &::DestroyWindow);
  ASSERT_NE(viewer, nullptr) << "no desktop: use Wine's null graphics driver";
  WindowSystem& ws = win32::Windows();
  Hwnd found = qs::test::FindTopWindow(ws, "Ravelin - test");
  EXPECT_EQ(found, static_cast<Hwnd>(reinterpret_cast<std::uintptr_t>(viewer.get())));
  EXPECT_TRUE(ws.AttachViewer(found));

  // Texts arrive whole: line ends, ANSI bytes, lengths beyond the 254
  // characters a title search reads; a view into a longer text sends only
  // its own characters.
  const std::string long_line(1000, 'x');
  const std::string_view banner = "QuillonSrv START RAVELIN 6.60 LITE\r\nNOT SENT";
  for (std::string_view sent :
       {std::string_view("Logdateigr\xF6sse reduziert\r\n"), std::string_view(long_line),
        banner.substr(0, 36), std::string_view()}) {
    ws.SendSetText(found, sent);
    std::vector<char> buf(4096);
    int n = ::GetWindowTextA(viewer.get(), buf.data(), static_cast<int>(buf.size()));
    EXPECT_EQ(std::string(buf.data(), n > 0 ? n : 0), sent);
  }
  viewer.reset();
  EXPECT_FALSE(ws.AttachViewer(found));
}

// A debug run's box waits for the button a user chooses; under the service
// manager the report goes to the event log and the default button comes
// back at once.
TEST(Win32WindowsTest, MessageBoxWaitsUnlessTheServiceManagerRuns) {
  const std::string title = "Unexpected Error (quillon_tests)";
  const struct {
    const char* service;
    bool box;
    int chosen;
  } kRows[] = {{"", true, IDIGNORE}, {"Quillon Pro Service Test", false, IDABORT}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.service);
    std::atomic<bool> closed{false}, returned{false};
    // Answers the box from another thread, as a user would, with Ignore.
    std::thread user([&] {
      for (int i = 0; i < 500 && !closed && !returned; ++i) {
        if (HWND box = ::FindWindowA(nullptr, title.c_str())) {
          closed = ::PostMessageA(box, WM_COMMAND, IDIGNORE, 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    win32::SetServiceRunName(row.service);
    int chosen =
        win32::Ui().MessageBox("Ravelin reports C:\\Apps\\QuillonSrv.exe program error #53", title,
                               kMbAbortRetryIgnore | kMbIconStop | kMbDefButton1);
    win32::SetServiceRunName("");
    returned = true;
    user.join();
    EXPECT_EQ(closed, row.box);
    EXPECT_EQ(chosen, row.chosen);
  }
}

// --- the service's message table -------------------------------------------

// The Event Viewer shows an entry through the message of its identifier in
// the program's message table: both identifiers show the entry's own text.
TEST(Win32MessageTable, ShowsEachEntrysOwnText) {
  std::string exe = QS_QUILLONSRV;
  if (exe.front() == '/') exe = "Z:" + exe;  // the build's path under Wine
  HMODULE module = ::LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << exe;
  const std::string text = "[53] Datei nicht gefunden: C:\\%1 100%";
  for (DWORD id : {kMsgError, kMsgInformation}) {
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    char shown[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                               id, 0, shown, sizeof shown, reinterpret_cast<va_list*>(args));
    EXPECT_EQ(std::string(shown, n).substr(0, text.size()), text) << id;
  }
  ::FreeLibrary(module);
}

// --- clock, process --------------------------------------------------------

// The regional texts hold no terminating NUL and are not cut off (ignoring
// a New Year's Eve); the error mode set is the one read back.
TEST(Win32SystemTest, RegionalTextsAndErrorMode) {
  const std::string year = std::to_string(win32::SystemClock().Now().year);
  const std::string date = win32::SystemClock().ShortDateText();
  const std::string time = win32::SystemClock().TimeOfDayText();
  EXPECT_EQ(date.find('\0'), std::string::npos);
  EXPECT_NE(date.find(year), std::string::npos) << date;
  EXPECT_EQ(std::count(time.begin(), time.end(), ':'), 2) << time;
  std::uint32_t before = win32::Process().SetErrorMode(0x8001);
  EXPECT_EQ(win32::Process().SetErrorMode(before) & 0x8001u, 0x8001u);
}

}  // namespace
}  // namespace qs::platform

#endif  // _WIN32
