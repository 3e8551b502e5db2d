// The service control on Windows: the service control manager.
//
// Registration. Install creates the service with CreateServiceA: its own
// process, the start mode, the executable's quoted path, and the account
// ".\user" with its password, or LocalSystem (with the interactive flag
// when it is set) when no account is given. It also registers the event
// source EventLog\Application\<service name>, whose message file is the
// executable itself (its message table shows each entry's text); both or
// neither. Uninstall stops a running service first, then deletes it and its
// event source. Saved settings are string values below the service's
// registry key ("Parameters"\"TimerInterval"). The password goes to
// CreateServiceA and nowhere else.
//
// Connection. The first Connect runs StartServiceCtrlDispatcherA on a
// thread of its own and waits until the service manager calls the service's
// main function, or until the dispatcher gives up because no service
// manager started the process (at once on Windows; after about 10 s under
// Wine). The main function registers the control handler, reports
// START_PENDING and goes on as the heartbeat (below); the start event is
// posted to the loop, and RUNNING follows when its handler succeeded.
//
// Requests. The handler runs on the dispatcher's thread: for stop,
// shutdown, pause and continue it reports the matching *_PENDING state and
// posts the event to the loop, where PAUSED or RUNNING is reported once the
// event's handler has succeeded. While a state is pending the heartbeat
// raises its checkpoint every second, so a stop that waits for a work cycle
// never looks hung. STOPPED is reported when the control goes, that is when
// the form's loop has ended. WM_CLOSE to the form's window stops too.
//
// Debug runs have no service manager: Ctrl-C, Ctrl-Break and closing the
// console (through a console control handler), WM_CLOSE to the form's
// window (taskkill without /f) and the registered message "QuillonSrvStop"
// stop; "QuillonSrvPause" and "QuillonSrvContinue" pause and continue. The
// form's window is titled with the display name, so others find it.
//
// Event log. ReportEventA under the name the service manager runs the
// service as (in a debug run: the service name).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/service_control.h"
#include "platform/win32/win32_impl.h"

namespace qs::platform {
namespace {

constexpr DWORD kPendingWaitHintMs = 5000;
constexpr DWORD kHeartbeatMs = 1000;
// How long Uninstall waits for a running service to stop.
constexpr DWORD kUninstallStopWaitMs = 30000;

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kEventSourcesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

struct ScHandle {
  SC_HANDLE h;
  explicit ScHandle(SC_HANDLE handle) : h(handle) {}
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
};

bool SetStringValue(HKEY key, const char* name, DWORD type,
                    const std::string& value) {
  return RegSetValueExA(key, name, 0, type,
                        reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool AddEventSource(const std::string& service, const std::string& exe) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kEventSourcesKey + service).c_str(),
                      0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  DWORD types = kTypesSupported;
  bool ok = SetStringValue(key, "EventMessageFile", REG_EXPAND_SZ, exe) &&
            RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&types),
                           sizeof types) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

void RemoveEventSource(const std::string& service) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kEventSourcesKey + service).c_str());
}

// Asks a running service to stop and waits until it has, a while at most.
void StopAndWait(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status) ||
      status.dwCurrentState == SERVICE_STOPPED) {
    return;
  }
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  for (DWORD waited = 0; waited < kUninstallStopWaitMs; waited += 100) {
    if (!QueryServiceStatus(service, &status) ||
        status.dwCurrentState == SERVICE_STOPPED) {
      return;
    }
    Sleep(100);
  }
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
}

