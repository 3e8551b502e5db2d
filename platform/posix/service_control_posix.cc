// The service control on Linux: the service manager is systemd.
//
// Registration. Install writes the unit file (systemd_unit.h has its text and
// the unit name) into the unit folder, /etc/systemd/system unless the
// environment variable QUILLONSRV_UNIT_DIR names another; start mode 2 also
// links it into multi-user.target.wants. Files appear complete or not at
// all: each is written under a temporary name in its folder and renamed.
// `systemctl daemon-reload` follows a change only when systemd runs and the
// folder is the system's. Saved settings go to the drop-in
// <unit>.d/settings.conf. The password is not needed by systemd and is
// written nowhere.
//
// Connection. The process runs under systemd when NOTIFY_SOCKET or
// INVOCATION_ID is set; the debug flag connects without it. Otherwise the
// connection fails, and standard error says once that the program was not
// started by the service manager and how to run it in the foreground. The first
// connection reports READY=1 and posts the start event to the loop; from then
// on the manager's requests arrive as signals: SIGTERM and SIGINT stop,
// SIGTSTP pauses, SIGCONT continues. A process with a controlling terminal
// (a debug run in a shell) is stopped after the pause (SIGSTOP), as Ctrl-Z
// stops any program, so that the shell gets control back; `fg` sends the
// SIGCONT that continues it. Under systemd there is no terminal.
//
// Event log. The journal (sd_journal_send); where it cannot be reached, or
// when QUILLONSRV_NO_JOURNAL is set, standard error. The entries' identifier
// is the service name: under systemd that of the unit the process runs in
// ("Quillon Pro Service Main"), which a start without a command line does
// not otherwise know; in a debug run the one of its command line.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/fd_io.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/posix/safe_files.h"
#include "platform/posix/service_control_posix.h"
#include "platform/posix/systemd_unit.h"
#include "platform/service_control.h"

extern char** environ;

