#include "platform/posix/systemd_unit.h"

#include <cctype>
#include <cstddef>

namespace qs::platform::posix {
namespace {

// How long systemd waits for the stop before it kills the service.
constexpr int kStopTimeoutSeconds = 15;
// systemd refuses unit names of 256 bytes and more.
constexpr std::size_t kUnitNameMax = 255;
constexpr std::string_view kServiceSuffix = ".service";

constexpr char kHex[] = "0123456789abcdef";

void AppendHexEscape(std::string& out, unsigned char c) {
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool IsContinuation(std::string_view s, std::size_t i, unsigned char lo = 0x80,
                    unsigned char hi = 0xBF) {
  if (i >= s.size()) return false;
  auto c = static_cast<unsigned char>(s[i]);
  return c >= lo && c <= hi;
}

// The length of the well-formed UTF-8 sequence at s[i] of two to four
// bytes; 0 when there is none (a lone byte of 0x80 and above).
std::size_t Utf8SequenceAt(std::string_view s, std::size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  if (c >= 0xC2 && c <= 0xDF) return IsContinuation(s, i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    return IsContinuation(s, i + 1, lo, hi) && IsContinuation(s, i + 2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    return IsContinuation(s, i + 1, lo, hi) && IsContinuation(s, i + 2) &&
                   IsContinuation(s, i + 3)
               ? 4
               : 0;
  }
  return 0;
}

bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = Utf8SequenceAt(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// A free-text value (Description=): systemd wants UTF-8 and expands "%"
// specifiers, and a line that ends in a backslash would continue on the
// next line. Bytes that are not UTF-8 are taken as Latin-1 (the code page of
// the Western European locales), control characters become blanks, and
// trailing backslashes are dropped.
std::string PlainValue(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = Utf8SequenceAt(text, i);
      if (n > 0) {
        out.append(text.substr(i, n));
        i += n;
      } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
        ++i;
      }
      continue;
    }
    if (IsControl(c)) {
      out += ' ';
    } else if (c == '%') {
      out += "%%";
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  while (!out.empty() && (out.back() == '\\' || out.back() == ' ')) {
    out.pop_back();
  }
  return out;
}

// A word of a line that systemd splits and C-unescapes (ExecStart=,
// ReadWritePaths=, Environment=): "\" and quotes escaped, "%" doubled,
// control characters and bytes that are not UTF-8 as "\xNN". Quoted when
// it holds a blank or when `always_quote`.
std::string Word(std::string_view text, bool always_quote) {
  std::string body;
  bool blank = false;
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = Utf8SequenceAt(text, i);
      if (n > 0) {
        body.append(text.substr(i, n));
        i += n;
      } else {
        AppendHexEscape(body, c);
        ++i;
      }
      continue;
    }
    switch (c) {
      case '\\':
        body += "\\\\";
        break;
      case '"':
        body += "\\\"";
        break;
      case '\'':
        body += "\\'";
        break;
      case '%':
        body += "%%";
        break;
      default:
        if (IsControl(c)) {
          AppendHexEscape(body, c);
        } else {
          blank = blank || c == ' ';
          body += static_cast<char>(c);
        }
    }
    ++i;
  }
  if (!blank && !always_quote) return body;
  return "\"" + body + "\"";
}

// systemd's executable names: absolute, without quotes, backslashes or
// control characters (checked after unescaping, so escaping cannot help).
bool IsUsableExecutable(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\'' || c == '\\' || IsControl(c)) return false;
  }
  return true;
}

// User names systemd takes for User= and that can name an account here:
// UTF-8, no blanks, control characters, ":", "/" or "\", not "." or "..",
// not starting with "-", at most 256 bytes.
bool IsUsableUserName(std::string_view name) {
  if (name.empty() || name.size() > 256 || name == "." || name == "..") {
    return false;
  }
  if (name.front() == '-' || !IsUtf8(name)) return false;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) || c == ' ' || c == ':' || c == '/' || c == '\\') {
      return false;
    }
  }
  return true;
}

