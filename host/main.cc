// QuillonSrv: the service's entry point. The hidden form is loaded with the
// command line; unless the start-up ends the program, it lives in the
// form's message loop until the stop event unloads the form.
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "host/frm_main.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/service_control.h"

namespace qs {

Components DefaultComponents(platform::FileSystem& fs, platform::Clock& clock) {
  Components c;
  c.NewJobEngine = [&fs, &clock](platform::MessageLoop& loop) {
    return engine::CreateJobEngine(loop, fs, clock);
  };
  c.NewJobList = [&fs](platform::MessageLoop& loop) { return engine::CreateJobList(loop, fs); };
  c.NewMonitorJob = [&fs, &clock](platform::MessageLoop& loop) {
    return engine::CreateMonitorJob(loop, fs, clock);
  };
  c.NewMultiEvent = [](platform::MessageLoop& loop) { return engine::CreateMultiEvent(loop); };
  c.NewServiceControl = [](platform::MessageLoop& loop) {
    return platform::CreateServiceControl(loop);
  };
  return c;
}

}  // namespace qs

int main(int argc, char** argv) {
  qs::platform::ExitOnCrash();
  qs::platform::ApplyRegionalSettings();
  // The command line is the program's arguments joined by single blanks;
  // the start-up splits it at commas.
  std::string command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += ' ';
    command_line += argv[i];
  }
  std::unique_ptr<qs::platform::MessageLoop> loop = qs::platform::CreateMessageLoop();
  // One file system and one clock for the whole program: the OS's.
  qs::platform::FileSystem& fs = qs::platform::OsFileSystem();
  qs::frmMain form(*loop, fs, qs::DefaultComponents(fs, *qs::platform::OsPlatform().clock));
  form.Form_Load(command_line);
  if (!form.Ended()) loop->Run();
  // A start-up that ended in its trap ends the process with the error's
  // number (what an exit status holds of it), so that the service manager
  // records a failed start, not a stop.
  const std::int32_t error = form.NTService1 ? form.NTService1->ExitCode : 0;
  return error == 0 ? 0 : (error & 0xFF) != 0 ? (error & 0xFF) : 1;
}
