// modKillTask: finds a window of the monitor server among the top-level
// windows, when the real-time monitor ends. No process is ended: a match
// only tells that the server runs.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qs {
class frmMain;
}

namespace qs::modKillTask {

// True when a visible, bordered top-level window's title holds the monitor
// server's title text ("Monitor"/"t0" of the form's language file) followed
// by " [", letter case ignored. Only the form's window handle is used.
bool MonSrvIsRunning(frmMain& frm);

// The window's title text; empty for a window without one.
std::string GetWindowTitle(platform::Hwnd hwnd);

}  // namespace qs::modKillTask
