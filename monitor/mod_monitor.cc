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
bool PerJobLines(frmMain& form) {
  return modIniHandler::GetINIString(texts::kMonShowMsg, form.values.sIniFile) ==
         "0";
}

std::string PerJobLine(frmMain& form, const texts::LangText& text,
                       const std::string& job_file) {
  return texts::Lookup(text, form.values.sLangFile) + ": " +
         logging::Outside(form.Fso().GetBaseName(job_file));
}

// The object of slot `index`, held for the caller; a slot that is gone or
// released is error 91, as calling a member of nothing is.
std::shared_ptr<engine::cMonitorJob> ObjectAt(frmMain& form, std::size_t index) {
  std::vector<MonJobEntry>& jobs = form.values.MonJobs;
  if (index >= jobs.size()) throw RuntimeError(kErrSubscript);
  std::shared_ptr<engine::cMonitorJob> object = jobs[index].JobObject;
  if (!object) throw RuntimeError(kErrObjectNotSet);
  return object;
}

}  // namespace

std::int16_t LoadMonitorJobs(frmMain& form) {
  std::int16_t result = 0;
  Traced(kModule, "Function LoadMonitorJobs", [&] {
    ProgramValues& v = form.values;
    std::vector<engine::JobRecord> records;
    {
      std::unique_ptr<engine::cJobList> list = form.components().NewJobList(form.loop());
      std::string filter;
      records = list->GetJobs(v.sJobsPath, filter);
    }
    if (records.empty()) {
      result = -1;
      return;
    }
    v.MonJobs.clear();
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
      MonJobEntry& e = v.MonJobs.emplace_back();
      // The job file is JobName + ".qlj" in the jobs folder. Where letter
      // case tells names apart, that is another file than the job list's
      // "Upper.QLJ", and the name the job list found is taken instead.
      platform::FileSystem& fs = form.Fso();
      e.JobFile = fs.BuildPath(v.sJobsPath, fs.CaseSensitiveNames() && !rec.JobFileName.empty()
                                              ? rec.JobFileName
                                              : rec.JobName + ".qlj");
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
      v.bJobsFound = true;
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
    ProgramValues& v = form.values;
    v.bJobsFound = false;
    const std::int16_t n = LoadMonitorJobs(form);
    if (n < 0 || !v.bJobsFound) return;
    v.MonJobs.resize(static_cast<std::size_t>(n) + 1);
    for (std::size_t i = 0; i < v.MonJobs.size(); ++i) {
      std::shared_ptr<engine::cMonitorJob> object = form.components().NewMonitorJob(form.loop());
      if (i < v.MonJobs.size()) v.MonJobs[i].JobObject = std::move(object);
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
    ProgramValues& v = form.values;
    v.bStopMsgDone = false;
    const bool per_job = PerJobLines(form);
    MonJobHandler(form);
    if (!v.bJobsFound) return;
    form.SetMultiEvent(form.components().NewMultiEvent(form.loop()));

    // Every object is named before any is registered, and registered before
    // the first is set up. The size is read afresh each time round: a Done
    // nested in a component's call may have changed the list.
    for (std::size_t i = 0; i < v.MonJobs.size(); ++i) {
      ObjectAt(form, i)->ObjectName = "Object" + std::to_string(i);
    }
    for (std::size_t i = 0; i < v.MonJobs.size(); ++i) {
      std::shared_ptr<engine::cMonitorJob> object = ObjectAt(form, i);
      if (!form.cMultiEvent) throw RuntimeError(kErrObjectNotSet);
      form.cMultiEvent->AddObject(*object);
    }
    for (std::size_t i = 0; i < v.MonJobs.size(); ++i) {
      std::shared_ptr<engine::cMonitorJob> object = ObjectAt(form, i);
      // Copies: the entry may go while the object works with them.
      MonJobEntry e = v.MonJobs[i];
      std::string language = v.sLanguage, lang_file = v.sLangFile,
                  ini = v.sIniFile;
      bool service = true, flag = false;
      const auto index = static_cast<std::int16_t>(i);
      object->SetupJob(e.JobFile, language, e.ValueA, e.FlagA, e.SelectedPath, e.FlagB,
                       e.ValueB, lang_file, ini, e.PathA, e.PathB, service, index);
      object->StartWatch(index, flag);
      if (per_job) {
        form.WriteLog(PerJobLine(form, texts::kMonitorStarted, e.JobFile), true, true, false);
      }
    }
    if (!per_job) {
      form.WriteLog(texts::Lookup(texts::kMonitorStarted, v.sLangFile), true, true, false);
    }
  });
}

void CancelMonitor(frmMain& form) {
  Traced(kModule, "Sub CancelMonitor", [&] {
    ProgramValues& v = form.values;
    if (v.bJobsFound) {
      for (std::size_t i = 0; i < v.MonJobs.size(); ++i) {
        std::shared_ptr<engine::cMonitorJob> object = v.MonJobs[i].JobObject;
        if (!object) continue;
        object->CancelWatch();  // its Done may release the entry meanwhile
        if (i < v.MonJobs.size()) v.MonJobs[i].JobObject.reset();
      }
      v.MonJobs.clear();
    }
    form.SetMultiEvent(nullptr);
  });
}

void cMultiEventDone(frmMain& form, std::string /*objectname*/, std::int16_t Index) {
  Traced(kModule, "Sub cMultiEventDone", [&] {
    ProgramValues& v = form.values;
    const bool per_job = PerJobLines(form);
    if (Index < 0 || static_cast<std::size_t>(Index) >= v.MonJobs.size()) {
      throw RuntimeError(kErrSubscript);
    }
    MonJobEntry& e = v.MonJobs[static_cast<std::size_t>(Index)];
    if (e.JobObject) {
      // Released without CancelWatch: the watch has ended already. The
      // caller of the object's member, if any, holds its own reference.
      e.JobObject.reset();
      const std::string job_file = e.JobFile;
      if (per_job) {
        form.WriteLog(PerJobLine(form, texts::kMonitorStopped, job_file), true, true, false);
      }
    }
    if (!per_job && !v.bStopMsgDone) {
      form.WriteLog(texts::Lookup(texts::kMonitorStopped, v.sLangFile), true, true, false);
    }
    v.bStopMsgDone = true;
  });
}

}  // namespace qs::modMonitor
