// Every language text the service writes, with its German default, and the
// defaults of the INI keys it reads. Callers pass these to the readers.
#pragma once

#include <string>
#include <string_view>

namespace qs::texts {

struct LangText {
  std::string_view section;
  std::string_view key;
  std::string_view german_utf8;  // converted to the ANSI code page on use
};

// "NTService" texts of the language file.
inline constexpr LangText kStarted{"NTService", "t0", "NT Service erfolgreich gestartet: "};
inline constexpr LangText kStopped{"NTService", "t1", "NT Service gestoppt"};
inline constexpr LangText kInstalled{"NTService", "t2", "erfolgreich installiert."};
inline constexpr LangText kNotInstalled{"NTService", "t3", "konnte nicht installiert werden."};
inline constexpr LangText kUninstalled{"NTService", "t4", "erfolgreich deinstalliert."};
inline constexpr LangText kNotUninstalled{"NTService", "t5", "konnte nicht deinstalliert werden."};
inline constexpr LangText kUnknownCommandLine{"NTService", "t6", "Unbekannter Kommandozeilenparameter"};
inline constexpr LangText kControlMode{"NTService", "t8", "NT Service: Steuerungsmodus aktiviert"};
inline constexpr LangText kConnecting{"NTService", "t9", "NT Service: Starte Verbindung"};
inline constexpr LangText kContinued{"NTService", "t10", "NT Service fortgefahren"};
inline constexpr LangText kPaused{"NTService", "t12", "NT Service pausiert"};
inline constexpr LangText kLogPrefix{"NTService", "t13", "NT-Service:"};

// "LogMessages" texts.
inline constexpr LangText kError{"LogMessages", "t10", "Fehler"};
inline constexpr LangText kLogCut{"LogMessages", "t21", "\r\nAchtung - Logdateigr\xC3\xB6sse reduziert auf "};
inline constexpr LangText kDiskFull{"LogMessages", "t22", "Die Festplatte ist fast voll! Die \xC3\x9C" "berwachung wurde gestoppt."};
inline constexpr LangText kFreeSpace{"LogMessages", "t23", "Freier Speicher auf Laufwerk "};
inline constexpr LangText kMonitorStarted{"LogMessages", "t68", "Echtzeitmonitor gestartet"};
inline constexpr LangText kMonitorStopped{"LogMessages", "t69", "Echtzeitmonitor gestoppt"};

// "Monitor" text: the monitor server's window title text.
inline constexpr LangText kMonitorTitle{"Monitor", "t0", ""};

// Every text above, for language files and their tests.
inline constexpr LangText kAll[] = {
    kStarted, kStopped, kInstalled, kNotInstalled, kUninstalled,
    kNotUninstalled, kUnknownCommandLine, kControlMode, kConnecting,
    kContinued, kPaused, kLogPrefix, kError, kLogCut, kDiskFull, kFreeSpace,
    kMonitorStarted, kMonitorStopped, kMonitorTitle};

// The German default in the ANSI code page (converted once per text).
const std::string& German(const LangText& text);

// The text from the language file `sFile` (GetLangString, size 256), the
// German default when the file, section or key is missing.
std::string Lookup(const LangText& text, const std::string& sFile);

// Defaults of the INI keys (section, key, default).
struct IniKey {
  std::string_view section;
  std::string_view key;
  std::string_view def;
};

inline constexpr IniKey kFilesIni{"Files", "INI", ""};
inline constexpr IniKey kFilesLanguage{"Files", "Language", ""};
inline constexpr IniKey kOptLanguage{"Options", "Language", ""};
inline constexpr IniKey kOptAppPath{"Options", "AppPath", ""};
inline constexpr IniKey kOptProcPriority{"Options", "NTProcPriority", "1"};
inline constexpr IniKey kOptCutLog{"Options", "CutLog", "1"};
inline constexpr IniKey kOptWriteLog{"Options", "WriteLog", "0"};
inline constexpr IniKey kOptOverwriteLog{"Options", "OverwriteLog", "0"};
inline constexpr IniKey kOptLogPath{"Options", "LogPath", "0"};
inline constexpr IniKey kOptLogSize{"Options", "LogSize", "100"};
inline constexpr IniKey kNoDiskSizeCheck{"JobWin", "NoDiskSizeCheck", "0"};
inline constexpr IniKey kShowDate{"ErrWin", "ShowDate", "0"};
inline constexpr IniKey kShowTime{"ErrWin", "ShowTime", "0"};
inline constexpr IniKey kRunNTMon{"Monitor", "RunNTMon", "0"};
inline constexpr IniKey kMonShowMsg{"Monitor", "MonShowMsg", "0"};
inline constexpr IniKey kJobFrom{"Job", "From", ""};
inline constexpr IniKey kJobTo{"Job", "To", ""};

// Status keys of the main INI, written only.
inline constexpr std::string_view kStatusSection = "NTService";
inline constexpr std::string_view kStateKey = "State";
inline constexpr std::string_view kLastMsgKey = "LastMsg";

// Every reader call in the program passes this size.
inline constexpr short kReadSize = 256;

}  // namespace qs::texts