// What the service manager's threads share with the loop's thread: the
// status as last reported and the way to the loop. One per process, alive
// to its end; the mutex guards all of it.
struct Connection {
  std::mutex mutex;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{
      SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  DWORD accepted = 0;  // controls accepted outside pending states
  // Posts a control code's event to the loop; empty once the control has
  // gone (or before it connected).
  std::function<void(DWORD)> post;
  HANDLE connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::string dispatch_name;
};

Connection& TheConnection() {
  static Connection* connection = new Connection;
  return *connection;
}

// Reports `state`, and a non-zero `error` as the service's own exit code;
// the caller holds the mutex.
void ReportLocked(Connection& c, DWORD state, DWORD error = 0) {
  if (c.handle == nullptr) return;
  c.status.dwCurrentState = state;
  c.status.dwControlsAccepted =
      state == SERVICE_START_PENDING || state == SERVICE_STOPPED ? 0
                                                                 : c.accepted;
  c.status.dwCheckPoint = IsPending(state) ? 1 : 0;
  c.status.dwWaitHint = IsPending(state) ? kPendingWaitHintMs : 0;
  c.status.dwWin32ExitCode = error ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  c.status.dwServiceSpecificExitCode = error;
  SetServiceStatus(c.handle, &c.status);
  if (state == SERVICE_STOPPED) SetEvent(c.stopped);
}

DWORD WINAPI HandlerEx(DWORD control, DWORD, void*, void* context) {
  Connection& c = *static_cast<Connection*>(context);
  std::lock_guard<std::mutex> lock(c.mutex);
  const DWORD state = c.status.dwCurrentState;
  DWORD pending;
  switch (control) {
    case SERVICE_CONTROL_INTERROGATE:
      SetServiceStatus(c.handle, &c.status);
      return NO_ERROR;
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        return NO_ERROR;
      }
      control = SERVICE_CONTROL_STOP;
      pending = SERVICE_STOP_PENDING;
      break;
    case SERVICE_CONTROL_PAUSE:
      if (state != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      pending = SERVICE_PAUSE_PENDING;
      break;
    case SERVICE_CONTROL_CONTINUE:
      if (state != SERVICE_PAUSED) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      pending = SERVICE_CONTINUE_PENDING;
      break;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (!c.post) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  ReportLocked(c, pending);
  c.post(control);
  return NO_ERROR;
}

// Raises the checkpoint of a pending state every second, until STOPPED.
void Heartbeat(Connection& c) {
  while (WaitForSingleObject(c.stopped, kHeartbeatMs) == WAIT_TIMEOUT) {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!IsPending(c.status.dwCurrentState)) continue;
    ++c.status.dwCheckPoint;
    SetServiceStatus(c.handle, &c.status);
  }
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
  Connection& c = TheConnection();
  // The service manager names the service it runs; for a service of its
  // own process that may differ from the name in the dispatch table.
  std::string name = argc > 0 && argv[0] != nullptr ? argv[0] : c.dispatch_name;
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExA(name.c_str(), HandlerEx, &c);
  if (handle == nullptr) {
    SetEvent(c.stopped);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    c.handle = handle;
    ReportLocked(c, SERVICE_START_PENDING);
  }
  win32::SetServiceRunName(name);
  SetEvent(c.connected);
  Heartbeat(c);
}

// The console control handler of a debug run posts the stop through
// `console_stop`; `console_done` is set once the run has stopped.
std::mutex console_mutex;
std::function<void()> console_stop;
HANDLE console_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
// The system ends the process once the handler of a closing console or
// session returns: the handler waits for the stop, a while at most.
constexpr DWORD kConsoleCloseWaitMs = 4000;

BOOL WINAPI ConsoleHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      {
        std::lock_guard<std::mutex> lock(console_mutex);
        if (!console_stop) return FALSE;
        console_stop();
      }
      if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        WaitForSingleObject(console_done, kConsoleCloseWaitMs);
      }
      return TRUE;
    }
    default:
      return FALSE;
  }
}

// The service the service manager runs in this process, "" for none. The
// manager lists the process with the service from the moment it made it,
// so this holds before the connection, when nothing else tells.
std::string ServiceOfThisProcess() {
  ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  if (scm.h == nullptr) return "";
  const DWORD me = GetCurrentProcessId();
  std::vector<BYTE> buf(16 * 1024);
  DWORD resume = 0;
  for (;;) {
    DWORD needed = 0, count = 0;
    const BOOL last = EnumServicesStatusExA(
        scm.h, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buf.data(),
        static_cast<DWORD>(buf.size()), &needed, &count, &resume, nullptr);
    if (!last && GetLastError() != ERROR_MORE_DATA) return "";
    const auto* found = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buf.data());
    for (DWORD i = 0; i < count; ++i) {
      if (found[i].ServiceStatusProcess.dwProcessId == me) return found[i].lpServiceName;
    }
    if (last) return "";
    if (count == 0) buf.resize(std::max<std::size_t>(needed, buf.size() * 2));
  }
}

class Win32ServiceControl final : public ServiceControl {
 public:
  // The control sits on the form from the process's start: whether the
  // service manager runs the process is settled here, before anything can
  // report. Its error reports then go to the event log from the first on: a
  // message box, which an interactive service could show, would hold the
  // start for good.
  explicit Win32ServiceControl(MessageLoop& loop) : loop_(loop) {
    if (win32::ServiceRunName().empty()) {
      win32::SetServiceRunName(ServiceOfThisProcess());
    }
  }

