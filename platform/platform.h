// The operating system behind narrow interfaces.
//
// Every call the service makes into the operating system goes through one of
// the interfaces below. Each has a POSIX implementation (platform/posix/) and
// a Win32 one (platform/win32/); the Win32 side calls the functions of the
// same name (GetPrivateProfileStringA, GetWindowTextA, ...) and so the
// signatures follow those functions. Text is bytes in the system's ANSI code
// page; on POSIX that is the character set of the locale.
//
// The file system is passed in: the program takes the OS's one
// (OsFileSystem) and hands it to the objects that use it, which keep it, as
// the form keeps it in m_oFSO; tests hand in their own. The other interfaces
// are reached through Current(), the set in use: unit tests replace single
// interfaces with ScopedPlatform; the program itself only ever uses the OS
// implementation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
// windows.h turns several member names below into macros (GetWindowText ->
// GetWindowTextA). Include it first and drop those macros, so that every
// file sees the same names whatever it includes afterwards.
#include <windows.h>
#undef DeleteFile
#undef GetDiskFreeSpace
#undef GetPrivateProfileString
#undef GetProfileString
#undef GetWindowLong
#undef GetWindowText
#undef GetWindowTextLength
#undef MessageBox
#undef ReplaceFile
#undef WritePrivateProfileString
#endif

