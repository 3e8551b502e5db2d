#include "host/frm_main.h"

#include <cstdlib>
#include <string>

#include "errortrap/ravelin.h"
#include "logging/outside_text.h"
#include "monitor/mod_monitor.h"

namespace qs {

std::uint32_t MainTimerInterval() {
  constexpr std::uint32_t kDefault = 60000;
  const char* env = std::getenv("QUILLONSRV_TICK_MS");
  if (env == nullptr || *env == '\0') return kDefault;
  char* end = nullptr;
  unsigned long ms = std::strtoul(env, &end, 10);
  if (*end != '\0' || ms == 0 || ms > 0x7fffffffUL || *env == '-') return kDefault;
  return static_cast<std::uint32_t>(ms);
}

frmMain::frmMain(platform::MessageLoop& loop, platform::FileSystem& fso,
                 Components components)
    : loop_(loop), fso_(fso), components_(std::move(components)),
      notices_([this](const std::string& text) {
        WriteLog(logging::Outside(text), false, true, false);
      }) {
  // The service control sits on the form from the start.
  if (components_.NewServiceControl) NTService1 = components_.NewServiceControl(loop_);
  hWnd = platform::Current().windows->FormWindow();
  tmrMain = loop_.CreateTimer([this] { tmrMain_Timer(); });
  tmrMain->SetInterval(MainTimerInterval());
  ConnectEvents();
}

// The watch objects work through the form's loop, so none may outlive the
// form; a stop has released them already, an end without one does it here.
frmMain::~frmMain() {
  values.MonJobs.clear();
  SetMultiEvent(nullptr);
}

void frmMain::ConnectEvents() {
  if (!NTService1) return;
  NTService1->OnStart = [this](bool& success) { NTService1_Start(success); };
  NTService1->OnStop = [this] { NTService1_Stop(); };
  NTService1->OnPause = [this](bool& success) { NTService1_Pause(success); };
  NTService1->OnContinue = [this](bool& success) { NTService1_Continue(success); };
}

void frmMain::ConnectEngineEvents() {
  if (!cQL) return;
  cQL->LogMessage = [this](std::string& sLogMsg, std::int16_t& iMsgID, bool& bView,
                           bool& bFile, bool& bSameView, bool& bIsLast) {
    cQL_LogMessage(sLogMsg, iMsgID, bView, bFile, bSameView, bIsLast);
  };
  cQL->CurrentJob = [this](std::string& sFileName, std::int32_t& lIndex,
                           std::int32_t& lCounter, std::int16_t& iStatus,
                           std::int16_t& IntervalType, std::int16_t& IntervalTimeType,
                           std::string& IntervalTime, std::string& IntervalDate,
                           std::int16_t& IntervalWeekDay, std::int16_t& IntervalMonthDay) {
    cQL_CurrentJob(sFileName, lIndex, lCounter, iStatus, IntervalType, IntervalTimeType,
                   IntervalTime, IntervalDate, IntervalWeekDay, IntervalMonthDay);
  };
}

// The form hides itself whenever it is activated; it has no window to hide
// on a platform without a desktop, so only the trace remains of it there.
void frmMain::Form_Activate() {
  Traced("frmMain", "Sub Form_Activate", [] {});
}

}  // namespace qs
