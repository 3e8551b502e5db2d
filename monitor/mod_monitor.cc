#include "monitor/mod_monitor.h"

#include <string>
#include <utility>
#include <vector>

#include "config/ini_handler.h"
#include "config/number_text.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/outside_text.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::modMonitor {
namespace {

constexpr std::string_view kModule = "modMonitor";

// "MonShowMsg" exactly "0": a start and a stop line per watch job.
bool PerJobLines() {
  return modIniHandler::GetINIString(texts::kMonShowMsg, sIniFile) == "0";
}

std::string PerJobLine(frmMain& form, const texts::LangText& text,
                       const std::string& job_file) {
  return texts::Lookup(text, sLangFile) + ": " +
         logging::Outside(form.Fso().GetBaseName(job_file));
}

// The object of slot `index`, held for the caller; a slot that is gone or
// released is error 91, as calling a member of nothing is.
std::shared_ptr<engine::cMonitorJob> ObjectAt(std::size_t index) {
  if (index >= MonJobs.size()) throw RuntimeError(kErrSubscript);
  std::shared_ptr<engine::cMonitorJob> object = MonJobs[index].JobObject;
  if (!object) throw RuntimeError(kErrObjectNotSet);
  return object;
}

}  // namespace

std::int16_t LoadMonitorJobs(frmMain& form) {
  std::int16_t result = 0;
  Traced(kModule, "Function LoadMonitorJobs", [&] {
    std::vector<engine::JobRecord> records;
    {
      std::unique_ptr<engine::cJobList> list = form.components().NewJobList();
      std::string filter;
      records = list->GetJobs(sJobsPath, filter);
    }
    if (records.empty()) {
      result = -1;
      return;
    }
    MonJobs.clear();
    std::size_t count = 0;
    bool overflow = false;
    for (const engine::JobRecord& rec : records) {
      if (rec.JobType != 2 || rec.ExcludeFlag != 0 || convert::CDbl(rec.CheckValue) != 0) {
        continue;
      }
      if (count == kMaxMonJobs) {
        overflow = true;
        break;
      }
      MonJobEntry& e = MonJobs.emplace_back();
      e.JobFile = form.Fso().BuildPath(sJobsPath, rec.JobName + ".qlj");
      e.ValueA = rec.ValueA;
      e.FlagA = rec.FlagA != 0;
      e.FlagB = rec.FlagB == 1;
      e.ValueB = rec.ValueB;
      e.PathA = rec.PathA;
      e.PathB = rec.PathB;
      switch (rec.PathChoice) {
        case 0: e.SelectedPath = rec.PathA; break;
        case 1: e.SelectedPath = rec.PathB; break;
        case 2: e.SelectedPath = rec.PathC; break;
        default: break;
      }
      bJobsFound = true;
      ++count;
    }
    records.clear();
    result = static_cast<std::int16_t>(static_cast<int>(count) - 1);
    // More watch jobs than indices: the first ones run, and the rest are
    // reported once instead of ending the whole load.
    if (overflow) {
      modRavelinLITE::Err().Number = kErrOverflow;
      modRavelinLITE::Err().Description =
          std::string(DescriptionOf(kErrOverflow)) + ": more than " +
          std::to_string(kMaxMonJobs) + " watch jobs; the first " +
          std::to_string(kMaxMonJobs) + " run";
      modRavelinLITE::Err().Source = std::string(kOwnSource);
      modRavelinLITE::ReportError(kModule, "Function LoadMonitorJobs");
    }
  });
  return result;
}

void MonJobHandler(frmMain& form) {
  Traced(kModule, "Sub MonJobHandler", [&] {
    bJobsFound = false;
    const std::int16_t n = LoadMonitorJobs(form);
    if (n < 0 || !bJobsFound) return;
    MonJobs.resize(static_cast<std::size_t>(n) + 1);
    for (std::size_t i = 0; i < MonJobs.size(); ++i) {
      std::shared_ptr<engine::cMonitorJob> object = form.components().NewMonitorJob(form.loop());
      if (i < MonJobs.size()) MonJobs[i].JobObject = std::move(object);
    }
  });
}

