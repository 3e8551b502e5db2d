// Top-level windows and the message box on Windows.
#include <windows.h>

#include <string>

#include "platform/win32/win32_impl.h"

namespace qs::platform::win32 {

namespace {

// Window handles are 32-bit values on every Windows, also in 64-bit
// processes; the upper half of a 64-bit HWND is the sign extension of the
// lower one. So truncation loses nothing and the way back sign-extends.
Hwnd FromHwnd(HWND hwnd) {
  return static_cast<Hwnd>(reinterpret_cast<std::uintptr_t>(hwnd));
}

HWND ToHwnd(Hwnd hwnd) {
  return reinterpret_cast<HWND>(
      static_cast<std::intptr_t>(static_cast<std::int32_t>(hwnd)));
}

class Win32Windows final : public WindowSystem {
 public:
  Hwnd GetDesktopWindow() override { return FromHwnd(::GetDesktopWindow()); }

  // The window of this thread's message loop; without a loop a hidden
  // top-level window of the system's static class, made on first use and
  // kept for the life of the process.
  Hwnd FormWindow() override {
    if (HWND loop = LoopWindow()) return FromHwnd(loop);
    if (form_ == nullptr) {
      form_ = ::CreateWindowExA(0, "STATIC", "QuillonSrv", WS_POPUP, 0, 0, 0,
                                0, nullptr, nullptr,
                                ::GetModuleHandleA(nullptr), nullptr);
    }
    return FromHwnd(form_);
  }

  Hwnd GetWindow(Hwnd hwnd, unsigned cmd) override {
    return FromHwnd(::GetWindow(ToHwnd(hwnd), cmd));
  }

  int GetWindowText(Hwnd hwnd, char* buffer, int max) override {
    return ::GetWindowTextA(ToHwnd(hwnd), buffer, max);
  }

  int GetWindowTextLength(Hwnd hwnd) override {
    return ::GetWindowTextLengthA(ToHwnd(hwnd));
  }

  std::int32_t GetWindowLong(Hwnd hwnd, int index) override {
    return ::GetWindowLongA(ToHwnd(hwnd), index);
  }

  void SendSetText(Hwnd hwnd, std::string_view text) override {
    // The receiver reads up to the NUL; the length travels in wParam.
    std::string line(text);
    ::SendMessageA(ToHwnd(hwnd), WM_SETTEXT, static_cast<WPARAM>(line.size()),
                   reinterpret_cast<LPARAM>(line.c_str()));
  }

  bool AttachViewer(Hwnd hwnd) override {
    return hwnd != 0 && ::IsWindow(ToHwnd(hwnd)) != FALSE;
  }

 private:
  HWND form_ = nullptr;
};

// The button an unattended box answers: the default button of its set.
int DefaultButton(unsigned type) {
  static constexpr int kButtons[][3] = {
      {IDOK, IDOK, IDOK},                  // MB_OK
      {IDOK, IDCANCEL, IDCANCEL},          // MB_OKCANCEL
      {IDABORT, IDRETRY, IDIGNORE},        // MB_ABORTRETRYIGNORE
      {IDYES, IDNO, IDCANCEL},             // MB_YESNOCANCEL
      {IDYES, IDNO, IDNO},                 // MB_YESNO
      {IDRETRY, IDCANCEL, IDCANCEL},       // MB_RETRYCANCEL
      {IDCANCEL, IDTRYAGAIN, IDCONTINUE},  // MB_CANCELTRYCONTINUE
  };
  unsigned set = type & MB_TYPEMASK;
  unsigned which = (type & MB_DEFMASK) >> 8;
  if (set >= sizeof(kButtons) / sizeof(kButtons[0])) set = 0;
  if (which > 2) which = 0;
  return kButtons[set][which];
}

// A service that may not interact with the desktop runs in a window station
// no user sees: a box there would wait for ever.
bool DesktopVisible() {
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (station == nullptr ||
      !::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof(flags),
                                   nullptr)) {
    return true;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The executable's name without folder and extension: the event source of
// a process the service manager does not run.
std::string ExecutableName() {
  char path[MAX_PATH + 1] = {};
  DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, n);
  std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

// Where an administrator finds a box nobody could see: the event log, as an
// error entry with the identifier of the service's other error entries.
void ReportToEventLog(const std::string& entry, std::int16_t type) {
  const std::string& service = ServiceRunName();
  WriteEvent(service.empty() ? ExecutableName() : service, type, 109, entry);
}

class Win32Ui final : public UserInterface {
 public:
  int MessageBox(const std::string& text, const std::string& title,
                 unsigned type) override {
    // Under the service manager no one sees the desktop, and a box would
    // hold the service's only thread for good.
    if (ServiceRunName().empty() && DesktopVisible()) {
      int chosen = ::MessageBoxA(nullptr, text.c_str(), title.c_str(), type);
      if (chosen > 0) return chosen;
      // No desktop after all (the box failed at once): fall through.
    }
    ReportToEventLog(title + ": " + text, EVENTLOG_ERROR_TYPE);
    return DefaultButton(type);
  }

  void Notice(const std::string& text) override {
    ReportToEventLog(text, EVENTLOG_WARNING_TYPE);
  }
};

}  // namespace

WindowSystem& Windows() {
  static Win32Windows windows;
  return windows;
}

UserInterface& Ui() {
  static Win32Ui ui;
  return ui;
}

}  // namespace qs::platform::win32