// True when `path` is `folder` or lies below it.
bool UnderFolder(std::string_view path, std::string_view folder) {
  return path.substr(0, folder.size()) == folder &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// For the comments: a unit name as a shell word.
std::string ShellWord(std::string_view name) {
  return "'" + std::string(name) + "'";
}

// The sandbox: what a file-transfer service that reads and writes folders
// anywhere (home folders included) can do without. The README has the
// table of what is on and why the rest stays open.
std::string Hardening(const UnitSettings& s) {
  std::string t =
      "# Hardening. The jobs copy from and to folders anywhere, home folders\n"
      "# included, so only the operating system's folders are read-only and\n"
      "# the product folder stays writable for its logs and INI files.\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=full\n"
      "PrivateDevices=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "PrivateMounts=yes\n"
      "ProtectProc=invisible\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictNamespaces=yes\n"
      "RestrictSUIDSGID=yes\n"
      "# Unix sockets only: the service manager, the journal and the trace\n"
      "# viewer. No network at all.\n"
      "RestrictAddressFamilies=AF_UNIX\n"
      "IPAddressDeny=any\n"
      "SystemCallArchitectures=native\n"
      "SystemCallFilter=@system-service\n"
      "SystemCallFilter=~@mount @swap @reboot @raw-io @module @obsolete @cpu-emulation @debug\n"
      "SystemCallErrorNumber=EPERM\n"
      "# New files and folders readable by the product's users (copies keep\n"
      "# their source's mode).\n"
      "UMask=0022\n";
  if (s.user.empty()) {
    t += "# Root reads and writes the job folders of every user, keeps the\n"
         "# owner of the INI files it rewrites and may raise its priority.\n"
         "CapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH CAP_FOWNER "
         "CAP_CHOWN CAP_SYS_NICE\n";
  } else {
    // No PrivateUsers: it would show root's job files as nobody's, and
    // the service trusts no job file of another user.
    t += "CapabilityBoundingSet=\n"
         "RemoveIPC=yes\n";
  }
  // A product folder below /tmp (a trial set-up) would vanish behind a
  // private /tmp.
  if (!UnderFolder(s.product_folder, "/tmp") && !UnderFolder(s.product_folder, "/var/tmp")) {
    t += "# /tmp and /var/tmp are the service's own: jobs cannot exchange\n"
         "# files with other programs there.\n"
         "PrivateTmp=yes\n";
  }
  if (!s.product_folder.empty()) {
    // "-": a product folder that is missing does not stop the start.
    t += "ReadWritePaths=" + Word("-" + s.product_folder, true) + "\n";
  }
  return t;
}

}  // namespace

std::string EscapeUnitName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    if (c == '/') {
      out += '-';
    } else if (IsAsciiAlnum(c) || c == ':' || c == '_' || (c == '.' && i > 0)) {
      out += static_cast<char>(c);
    } else {
      AppendHexEscape(out, c);
    }
  }
  return out;
}

std::string ServiceUnitName(std::string_view service_name) {
  if (service_name.empty()) return {};
  std::string unit = EscapeUnitName(service_name);
  unit += kServiceSuffix;
  if (unit.size() > kUnitNameMax) return {};
  return unit;
}