namespace qs::platform {

class DirWatcher;
class MessageLoop;

// ---------------------------------------------------------------------------
// Profile files (INI): GetPrivateProfileStringA, WritePrivateProfileStringA,
// and GetProfileStringA for the user's profile (only "intl" is meaningful).
class ProfileApi {
 public:
  virtual ~ProfileApi() = default;
  // A null section lists the section names, a null key the key names of the
  // section (each ended by a NUL, plus a final NUL the count leaves out); a
  // null default means "". Copies at most size-1 bytes and a NUL into
  // `buffer` and returns the count copied.
  virtual std::uint32_t GetPrivateProfileString(const char* section,
                                                const char* key,
                                                const char* def, char* buffer,
                                                std::uint32_t size,
                                                const char* file) = 0;
  // A null key deletes the section, a null value deletes the key.
  virtual bool WritePrivateProfileString(const char* section, const char* key,
                                         const char* value,
                                         const char* file) = 0;
  virtual std::uint32_t GetProfileString(const char* app, const char* key,
                                         const char* def, char* buffer,
                                         std::uint32_t size) = 0;
  // The lookups between BeginBatch and EndBatch belong together, as the
  // settings of one log line do: a reader that keeps parsed files checks
  // them for changes by other programs once per batch instead of once per
  // lookup, so they read as of one moment. Batches nest. A reader that reads
  // the file at every lookup has nothing to do.
  virtual void BeginBatch() {}
  virtual void EndBatch() {}
};

// One batch of lookups in the profile reader in use, for a scope.
class ProfileBatch;

// ---------------------------------------------------------------------------
// What the file-system object knows of one folder entry. Times are
// 100-nanosecond intervals since 1601-01-01 UTC (a FILETIME), on every
// system, so that two of them compare at the finest step both sides keep.
struct FileStat {
  enum Kind { kMissing, kFile, kFolder, kOther };
  Kind kind = kMissing;  // kOther: a device, a pipe, an untrusted link, ...
  std::int64_t size = 0;
  std::int64_t modified = 0;
  // A symbolic link (a junction or other reparse point on Windows); kind,
  // size and time are those of what it leads to, when the link is trusted
  // (see FileSystem) and leads somewhere, else kind is kOther.
  bool link = false;
};

// How CopyToNewFile copies.
struct CopyOptions {
  // A link at the source is followed (when trusted); otherwise the copy is
  // refused with 70.
  bool follow_link = false;
  // The data is on the disk when the call returns; false leaves that to a
  // later FlushToDisk, so that a batch of copies is flushed at once.
  bool durable = true;
  // Asked before each chunk of the data; false abandons the copy: the new
  // file is removed and the call returns false.
  std::function<bool()> keep_going;
};

struct FolderEntry {
  std::string name;  // without the folder
  FileStat stat;
};

// The file-system object: path joining, file tests and text files. Failures
// throw qs::RuntimeError with the classic numbers (kErrFileNotFound,
// kErrPathNotFound, kErrPermission, kErrDiskFull, kErrPathFileAccess).
//
// Links. A symbolic link on the way to a file is followed only when it is
// trusted: on POSIX, owned by root or by the service's own user; anybody
// else's link is refused with 70 "Permission denied", however it got there
// and whenever. Writes (appending, creating, replacing, removing, copies,
// renames, new folders) never go through a link at the last component of
// their path, and only ever write regular files with one name.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The platform's path separator ('\\' on Windows, '/' on POSIX).
  virtual char Separator() const = 0;
  // Paths and texts. Texts (INI values, job files' folders, log lines) are
  // in the ANSI code page; the paths this object takes and returns are the
  // same bytes on POSIX, but UTF-8 on Windows, where a name the code page
  // lacks (an omega, a Japanese name) could not pass as text. A text that
  // names a file becomes a path through PathFromText; a path that goes into
  // a text (a log line naming a file) through TextFromPath, which turns a
  // character the code page lacks into '?'.
  virtual std::string PathFromText(std::string_view text) const {
    return std::string(text);
  }
  virtual std::string TextFromPath(std::string_view path) const {
    return std::string(path);
  }
  // Whether `c` separates path parts: the separator, and on Windows '/'
  // as well.
  bool IsSeparator(char c) const {
    return c == Separator() || (Separator() == '\\' && c == '/');
  }
  // Whether two names that differ only in letter case name two files
  // (POSIX) or the same one (Windows).
  virtual bool CaseSensitiveNames() const = 0;
  // BuildPath: exactly one separator between the parts, unless one of them
  // already supplies it; an empty part gives the other unchanged.
  virtual std::string BuildPath(std::string_view path,
                                std::string_view name) const;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  // CreateTextFile: an empty file; with overwrite false an existing file is
  // an error (kErrFileExists).
  virtual void CreateTextFile(const std::string& path, bool overwrite) = 0;
  // OpenTextFile ForAppending without create, Write, Close. On a failure
  // (a disk that fills up in the middle) nothing of `text` stays in the
  // file, so no half line is left for the next one to be glued to.
  virtual void AppendText(const std::string& path, std::string_view text) = 0;
  // The log writers' append: FileExists, CreateTextFile(overwrite) when
  // there is no file, then AppendText, with as few system calls as the
  // platform allows.
  virtual void AppendOrCreateText(const std::string& path,
                                  std::string_view text);
  // The last `max_bytes` bytes of the file (all of it when it is shorter),
  // read from a seek; what lies before them is never read.
  virtual std::string ReadTail(const std::string& path,
                               std::uint64_t max_bytes) = 0;
  // Replaces the file with `data` atomically: a temporary file in the same
  // folder is written, flushed and renamed over the old one; the old file's
  // owner and permissions are kept. A reader sees either the old or the new
  // file, and so does whoever looks after a crash. A link at `path` is
  // refused.
  virtual void ReplaceFile(const std::string& path, std::string_view data) = 0;
  // DeleteFile with force: also a read-only file. A link is removed itself.
  virtual void DeleteFile(const std::string& path, bool force) = 0;
  // FileLen; -1 when it cannot be read (a link at `path` included).
  virtual std::int64_t FileLength(const std::string& path) = 0;
  // GetBaseName: the last path component without its extension.
  virtual std::string GetBaseName(std::string_view path) const;
  // GetDriveName: "C:" or "\\server\share" on Windows, "" on POSIX.
  virtual std::string GetDriveName(std::string_view path) const = 0;
  // GetDiskFreeSpaceA for the volume of `root` ("C:\" on Windows, any path
  // on POSIX, where statvfs gives one "sector" per fragment and the counts
  // of space available to unprivileged users, cut to 32 bits). A bare drive
  // ("C:") is made current for the query, which then names no root path,
  // and the folder current before is made current again. False when the
  // query fails; the counts are then left as they were.
  virtual bool GetDiskFreeSpace(const std::string& root,
                                std::uint32_t* sectors_per_cluster,
                                std::uint32_t* bytes_per_sector,
                                std::uint32_t* free_clusters,
                                std::uint32_t* total_clusters) = 0;

