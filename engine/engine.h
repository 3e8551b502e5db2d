// The transfer engine's contract: the components the service uses (the
// engine that runs the scheduled jobs of the jobs folder, the job list, the
// watch jobs of the real-time monitor and the object that reports their
// end) and the factories of the reference engine that implements them. The
// service's monitor and form see the engine through this header alone.
//
// Events are callbacks delivered on the service's thread, also while the
// service is inside a call into a component (ProcessJobs, StartWatch,
// CancelWatch) or inside a pumping wait; each handler runs to its end before
// the interrupted code goes on. Arguments the components pass by reference
// are references here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qs::platform {
class Clock;
class FileSystem;
class MessageLoop;
}

namespace qs::engine {

// One job file of the jobs folder, as the job list reports it. The service
// reads the fields below; what they mean to the engine, and which keys of the
// job file fill them, is the engine's business.
struct JobRecord {
  std::string JobName;           // job file name without folder and extension
  std::string JobFileName;       // the job file's name as listed ("Upper.QLJ")
  std::int16_t JobType = 0;      // 2: a watch job the service runs
  std::int32_t ExcludeFlag = 0;  // 0: not excluded
  std::string CheckValue = "0";  // numeric text; 0 qualifies
  std::string PathA;
  std::string PathB;
  std::string PathC;
  std::int16_t PathChoice = 0;  // 0, 1 or 2: which path is the selected one
  std::int32_t FlagA = 0;
  std::int32_t FlagB = 0;
  std::int16_t ValueA = 0;
  std::int16_t ValueB = 0;
};

// cJobEngine: one instance for the life of the service.
class cJobEngine {
 public:
  virtual ~cJobEngine() = default;

  // Set before every ProcessJobs: true switches the engine's own free-space
  // check off.
  bool NoDiskSizeCheck = false;

  // Runs the scheduled jobs of `sJobsPath`; returns when the pass is over.
  // The engine raises CurrentJob for a job before any LogMessage of it.
  virtual void ProcessJobs(std::string& sJobsPath, std::string& sLangFile,
                           bool& bOptionA, bool& bOptionB, bool& bOptionC) = 0;
  // Ends a running ProcessJobs as soon as it can: the engine lets pending
  // messages run between files and between the chunks of a large file, and
  // a stop or pause handled there calls this. The copy in progress is
  // abandoned (nothing half-copied is left) and ProcessJobs returns. Outside
  // a pass it does nothing.
  virtual void CancelPass() {}

  std::function<void(std::string& sLogMsg, std::int16_t& iMsgID, bool& bView,
                     bool& bFile, bool& bSameView, bool& bIsLast)>
      LogMessage;
  std::function<void(std::string& sFileName, std::int32_t& lIndex,
                     std::int32_t& lCounter, std::int16_t& iStatus,
                     std::int16_t& IntervalType, std::int16_t& IntervalTimeType,
                     std::string& IntervalTime, std::string& IntervalDate,
                     std::int16_t& IntervalWeekDay,
                     std::int16_t& IntervalMonthDay)>
      CurrentJob;
};

// cJobList: short-lived; one record per job file of the folder, empty when
// there is none.
class cJobList {
 public:
  virtual ~cJobList() = default;
  virtual std::vector<JobRecord> GetJobs(std::string& sJobsPath,
                                         std::string& sFilter) = 0;
};

// cMonitorJob: one object per watch job. After StartWatch it watches on its
// own; it reports its end through the cMultiEvent it was registered with.
// Whoever calls a member keeps the object alive for the call: a Done raised
// inside CancelWatch may make the service release its own reference.
class cMonitorJob {
 public:
  virtual ~cMonitorJob() = default;
  std::string ObjectName;
  // Set by cMultiEvent::AddObject: how the watch reports that it has ended,
  // with its ObjectName and the index of SetupJob. Empty until registered.
  std::function<void(std::string objectname, std::int16_t Index)> Finished;
  virtual void SetupJob(std::string& sJobFile, std::string& sLanguage,
                        std::int32_t& ValueA, bool& FlagA,
                        std::string& SelectedPath, bool& FlagB,
                        std::int16_t& ValueB, std::string& sLangFile,
                        std::string& sIniFile, std::string& PathA,
                        std::string& PathB, bool& bService,
                        std::int16_t iIndex) = 0;
  virtual std::int32_t StartWatch(std::int16_t iIndex, bool& bFlag) = 0;
  virtual void CancelWatch() = 0;
};

// cMultiEvent: registers watch objects and reports when one has finished.
// A Done of an object whose cMultiEvent has been released goes nowhere.
class cMultiEvent {
 public:
  virtual ~cMultiEvent() = default;
  virtual void AddObject(cMonitorJob& oJob) = 0;
  std::function<void(std::string objectname, std::int16_t Index)> Done;
};

// The reference engine's factories. The components work on the file system
// `fs`, take the time from `clock` (one clock for all the watch jobs of a
// loop) and deliver their events through `loop` (file watches, timers,
// deferred events); all of them must outlive the components. The job list
// and the watch jobs started in one turn of `loop` share one reading of the
// jobs folder.
std::unique_ptr<cJobEngine> CreateJobEngine(platform::MessageLoop& loop,
                                            platform::FileSystem& fs,
                                            platform::Clock& clock);
std::unique_ptr<cJobList> CreateJobList(platform::MessageLoop& loop,
                                        platform::FileSystem& fs);
std::unique_ptr<cMonitorJob> CreateMonitorJob(platform::MessageLoop& loop,
                                              platform::FileSystem& fs,
                                              platform::Clock& clock);
std::unique_ptr<cMultiEvent> CreateMultiEvent(platform::MessageLoop& loop);

}  // namespace qs::engine
