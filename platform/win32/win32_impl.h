// The Win32 implementations of the platform interfaces, one instance each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace qs::platform::win32 {

ProfileApi& Profile();
FileSystem& Files();
Clock& SystemClock();
ProcessApi& Process();
WindowSystem& Windows();
UserInterface& Ui();

// Paths of the file-system object are UTF-8, so that every name Windows
// allows passes through the program unchanged; the file functions take them
// as UTF-16. Texts are in the ANSI code page.
std::wstring WideFromUtf8(std::string_view utf8);  // 52 when not UTF-8
std::string Utf8FromWide(std::wstring_view wide);
// Text in the ANSI code page as UTF-8 (Utf8ToAnsi is the way back).
std::string AnsiToUtf8(std::string_view ansi);
// `path` made absolute and normalized ("." and ".." resolved, '/' as '\',
// no trailing separator but a root's), as UTF-8: how the file-system object
// resolves a path, and the folder watch's name for a folder.
std::string FullPath(const std::string& path);
// FullPath as the wide-character file functions take it: with the prefix
// "\\?\" ("\\?\UNC\" for a share), which lifts the limit of 260
// characters. A path that has the prefix already is taken as it is.
std::wstring SystemPath(const std::string& path);
// GetFileAttributesW of `path`; INVALID_FILE_ATTRIBUTES when nothing is
// there or `path` is no path.
DWORD FileAttributes(const std::string& path);
// Opens the file at `path` for reading while denying writers: 0 when that
// works (no other program has the file open for writing), else the error
// (ERROR_SHARING_VIOLATION when one has).
DWORD TryOpenDenyingWriters(const std::string& path);

// The class of the message loop's hidden window, the service form's window.
// A running service titles it with its display name.
inline constexpr char kFormWindowClass[] = "QuillonSrvForm";
// Registered messages that stop, pause and continue a debug run when sent
// to its form window (WM_CLOSE stops as well).
inline constexpr char kStopMessage[] = "QuillonSrvStop";
inline constexpr char kPauseMessage[] = "QuillonSrvPause";
inline constexpr char kContinueMessage[] = "QuillonSrvContinue";

// The hidden window of the calling thread's newest message loop, null when
// the thread has none: the service form's window.
HWND LoopWindow();

// The name under which the service manager runs this process ("" when it
// does not: a debug run, a command line). Set by the service control when it
// is made, from the service manager's list of services and their processes,
// so before anything reports; error boxes then go to the event log instead.
const std::string& ServiceRunName();
void SetServiceRunName(const std::string& name);

// ReportEventA with one text under the event source `source`: type 1
// (error) or 4 (information), the message identifier `id`, which the
// program's message table shows as the text itself.
void WriteEvent(const std::string& source, std::int16_t type, std::int32_t id,
                 const std::string& text);

}  // namespace qs::platform::win32
