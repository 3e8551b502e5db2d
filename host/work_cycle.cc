// The main timer's work cycle: the engine's pass over the jobs folder with
// the log size check before or after it.
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"

namespace qs {
namespace {

std::string ReadKey(const texts::IniKey& k, const std::string& file) {
  return modIniHandler::GetINIString(std::string(k.section), std::string(k.key),
                                     std::string(k.def), file, texts::kReadSize);
}

}  // namespace

void frmMain::tmrMain_Timer() {
  Traced("frmMain", "Sub tmrMain_Timer", [&] { DoCycle(); });
}

void frmMain::DoCycle() {
  m_bBusy = true;
  loop_.PumpPending();
  modRavelinLITE::ErrObject err = modRavelinLITE::Trapped([&] {
    std::string service_ini = modIniHandler::ServiceIniPath();
    m_sIniStr = modIniHandler::GetServiceINIString("Files", "INI", "", service_ini, texts::kReadSize);
    m_sLanguage =
        modIniHandler::GetServiceINIString("Files", "Language", "", service_ini, texts::kReadSize);

    std::string jobs = m_oFSO->BuildPath(ProductFolder(), "jobs");
    if (jobs.empty() || jobs.back() != m_oFSO->Separator()) jobs += m_oFSO->Separator();

    if (ReadKey(texts::kOptCutLog, sIniFile) == "0") CheckLogFileSize();
    cQL->NoDiskSizeCheck = ReadKey(texts::kNoDiskSizeCheck, m_sIniStr) == "1";
    bool a = false, b = false, c = false;
    cQL->ProcessJobs(jobs, m_sLanguage, a, b, c);
    if (ReadKey(texts::kOptCutLog, sIniFile) == "1") CheckLogFileSize();
  });
  if (err.Number != 0) {
    modRavelinLITE::Trapped([&] { WriteLog(err.Description, true, true, false); });
  }
  m_bBusy = false;
  if (NTService1 && !m_bStopPending) {
    modRavelinLITE::Trapped([&] { NTService1->ReportStatus("Running; last work cycle " +
                                                           platform::Current().clock->TimeOfDayText()); });
  }
  loop_.PumpPending();
  if (m_bStopPending && !m_bBusy) FinishStop();
}

}  // namespace qs
