// What the systemd service control asks of the system around it, passed in
// so that tests can see what it hands over: the journal, the notification
// socket, the unit systemd runs the process in, and the terminal a debug run
// may have.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/service_control.h"

namespace qs::platform::posix {

struct SystemdLink {
  // sd_journal_sendv with these fields ("MESSAGE=...", ...); true when the
  // journal took the entry.
  std::function<bool(const std::vector<std::string>& fields)> send_to_journal;
  // sd_notify with this message ("READY=1", "STATUS=...", ...).
  std::function<void(const std::string& message)> notify;
  // sd_pid_get_unit of this process: the unit it runs in, "" for none.
  std::function<std::string()> own_unit;
  // True when the process has a controlling terminal, where Ctrl-Z expects
  // it to stop.
  std::function<bool()> on_terminal;
};

// The real journal, notification socket, unit and terminal.
SystemdLink RealSystemd();

std::unique_ptr<ServiceControl> CreateSystemdControl(MessageLoop& loop, SystemdLink link);

}  // namespace qs::platform::posix
