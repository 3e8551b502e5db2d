// quillon-trace.exe: a trace viewer for Windows.
//
// A visible, bordered top-level window titled TITLE (default "Ravelin").
// Each text a traced program sends it with WM_SETTEXT is printed on standard
// output as it comes; the window keeps its title, so programs started later
// find it too. Closing the window, Ctrl+C or Ctrl+Break ends the viewer.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "tools/trace_view.h"

namespace {

using qs::tools::Complain;

constexpr char kClass[] = "QuillonTraceViewer";

qs::tools::TraceViewOptions options;
bool color = false;
HWND viewer = nullptr;

LRESULT CALLBACK ViewerProc(HWND hwnd, UINT message, WPARAM wparam,
                            LPARAM lparam) {
  switch (message) {
    case WM_SETTEXT: {
      const char* text = reinterpret_cast<const char*>(lparam);
      std::string shown = qs::tools::RenderTraceText(
          text != nullptr ? text : "", options, color);
      if (std::fwrite(shown.data(), 1, shown.size(), stdout) != shown.size() ||
          std::fflush(stdout) != 0) {
        // Nobody reads our output any more: we are done.
        PostQuitMessage(0);
      }
      return TRUE;  // taken; the title stays
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wparam, lparam);
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT &&
      event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  PostMessageA(viewer, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  qs::platform::ExitOnCrash();
  if (int code = qs::tools::ParseTraceViewOptions(
          argc, argv, "Closing the window, Ctrl+C or Ctrl+Break ends it.\n",
          &options);
      code != 0) {
    return code - 1;
  }
  const bool terminal = _isatty(_fileno(stdout)) != 0;
  color = options.tree && qs::tools::ColorWanted(options, terminal);
  if (color && terminal) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
      SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
  }
  // Texts go out as they come, bytes unchanged.
  _setmode(_fileno(stdout), 0x8000 /* _O_BINARY */);

  if (FindWindowA(nullptr, options.title.c_str()) != nullptr) {
    Complain("another viewer already listens as \"" + options.title +
             "\"; end it or choose another title (\"Ravelin - name\")");
    return 1;
  }
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc{};
  wc.lpfnWndProc = ViewerProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kClass;
  RegisterClassA(&wc);
  viewer = CreateWindowExA(0, kClass, options.title.c_str(),
                           WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                           CW_USEDEFAULT, 480, 160, nullptr, nullptr, instance,
                           nullptr);
  if (viewer == nullptr) {
    Complain("cannot open the viewer window (error " +
             std::to_string(GetLastError()) + "); a desktop is needed");
    return 1;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  qs::tools::AnnounceViewer(options.title);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
