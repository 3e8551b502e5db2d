// The main timer's work cycle: the engine's pass over the jobs folder with
// the log size check before or after it.
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/outside_text.h"

namespace qs {
using modIniHandler::GetINIString;

void frmMain::tmrMain_Timer() {
  Traced("frmMain", "Sub tmrMain_Timer", [&] { DoCycle(); });
}

void frmMain::DoCycle() {
  m_bBusy = true;
  bool guard_ok = true;  // false: the disk guard stopped the work cycle
  loop_.PumpPending();
  modRavelinLITE::ErrObject err = modRavelinLITE::Trapped([&] {
    ReadServiceIni();

    std::string jobs = m_oFSO->BuildPath(modIniHandler::ProductFolder(), "jobs");
    if (jobs.empty() || jobs.back() != m_oFSO->Separator()) jobs += m_oFSO->Separator();

    if (GetINIString(texts::kOptCutLog, values.sIniFile) == "0") guard_ok = CheckLogFileSize();
    cQL->NoDiskSizeCheck = GetINIString(texts::kNoDiskSizeCheck, m_sIniStr) == "1";
    bool a = false, b = false, c = false;
    cQL->ProcessJobs(jobs, m_sLanguage, a, b, c);
    if (GetINIString(texts::kOptCutLog, values.sIniFile) == "1") guard_ok = CheckLogFileSize();
  });
  if (err.Number != 0) {
    modRavelinLITE::Trapped([&] { WriteLog(logging::Outside(err.Description), true, true, false); });
  }
  m_bBusy = false;
  // The status line shows why nothing runs when the disk guard stopped it.
  if (NTService1 && !m_bStopPending) {
    modRavelinLITE::Trapped([&] {
      const std::string at = platform::Current().clock->TimeOfDayText();
      NTService1->ReportStatus(guard_ok ? "Running; last work cycle " + at
                                        : "Work cycle stopped at " + at + ": " + m_sDiskNotice);
    });
  }
  loop_.PumpPending();
  if (m_bStopPending && !m_bBusy) FinishStop();
}

}  // namespace qs
