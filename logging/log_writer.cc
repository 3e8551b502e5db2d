// The log writer of the form: WriteLog (service messages, default log) and
// WriteWLog (engine messages, current job log), the two file writers behind
// them, and the date/time head of every line.
//
// A line is in its file when the writer returns: the settings are looked up
// for every line, as one batch (the profile reader checks the INI for
// changes once per line, so an edited INI counts from the next line on), the
// file is opened, the line appended and the file closed. Nothing is
// buffered, nothing held open.
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/log_common.h"
#include "logging/outside_text.h"
#include "platform/platform.h"

namespace qs {
namespace {

using logging::kModule;
using modIniHandler::GetINIString;

}  // namespace

std::string frmMain::GetDateAndTime() {
  std::string result;
  Traced(kModule, "Function GetDateAndTime", [&] {
    std::string head;
    std::string separator;
    const bool show_date = GetINIString(texts::kShowDate, m_sIniStr) == "1";
    const bool show_time = GetINIString(texts::kShowTime, m_sIniStr) == "1";
    if (show_date || show_time) separator = "- ";
    platform::Clock& clock = *platform::Current().clock;
    if (show_date) head = clock.ShortDateText() + " ";
    if (show_time) head += clock.TimeOfDayText() + " ";
    result = head + separator;
  });
  return result;
}

// bShowInTree and bUseLastTreeRow belong to the product's windowed
// programs; the service has no display and ignores them.
void frmMain::WriteLog(std::string sMsg, const bool& /*bShowInTree*/,
                       const bool& bWriteToLogFile,
                       const bool& /*bUseLastTreeRow*/) {
  Traced(kModule, "Sub WriteLog", [&] {
    platform::ProfileBatch settings_of_one_line;
    std::string sLine = GetDateAndTime() + m_sLogPrefix + " " + sMsg;
    if (bWriteToLogFile) WriteLogFile(std::move(sLine));
  });
}

void frmMain::WriteWLog(std::string sMsg, const bool& /*bShowInTree*/,
                        const bool& bWriteToLogFile,
                        const bool& /*bUseLastTreeRow*/) {
  Traced(kModule, "Sub WriteWLog", [&] {
    // Before the engine has reported a job there is no job log, and engine
    // messages are not redirected anywhere else.
    if (values.sJobLogFile.empty()) return;
    platform::ProfileBatch settings_of_one_line;
    // The engine's message names files: one message, one line.
    std::string sLine = GetDateAndTime() + m_sLogPrefix + " " + logging::Outside(sMsg);
    if (bWriteToLogFile) WriteWLogFile(std::move(sLine));
  });
}

void frmMain::WriteLogFile(std::string sLine) {
  Traced(kModule, "Sub WriteLogFile", [&] {
    // Only exactly "1" writes the default log; "2" means per-job logs only.
    if (GetINIString(texts::kOptWriteLog, m_sIniStr) != "1" || sLine.empty()) {
      return;
    }
    platform::FileSystem& fs = Fso();
    // The product folder keeps its trailing separator; the service never
    // creates the logs folder.
    const std::string path = fs.PathFromText(
        fs.BuildPath(modIniHandler::ProductFolder(),
                     std::string("logs") + fs.Separator() + "DefaultLog.txt"));
    // A missing log is made anew by its next line.
    fs.AppendOrCreateText(path, sLine + "\r\n");
  });
}

void frmMain::WriteWLogFile(std::string sLine) {
  Traced(kModule, "Sub WriteWLogFile", [&] {
    if (sLine.empty()) return;
    Fso().AppendOrCreateText(values.sJobLogFile, sLine + "\r\n");
  });
}

}  // namespace qs
