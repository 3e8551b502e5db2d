// The engine's events and the real-time monitor's entry points on the form.
#include <string>

#include "errortrap/ravelin.h"
#include "host/frm_main.h"

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

// The watch jobs of the real-time monitor come with their own work; until
// then starting and ending the monitor is traced and does nothing else.
void frmMain::RunRTMonitor() {
  Traced("frmMain", "Sub RunRTMonitor", [] {});
}

void frmMain::EndRTMonitor() {
  Traced("frmMain", "Sub EndRTMonitor", [] {});
}

}  // namespace qs