void StartMonitor(frmMain& form) {
  Traced(kModule, "Sub StartMonitor", [&] { StartTheMonitor(form); });
}

void StopMonitor(frmMain& form) {
  Traced(kModule, "Sub StopMonitor", [&] { CancelMonitor(form); });
}

void StartTheMonitor(frmMain& form) {
  Traced(kModule, "Sub StartTheMonitor", [&] {
    bStopMsgDone = false;
    const bool per_job = PerJobLines();
    MonJobHandler(form);
    if (!bJobsFound) return;
    form.SetMultiEvent(form.components().NewMultiEvent(form.loop()));

    // Every object is named before any is registered, and registered before
    // the first is set up. The size is read afresh each time round: a Done
    // nested in a component's call may have changed the list.
    for (std::size_t i = 0; i < MonJobs.size(); ++i) {
      ObjectAt(i)->ObjectName = "Object" + std::to_string(i);
    }
    for (std::size_t i = 0; i < MonJobs.size(); ++i) {
      std::shared_ptr<engine::cMonitorJob> object = ObjectAt(i);
      if (!form.cMultiEvent) throw RuntimeError(kErrObjectNotSet);
      form.cMultiEvent->AddObject(*object);
    }
    for (std::size_t i = 0; i < MonJobs.size(); ++i) {
      std::shared_ptr<engine::cMonitorJob> object = ObjectAt(i);
      // Copies: the entry may go while the object works with them.
      MonJobEntry e = MonJobs[i];
      std::string language = sLanguage, lang_file = sLangFile, ini = sIniFile;
      bool service = true, flag = false;
      const auto index = static_cast<std::int16_t>(i);
      object->SetupJob(e.JobFile, language, e.ValueA, e.FlagA, e.SelectedPath, e.FlagB,
                       e.ValueB, lang_file, ini, e.PathA, e.PathB, service, index);
      object->StartWatch(index, flag);
      if (per_job) form.WriteLog(PerJobLine(form, texts::kMonitorStarted, e.JobFile), true, true, false);
    }
    if (!per_job) form.WriteLog(texts::Lookup(texts::kMonitorStarted, sLangFile), true, true, false);
  });
}

void CancelMonitor(frmMain& form) {
  Traced(kModule, "Sub CancelMonitor", [&] {
    if (bJobsFound) {
      for (std::size_t i = 0; i < MonJobs.size(); ++i) {
        std::shared_ptr<engine::cMonitorJob> object = MonJobs[i].JobObject;
        if (!object) continue;
        object->CancelWatch();  // its Done may release the entry meanwhile
        if (i < MonJobs.size()) MonJobs[i].JobObject.reset();
      }
      MonJobs.clear();
    }
    form.SetMultiEvent(nullptr);
  });
}

void cMultiEventDone(frmMain& form, std::string /*objectname*/, std::int16_t Index) {
  Traced(kModule, "Sub cMultiEventDone", [&] {
    const bool per_job = PerJobLines();
    if (Index < 0 || static_cast<std::size_t>(Index) >= MonJobs.size()) {
      throw RuntimeError(kErrSubscript);
    }
    MonJobEntry& e = MonJobs[static_cast<std::size_t>(Index)];
    if (e.JobObject) {
      // Released without CancelWatch: the watch has ended already. The
      // caller of the object's member, if any, holds its own reference.
      e.JobObject.reset();
      const std::string job_file = e.JobFile;
      if (per_job) form.WriteLog(PerJobLine(form, texts::kMonitorStopped, job_file), true, true, false);
    }
    if (!per_job && !bStopMsgDone) {
      form.WriteLog(texts::Lookup(texts::kMonitorStopped, sLangFile), true, true, false);
    }
    bStopMsgDone = true;
  });
}

void ResetForTest() {
  MonJobs.clear();
  bJobsFound = false;
  bStopMsgDone = false;
}

}  // namespace qs::modMonitor