  // The transfer engine's file calls.
  // What lies at `path`; kind kMissing when nothing can be found there.
  // A link at `path` is reported as one (FileStat::link). Never throws.
  virtual FileStat GetFileStat(const std::string& path) = 0;
  // Every entry of `folder` but "." and "..", in no particular order; links
  // are reported as links.
  virtual std::vector<FolderEntry> ListFolder(const std::string& folder) = 0;
  // Copies `from` into the new file `to` (58 when `to` exists already) and
  // gives it the modification time of `from`. On a failure, and when
  // `options.keep_going` says to stop, `to` is removed again; true when the
  // copy is complete.
  virtual bool CopyToNewFile(const std::string& from, const std::string& to,
                             const CopyOptions& options = {}) = 0;
  // Puts the files and folders at `paths` on the disk, as one batch: a
  // file's data (copies made with `durable` false are safe from a crash
  // once this returns), a folder's entries (names made, renamed, removed).
  virtual void FlushToDisk(const std::vector<std::string>& paths) = 0;
  // Renames `from` to `to` within one volume, replacing a file `to` (a link
  // at `to` is replaced, not followed).
  virtual void RenameFile(const std::string& from, const std::string& to) = 0;
  // Creates the folder `path`; its parent must exist.
  virtual void CreateFolder(const std::string& path) = 0;
  // `path` as an absolute path without ".", ".." or links: trusted links
  // are resolved, others refused (70). A part at the end that does not
  // exist yet is kept as written. On Windows the full path name; junctions
  // stay as they are.
  virtual std::string ResolvePath(const std::string& path) = 0;
  // Why the file or folder at `path` may not tell the service what to do,
  // as cron distrusts a crontab: "" when nobody but root or the service's
  // own user can change it (or it is not there), else the reason. Windows
  // has no such rule; there the reason is a name outside the ANSI code page,
  // in which the profile functions read the file.
  virtual std::string UntrustedBecause(const std::string& path) = 0;
  // Whether another program has the file at `path` open for writing now,
  // so that a copy would take a half-written file. Windows tells through
  // its sharing rules; POSIX cannot tell and answers false (the copy
  // rules' settle time keeps such files back there).
  virtual bool OpenForWriting(const std::string& /*path*/) { return false; }
  // Now, in the unit and scale of FileStat::modified: the time a file
  // written at this moment shows.
  virtual std::int64_t FileTimeNow() const;
  // The watcher that reports the changes in this file system's folders on
  // `loop` (dir_watch.h); for the OS's file system, SharedDirWatcher(loop).
  virtual std::shared_ptr<DirWatcher> FolderWatcher(MessageLoop& loop);
};

// ---------------------------------------------------------------------------
// Date and time.
struct LocalTime {
  int year, month, day, hour, minute, second;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // The current date as the regional settings print a short date
  // (a German locale: 04.12.2026).
  virtual std::string ShortDateText() = 0;
  // The current time of day as the regional settings print it (19:36:13).
  virtual std::string TimeOfDayText() = 0;
  virtual LocalTime Now() = 0;
  // timeGetTime: milliseconds since an arbitrary start, wrapping at 2^32.
  virtual std::uint32_t TickCount() = 0;
  // timeBeginPeriod: 0 on success.
  virtual std::uint32_t TimeBeginPeriod(std::uint32_t ms) = 0;
};

// ---------------------------------------------------------------------------
// The running process.
class ProcessApi {
 public:
  virtual ~ProcessApi() = default;
  // GetModuleFileNameA(GetModuleHandleA(NULL)): the executable's full path.
  virtual std::string ModuleFileName() = 0;
  // SetErrorMode: returns the previous mode.
  virtual std::uint32_t SetErrorMode(std::uint32_t mode) = 0;
};

// ---------------------------------------------------------------------------
// Top-level windows. On POSIX there is no window system: the "windows" are
// the listening endpoints of the trace transport (abstract Unix sockets),
// each named by its title, visible and bordered.
using Hwnd = std::uint32_t;

inline constexpr unsigned kGwHwndFirst = 0;
inline constexpr unsigned kGwHwndNext = 2;
inline constexpr unsigned kGwChild = 5;
inline constexpr int kGwlStyle = -16;
inline constexpr std::uint32_t kWsVisible = 0x10000000;
inline constexpr std::uint32_t kWsBorder = 0x00800000;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  virtual Hwnd GetDesktopWindow() = 0;
  // The service form's own window: a hidden top-level window, so a walk
  // never takes it for a match. On POSIX a handle no endpoint is given.
  virtual Hwnd FormWindow() = 0;
  // GW_CHILD of the desktop gives the first top-level window, GW_HWNDFIRST
  // of a top-level window the topmost one, GW_HWNDNEXT the next; 0 for none.
  virtual Hwnd GetWindow(Hwnd hwnd, unsigned cmd) = 0;
  // GetWindowTextA: copies at most max-1 bytes and a NUL; returns the count.
  virtual int GetWindowText(Hwnd hwnd, char* buffer, int max) = 0;
  virtual int GetWindowTextLength(Hwnd hwnd) = 0;
  virtual std::int32_t GetWindowLong(Hwnd hwnd, int index) = 0;
  // SendMessageA(hwnd, WM_SETTEXT, length, text): synchronous, result
  // ignored by every caller. On POSIX one datagram on the endpoint, dropped
  // when it cannot be delivered within a second.
  virtual void SendSetText(Hwnd hwnd, std::string_view text) = 0;
  // Makes `hwnd` ready to receive texts and tells whether it may: on POSIX
  // this connects once and accepts only a peer of the same user or root; on
  // Win32 it is IsWindow.
  virtual bool AttachViewer(Hwnd hwnd) = 0;
};

