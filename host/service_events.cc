// The service manager's events: start, stop, pause, continue, and unload.
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/outside_text.h"

namespace qs {
namespace {

// The four event handlers share one trap: the error goes to the event log,
// nothing to the service log, and the handler is left.
template <class Body>
void EventTrap(platform::ServiceControl* svc, Body&& body) {
  modRavelinLITE::ErrObject err = modRavelinLITE::Trapped(body);
  if (err.Number == 0 || svc == nullptr) return;
  modRavelinLITE::Trapped([&] {
    svc->LogEvent(platform::kEventError, platform::kMsgError,
                  "[" + std::to_string(err.Number) + "] " + err.Description);
  });
}

}  // namespace

void frmMain::NTService1_Start(bool& Success) {
  EventTrap(NTService1.get(), [&] {
    ReadServiceIni();
    // The default carries the success flag as received; a text from the
    // language file is used as it stands.
    const texts::LangText& t = texts::kStarted;
    std::string def = texts::German(t) + (Success ? "True" : "False");
    WriteLog(modIniHandler::GetLangString(std::string(t.section), std::string(t.key), def,
                                          m_sLanguage, texts::kReadSize),
             false, true, false);
    Success = true;
    tmrMain->SetEnabled(true);
    RunRTMonitor();
  });
}

// A stop can arrive while a work cycle runs only through that cycle's own
// message pumping (one thread), so waiting here for m_bBusy would wait on
// the very cycle this handler is nested in. Instead the stop is noted, the
// engine is told to end its pass at once, and the cycle, once it has
// cleared m_bBusy, finishes the stop (FinishStop). A stop that arrives
// between cycles finishes at once.
void frmMain::NTService1_Stop() {
  EventTrap(NTService1.get(), [&] {
    WriteLog(texts::Lookup(texts::kStopped, m_sLanguage), false, true, false);
    tmrMain->SetEnabled(false);
    if (m_bBusy) {
      m_bStopPending = true;
      if (cQL) cQL->CancelPass();
      return;
    }
    FinishStop();
  });
}

void frmMain::FinishStop() {
  m_bStopPending = false;
  EventTrap(NTService1.get(), [&] {
    EndRTMonitor();
    std::int16_t cancel = 0;
    Form_Unload(cancel);
  });
}

// A pause in the middle of a work cycle ends the engine's pass too.
void frmMain::NTService1_Pause(bool& Success) {
  EventTrap(NTService1.get(), [&] {
    tmrMain->SetEnabled(false);
    if (m_bBusy && cQL) cQL->CancelPass();
    std::string text = texts::Lookup(texts::kPaused, m_sLanguage);
    WriteLog(text, false, true, false);
    NTService1->LogEvent(platform::kEventError, platform::kMsgError, text);
    Success = true;
    EndRTMonitor();
  });
}

void frmMain::NTService1_Continue(bool& Success) {
  EventTrap(NTService1.get(), [&] {
    tmrMain->SetEnabled(true);
    std::string text = texts::Lookup(texts::kContinued, m_sLanguage);
    WriteLog(logging::Outside(NTService1->DisplayName) + " " + text, false, true, false);
    Success = true;
    NTService1->LogEvent(platform::kEventInformation, platform::kMsgInformation, text);
    RunRTMonitor();
  });
}

// With the form unloaded the program ends: the loop is told to quit.
void frmMain::Form_Unload(std::int16_t& /*Cancel*/) {
  Traced("frmMain", "Sub Form_Unload", [&] {
    cQL.reset();
    m_oFSO = nullptr;
  });
  tmrMain->SetEnabled(false);
  m_bEnded = true;
  loop_.Quit();
}

}  // namespace qs
