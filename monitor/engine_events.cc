// The engine's events and the real-time monitor's entry points on the form.
#include <string>
#include <utility>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "monitor/mod_kill_task.h"
#include "monitor/mod_monitor.h"

namespace qs {

void frmMain::cQL_LogMessage(std::string& sLogMsg, std::int16_t& /*iMsgID*/, bool& bView,
                             bool& bFile, bool& bSameView, bool& /*bIsLast*/) {
  Traced("frmMain", "Sub cQL_LogMessage", [&] { WriteWLog(sLogMsg, bView, bFile, bSameView); });
}

// The engine raises CurrentJob before any LogMessage of that job, so the
// job's log is chosen before its first line.
void frmMain::cQL_CurrentJob(std::string& sFileName, std::int32_t&, std::int32_t&, std::int16_t&,
                             std::int16_t&, std::int16_t&, std::string&, std::string&,
                             std::int16_t&, std::int16_t&) {
  Traced("frmMain", "Sub cQL_CurrentJob", [&] {
    std::string job_name = sFileName;
    for (std::size_t at = job_name.find(".qlj"); at != std::string::npos;
         at = job_name.find(".qlj", at)) {
      job_name.erase(at, 4);
    }
    PrepareLog(job_name, sFileName);
  });
}

// The monitor is started at start-up and by Start and Continue, ended by
// Pause and Stop. "RunNTMon" is read at every start that is not running yet,
// so a later "1" starts it at the next chance.
void frmMain::RunRTMonitor() {
  Traced("frmMain", "Sub RunRTMonitor", [&] {
    if (m_bRTMonRunning) return;
    if (modIniHandler::GetINIString(texts::kRunNTMon, values.sIniFile) != "1") return;
    modMonitor::StartMonitor(*this);
    m_bRTMonRunning = true;
  });
}

void frmMain::EndRTMonitor() {
  Traced("frmMain", "Sub EndRTMonitor", [&] {
    if (!m_bRTMonRunning) return;
    modMonitor::StopMonitor(*this);
    m_bRTMonRunning = false;
    modKillTask::MonSrvIsRunning(*this);
  });
}

void frmMain::SetMultiEvent(std::unique_ptr<engine::cMultiEvent> multi_event) {
  if (multi_event) {
    multi_event->Done = [this](std::string objectname, std::int16_t Index) {
      cMultiEvent_Done(std::move(objectname), Index);
    };
  }
  // The old object goes only after the member no longer points to it.
  std::unique_ptr<engine::cMultiEvent> old = std::move(cMultiEvent);
  cMultiEvent = std::move(multi_event);
}

void frmMain::cMultiEvent_Done(std::string objectname, std::int16_t Index) {
  Traced("frmMain", "Sub cMultiEvent_Done",
         [&] { modMonitor::cMultiEventDone(*this, std::move(objectname), Index); });
}

}  // namespace qs