std::string ServiceNameOfUnit(std::string_view unit) {
  if (!unit.ends_with(kServiceSuffix)) return {};
  unit.remove_suffix(kServiceSuffix.size());
  std::string out;
  for (std::size_t i = 0; i < unit.size(); ++i) {
    if (unit[i] == '-') {
      out += '/';
    } else if (unit.substr(i, 2) == "\\x" && i + 4 <= unit.size() &&
               std::isxdigit(static_cast<unsigned char>(unit[i + 2])) &&
               std::isxdigit(static_cast<unsigned char>(unit[i + 3]))) {
      out += static_cast<char>(std::stoi(std::string(unit.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else {
      out += unit[i];
    }
  }
  return out;
}

std::string AccountUserName(std::string_view account) {
  if (account.substr(0, 2) == ".\\") account.remove_prefix(2);
  return std::string(account);
}

std::string ProductFolderOf(std::string_view executable) {
  std::size_t slash = executable.rfind('/');
  if (slash == std::string_view::npos) return {};
  std::string_view folder = executable.substr(0, slash);
  if (folder.size() < 3) return {};
  folder.remove_suffix(3);
  while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
  if (folder.empty() || folder.front() != '/') return {};
  return std::string(folder);
}

std::optional<std::string> UnitFileText(const UnitSettings& s) {
  if (s.start_mode < 2 || s.start_mode > 4) return std::nullopt;
  if (!IsUsableExecutable(s.executable)) return std::nullopt;
  if (!s.user.empty() && !IsUsableUserName(s.user)) return std::nullopt;

  const std::string unit = ShellWord(s.unit_name);
  std::string t =
      "# Registered by QuillonSrv -install; QuillonSrv -uninstall removes it.\n"
      "#\n"
      "# The service manager's requests reach the service as signals:\n";
  t += "#   stop      SIGTERM (systemctl stop " + unit + ") or SIGINT\n";
  t += "#   pause     SIGTSTP (systemctl kill --signal=SIGTSTP " + unit + ")\n";
  t += "#   continue  SIGCONT (systemctl kill --signal=SIGCONT " + unit + ")\n";
  t +=
      "# Pause switches the work cycle and the watch jobs off, continue\n"
      "# switches them on again. The SIGCONT that systemd sends after the\n"
      "# SIGTERM of a stop is ignored. The service reports READY=1 once it is\n"
      "# connected, and its state (Running, Paused) as its status line\n"
      "# (systemctl status).\n"
      "\n[Unit]\n";
  const std::string description = PlainValue(s.description);
  if (!description.empty()) t += "Description=" + description + "\n";
  t += "After=local-fs.target remote-fs.target network.target\n";
  if (s.start_mode == 4) {
    t += "# Start mode \"disabled\": systemctl start refuses the unit, and\n"
         "# nothing pulls it in. Uninstall it and install it with -manual or\n"
         "# -auto to allow starts.\n"
         "RefuseManualStart=yes\n";
  }
  t += "\n[Service]\nType=notify\n";
  t += "ExecStart=" + Word(s.executable, false) + "\n";
  if (!s.user.empty()) t += "User=" + PlainValue(s.user) + "\n";
  // Stop: the service ends within a second, even in the middle of a pass
  // or a copy; the rest is for its last log lines on a slow disk.
  t += "TimeoutStopSec=" + std::to_string(kStopTimeoutSeconds) + "s\n";
  t += Hardening(s);
  if (s.start_mode != 4) {
    t += "\n[Install]\n";
    if (s.start_mode == 3) {
      t += "# Start mode \"manual\": not enabled; systemctl enable " + unit +
           "\n# starts it with the system.\n";
    }
    t += "WantedBy=" + std::string(kAutoStartTarget) + "\n";
  }
  return t;
}

std::string SettingVariable(std::string_view section, std::string_view key) {
  std::string v = "QUILLONSRV_";
  auto add = [&v](std::string_view part) {
    for (char ch : part) {
      auto c = static_cast<unsigned char>(ch);
      if (c >= 'a' && c <= 'z') {
        v += static_cast<char>(c - 'a' + 'A');
      } else if (IsAsciiAlnum(c)) {
        v += static_cast<char>(c);
      } else {
        v += '_';
      }
    }
  };
  add(section);
  v += '_';
  add(key);
  return v;
}

std::optional<std::string> SettingsDropInText(std::string_view existing,
                                              std::string_view variable,
                                              std::string_view value) {
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) && c != '\t') return std::nullopt;
  }
  const std::string line =
      "Environment=" +
      Word(std::string(variable) + "=" + std::string(value), true);
  const std::string prefix = "Environment=\"" + std::string(variable) + "=";

  // Keep the assignments of the other settings in their order.
  std::vector<std::string> assignments;
  bool replaced = false;
  while (!existing.empty()) {
    std::size_t nl = existing.find('\n');
    std::string_view l = existing.substr(0, nl);
    existing.remove_prefix(nl == std::string_view::npos ? existing.size()
                                                        : nl + 1);
    if (l.substr(0, 12) != "Environment=") continue;
    if (l.substr(0, prefix.size()) == prefix) {
      if (!replaced) assignments.push_back(line);
      replaced = true;
    } else {
      assignments.emplace_back(l);
    }
  }
  if (!replaced) assignments.push_back(line);

  std::string t =
      "# Settings saved with the service's registration. The service does\n"
      "# not read them back; they are here for the product's tools and for\n"
      "# the administrator (systemctl show -p Environment).\n"
      "[Service]\n";
  for (const std::string& a : assignments) t += a + "\n";
  return t;
}

std::vector<std::string> JournalFields(std::int16_t type, std::int32_t id,
                                       std::string_view text,
                                       std::string_view identifier) {
  int priority = 6;
  if (type == 1 || type == 16) {
    priority = 3;
  } else if (type == 2) {
    priority = 4;
  }
  return {"MESSAGE=" + std::string(text),
          "PRIORITY=" + std::to_string(priority),
          "QUILLON_MESSAGE_ID=" + std::to_string(id),
          "SYSLOG_IDENTIFIER=" + std::string(identifier)};
}

}  // namespace qs::platform::posix
