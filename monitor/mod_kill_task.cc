// The walk goes through the top-level windows of the moment. On Linux those
// are the listening endpoints of the trace transport, each visible and
// bordered, named by its title; the form's own window is hidden and is never
// examined as a match.
//
// A match does not end the owner's process: the monitor server is left to
// end on its own once its clients have gone.
#include "monitor/mod_kill_task.h"

#include <algorithm>
#include <string>
#include <vector>

#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "platform/ascii.h"

namespace qs::modKillTask {

using platform::LowerAscii;

bool MonSrvIsRunning(frmMain& frm) {
  bool result = false;
  Traced("modKillTask", "Function MonSrvIsRunning", [&] {
    const std::string pattern =
        LowerAscii(texts::Lookup(texts::kMonitorTitle, frm.m_sLanguage) + " [");
    platform::WindowSystem& windows = *platform::Current().windows;
    constexpr std::uint32_t kVisibleBordered = platform::kWsVisible | platform::kWsBorder;
    for (platform::Hwnd h = windows.GetWindow(frm.hWnd, platform::kGwHwndFirst); h != 0;
         h = windows.GetWindow(h, platform::kGwHwndNext)) {
      const auto style = static_cast<std::uint32_t>(windows.GetWindowLong(h, platform::kGwlStyle));
      if ((style & kVisibleBordered) != kVisibleBordered) continue;
      if (LowerAscii(GetWindowTitle(h)).find(pattern) != std::string::npos) {
        result = true;
        return;
      }
    }
  });
  return result;
}

std::string GetWindowTitle(platform::Hwnd hwnd) {
  std::string result;
  Traced("modKillTask", "Function GetWindowTitle", [&] {
    platform::WindowSystem& windows = *platform::Current().windows;
    const int length = std::max(windows.GetWindowTextLength(hwnd), 0);
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
    const int got = windows.GetWindowText(hwnd, buffer.data(), length + 1);
    // The buffer less its terminating zero; a title that shrank in between
    // ends at its zero.
    result.assign(buffer.data(), static_cast<std::size_t>(std::clamp(got, 0, length)));
  });
  return result;
}

}  // namespace qs::modKillTask
