// frmMain: the service's hidden form. It carries the service control
// `NTService1`, the main timer `tmrMain` and the log writer, owns the engine
// object `cQL` and the file-system object `m_oFSO`, and handles the events
// of all of them on the one thread of the message loop.
//
// The procedures are defined in the folder of their subsystem:
//   host/     start-up, command line, service events, timer and work cycle
//   logging/  log writer, job logs, log size limit and disk guard
//   monitor/  real-time monitor and the engine's events
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "monitor/mod_monitor.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "platform/service_control.h"

namespace qs {

// The values the whole program shares, owned by the form (frmMain::values)
// and reached through it.
struct ProgramValues {
  // Set by the start-up, read by many procedures.
  std::string sIniFile;   // main INI worked out from the program folder
  std::string sLanguage;  // language name
  std::string sLangFile;  // language file path
  std::string sJobsPath;  // jobs folder, ending with a separator
  std::string sLogsPath;  // logs folder, ending with a separator
  // Set by PrepareLog, read by the job log's writer and the size check.
  std::string sJobLogFile;  // current job log (a path); empty for none
  // modMonitor's watch job list: its entries are the object slots;
  // MonJobHandler cuts it to the slots it fills, CancelMonitor removes them
  // all.
  std::vector<modMonitor::MonJobEntry> MonJobs;
  bool bJobsFound = false;    // the last load kept at least one job
  bool bStopMsgDone = false;  // the summary stop line is written
};

// How the form makes its components; tests put their own in.
struct Components {
  std::function<std::unique_ptr<engine::cJobEngine>(platform::MessageLoop&)> NewJobEngine;
  std::function<std::unique_ptr<engine::cJobList>(platform::MessageLoop&)> NewJobList;
  std::function<std::unique_ptr<engine::cMonitorJob>(platform::MessageLoop&)> NewMonitorJob;
  std::function<std::unique_ptr<engine::cMultiEvent>(platform::MessageLoop&)> NewMultiEvent;
  std::function<std::unique_ptr<platform::ServiceControl>(platform::MessageLoop&)>
      NewServiceControl;
};

// The components of this platform and the reference engine, working on
// `fs` with time from `clock` (defined with the program's entry point,
// which links the engine).
Components DefaultComponents(platform::FileSystem& fs, platform::Clock& clock);

class frmMain {
 public:
  // `fso` becomes m_oFSO at the load and stays with the form until the unload.
  frmMain(platform::MessageLoop& loop, platform::FileSystem& fso, Components components);
  ~frmMain();
  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  // --- start-up and command line (host/) ---
  void Form_Load(const std::string& sCommandLine);
  void Form_Activate();
  // True once the program is to end (install, uninstall, an unknown command
  // line, a start-up error, or the form was unloaded).
  bool Ended() const { return m_bEnded; }

  // --- service events and shutdown (host/) ---
  void NTService1_Start(bool& Success);
  void NTService1_Stop();
  void NTService1_Pause(bool& Success);
  void NTService1_Continue(bool& Success);
  void Form_Unload(std::int16_t& Cancel);

  // --- main timer and work cycle (host/) ---
  void tmrMain_Timer();
  void DoCycle();
  // Reads "Files"/"INI" and "Files"/"Language" of the service INI afresh
  // into m_sIniStr and m_sLanguage (start-up, start event, work cycle).
  void ReadServiceIni();

  // --- engine events and the real-time monitor (monitor/) ---
  void cQL_LogMessage(std::string& sLogMsg, std::int16_t& iMsgID, bool& bView, bool& bFile,
                      bool& bSameView, bool& bIsLast);
  void cQL_CurrentJob(std::string& sFileName, std::int32_t& lIndex, std::int32_t& lCounter,
                      std::int16_t& iStatus, std::int16_t& IntervalType,
                      std::int16_t& IntervalTimeType, std::string& IntervalTime,
                      std::string& IntervalDate, std::int16_t& IntervalWeekDay,
                      std::int16_t& IntervalMonthDay);
  void cMultiEvent_Done(std::string objectname, std::int16_t Index);
  void RunRTMonitor();
  void EndRTMonitor();

  // --- log writer, job logs, size limit (logging/) ---
  void WriteLog(std::string sMsg, const bool& bShowInTree, const bool& bWriteToLogFile,
                const bool& bUseLastTreeRow);
  void WriteWLog(std::string sMsg, const bool& bShowInTree, const bool& bWriteToLogFile,
                 const bool& bUseLastTreeRow);
  void WriteLogFile(std::string sLine);
  void WriteWLogFile(std::string sLine);
  std::string GetDateAndTime();
  void PrepareLog(const std::string& sJobName, const std::string& sJobFile);
  bool CheckLogFileSize();

  // --- members used by many procedures ---
  ProgramValues values;
  std::string m_sIniStr;     // main INI path as the service INI states it
  std::string m_sLanguage;   // language file path as the service INI states it
  std::string m_sLogPrefix;  // tag of every log line
  std::string m_sAppPath;    // main INI "Options"/"AppPath"
  platform::FileSystem* m_oFSO = nullptr;
  // m_oFSO for a procedure that uses it: error 91 before the load made it or
  // after the unload released it, as for any unset object.
  platform::FileSystem& Fso() const {
    if (m_oFSO == nullptr) throw RuntimeError(kErrObjectNotSet);
    return *m_oFSO;
  }
  std::unique_ptr<engine::cJobEngine> cQL;
  // Set while the real-time monitor runs with at least one watch job; its
  // Done goes to cMultiEvent_Done (SetMultiEvent).
  std::unique_ptr<engine::cMultiEvent> cMultiEvent;
  bool m_bBusy = false;
  // The disk guard's last notice, for the service manager's status line.
  std::string m_sDiskNotice;
  bool m_bRTMonRunning = false;
  // The form's own hidden window.
  platform::Hwnd hWnd = 0;
  std::unique_ptr<platform::Timer> tmrMain;
  std::unique_ptr<platform::ServiceControl> NTService1;

  platform::MessageLoop& loop() { return loop_; }
  const Components& components() const { return components_; }
  // Stores `multi_event` in cMultiEvent with its Done connected to
  // cMultiEvent_Done; null clears it and releases the object.
  void SetMultiEvent(std::unique_ptr<engine::cMultiEvent> multi_event);

 private:
  void NormalStart();
  void ConnectEvents();
  void ConnectEngineEvents();
  // Both paths from the command line's folder fields 3 and 4.
  void PathsFromCommandLine(const std::vector<std::string>& fields, bool write);
  // What the stop still has to do once the running work cycle has finished.
  void FinishStop();

  platform::MessageLoop& loop_;
  platform::FileSystem& fso_;
  Components components_;
  bool m_bEnded = false;
  // A stop that arrived while a work cycle was running (it can only arrive
  // through the cycle's own message pumping) is finished by that cycle.
  bool m_bStopPending = false;
  // The notices for the administrator (a refused job file, say) go to the
  // default log as well while the form lives.
  platform::NoticeListener notices_;
};

// The main timer's interval: 60000 ms, or QUILLONSRV_TICK_MS when that is a
// positive number.
std::uint32_t MainTimerInterval();

}  // namespace qs
