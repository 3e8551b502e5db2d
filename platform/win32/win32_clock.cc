// Date, time and the running process on Windows.
#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>

#include <string>

#include "platform/win32/win32_impl.h"

namespace qs::platform::win32 {

namespace {

// The regional short date or time of the current moment. The size query
// first, so that no user format is ever cut.
template <class FormatFn>
std::string FormatNow(FormatFn format, DWORD flags) {
  int size = format(LOCALE_USER_DEFAULT, flags, nullptr, nullptr, nullptr, 0);
  if (size <= 0) return std::string();
  std::string text(static_cast<std::size_t>(size), '\0');
  int written =
      format(LOCALE_USER_DEFAULT, flags, nullptr, nullptr, text.data(), size);
  // The count includes the terminating NUL.
  text.resize(written > 0 ? static_cast<std::size_t>(written - 1) : 0);
  return text;
}

class Win32Clock final : public Clock {
 public:
  std::string ShortDateText() override {
    return FormatNow(::GetDateFormatA, DATE_SHORTDATE);
  }

  // Flags 0: the user's time format, with hours, minutes and seconds.
  std::string TimeOfDayText() override {
    return FormatNow(::GetTimeFormatA, 0);
  }

  LocalTime Now() override {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth,  st.wDay,
                     st.wHour, st.wMinute, st.wSecond};
  }

  std::uint32_t TickCount() override { return ::timeGetTime(); }

  std::uint32_t TimeBeginPeriod(std::uint32_t ms) override {
    return ::timeBeginPeriod(ms);
  }
};

class Win32Process final : public ProcessApi {
 public:
  std::string ModuleFileName() override {
    // The path may be longer than MAX_PATH; grow until it fits.
    HMODULE self = ::GetModuleHandleA(nullptr);
    std::string path(MAX_PATH, '\0');
    for (;;) {
      DWORD n = ::GetModuleFileNameA(self, path.data(),
                                     static_cast<DWORD>(path.size()));
      if (n == 0) return std::string();
      if (n < path.size()) {
        path.resize(n);
        return path;
      }
      if (path.size() >= 32768) return path;
      path.resize(path.size() * 2);
    }
  }

  std::uint32_t SetErrorMode(std::uint32_t mode) override {
    return ::SetErrorMode(mode);
  }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

ProcessApi& Process() {
  static Win32Process process;
  return process;
}

}  // namespace qs::platform::win32

namespace qs::platform {

void SetPriorityClass(std::uint32_t priority_class) {
  // PROCESS_SET_INFORMATION | PROCESS_DUP_HANDLE, inheritable; the results
  // are ignored.
  HANDLE process = ::OpenProcess(0x240, TRUE, ::GetCurrentProcessId());
  if (process == nullptr) return;
  (void)::SetPriorityClass(process, priority_class);
  ::CloseHandle(process);
}

}  // namespace qs::platform
