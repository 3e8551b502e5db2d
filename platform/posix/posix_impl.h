// The POSIX implementations of the platform interfaces, one instance each.
#pragma once

#include "platform/platform.h"

namespace qs::platform::posix {

ProfileApi& Profile();
FileSystem& Files();
Clock& SystemClock();
ProcessApi& Process();
WindowSystem& Windows();
UserInterface& Ui();

}  // namespace qs::platform::posix
