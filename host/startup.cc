// Start-up and command line of the service form.
#include <string>
#include <vector>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "config/number_text.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "host/mod_proc_priority.h"
#include "logging/outside_text.h"

namespace qs {
namespace {

using modIniHandler::GetINIString;
using modIniHandler::GetServiceINIString;
using modIniHandler::WriteINIString;
using modIniHandler::WriteServiceINI;

// Surrounding blanks removed, as the command line's fields are read.
std::string Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

std::vector<std::string> SplitAtCommas(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string::npos) return fields;
    start = comma + 1;
  }
}

// A field the command line does not have is "Subscript out of range".
const std::string& Field(const std::vector<std::string>& fields, std::size_t i) {
  if (i >= fields.size()) throw RuntimeError(kErrSubscript);
  return fields[i];
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

void WriteStatus(std::string_view key, const std::string& value) {
  WriteINIString(std::string(texts::kStatusSection), std::string(key), value);
}

void WriteServiceKey(const texts::IniKey& key, const std::string& value) {
  WriteServiceINI(std::string(key.section), std::string(key.key), value);
}

// The fields of an install line that name the service and its folders.
constexpr std::size_t kCheckedInstallFields[] = {2, 3, 4};
constexpr const char* kInstallFieldNames[] = {"instance name", "INI folder", "product folder"};

bool HasControl(std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Why an install line is refused, "" when it is not: an empty instance name
// would register "Quillon Pro Service " and an empty folder would point the
// service INI at the current folder; a control character would reach the
// INI files and the unit file. A line without all of these fields is no
// refusal: it goes to the start-up's trap ("Subscript out of range").
std::string InstallRefusal(const std::vector<std::string>& fields) {
  if (fields.size() < 5) return "";
  for (std::size_t n = 0; n < std::size(kCheckedInstallFields); ++n) {
    const std::size_t i = kCheckedInstallFields[n];
    const std::string what = std::string("the ") + kInstallFieldNames[n];
    if (Trim(fields[i]).empty()) return what + " is empty";
    if (HasControl(fields[i])) {
      return what + " holds a control character: " + logging::Outside(fields[i]);
    }
  }
  return "";
}

void Notice(const std::string& text) { platform::Current().ui->Notice(text); }

}  // namespace

void frmMain::ReadServiceIni() {
  const std::string service_ini = modIniHandler::ServiceIniPath();
  m_sIniStr = GetServiceINIString(texts::kFilesIni, service_ini);
  m_sLanguage = GetServiceINIString(texts::kFilesLanguage, service_ini);
}

void frmMain::PathsFromCommandLine(const std::vector<std::string>& fields, bool write) {
  const char sep = m_oFSO->Separator();
  // Both folder fields first: a line that lacks one ends in the trap before
  // the service INI is half rewritten.
  const std::string ini_folder = Trim(Field(fields, 3)), product = Trim(Field(fields, 4));
  // "<folder>\Quillon Pro\bin\Quillon.ini" names the main INI of the
  // product folder, not of its "bin" folder.
  std::string ini = m_oFSO->BuildPath(ini_folder, "Quillon.ini");
  ReplaceAll(ini, std::string("Quillon Pro") + sep + "bin" + sep, std::string("Quillon Pro") + sep);
  m_sIniStr = ini;
  if (write) WriteServiceKey(texts::kFilesIni, m_sIniStr);
  std::string lang_folder = m_oFSO->BuildPath(product, std::string(1, sep) + "lang" + sep);
  std::string language = GetINIString(texts::kOptLanguage, m_sIniStr);
  m_sLanguage = m_oFSO->BuildPath(lang_folder, language + ".lng");
  if (write) WriteServiceKey(texts::kFilesLanguage, m_sLanguage);
}

void frmMain::Form_Load(const std::string& sCommandLine) {
  modRavelinLITE::ErrObject err = modRavelinLITE::Trapped([&] {
    ReadServiceIni();

    if (components_.NewJobEngine) cQL = components_.NewJobEngine(loop_);
    ConnectEngineEvents();
    m_oFSO = &fso_;

    // The form stays hidden and out of the task list; the timer runs.
    tmrMain->SetEnabled(true);

    if (sCommandLine.empty()) {
      NormalStart();
      return;
    }
    std::vector<std::string> fields = SplitAtCommas(sCommandLine);
    platform::ServiceControl& svc = *NTService1;

    if (Trim(Field(fields, 0)) == "-u") {
      svc.DisplayName += " [" + Trim(Field(fields, 1)) + "]";
      svc.ServiceName = svc.DisplayName;
      if (svc.Uninstall()) {
        WriteStatus(texts::kStateKey, "0");
      } else {
        WriteStatus(texts::kLastMsgKey,
                    svc.DisplayName + " " + texts::Lookup(texts::kNotUninstalled, m_sLanguage));
      }
      m_bEnded = true;
      return;
    }

    const std::string& command = fields[0];
    if (const std::string why = command == "-install" ? InstallRefusal(fields) : "";
        !why.empty()) {
      const std::string name =
          svc.DisplayName + " " + logging::Outside(Trim(fields.size() > 2 ? fields[2] : ""));
      Notice(name + ": install refused: " + why);
      WriteStatus(texts::kStateKey, "0");
      WriteStatus(texts::kLastMsgKey, name + " " + texts::Lookup(texts::kNotInstalled, m_sLanguage));
      m_bEnded = true;
      return;
    }
    if (fields.size() >= 2) {
      if (command == "-install") {
        std::string account, password;
        for (std::size_t i = 1; i < fields.size() && i <= 7; ++i) {
          const std::string& f = fields[i];
          switch (i) {
            case 1:
              if (f == "-auto") svc.StartMode = platform::kStartAuto;
              else if (f == "-manual") svc.StartMode = platform::kStartManual;
              else if (f == "-disabled") svc.StartMode = platform::kStartDisabled;
              break;
            case 2:
              svc.DisplayName += " " + Trim(f);
              svc.ServiceName = svc.DisplayName;
              break;
            case 5:
              account = ".\\" + Trim(f);
              break;
            case 6:
              password = f;
              break;
            case 7:
              if (f == "0") {
                svc.Account = account;
                svc.Password = password;
                svc.Interactive = false;
              } else {
                svc.Interactive = true;
              }
              break;
            default:
              break;
          }
        }
      } else {
        svc.DisplayName += " " + Trim(fields[1]);
        svc.ServiceName = svc.DisplayName;
      }
      PathsFromCommandLine(fields, true);
    }

    PathsFromCommandLine(fields, false);
    const std::string name = svc.DisplayName;

    if (command == "-install") {
      if (svc.Install()) {
        svc.SaveSetting("Parameters", "TimerInterval", "1000");
        WriteStatus(texts::kStateKey, "1");
        WriteStatus(texts::kLastMsgKey, name + " " + texts::Lookup(texts::kInstalled, m_sLanguage));
        // An account counts only with field 7 "0"; without it the service
        // runs as the service manager's own account, which the
        // administrator should not learn from a failed start.
        const std::string user = fields.size() > 5 ? Trim(fields[5]) : "";
        if (!user.empty() && (fields.size() < 8 || fields[7] != "0")) {
          Notice(name + ": installed without the account " + logging::Outside(user) +
                 ": field 7 is not \"0\" (does the password hold a comma?); the service runs as " +
                 svc.DefaultAccount());
        }
      } else {
        WriteStatus(texts::kStateKey, "0");
        WriteStatus(texts::kLastMsgKey, name + " " + texts::Lookup(texts::kNotInstalled, m_sLanguage));
      }
      m_bEnded = true;
    } else if (command == "-uninstall") {
      if (svc.Uninstall()) {
        WriteStatus(texts::kStateKey, "0");
        WriteStatus(texts::kLastMsgKey, name + " " + texts::Lookup(texts::kUninstalled, m_sLanguage));
      } else {
        WriteStatus(texts::kLastMsgKey, name + " " + texts::Lookup(texts::kNotUninstalled, m_sLanguage));
      }
      WriteStatus(texts::kStateKey, "0");
      m_bEnded = true;
    } else if (command == "-debug") {
      svc.Debug = true;
      NormalStart();
    } else {
      WriteStatus(texts::kLastMsgKey, texts::Lookup(texts::kUnknownCommandLine, m_sLanguage));
      m_bEnded = true;
    }
  });
  if (err.Number != 0) {
    // The start-up's own trap: the log, the event log, and the end.
    modRavelinLITE::Trapped([&] {
      WriteLog("Error: " + std::to_string(err.Number) + " " + logging::Outside(err.Description),
               false, true, false);
    });
    modRavelinLITE::Trapped([&] {
      if (NTService1) {
        NTService1->ExitCode = err.Number;
        NTService1->LogEvent(platform::kEventError, platform::kMsgError,
                             "[" + std::to_string(err.Number) + "] " + err.Description);
      }
    });
    m_bEnded = true;
  }
}

void frmMain::NormalStart() {
  platform::ServiceControl& svc = *NTService1;
  m_sLogPrefix = texts::Lookup(texts::kLogPrefix, m_sLanguage);
  svc.ControlsAccepted = platform::kAcceptPauseContinue;
  WriteLog(texts::Lookup(texts::kControlMode, m_sLanguage), false, true, false);
  WriteLog(texts::Lookup(texts::kConnecting, m_sLanguage), false, true, false);

  svc.Connect();
  if (!svc.Connect()) {
    WriteStatus(texts::kStateKey, "0");
    return;
  }
  WriteStatus(texts::kStateKey, "1");

  const std::string product = modIniHandler::ProductFolder();
  const char sep = m_oFSO->Separator();
  values.sIniFile = m_oFSO->BuildPath(product, "Quillon.ini");
  m_sAppPath = GetINIString(texts::kOptAppPath, values.sIniFile);
  values.sLanguage = GetINIString(texts::kOptLanguage, values.sIniFile);
  values.sLangFile =
      m_oFSO->BuildPath(m_sAppPath + sep + "lang", values.sLanguage + ".lng");
  values.sJobsPath = m_oFSO->BuildPath(product, std::string("jobs") + sep);
  values.sLogsPath = m_oFSO->BuildPath(product, std::string("logs") + sep);

  switch (convert::CInt(GetINIString(texts::kOptProcPriority, values.sIniFile))) {
    case 0: modProcPriority::SetPriority(modProcPriority::kIdlePriorityClass); break;
    case 1: modProcPriority::SetPriority(modProcPriority::kNormalPriorityClass); break;
    case 2: modProcPriority::SetPriority(modProcPriority::kHighPriorityClass); break;
    default: break;
  }
  RunRTMonitor();
}

}  // namespace qs
