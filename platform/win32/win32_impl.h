// The Win32 implementations of the platform interfaces, one instance each.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qs::platform::win32 {

ProfileApi& Profile();
FileSystem& Files();
Clock& SystemClock();
ProcessApi& Process();
WindowSystem& Windows();
UserInterface& Ui();

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
