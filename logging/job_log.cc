// PrepareLog: where the messages of the job the engine has just taken up
// go. "WriteLog" chooses no job log ("0"), the default log ("1") or one log
// per job ("2"); for the last, "OverwriteLog" chooses a fixed name started
// afresh for every run ("1") or a time-stamped name, and "LogPath" the
// folder: the logs folder ("0"), the job's "From" ("1") or "To" ("2") folder.
//
// The file itself is made by the first line written to it (WriteWLogFile).
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/log_common.h"
#include "platform/platform.h"

namespace qs {
namespace {

using logging::kModule;
using modIniHandler::GetINIString;

// The regional date and time made fit for a file name: "/", "." and ","
// of the date and ":" and ";" of the time become "-"; a blank or an AM/PM
// marker stays.
std::string Replaced(std::string text, std::string_view chars) {
  for (char& c : text) {
    if (chars.find(c) != std::string_view::npos) c = '-';
  }
  return text;
}

}  // namespace

void frmMain::PrepareLog(const std::string& sJobName,
                         const std::string& sJobFile) {
  Traced(kModule, "Sub PrepareLog", [&] {
    platform::FileSystem& fs = Fso();
    const std::string write_log =
        GetINIString(texts::kOptWriteLog, values.sIniFile);
    if (write_log == "0") {
      values.sJobLogFile.clear();
      return;
    }
    if (write_log == "1") {
      values.sJobLogFile = fs.PathFromText(fs.BuildPath(values.sLogsPath, "DefaultLog.txt"));
      return;
    }
    // Any other value keeps the previous job's log in use.
    if (write_log != "2") return;

    const bool overwrite =
        GetINIString(texts::kOptOverwriteLog, values.sIniFile) == "1";
    std::string name;
    if (overwrite) {
      name = sJobName + "_Log.txt";
    } else {
      // Two readings of the clock, date first: a job taken up at midnight
      // may get the date of one day and the time of the next.
      platform::Clock& clock = *platform::Current().clock;
      const std::string date = Replaced(clock.ShortDateText(), "/.,");
      const std::string time = Replaced(clock.TimeOfDayText(), ":;");
      name = sJobName + "_Log-" + date + "_" + time + ".txt";
    }

    const std::string log_path =
        GetINIString(texts::kOptLogPath, values.sIniFile);
    std::string folder;
    if (log_path == "0") {
      folder = values.sLogsPath;
    } else if (log_path == "1" || log_path == "2") {
      const std::string job_file = fs.BuildPath(values.sJobsPath, sJobFile);
      folder = modIniHandler::GetJobString(
          log_path == "1" ? texts::kJobFrom : texts::kJobTo, job_file);
    } else {
      return;
    }

    // An empty folder (a job file without "From" or "To") leaves the bare
    // name, which the writers resolve against the current folder.
    const std::string path = fs.PathFromText(fs.BuildPath(folder, name));
    if (overwrite && fs.FileExists(path)) fs.DeleteFile(path, true);
    // Last, so that an error above keeps the previous log in use.
    values.sJobLogFile = path;
  });
}

}  // namespace qs
