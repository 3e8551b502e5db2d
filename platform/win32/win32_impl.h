// The Win32 implementations of the platform interfaces, one instance each.
#pragma once

#include "platform/platform.h"

namespace qs::platform::win32 {

ProfileApi& Profile();
FileSystem& Files();
Clock& SystemClock();
ProcessApi& Process();
WindowSystem& Windows();
UserInterface& Ui();

}  // namespace qs::platform::win32