  ~Win32ServiceControl() override {
    if (debug_connected_) {
      {
        std::lock_guard<std::mutex> lock(console_mutex);
        console_stop = nullptr;
      }
      SetEvent(console_done);
    }
    if (dispatcher_.joinable()) {
      Connection& c = TheConnection();
      std::lock_guard<std::mutex> lock(c.mutex);
      c.post = nullptr;
      ReportLocked(c, SERVICE_STOPPED, static_cast<DWORD>(ExitCode));
      // The dispatcher returns once STOPPED is through; the process may end
      // before that.
      dispatcher_.detach();
    }
  }

  std::string DefaultAccount() const override { return "LocalSystem"; }

  bool Install() override {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (scm.h == nullptr) return false;
    const std::string exe = Current().process->ModuleFileName();
    const std::string command = "\"" + exe + "\"";
    const bool own_account = !Account.empty();
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    // Only LocalSystem may interact with the desktop.
    if (Interactive && !own_account) type |= SERVICE_INTERACTIVE_PROCESS;
    ScHandle service(
        CreateServiceA(scm.h, ServiceName.c_str(), DisplayName.c_str(),
                       SERVICE_ALL_ACCESS, type, static_cast<DWORD>(StartMode),
                       SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                       nullptr, own_account ? Account.c_str() : nullptr,
                       own_account ? Password.c_str() : nullptr));
    if (service.h == nullptr) return false;
    if (AddEventSource(ServiceName, exe)) return true;
    DeleteService(service.h);
    return false;
  }

