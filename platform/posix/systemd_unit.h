// The text side of the service's registration with systemd: unit names, the
// unit file, the settings drop-in and the journal fields. No file access
// here; service_control_posix.cc writes what these functions return.
//
// Unit names. The unit of a service is its service name escaped the way
// `systemd-escape` escapes a string, followed by ".service":
//   - "/" becomes "-";
//   - letters, digits, ":", "_" and "." stay as they are, except a "." at the
//     very start;
//   - every other byte, "-" and "\" included, becomes "\x" and two lower-case
//     hex digits (a blank is "\x20", "[" is "\x5b", the UTF-8 "ü" is
//     "\xc3\xbc").
// So "Quillon Pro Service Main" is the unit
// "Quillon\x20Pro\x20Service\x20Main.service" and "Quillon Pro Service [Main]"
// is "Quillon\x20Pro\x20Service\x20\x5bMain\x5d.service". The escaping is
// reversible (`systemd-escape -u`), so two service names never share a unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qs::platform::posix {

// The unit folder of the system; QUILLONSRV_UNIT_DIR replaces it.
inline constexpr std::string_view kSystemUnitDir = "/etc/systemd/system";
// The target a unit with start mode 2 is wanted by.
inline constexpr std::string_view kAutoStartTarget = "multi-user.target";
// The drop-in that keeps the settings saved with the registration.
inline constexpr std::string_view kSettingsDropIn = "settings.conf";

// `name` escaped as `systemd-escape` does (see above).
std::string EscapeUnitName(std::string_view name);

// The unit of a service: EscapeUnitName + ".service"; empty when the service
// name is empty or the unit name would be longer than systemd accepts.
std::string ServiceUnitName(std::string_view service_name);

// The service name of a unit, ServiceUnitName undone ("\xNN" a byte, "-" a
// "/"); empty for a unit that is no ".service".
std::string ServiceNameOfUnit(std::string_view unit);

// The user name in an account of the form ".\" + name (the prefix is
// optional); empty for an empty account.
std::string AccountUserName(std::string_view account);

// The product folder of an executable: its folder less the folder's last
// three characters ("/opt/Quillon Pro/bin/QuillonSrv" gives
// "/opt/Quillon Pro"), without a trailing "/"; empty when that leaves no
// absolute folder below the root.
std::string ProductFolderOf(std::string_view executable);

struct UnitSettings {
  std::string description;      // the display name
  std::string executable;       // absolute path, started without arguments
  std::string user;             // empty: the manager's default account (root)
  std::int32_t start_mode = 3;  // 2 auto, 3 manual, 4 disabled
  std::string product_folder;   // writable despite the hardening; may be empty
  std::string unit_name;        // for the comments
};

// The unit file for `settings`; nullopt when systemd could not take it: a
// start mode other than 2, 3 or 4, an executable that is not absolute or
// whose path holds a quote, a backslash or a control character (systemd
// refuses such executable names), or a user name systemd refuses.
std::optional<std::string> UnitFileText(const UnitSettings& settings);

// The environment variable that holds a saved setting:
// "QUILLONSRV_" + section + "_" + key, upper-cased, every byte other than a
// letter or digit turned into "_" ("Parameters", "TimerInterval" gives
// QUILLONSRV_PARAMETERS_TIMERINTERVAL).
std::string SettingVariable(std::string_view section, std::string_view key);

// The settings drop-in after storing `variable` = `value` in `existing` (the
// drop-in as it is now, empty for none): the variable's line is replaced, or
// added after the others. nullopt for a value with a control character other
// than a tab.
std::optional<std::string> SettingsDropInText(std::string_view existing,
                                              std::string_view variable,
                                              std::string_view value);

// The fields of a journal entry for an event-log entry: MESSAGE, PRIORITY (3
// for errors and audit failures, 4 for warnings, 6 otherwise),
// QUILLON_MESSAGE_ID and SYSLOG_IDENTIFIER.
std::vector<std::string> JournalFields(std::int16_t type, std::int32_t id,
                                       std::string_view text,
                                       std::string_view identifier);

}  // namespace qs::platform::posix
