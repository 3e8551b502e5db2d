// The Win32 platform layer against the real system (run under Wine in CI).
// The window and message-box cases need a desktop: Wine's null graphics
// driver or a display.
#ifdef _WIN32

#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "platform/win32/win32_impl.h"
#include "tests/test_support.h"

namespace qs::platform {
namespace {

using qs::test::ReadBytes;
using qs::test::TempDir;
using qs::test::WriteBytes;

// The number of the RuntimeError `fn` throws; 0 when it throws none.
int ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

void SetReadOnly(const std::string& path) {
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
}

// --- paths -----------------------------------------------------------------

TEST(Win32PathTest, BuildPathJoinsWithOneBackslash) {
  struct Case {
    const char* path;
    const char* name;
    const char* joined;
  };
  const Case kCases[] = {
      {"C:\\Quillon Pro\\", "logs\\DefaultLog.txt",
       "C:\\Quillon Pro\\logs\\DefaultLog.txt"},
      {"C:\\a", "b", "C:\\a\\b"},
      {"C:\\a\\", "b", "C:\\a\\b"},
      {"C:\\a", "\\b", "C:\\a\\b"},
      {"C:\\a\\", "\\b", "C:\\a\\b"},
      {"C:\\a/", "b", "C:\\a/b"},
      {"C:\\", "b.txt", "C:\\b.txt"},
      {"C:", "b.txt", "C:b.txt"},
      {"\\\\srv\\share", "x.log", "\\\\srv\\share\\x.log"},
      {"", "Sales_Log.txt", "Sales_Log.txt"},
      {"C:\\a", "", "C:\\a"},
  };
  FileSystem& fs = win32::Files();
  EXPECT_EQ(fs.Separator(), '\\');
  for (const Case& c : kCases) {
    EXPECT_EQ(fs.BuildPath(c.path, c.name), c.joined)
        << "\"" << c.path << "\" + \"" << c.name << "\"";
  }
}

TEST(Win32PathTest, BaseAndDriveNames) {
  struct Case {
    const char* path;
    const char* base;
    const char* drive;
  };
  const Case kCases[] = {
      {"C:\\Apps\\QuillonSrv.exe", "QuillonSrv", "C:"},
      {"c:\\apps\\Daily.qlj", "Daily", "c:"},
      {"D:\\logs\\a.b.txt", "a.b", "D:"},
      {"D:\\logs\\folder\\", "folder", "D:"},
      {"C:Daily.qlj", "Daily", "C:"},
      {"C:", "", "C:"},
      {"\\\\server\\share\\bin\\QuillonSrv.exe", "QuillonSrv",
       "\\\\server\\share"},
      {"\\\\server\\share", "share", "\\\\server\\share"},
      {"//server/share/x.txt", "x", "//server/share"},
      {"\\\\server", "server", ""},
      {"\\\\server\\", "server", ""},
      {"\\\\\\share\\x", "x", ""},
      {"\\Apps\\x.exe", "x", ""},
      {"relative\\x.exe", "x", ""},
      {"1:\\x", "x", ""},
      {"", "", ""},
  };
  FileSystem& fs = win32::Files();
  for (const Case& c : kCases) {
    EXPECT_EQ(fs.GetBaseName(c.path), c.base) << c.path;
    EXPECT_EQ(fs.GetDriveName(c.path), c.drive) << c.path;
  }
}

// --- files -----------------------------------------------------------------

TEST(Win32FilesTest, MissingFileAndMissingFolderGiveTheirOwnErrors) {
  TempDir dir;
  FileSystem& fs = win32::Files();
  const std::string missing_file = dir.Join("nothing.txt");
  const std::string missing_folder = dir.Join("no-folder\\nothing.txt");
  struct Case {
    const char* what;
    std::function<void(const std::string&)> call;
  };
  const Case kCases[] = {
      {"AppendText", [&](const std::string& p) { fs.AppendText(p, "x\r\n"); }},
      {"AppendText empty", [&](const std::string& p) { fs.AppendText(p, ""); }},
      {"ReadAll", [&](const std::string& p) { fs.ReadAll(p); }},
      {"DeleteFile", [&](const std::string& p) { fs.DeleteFile(p, false); }},
      {"DeleteFile force",
       [&](const std::string& p) { fs.DeleteFile(p, true); }},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(ErrorOf([&] { c.call(missing_file); }), kErrFileNotFound)
        << c.what;
    EXPECT_EQ(ErrorOf([&] { c.call(missing_folder); }), kErrPathNotFound)
        << c.what;
  }
  // Appending never creates the file.
  EXPECT_TRUE(Entries(dir.path()).empty());
  EXPECT_FALSE(fs.FileExists(missing_file));
  EXPECT_EQ(fs.FileLength(missing_file), -1);
  EXPECT_EQ(fs.FileLength(missing_folder), -1);
  EXPECT_EQ(ErrorOf([&] { fs.ReplaceFile(missing_folder, "x"); }),
            kErrPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.CreateTextFile(missing_folder, true); }),
            kErrPathNotFound);
}

