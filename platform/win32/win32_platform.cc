#include <windows.h>

#include "platform/win32/win32_impl.h"

namespace qs::platform {

namespace {

LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*) {
  ::TerminateProcess(::GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

Platform& OsPlatform() {
  static Platform os{&win32::Profile(), &win32::SystemClock(),
                     &win32::Process(), &win32::Windows(), &win32::Ui()};
  return os;
}

void ExitOnCrash() {
  ::SetUnhandledExceptionFilter(EndOnCrash);
  ::SetErrorMode(::SetErrorMode(0) | SEM_FAILCRITICALERRORS |
                 SEM_NOGPFAULTERRORBOX);
}

FileSystem& OsFileSystem() { return win32::Files(); }

}  // namespace qs::platform
