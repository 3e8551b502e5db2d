// modMonitor: the real-time monitor's watch job list and its control.
//
// The list is built afresh at every start from the engine's job list: the
// watch jobs (JobType 2) that are not excluded and not held. Entry i's
// watch object gets the index i and reports it back in Done; entries keep
// their object until its Done or the monitor's cancel releases it.
//
// A Done can arrive nested inside StartWatch, CancelWatch, ProcessJobs or a
// pumping wait. No procedure here keeps a reference into MonJobs across a
// call into a component, and each holds its own reference to the object it
// calls, so a Done that releases an entry meanwhile leaves nothing dangling.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace qs {
class frmMain;
}

namespace qs::modMonitor {

struct MonJobEntry {
  std::string JobFile;  // full path of the job file
  std::int32_t ValueA = 0;
  bool FlagA = false;
  std::string SelectedPath;
  bool FlagB = false;
  std::int16_t ValueB = 0;
  std::string PathA;
  std::string PathB;
  std::shared_ptr<engine::cMonitorJob> JobObject;  // null once released
};

// The index that travels to the watch objects and back is 16 bits wide.
inline constexpr std::size_t kMaxMonJobs = 32767;

// The procedures work on the service's form: its program-wide values (the
// watch job list MonJobs and its flags among them), its components and its
// cMultiEvent.
std::int16_t LoadMonitorJobs(frmMain& form);
void MonJobHandler(frmMain& form);
void StartMonitor(frmMain& form);
void StopMonitor(frmMain& form);
void StartTheMonitor(frmMain& form);
void CancelMonitor(frmMain& form);
void cMultiEventDone(frmMain& form, std::string objectname, std::int16_t Index);

}  // namespace qs::modMonitor