namespace qs::platform {
namespace {

using posix::ReadFileInto;
using posix::WriteAllFd;
using posix::AccountUserName;
using posix::ProductFolderOf;
using posix::ServiceUnitName;
using posix::UnitFileText;
using posix::UnitSettings;

struct UnitFolder {
  std::string path;  // absolute, without a trailing "/"
  bool system;       // the system's folder, not one named by the environment
};

UnitFolder CurrentUnitFolder() {
  const char* env = std::getenv("QUILLONSRV_UNIT_DIR");
  std::string dir = env != nullptr && *env != '\0'
                        ? std::string(env)
                        : std::string(posix::kSystemUnitDir);
  if (dir.front() != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr)
      dir = std::string(cwd) + "/" + dir;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return {dir, dir == posix::kSystemUnitDir};
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Unit files are made or replaced in one step, flushed to disk, with mode
// 0644 less the umask.
posix::ReplaceRules UnitFileRules(bool only_if_missing) {
  posix::ReplaceRules rules;
  rules.only_if_missing = only_if_missing;
  rules.new_mode = 0644;
  return rules;
}

void SyncFolder(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool MakeFolder(const std::string& dir) {
  return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// <dir>/<target>.wants/<unit> -> <dir>/<unit>, as `systemctl enable` makes
// it; an old link of that name is replaced.
bool AddWantsLink(const UnitFolder& folder, const std::string& unit) {
  std::string wants =
      folder.path + "/" + std::string(posix::kAutoStartTarget) + ".wants";
  if (!MakeFolder(wants)) return false;
  std::string target = folder.path + "/" + unit;
  std::string temp = wants + "/.quillonsrv-link-" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) return false;
  if (::rename(temp.c_str(), (wants + "/" + unit).c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(wants);
  return true;
}

// Removes the links named `unit` from every <name>.wants and <name>.requires
// folder of the unit folder.
void RemoveLinks(const UnitFolder& folder, const std::string& unit) {
  DIR* d = ::opendir(folder.path.c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    bool deps = (name.size() > 6 && name.ends_with(".wants")) ||
                (name.size() > 9 && name.ends_with(".requires"));
    if (!deps) continue;
    std::string link = folder.path + "/" + std::string(name) + "/" + unit;
    struct stat st;
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      ::unlink(link.c_str());
    }
  }
  ::closedir(d);
}

void DaemonReload() {
  char arg0[] = "systemctl";
  char arg1[] = "daemon-reload";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv, environ) != 0) {
    return;
  }
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// systemd reads the unit folder again only when told to; a folder of the
// environment is not the running manager's, so it is left alone.
void ReloadIfSystem(const UnitFolder& folder) {
  if (folder.system && ::sd_booted() > 0) DaemonReload();
}

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0';
}

// A status line is one line.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

constexpr char kStatusRunning[] = "Running";
constexpr char kStatusPaused[] = "Paused";
constexpr char kStatusStartFailed[] = "Start failed";

class PosixServiceControl final : public ServiceControl {
 public:
  PosixServiceControl(MessageLoop& loop, posix::SystemdLink link)
      : loop_(loop), link_(std::move(link)) {}

  std::string DefaultAccount() const override { return "root"; }

  bool Install() override {
    const std::string unit = ServiceUnitName(ServiceName);
    if (unit.empty()) return false;
    UnitSettings settings;
    settings.description = DisplayName;
    settings.executable = Current().process->ModuleFileName();
    // An interactive service has no place under systemd; it runs under the
    // manager's default account like one without an account.
    if (!Interactive) settings.user = AccountUserName(Account);
    settings.start_mode = StartMode;
    settings.product_folder = ProductFolderOf(settings.executable);
    settings.unit_name = unit;
    std::optional<std::string> text = UnitFileText(settings);
    if (!text) return false;

    const UnitFolder folder = CurrentUnitFolder();
    const std::string path = folder.path + "/" + unit;
    if (PathExists(path)) return false;
    if (!posix::ReplaceFile(path, *text, UnitFileRules(true))) return false;
    if (StartMode == kStartAuto && !AddWantsLink(folder, unit)) {
      ::unlink(path.c_str());
      SyncFolder(folder.path);
      return false;
    }
    SyncFolder(folder.path);
    ReloadIfSystem(folder);
    return true;
  }

  bool Uninstall() override {
    const std::string unit = ServiceUnitName(ServiceName);
    if (unit.empty()) return false;
    const UnitFolder folder = CurrentUnitFolder();
    const std::string path = folder.path + "/" + unit;
    if (!PathExists(path) || ::unlink(path.c_str()) != 0) return false;
    RemoveLinks(folder, unit);
    const std::string drop_in = path + ".d";
    ::unlink((drop_in + "/" + std::string(posix::kSettingsDropIn)).c_str());
    ::rmdir(drop_in.c_str());  // kept when it holds drop-ins of others
    SyncFolder(folder.path);
    ReloadIfSystem(folder);
    return true;
  }

  bool SaveSetting(const std::string& section, const std::string& key,
                   const std::string& value) override {
    const std::string unit = ServiceUnitName(ServiceName);
    if (unit.empty()) return false;
    const UnitFolder folder = CurrentUnitFolder();
    const std::string path = folder.path + "/" + unit;
    if (!PathExists(path)) return false;
    const std::string drop_in = path + ".d";
    if (!MakeFolder(drop_in)) return false;
    const std::string file =
        drop_in + "/" + std::string(posix::kSettingsDropIn);
    std::string existing;
    if (!ReadFileInto(file.c_str(), &existing) && errno != ENOENT) return false;
    std::optional<std::string> text = posix::SettingsDropInText(
        existing, posix::SettingVariable(section, key), value);
    if (!text) return false;
    if (!posix::ReplaceFile(file, *text, UnitFileRules(false))) return false;
    ReloadIfSystem(folder);
    return true;
  }

  bool Connect() override {
    if (state_ != State::kIdle) return true;
    if (!Debug && !EnvSet("NOTIFY_SOCKET") && !EnvSet("INVOCATION_ID")) {
      // Started from a shell: the program stays loaded without a manager,
      // which whoever started it should hear once.
      if (!told_unmanaged_) {
        WriteAllFd(STDERR_FILENO, Identifier() +
                                      ": not started by the service manager, running unmanaged; "
                                      "-debug,NAME,,INI FOLDER,PRODUCT FOLDER runs it in the "
                                      "foreground\n");
      }
      told_unmanaged_ = true;
      return false;
    }
    state_ = State::kStarting;
    if (!Debug) identifier_ = posix::ServiceNameOfUnit(link_.own_unit());
    loop_.OnSignal(SIGTERM, Guarded(&PosixServiceControl::RaiseStop));
    loop_.OnSignal(SIGINT, Guarded(&PosixServiceControl::RaiseStop));
    loop_.OnSignal(SIGTSTP, Guarded(&PosixServiceControl::PauseAndStop));
    loop_.OnSignal(SIGCONT, Guarded(&PosixServiceControl::RaiseContinue));
    link_.notify("READY=1");
    loop_.Post(Guarded(&PosixServiceControl::RaiseStart));
    return true;
  }

  void LogEvent(std::int16_t type, std::int32_t id,
                const std::string& text) override {
    if (std::getenv("QUILLONSRV_NO_JOURNAL") == nullptr) {
      if (link_.send_to_journal(posix::JournalFields(type, id, text, Identifier()))) return;
    }
    WriteAllFd(STDERR_FILENO, Identifier() + ": " + text + "\n");
  }

  void ReportStatus(const std::string& text) override {
    link_.notify("STATUS=" + OneLine(text));
  }

  void ReportStopping() override { link_.notify("STOPPING=1"); }

 private:
  // kStarting: connected, start event not raised yet. kStopping: the stop
  // event was raised; nothing follows it.
  enum class State { kIdle, kStarting, kRunning, kPaused, kFailed, kStopping };

  // A loop callback that does nothing once this control is gone.
  std::function<void()> Guarded(void (PosixServiceControl::*member)()) {
    std::weak_ptr<char> alive = alive_;
    return [alive, this, member] {
      if (!alive.expired()) (this->*member)();
    };
  }

  const std::string& Identifier() const {
    return identifier_.empty() ? ServiceName : identifier_;
  }

  void PauseAndStop() {
    RaisePause();
    if (state_ != State::kStopping && link_.on_terminal()) ::raise(SIGSTOP);
  }

  bool PauseContinueAccepted() const {
    return (ControlsAccepted & kAcceptPauseContinue) != 0;
  }

  void RaiseStart() {
    if (state_ != State::kStarting) return;  // a stop came first
    bool success = false;
    if (OnStart) OnStart(success);
    if (state_ != State::kStarting) return;  // stopped while starting
    state_ = success ? State::kRunning : State::kFailed;
    ReportStatus(success ? kStatusRunning : kStatusStartFailed);
  }

  // systemd follows the SIGTERM of a stop with a SIGCONT, and a second stop
  // request must not stop twice: after the stop nothing is raised.
  void RaiseStop() {
    if (state_ == State::kStopping) return;
    state_ = State::kStopping;
    ReportStopping();
    if (OnStop) OnStop();
  }

  // Pause only a running service and continue only a paused one, as the
  // service manager would; a handler that does not report success leaves
  // the state as it was.
  void RaisePause() {
    if (state_ != State::kRunning || !PauseContinueAccepted()) return;
    bool success = false;
    if (OnPause) OnPause(success);
    if (state_ != State::kRunning || !success) return;
    state_ = State::kPaused;
    ReportStatus(kStatusPaused);
  }

  void RaiseContinue() {
    if (state_ != State::kPaused || !PauseContinueAccepted()) return;
    bool success = false;
    if (OnContinue) OnContinue(success);
    if (state_ != State::kPaused || !success) return;
    state_ = State::kRunning;
    ReportStatus(kStatusRunning);
  }

  MessageLoop& loop_;
  posix::SystemdLink link_;
  std::string identifier_;  // the unit's service name under systemd
  bool told_unmanaged_ = false;
  State state_ = State::kIdle;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace

namespace posix {

SystemdLink RealSystemd() {
  SystemdLink link;
  link.send_to_journal = [](const std::vector<std::string>& fields) {
    std::vector<iovec> iov;
    for (const std::string& f : fields) iov.push_back({const_cast<char*>(f.data()), f.size()});
    return ::sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0;
  };
  link.notify = [](const std::string& message) { ::sd_notify(0, message.c_str()); };
  link.own_unit = [] {
    char* unit = nullptr;
    if (::sd_pid_get_unit(0, &unit) < 0 || unit == nullptr) return std::string();
    std::string name = unit;
    std::free(unit);
    return name;
  };
  link.on_terminal = [] {
    int fd = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  };
  return link;
}

std::unique_ptr<ServiceControl> CreateSystemdControl(MessageLoop& loop, SystemdLink link) {
  return std::make_unique<PosixServiceControl>(loop, std::move(link));
}

}  // namespace posix

std::unique_ptr<ServiceControl> CreateServiceControl(MessageLoop& loop) {
  return posix::CreateSystemdControl(loop, posix::RealSystemd());
}

}  // namespace qs::platform