TEST(Win32FilesTest, CreateAppendAndReadKeepBytes) {
  TempDir dir;
  FileSystem& fs = win32::Files();
  const std::string log = dir.Join("DefaultLog.txt");

  fs.CreateTextFile(log, false);
  EXPECT_TRUE(fs.FileExists(log));
  EXPECT_FALSE(fs.FolderExists(log));
  EXPECT_TRUE(fs.FolderExists(dir.path()));
  EXPECT_FALSE(fs.FileExists(dir.path()));
  EXPECT_EQ(fs.FileLength(log), 0);
  EXPECT_EQ(ErrorOf([&] { fs.CreateTextFile(log, false); }), 58);

  const std::string first = "NT-Service: gr\xF6\xDF!\r\n";
  const std::string second("\r\nx\0y\r\n", 7);
  fs.AppendText(log, first);
  fs.AppendText(log, second);
  EXPECT_EQ(ReadBytes(log), first + second);
  EXPECT_EQ(fs.ReadAll(log), first + second);
  EXPECT_EQ(fs.FileLength(log),
            static_cast<std::int64_t>(first.size() + second.size()));

  // Overwriting empties the file again.
  fs.CreateTextFile(log, true);
  EXPECT_EQ(ReadBytes(log), "");
}

TEST(Win32FilesTest, ReadOnlyFilesRefuseWritesUnlessDeletedWithForce) {
  TempDir dir;
  FileSystem& fs = win32::Files();
  const std::string path = dir.Join("Sales_Log.txt");
  WriteBytes(path, "old\r\n");
  SetReadOnly(path);

  EXPECT_EQ(ErrorOf([&] { fs.AppendText(path, "new\r\n"); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs.ReplaceFile(path, "new\r\n"); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs.CreateTextFile(path, true); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(path, false); }), kErrPermission);
  EXPECT_EQ(ReadBytes(path), "old\r\n");
  EXPECT_TRUE(Attributes(path) & FILE_ATTRIBUTE_READONLY);
  // The refused replacement left no temporary file behind.
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"Sales_Log.txt"});

  fs.DeleteFile(path, true);
  EXPECT_FALSE(fs.FileExists(path));
  EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(Win32FilesTest, ReplaceFileSwapsContentAndKeepsAttributes) {
  TempDir dir;
  FileSystem& fs = win32::Files();
  const std::string path = dir.Join("job.log");
  WriteBytes(path, std::string(5000, 'a') + "\r\n");
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));

  const std::string kept("tail\r\n\xF6", 7);
  fs.ReplaceFile(path, kept);
  EXPECT_EQ(ReadBytes(path), kept);
  EXPECT_TRUE(Attributes(path) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(Attributes(path) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"job.log"});

  // A file that vanished meanwhile is created; an empty text is allowed.
  const std::string gone = dir.Join("gone.log");
  fs.ReplaceFile(gone, "");
  EXPECT_TRUE(fs.FileExists(gone));
  EXPECT_EQ(fs.FileLength(gone), 0);
  EXPECT_EQ(Entries(dir.path()).size(), 2u);

  // A folder is not a file to replace.
  const std::string folder = dir.Join("sub");
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
  EXPECT_NE(ErrorOf([&] { fs.ReplaceFile(folder, "x"); }), 0);
  EXPECT_TRUE(fs.FolderExists(folder));
}

TEST(Win32FilesTest, OtherProgramsHoldingAFileOpen) {
  TempDir dir;
  FileSystem& fs = win32::Files();
  const std::string path = dir.Join("held.log");
  WriteBytes(path, "12345");

  // A reader that shares reading and writing (as a log viewer does) does
  // not stop appending or reading.
  HANDLE viewer = ::CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  fs.AppendText(path, "67");
  EXPECT_EQ(fs.ReadAll(path), "1234567");
  ::CloseHandle(viewer);

  // A program that locks the file out: the length can still be read, the
  // rest fails with "Permission denied" and the file stays.
  HANDLE locker = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fs.FileLength(path), 7);
  EXPECT_EQ(ErrorOf([&] { fs.AppendText(path, "8"); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs.ReadAll(path); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(path, true); }), kErrPermission);
  ::CloseHandle(locker);
  EXPECT_EQ(ReadBytes(path), "1234567");
  EXPECT_FALSE(Attributes(path) & FILE_ATTRIBUTE_READONLY);
}