// ---------------------------------------------------------------------------
// The modal message box.
inline constexpr unsigned kMbAbortRetryIgnore = 0x2;
inline constexpr unsigned kMbIconStop = 0x10;
inline constexpr unsigned kMbDefButton1 = 0x0;

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // MessageBoxA: returns the button chosen. Without a desktop the text is
  // presented where an administrator finds it and the call returns at once.
  virtual int MessageBox(const std::string& text, const std::string& title,
                         unsigned type) = 0;
  // One line for the administrator outside the product's own logs: the
  // system journal (priority warning) on POSIX, the debugger's output on
  // Windows.
  virtual void Notice(const std::string& text) = 0;
};

// A notice for the administrator: Current().ui->Notice, and every
// NoticeListener alive hears it as well, in the order they were made.
void Notice(const std::string& text);

// Hears every Notice() while it lives (the service's form writes them to
// its own log too).
class NoticeListener {
 public:
  explicit NoticeListener(std::function<void(const std::string&)> hear);
  ~NoticeListener();
  NoticeListener(const NoticeListener&) = delete;
  NoticeListener& operator=(const NoticeListener&) = delete;

 private:
  std::function<void(const std::string&)> hear_;
};

// ---------------------------------------------------------------------------
struct Platform {
  ProfileApi* profile = nullptr;
  Clock* clock = nullptr;
  ProcessApi* process = nullptr;
  WindowSystem* windows = nullptr;
  UserInterface* ui = nullptr;
};

// The set in use: the OS implementation unless a test replaced parts of it.
Platform& Current();
// The OS implementation (one instance per process).
Platform& OsPlatform();
// The OS's file system (one instance per process), for the program's entry
// points to pass in.
FileSystem& OsFileSystem();

class ProfileBatch {
 public:
  ProfileBatch() : profile_(*Current().profile) { profile_.BeginBatch(); }
  ~ProfileBatch() { profile_.EndBatch(); }
  ProfileBatch(const ProfileBatch&) = delete;
  ProfileBatch& operator=(const ProfileBatch&) = delete;

 private:
  ProfileApi& profile_;
};

// Replaces the non-null members of Current() for the lifetime of the object.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(const Platform& replacement);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform saved_;
};

// ---------------------------------------------------------------------------
// Text in the system's ANSI code page.

// Converts UTF-8 text (the source code's literals) into the ANSI code page;
// characters the code page lacks become '?'.
std::string Utf8ToAnsi(std::string_view utf8);

// Applies the user's regional settings to this process (setlocale for
// LC_TIME, LC_NUMERIC and LC_CTYPE on POSIX); called once at start.
void ApplyRegionalSettings();

// Makes a crash end the process at once with exit code 3, never 0 and
// never waiting for a person: on Windows through an unhandled-exception
// filter (under Wine a crashed process may otherwise end with 0); on POSIX
// the signal's default action does that already. Called first by every
// program's entry.
void ExitOnCrash();

// The folder of the executable, without a trailing separator; the file
// `name` in it (the folder, a separator and the name); the executable's name
// without folder and extension ("QuillonSrv"). By the rules of the OS's file
// system.
std::string ProgramFolder();
std::string ProgramFile(std::string_view name);
std::string ProgramName();

// ---------------------------------------------------------------------------
// The priority class of this process: IDLE (0x40), NORMAL (0x20) or HIGH
// (0x80). A class the system refuses (or does not know) leaves the priority
// as it was; nothing is reported. On Linux:
//   idle    SCHED_IDLE and nice 19 (the nice value also lowers the I/O
//           priority the kernel derives from it)
//   normal  SCHED_OTHER and nice 0
//   high    SCHED_OTHER and nice -10; needs CAP_SYS_NICE or RLIMIT_NICE
// Raising the priority again (idle back to normal) needs the same right.
void SetPriorityClass(std::uint32_t priority_class);

}  // namespace qs::platform
