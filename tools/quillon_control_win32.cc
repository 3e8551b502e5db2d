// quillon-control.exe: starts, stops, pauses and continues a service
// through the service control manager and waits until the service has
// answered, or shows its state and registration. Under Wine `sc pause` and
// `sc continue` do nothing; this tool does what they would.
//
// With --window the request goes to a debug run instead (QuillonSrv
// -debug,...), whose hidden form window is titled with the display name:
// WM_CLOSE stops it, as taskkill without /f does, and the registered
// messages "QuillonSrvPause" and "QuillonSrvContinue" pause and continue it.
// They are sent, so the tool returns once the run has handled them.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_impl.h"

namespace {

constexpr char kUsage[] =
    "Usage: quillon-control [--window] start|stop|pause|continue|query NAME\n"
    "\n"
    "  start     start the service NAME and wait until it runs\n"
    "  stop      stop it and wait until it has stopped\n"
    "  pause     pause it and wait until it is paused\n"
    "  continue  continue it and wait until it runs\n"
    "  query     print its state, its last exit codes and its registration,\n"
    "            one KEY=VALUE a line\n"
    "\n"
    "Each request prints the state reached and the time it took; a service\n"
    "that stops instead fails the request with its exit codes. With\n"
    "--window the request goes to the debug run whose display name is NAME\n"
    "and returns once the run has handled it (query: once it runs).\n";

constexpr DWORD kWaitMs = 60000;

int Fail(const std::string& what) {
  std::fprintf(stderr, "quillon-control: %s (error %lu)\n", what.c_str(),
               GetLastError());
  return 1;
}

const char* StateName(DWORD state) {
  static const char* const kNames[] = {
      "?",       "STOPPED",          "START_PENDING", "STOP_PENDING",
      "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
  return state < 8 ? kNames[state] : "?";
}

int ToWindow(const std::string& command, const std::string& name) {
  const char* form_class = qs::platform::win32::kFormWindowClass;
  HWND form = FindWindowA(form_class, name.c_str());
  // A run without a desktop has a message-only window.
  if (form == nullptr) {
    form = FindWindowExA(HWND_MESSAGE, nullptr, form_class, name.c_str());
  }
  if (form == nullptr) return Fail("no debug run titled \"" + name + "\"");
  UINT message = 0;
  if (command == "query") {
    return 0;
  } else if (command == "stop") {
    message = WM_CLOSE;
  } else if (command == "pause") {
    message = RegisterWindowMessageA(qs::platform::win32::kPauseMessage);
  } else if (command == "continue") {
    message = RegisterWindowMessageA(qs::platform::win32::kContinueMessage);
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Sent, not posted: the answer comes once the debug run has handled it.
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(form, message, 0, 0, SMTO_NORMAL, kWaitMs, &result)
             ? 0
             : Fail("the debug run did not answer");
}

void PrintRegistration(SC_HANDLE service, const std::string& name) {
  DWORD needed = 0;
  QueryServiceConfigA(service, nullptr, 0, &needed);
  std::string buf(needed, '\0');
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
  if (needed == 0 || !QueryServiceConfigA(service, config, needed, &needed)) {
    return;
  }
  std::printf(
      "DisplayName=%s\nStartType=%lu\nBinaryPath=%s\nAccount=%s\n"
      "Interactive=%d\n",
      config->lpDisplayName, config->dwStartType, config->lpBinaryPathName,
      config->lpServiceStartName ? config->lpServiceStartName : "",
      (config->dwServiceType & SERVICE_INTERACTIVE_PROCESS) != 0);
  const std::string key =
      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
  char file[MAX_PATH] = {};
  DWORD size = sizeof file - 1;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "EventMessageFile",
                   RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file,
                   &size) == ERROR_SUCCESS) {
    std::printf("EventMessageFile=%s\n", file);
  }
  char interval[64] = {};
  size = sizeof interval - 1;
  if (RegGetValueA(
          HKEY_LOCAL_MACHINE,
          ("SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters")
              .c_str(),
          "TimerInterval", RRF_RT_REG_SZ, nullptr, interval,
          &size) == ERROR_SUCCESS) {
    std::printf("TimerInterval=%s\n", interval);
  }
}

}  // namespace

int main(int argc, char** argv) {
  qs::platform::ExitOnCrash();
  bool window = argc > 1 && std::strcmp(argv[1], "--window") == 0;
  if (argc != 3 + window) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1 + window];
  const std::string name = argv[2 + window];
  if (window) return ToWindow(command, name);

  struct Request {
    const char* command;
    DWORD control;  // 0: StartService
    DWORD until;    // the state that ends the wait
  } const kRequests[] = {
      {"start", 0, SERVICE_RUNNING},
      {"stop", SERVICE_CONTROL_STOP, SERVICE_STOPPED},
      {"pause", SERVICE_CONTROL_PAUSE, SERVICE_PAUSED},
      {"continue", SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING},
      {"query", 0, 0},
  };
  const Request* request = nullptr;
  for (const Request& r : kRequests) {
    if (command == r.command) request = &r;
  }
  if (request == nullptr) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (scm == nullptr) return Fail("OpenSCManager");
  SC_HANDLE service =
      OpenServiceA(scm, name.c_str(),
                   SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                       SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
  if (service == nullptr) return Fail("no service \"" + name + "\"");
  SERVICE_STATUS status{};
  if (request->until == 0) {
    if (!QueryServiceStatus(service, &status))
      return Fail("QueryServiceStatus");
    std::printf("State=%s\nExitCode=%lu\nServiceExitCode=%lu\n",
                StateName(status.dwCurrentState), status.dwWin32ExitCode,
                status.dwServiceSpecificExitCode);
    PrintRegistration(service, name);
    return 0;
  }

  const ULONGLONG start = GetTickCount64();
  BOOL sent = request->control == 0
                  ? StartServiceA(service, 0, nullptr)
                  : ControlService(service, request->control, &status);
  if (!sent) return Fail(std::string(command) + " refused");
  DWORD checkpoint = 0;
  for (;;) {
    if (!QueryServiceStatus(service, &status))
      return Fail("QueryServiceStatus");
    const ULONGLONG took = GetTickCount64() - start;
    if (status.dwCurrentState == request->until) {
      std::printf("%s after %llu ms, checkpoint %lu\n",
                  StateName(request->until), took, checkpoint);
      return 0;
    }
    // A start that failed: no use waiting for the state asked for.
    if (status.dwCurrentState == SERVICE_STOPPED) {
      std::fprintf(stderr,
                   "quillon-control: stopped after %llu ms, exit code %lu, "
                   "service exit code %lu\n",
                   took, status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
      return 1;
    }
    checkpoint =
        status.dwCheckPoint > checkpoint ? status.dwCheckPoint : checkpoint;
    if (took > kWaitMs) {
      std::fprintf(stderr,
                   "quillon-control: still %s after %llu ms (checkpoint %lu)\n",
                   StateName(status.dwCurrentState), took, checkpoint);
      return 1;
    }
    Sleep(10);
  }
}
