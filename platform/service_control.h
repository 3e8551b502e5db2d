// The service control `NTService1`: the service's registration with the
// service manager, its connection to it, its events and the event log.
//
// On Linux the service manager is systemd: install writes a unit file,
// connect reports READY=1 through sd_notify, the manager's requests arrive as
// signals, and the event log is the journal. On Windows it is the service
// control manager.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qs::platform {

class MessageLoop;

inline constexpr std::int32_t kStartAuto = 2;
inline constexpr std::int32_t kStartManual = 3;
inline constexpr std::int32_t kStartDisabled = 4;

// Event-log entries: an error (also the pause notice) carries message 109,
// an information (the continue notice) message 110.
inline constexpr std::int16_t kEventError = 1;
inline constexpr std::int16_t kEventInformation = 4;
inline constexpr std::int32_t kMsgError = 109;
inline constexpr std::int32_t kMsgInformation = 110;

// Accepted controls: pause and continue.
inline constexpr std::int32_t kAcceptPauseContinue = 2;

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  // Properties, as the start-up sets them before install, uninstall or
  // connect. The service name starts as "Quillon Pro", the display name as
  // "Quillon Pro Service", the start mode as 3.
  std::string DisplayName = "Quillon Pro Service";
  std::string ServiceName = "Quillon Pro";
  std::string Account;   // ".\" + user name; empty for the default account
  std::string Password;  // never written to any file, log or journal entry
  std::int32_t StartMode = kStartManual;
  bool Interactive = false;
  bool Debug = false;
  std::int32_t ControlsAccepted = 0;
  // The error that ends the program: the start-up's trap sets its number,
  // and the service manager records it as the service's own exit code, so
  // that a start that failed is not taken for a stop. 0: none.
  std::int32_t ExitCode = 0;

  // The account a service without one runs as ("root", "LocalSystem").
  virtual std::string DefaultAccount() const = 0;
  // True when the service is registered.
  virtual bool Install() = 0;
  // True when the registration was removed.
  virtual bool Uninstall() = 0;
  // Stores a setting with the registration; never read back by the service.
  virtual bool SaveSetting(const std::string& section, const std::string& key,
                           const std::string& value) = 0;
  // Connects to the service manager. The second call returns True while
  // the connection made by the first stands. Once the connection stands the
  // start event follows (posted to the loop), in debug mode too.
  virtual bool Connect() = 0;
  // Writes an entry to the event log: type 1 (error) or 4 (information)
  // with its message identifier. The result is not looked at.
  virtual void LogEvent(std::int16_t type, std::int32_t id,
                        const std::string& text) = 0;
  // Tells the service manager how the service is doing (after start, pause,
  // continue, each work cycle; "stopping" on stop).
  virtual void ReportStatus(const std::string& text) = 0;
  virtual void ReportStopping() = 0;

  // The events, raised on the loop's thread. The handler sets `success`.
  std::function<void(bool& success)> OnStart;
  std::function<void()> OnStop;
  std::function<void(bool& success)> OnPause;
  std::function<void(bool& success)> OnContinue;
};

// The control of this platform; its events are posted to `loop`.
std::unique_ptr<ServiceControl> CreateServiceControl(MessageLoop& loop);

}  // namespace qs::platform