  bool Uninstall() override {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (scm.h == nullptr) return false;
    ScHandle service(
        OpenServiceA(scm.h, ServiceName.c_str(),
                     DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (service.h == nullptr) return false;
    StopAndWait(service.h);
    if (!DeleteService(service.h)) return false;
    RemoveEventSource(ServiceName);
    return true;
  }

  bool SaveSetting(const std::string& section, const std::string& key,
                   const std::string& value) override {
    HKEY service;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kServicesKey + ServiceName).c_str(),
                      0, KEY_CREATE_SUB_KEY, &service) != ERROR_SUCCESS) {
      return false;
    }
    HKEY sub;
    bool ok =
        RegCreateKeyExA(service, section.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &sub, nullptr) == ERROR_SUCCESS;
    RegCloseKey(service);
    if (!ok) return false;
    ok = SetStringValue(sub, key.c_str(), REG_SZ, value);
    RegCloseKey(sub);
    return ok;
  }

  bool Connect() override {
    if (state_ == State::kFailed) return false;
    if (state_ != State::kIdle) return true;
    if (!(Debug ? ConnectDebug() : ConnectServiceManager())) {
      state_ = State::kFailed;
      return false;
    }
    state_ = State::kStarting;
    if (HWND form = win32::LoopWindow())
      SetWindowTextA(form, DisplayName.c_str());
    loop_.OnWindowMessage(WM_CLOSE, Guarded([this] { RaiseStop(); }));
    loop_.Post(Guarded([this] { RaiseStart(); }));
    return true;
  }

  void LogEvent(std::int16_t type, std::int32_t id,
                const std::string& text) override {
    const std::string& run_name = win32::ServiceRunName();
    win32::WriteEvent(run_name.empty() ? ServiceName : run_name, type, id,
                      text);
  }

  // The service manager shows no status text; pending states are reported
  // with the requests themselves.
  void ReportStatus(const std::string&) override {}
  void ReportStopping() override {}

 private:
  // kStarting: connected, start event not raised yet. kStopping: the stop
  // event was raised; nothing follows it.
  enum class State { kIdle, kFailed, kStarting, kRunning, kPaused, kStopping };

  // A loop callback that does nothing once this control is gone.
  std::function<void()> Guarded(std::function<void()> body) {
    std::weak_ptr<char> alive = alive_;
    return [alive, body = std::move(body)] {
      if (!alive.expired()) body();
    };
  }

  bool ConnectServiceManager() {
    Connection& c = TheConnection();
    {
      std::lock_guard<std::mutex> lock(c.mutex);
      if (c.post) return false;  // another control holds the connection
      c.accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
      if (ControlsAccepted & kAcceptPauseContinue) {
        c.accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
      }
      c.post = [this, alive = std::weak_ptr<char>(alive_)](DWORD control) {
        loop_.Post([this, alive, control] {
          if (!alive.expired()) Raise(control);
        });
      };
      c.dispatch_name = ServiceName;
    }
    dispatcher_ = std::thread([&c] {
      SERVICE_TABLE_ENTRYA table[] = {
          {const_cast<char*>(c.dispatch_name.c_str()), ServiceMain},
          {nullptr, nullptr}};
      // Fails at once (1063) when no service manager started the process.
      if (!StartServiceCtrlDispatcherA(table)) SetEvent(c.stopped);
    });
    HANDLE outcome[] = {c.connected, c.stopped};
    if (WaitForMultipleObjects(2, outcome, FALSE, INFINITE) == WAIT_OBJECT_0) {
      return true;
    }
    // The dispatcher has returned, or holds a service whose handler could
    // not be registered: either way nothing follows.
    dispatcher_.detach();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.post = nullptr;
    return false;
  }

  bool ConnectDebug() {
    debug_connected_ = true;
    {
      std::lock_guard<std::mutex> lock(console_mutex);
      console_stop = [this, alive = std::weak_ptr<char>(alive_)] {
        loop_.Post([this, alive] {
          if (!alive.expired()) RaiseStop();
        });
      };
    }
    // Started from a console, the console's Ctrl-C reaches this program.
    AttachConsole(ATTACH_PARENT_PROCESS);
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    const struct {
      const char* name;
      void (Win32ServiceControl::*raise)();
    } kMessages[] = {
        {win32::kStopMessage, &Win32ServiceControl::RaiseStop},
        {win32::kPauseMessage, &Win32ServiceControl::RaisePause},
        {win32::kContinueMessage, &Win32ServiceControl::RaiseContinue}};
    for (const auto& m : kMessages) {
      UINT message = RegisterWindowMessageA(m.name);
      if (message == 0) continue;
      auto raise = m.raise;
      loop_.OnWindowMessage(message,
                            Guarded([this, raise] { (this->*raise)(); }));
    }
    return true;
  }

  // Reports `state` to the service manager, if there is one.
  void Report(DWORD state) {
    if (!dispatcher_.joinable()) return;
    Connection& c = TheConnection();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.status.dwCurrentState == SERVICE_STOPPED) return;
    ReportLocked(c, state);
  }

  void Raise(DWORD control) {
    switch (control) {
      case SERVICE_CONTROL_STOP:
        RaiseStop();
        break;
      case SERVICE_CONTROL_PAUSE:
        RaisePause();
        break;
      case SERVICE_CONTROL_CONTINUE:
        RaiseContinue();
        break;
      default:
        break;
    }
  }

  // A start that does not succeed ends the service: its stop follows, and
  // the service manager learns of the failure when the process ends.
  void RaiseStart() {
    if (state_ != State::kStarting) return;  // a stop came first
    bool success = false;
    if (OnStart) OnStart(success);
    if (state_ != State::kStarting) return;  // stopped while starting
    if (success) {
      state_ = State::kRunning;
      Report(SERVICE_RUNNING);
      return;
    }
    if (ExitCode == 0) ExitCode = 1;
    RaiseStop();
  }

  void RaiseStop() {
    if (state_ == State::kStopping) return;
    state_ = State::kStopping;
    Report(SERVICE_STOP_PENDING);
    if (OnStop) OnStop();
  }

  // Pause only a running service and continue only a paused one; a handler
  // that does not report success leaves the state as it was.
  void RaisePause() { Change(State::kRunning, State::kPaused, OnPause); }
  void RaiseContinue() { Change(State::kPaused, State::kRunning, OnContinue); }

  void Change(State from, State to, const std::function<void(bool&)>& event) {
    if (state_ != from || (ControlsAccepted & kAcceptPauseContinue) == 0) {
      if (state_ == from) Report(StatusOf(from));
      return;
    }
    bool success = false;
    if (event) event(success);
    if (state_ != from) return;  // stopped meanwhile
    if (success) state_ = to;
    Report(StatusOf(state_));
  }

  static DWORD StatusOf(State state) {
    return state == State::kPaused ? SERVICE_PAUSED : SERVICE_RUNNING;
  }

  MessageLoop& loop_;
  State state_ = State::kIdle;
  bool debug_connected_ = false;
  std::thread dispatcher_;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace

std::unique_ptr<ServiceControl> CreateServiceControl(MessageLoop& loop) {
  return std::make_unique<Win32ServiceControl>(loop);
}

namespace win32 {
namespace {

std::string& RunName() {
  static std::string name;
  return name;
}

}  // namespace

const std::string& ServiceRunName() { return RunName(); }
void SetServiceRunName(const std::string& name) { RunName() = name; }

void WriteEvent(const std::string& source, std::int16_t type, std::int32_t id,
                const std::string& text) {
  HANDLE log = RegisterEventSourceA(nullptr, source.c_str());
  if (log == nullptr) return;
  const char* strings[] = {text.c_str()};
  ::ReportEventA(log, static_cast<WORD>(type), 0, static_cast<DWORD>(id),
                 nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(log);
}

}  // namespace win32
}  // namespace qs::platform