// --- text ------------------------------------------------------------------

TEST(Win32TextTest, Utf8ToAnsiUnderCodePage1252) {
  ASSERT_EQ(::GetACP(), 1252u) << "the test prefix must use code page 1252";
  struct Case {
    std::string utf8;
    std::string ansi;
  };
  const Case kCases[] = {
      {"Logdateigr\xC3\xB6sse", "Logdateigr\xF6sse"},
      {"\xC3\x9C-Test", "\xDC-Test"},
      {"\xE2\x82\xAC 5", "\x80 5"},  // euro sign
      {"\xCE\xA9", "?"},             // Greek capital omega
      {"a\xC3", "a?"},               // cut-off sequence
      {std::string("a\0\xC3\xA4", 4), std::string("a\0\xE4", 3)},
      {"\r\nAchtung - ", "\r\nAchtung - "},
      {"", ""},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi) << c.utf8;
  }
}

// --- windows ---------------------------------------------------------------

LRESULT CALLBACK PlainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return ::DefWindowProcA(hwnd, msg, wp, lp);
}

// A top-level window of this process, hidden, destroyed at the end.
class TestWindow {
 public:
  explicit TestWindow(const char* title) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = PlainWindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "QsWin32PlatformTest";
    ::RegisterClassA(&wc);  // already registered by an earlier test: fine
    hwnd_ =
        ::CreateWindowExA(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW, 0, 0,
                          200, 100, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~TestWindow() { Destroy(); }
  void Destroy() {
    if (hwnd_) ::DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

// The same walk over the top-level windows that the trace start makes.
Hwnd FindByTitle(WindowSystem& ws, const std::string& title) {
  Hwnd h = ws.GetWindow(ws.GetDesktopWindow(), kGwChild);
  for (int guard = 0; h != 0 && guard < 100000; ++guard) {
    char buf[255] = {};
    int n = ws.GetWindowText(h, buf, sizeof(buf));
    if (std::string(buf, n > 0 ? n : 0) == title) return h;
    h = ws.GetWindow(h, kGwHwndNext);
  }
  return 0;
}

TEST(Win32WindowsTest, WalkFindsTheViewerWindowAndDeliversTexts) {
  TestWindow viewer("Ravelin - test");
  ASSERT_NE(viewer.hwnd(), nullptr)
      << "no desktop: select Wine's null graphics driver";
  WindowSystem& ws = win32::Windows();

  Hwnd found = FindByTitle(ws, "Ravelin - test");
  ASSERT_NE(found, 0u);
  EXPECT_EQ(found,
            static_cast<Hwnd>(reinterpret_cast<std::uintptr_t>(viewer.hwnd())));
  EXPECT_EQ(ws.GetWindowTextLength(found), 14);
  // Cut as the system cuts: max-1 bytes and a NUL.
  char small[8] = "xxxxxxx";
  EXPECT_EQ(ws.GetWindowText(found, small, 5), 4);
  EXPECT_STREQ(small, "Rave");
  EXPECT_TRUE(ws.AttachViewer(found));

  std::uint32_t style =
      static_cast<std::uint32_t>(ws.GetWindowLong(found, kGwlStyle));
  EXPECT_EQ(style & kWsVisible, 0u);
  EXPECT_NE(style & kWsBorder, 0u);
  ::ShowWindow(viewer.hwnd(), SW_SHOWNOACTIVATE);
  style = static_cast<std::uint32_t>(ws.GetWindowLong(found, kGwlStyle));
  EXPECT_NE(style & kWsVisible, 0u);

  // Texts arrive whole: line ends, ANSI bytes, lengths beyond the 254
  // characters a title search reads; and a view into a longer text sends
  // only its own characters.
  const std::string line =
      "[quillon_tests] [00001] [00000.001] ->\tmodIniHandler : "
      "Function GetINIString : \r\n";
  const std::string german = "Logdateigr\xF6sse reduziert\r\n";
  const std::string long_line(1000, 'x');
  const std::string banner_and_more =
      "QuillonSrv START RAVELIN 6.60 LITE\r\nNOT SENT";
  struct Case {
    std::string_view sent;
    std::string arrived;
  };
  const Case kCases[] = {
      {line, line},
      {german, german},
      {long_line, long_line},
      {std::string_view(banner_and_more).substr(0, 36),
       "QuillonSrv START RAVELIN 6.60 LITE\r\n"},
      {"", ""},
  };
  for (const Case& c : kCases) {
    ws.SendSetText(found, c.sent);
    std::vector<char> buf(4096);
    int n = ::GetWindowTextA(viewer.hwnd(), buf.data(),
                             static_cast<int>(buf.size()));
    EXPECT_EQ(std::string(buf.data(), n > 0 ? n : 0), c.arrived);
  }

  viewer.Destroy();
  EXPECT_FALSE(ws.AttachViewer(found));
  EXPECT_FALSE(ws.AttachViewer(0));
  EXPECT_EQ(FindByTitle(ws, "Ravelin - test"), 0u);
}

TEST(Win32WindowsTest, MessageBoxWaitsForTheChosenButton) {
  const std::string title = "Unexpected Error (quillon_tests)";
  std::atomic<bool> closed{false};
  // Answers the box from another thread, as a user would, with Ignore.
  std::thread user([&] {
    for (int i = 0; i < 500 && !closed; ++i) {
      HWND box = ::FindWindowA(nullptr, title.c_str());
      if (box != nullptr) {
        ::PostMessageA(box, WM_COMMAND, IDIGNORE, 0);
        closed = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  int chosen = win32::Ui().MessageBox(
      "Ravelin reports C:\\Apps\\QuillonSrv.exe program error #53", title,
      kMbAbortRetryIgnore | kMbIconStop | kMbDefButton1);
  user.join();
  EXPECT_TRUE(closed);
  EXPECT_EQ(chosen, IDIGNORE);
}

// --- clock, process, profile -----------------------------------------------

TEST(Win32ClockTest, RegionalTextsAndTicks) {
  Clock& clock = win32::SystemClock();
  int year_before = clock.Now().year;
  std::string date = clock.ShortDateText();
  std::string time = clock.TimeOfDayText();
  int year_after = clock.Now().year;

  // No terminating NUL inside, nothing cut off.
  EXPECT_EQ(date.find('\0'), std::string::npos);
  EXPECT_EQ(time.find('\0'), std::string::npos);
  EXPECT_TRUE(date.find(std::to_string(year_before)) != std::string::npos ||
              date.find(std::to_string(year_after)) != std::string::npos)
      << date;
  // Hours, minutes and seconds.
  EXPECT_EQ(std::count(time.begin(), time.end(), ':'), 2) << time;

  EXPECT_EQ(clock.TimeBeginPeriod(1), 0u);
  std::uint32_t t0 = clock.TickCount();
  ::Sleep(50);
  std::uint32_t elapsed = clock.TickCount() - t0;
  ::timeEndPeriod(1);
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(Win32ProcessTest, ModuleFileNameAndErrorMode) {
  ProcessApi& process = win32::Process();
  FileSystem& fs = win32::Files();
  std::string exe = process.ModuleFileName();
  EXPECT_TRUE(fs.FileExists(exe)) << exe;
  EXPECT_EQ(fs.GetBaseName(exe), "quillon_tests");
  EXPECT_EQ(fs.GetDriveName(exe).size(), 2u) << exe;

  std::uint32_t before = process.SetErrorMode(0x8001);
  EXPECT_EQ(process.SetErrorMode(before) & 0x8001u, 0x8001u);
}

TEST(Win32ProfileTest, CallsReachTheSystemFunctionsInOrder) {
  TempDir dir;
  ProfileApi& profile = win32::Profile();
  const std::string ini = dir.Join("Quillon.ini");

  EXPECT_TRUE(profile.WritePrivateProfileString("NTService", "State", "1",
                                                ini.c_str()));
  EXPECT_EQ(ReadBytes(ini), "[NTService]\r\nState=1\r\n");

  char buf[256];
  EXPECT_EQ(profile.GetPrivateProfileString("ntservice", "STATE", "x", buf,
                                            sizeof(buf), ini.c_str()),
            1u);
  EXPECT_STREQ(buf, "1");
  EXPECT_EQ(profile.GetPrivateProfileString("NTService", "LastMsg", "Fehler  ",
                                            buf, sizeof(buf), ini.c_str()),
            6u);
  EXPECT_STREQ(buf, "Fehler");
  // Cut to size-1 bytes.
  EXPECT_EQ(profile.GetPrivateProfileString(
                "NTService", "LastMsg", "Freier Speicher", buf, 7, ini.c_str()),
            6u);
  EXPECT_STREQ(buf, "Freier");

  // A null value deletes the key.
  EXPECT_TRUE(profile.WritePrivateProfileString("NTService", "State", nullptr,
                                                ini.c_str()));
  EXPECT_EQ(profile.GetPrivateProfileString("NTService", "State", "gone", buf,
                                            sizeof(buf), ini.c_str()),
            4u);

  // The decimal separator of the user's settings: at most one character.
  char sep[2] = {'#', '#'};
  std::uint32_t n = profile.GetProfileString("intl", "sDecimal", ".", sep, 2);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(sep[1], '\0');
}

}  // namespace
}  // namespace qs::platform

#endif  // _WIN32
