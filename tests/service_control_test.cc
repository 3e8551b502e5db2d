// The systemd service control: unit names against systemd-escape, unit files
// of every start mode and account checked by systemd-analyze, the
// registration's files, and the connection with its events, notifications
// and journal entries. The registration works in a real unit folder: its
// links, renames and systemd's own verdict are the point.
#ifndef _WIN32

#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/posix/service_control_posix.h"
#include "platform/posix/systemd_unit.h"
#include "tests/fakes.h"
#include "tests/run_tool.h"
#include "tests/test_support.h"

namespace qs::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::RunTool;
using test::TempDir;
using Strings = std::vector<std::string>;

// Sets (or with nullptr removes) an environment variable for a scope.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* was = std::getenv(name)) old = was;
    Set(name, value);
  }
  ~ScopedEnv() { Set(name.c_str(), old ? old->c_str() : nullptr); }
  static void Set(const char* name, const char* value) {
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  std::string name;
  std::optional<std::string> old;
};

// systemd-analyze verify passes the units without a single remark, and its
// security review rates each sandbox's exposure at most 5.0 (as root) or 2.5
// (with User=). One run for all of them: each run takes a tenth of a second.
void ExpectVerified(const Strings& units) {
  auto run = RunTool({"systemd-analyze", "verify"}, units);
  if (!run) return (void)std::fprintf(stderr, "systemd-analyze missing\n");
  EXPECT_EQ(*run, std::make_pair(0, std::string())) << "systemd-analyze verify";
  Strings as_root, as_user;
  for (const std::string& u : units) {
    (ReadBytes(u).find("\nUser=") != std::string::npos ? as_user : as_root).push_back(u);
  }
  for (auto [threshold, group] :
       {std::pair{"--threshold=50", as_root}, std::pair{"--threshold=25", as_user}}) {
    if (group.empty()) continue;
    run = RunTool({"systemd-analyze", "security", "--offline=yes", threshold}, group);
    EXPECT_EQ(run->first, 0) << run->second;
  }
}

// The values of the lines "key=...".
Strings Values(const std::string& text, const std::string& key) {
  Strings values;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (l.rfind(key + "=", 0) == 0) values.push_back(l.substr(key.size() + 1));
  }
  return values;
}

// Every file and link below `root`, relative to it.
Strings Tree(const std::string& root) {
  Strings names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().lexically_relative(root).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What `body` writes to standard error (file descriptor 2).
std::string CaptureStderr(const std::function<void()>& body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

// An empty unit folder in QUILLONSRV_UNIT_DIR, and product folders
// "<temp>/<n>/<product>/bin/QuillonSrv" (a real executable, as
// systemd-analyze checks ExecStart) that the service control takes for its
// own executable.
struct Registration {
  explicit Registration(const std::string& product = "Quillon Pro") {
    fs::create_directories(units);
    AddProduct(product);
  }
  // A new product folder, whose executable becomes the control's own.
  void AddProduct(const std::string& name) {
    product = tmp.Join(std::to_string(++products) + "/" + name);
    fs::create_directories(product + "/bin");
    process.exe = product + "/bin/QuillonSrv";
    test::WriteBytes(process.exe, "#!/bin/sh\nexit 0\n");
    ::chmod(process.exe.c_str(), 0755);
  }
  std::string Unit(const std::string& name) const { return units + "/" + name; }

  TempDir tmp;
  int products = 0;
  std::string product, units = tmp.Join("units");
  ScopedEnv unit_env{"QUILLONSRV_UNIT_DIR", units.c_str()};
  test::FakeProcess process;
  ScopedPlatform scoped{Platform{.process = &process}};
};

const char kMainUnit[] = "Quillon\\x20Pro\\x20Service\\x20Main.service";
const char kMainName[] = "Quillon Pro Service Main";

// A loop that keeps what it is given; the test runs it by hand.
class FakeLoop : public MessageLoop {
 public:
  std::vector<std::function<void()>> posted;
  std::map<int, std::function<void()>> signals;

  void Run() override {}
  void PumpPending() override { RunPosted(); }
  void WaitAndPump(std::uint32_t) override { RunPosted(); }
  void Quit() override {}
  bool QuitRequested() const override { return false; }
  void Post(std::function<void()> task) override { posted.push_back(std::move(task)); }
  std::unique_ptr<Timer> CreateTimer(std::function<void()>) override { return nullptr; }
  void OnSignal(int signo, std::function<void()> f) override { signals[signo] = std::move(f); }
  void WatchFd(int, std::function<void()>) override {}

  void RunPosted() {
    for (auto& t : std::exchange(posted, {})) t();
  }
  void Raise(int signo) { signals.at(signo)(); }
};

// The journal, the notification socket and the unit as the control sees
// them, without a terminal.
struct FakeSystemd {
  std::vector<Strings> entries;
  Strings notes;
  std::string unit;
  bool journal_up = true;
  posix::SystemdLink Link() {
    return {[this](const Strings& fields) {
              entries.push_back(fields);
              return journal_up;
            },
            [this](const std::string& message) { notes.push_back(message); },
            [this] { return unit; }, [] { return false; }};
  }
  // The notifications since the last call.
  Strings Take() { return std::exchange(notes, {}); }
};

std::unique_ptr<ServiceControl> MainService(MessageLoop& loop, std::int32_t start_mode = 0,
                                            FakeSystemd* systemd = nullptr) {
  static FakeSystemd unused;
  auto svc = posix::CreateSystemdControl(loop, (systemd ? systemd : &unused)->Link());
  svc->DisplayName = svc->ServiceName = kMainName;
  if (start_mode != 0) svc->StartMode = start_mode;
  return svc;
}

TEST(ServiceControlUnitName, EscapesServiceNamesAsSystemdDoes) {
  EXPECT_EQ(posix::ServiceUnitName(kMainName), kMainUnit);
  EXPECT_EQ(posix::ServiceUnitName(std::string(247, 'a')), std::string(247, 'a') + ".service");
  EXPECT_EQ(posix::ServiceUnitName(std::string(248, 'a')), "");  // past systemd's 255 bytes
  EXPECT_EQ(posix::ServiceUnitName(""), "");
  // Each name comes back from its unit's name.
  Strings samples = {"./.a//b.", kMainName, "Quillon Pro Service [Main]", "Z\xfcrich", ""}, escaped;
  for (int b = 1; b < 256; ++b) samples.back() += static_cast<char>(b);
  for (const std::string& s : samples) {
    escaped.push_back(posix::EscapeUnitName(s));
    EXPECT_EQ(posix::ServiceNameOfUnit(escaped.back() + ".service"), s);
  }
  // Escaped names hold no blank: systemd-escape's output splits at them.
  auto run = RunTool({"systemd-escape"}, samples);
  if (!run) GTEST_SKIP() << "systemd-escape missing: escaping not compared";
  std::istringstream words(run->second);
  EXPECT_EQ(escaped, (Strings{std::istream_iterator<std::string>(words), {}}));
}

// Every start mode and account; names systemd reads with escapes and
// specifiers (the last rows) come back as written, as the executable is
// found under the name systemd makes of the unit's text. Then the hardening
// of executables in other places, which never hides the product folder.
TEST(ServiceControlInstall, WritesUnitsSystemdTakesAsTheyAreMeant) {
  struct Row {
    std::int32_t start_mode;
    std::string account;
    bool interactive;
    std::string user;  // "" for no User=
    std::string product = "Quillon Pro", display = kMainName, description = display;
  } rows[] = {
      {kStartAuto, "", false, ""},
      {kStartManual, ".\\quillon", false, "quillon"},
      {kStartDisabled, ".\\quillon", true, ""},
      {kStartAuto, ".\\svc_copy-01", false, "svc_copy-01"},
      // A Description line does not continue on the next; specifiers are
      // doubled; Latin-1 becomes UTF-8.
      {kStartManual, "", false, "", "QuillonPro", "Quillon Pro Service 100% [Main]",
       "Quillon Pro Service 100%% [Main]"},
      {kStartManual, "", false, "", "Quillon 100%n Pro", "Quillon Pro Service Main\\", kMainName},
      {kStartManual, "", false, "", "Qu\xe4llon Pro", "Quillon Pro Service Z\xfcrich",
       "Quillon Pro Service Z\xc3\xbcrich"},
      {kStartManual, "", false, "", "Z\xc3\xbcrich $HOME;x", "Quillon Pro Service\nUser=root",
       "Quillon Pro Service User=root"},
  };
  Registration reg;
  FakeLoop loop;
  Strings units;
  for (const Row& r : rows) {
    const std::string name = "Quillon Pro Service " + std::to_string(units.size());
    SCOPED_TRACE(name + ": " + r.account + " " + r.product + " / " + r.display);
    reg.AddProduct(r.product);
    auto svc = MainService(loop, r.start_mode);
    svc->ServiceName = name;
    svc->DisplayName = r.display;
    svc->Account = r.account;
    svc->Interactive = r.interactive;
    ASSERT_TRUE(svc->Install());
    const std::string unit_name = posix::ServiceUnitName(name);
    units.push_back(reg.Unit(unit_name));
    const std::string unit = ReadBytes(units.back());
    EXPECT_EQ(Values(unit, "Description"), Strings{r.description});
    EXPECT_EQ(Values(unit, "Type"), Strings{"notify"});
    EXPECT_EQ(Values(unit, "User"), r.user.empty() ? Strings{} : Strings{r.user});
    const bool installable = r.start_mode != kStartDisabled;
    EXPECT_EQ(Values(unit, "WantedBy"), installable ? Strings{"multi-user.target"} : Strings{});
    EXPECT_EQ(Values(unit, "RefuseManualStart"), installable ? Strings{} : Strings{"yes"});
    std::error_code ec;
    fs::path link = fs::read_symlink(reg.units + "/multi-user.target.wants/" + unit_name, ec);
    EXPECT_EQ(link.string(), r.start_mode == kStartAuto ? units.back() : "");
  }

  struct Hardening { std::string executable; bool private_tmp; Strings writable; } hardenings[] = {
      {"/home/anna/Quillon Pro/bin/QuillonSrv", true, {"\"-/home/anna/Quillon Pro\""}},
      {"/tmp/demo/bin/QuillonSrv", false, {"\"-/tmp/demo\""}},
      {"/var/tmp/demo/bin/QuillonSrv", false, {"\"-/var/tmp/demo\""}},
      {"/tmpfiles/bin/QuillonSrv", true, {"\"-/tmpfiles\""}},
      {"/bin/QuillonSrv", true, {}},  // no product folder
  };
  for (const Hardening& h : hardenings) {
    SCOPED_TRACE(h.executable);
    // Run from the product folder, but with an executable systemd can find.
    const posix::UnitSettings settings{kMainName,
                                       reg.process.exe,
                                       "",
                                       kStartManual,
                                       posix::ProductFolderOf(h.executable),
                                       "hardened" + std::to_string(units.size()) + ".service"};
    std::optional<std::string> unit = posix::UnitFileText(settings);
    ASSERT_TRUE(unit);
    EXPECT_EQ(Values(*unit, "PrivateTmp"), h.private_tmp ? Strings{"yes"} : Strings{});
    EXPECT_EQ(Values(*unit, "ReadWritePaths"), h.writable);
    EXPECT_EQ(Values(*unit, "ProtectSystem"), Strings{"full"});
    EXPECT_TRUE(Values(*unit, "ProtectHome").empty());
    units.push_back(reg.Unit(settings.unit_name));
    test::WriteBytes(units.back(), *unit);
  }
  ExpectVerified(units);
}

TEST(ServiceControlInstall, RefusesWhatSystemdCannotTakeAndKeepsWhatIsThere) {
  struct Row {
    std::string product, service_name, account;
    std::int32_t start_mode;
  } rows[] = {
      {"Quillon \"Pro\"", kMainName, "", kStartManual},
      {"Quillon\\Pro", kMainName, "", kStartManual},
      {"Quillon Pro", kMainName, "", 1},
      {"Quillon Pro", kMainName, "", 5},
      {"Quillon Pro", kMainName, ".\\a:b", kStartAuto},
      {"Quillon Pro", kMainName, ".\\DOMAIN\\anna", kStartAuto},
  };
  Registration reg;
  FakeLoop loop;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.product + " / " + r.service_name + " / " + r.account + " / " +
                 std::to_string(r.start_mode));
    reg.AddProduct(r.product);
    auto svc = CreateServiceControl(loop);
    svc->ServiceName = r.service_name;
    svc->Account = r.account;
    svc->StartMode = r.start_mode;
    EXPECT_FALSE(svc->Install());
    EXPECT_EQ(Tree(reg.units), Strings{});
  }

  // The wants folder cannot be made (a file has its name): no unit stays.
  // (A second install of a name keeps the first unit: the install scenario.)
  reg.AddProduct("Quillon Pro");
  test::WriteBytes(reg.units + "/multi-user.target.wants", "");
  auto svc = MainService(loop, kStartAuto);
  EXPECT_FALSE(svc->Install());
  EXPECT_EQ(Tree(reg.units), Strings{"multi-user.target.wants"});
  // A missing unit folder, a file in its place.
  for (std::string dir : {reg.Unit("missing"), reg.Unit("multi-user.target.wants")}) {
    ScopedEnv env("QUILLONSRV_UNIT_DIR", dir.c_str());
    EXPECT_FALSE(svc->Install()) << dir;
  }
  EXPECT_EQ(Tree(reg.units), Strings{"multi-user.target.wants"});
}

// Settings go to a drop-in systemd takes. Uninstall removes the unit, its
// link and its settings, once; a drop-in of the administrator's stays, and
// with it its folder. (That the account's password is written nowhere, the
// install scenario shows.)
TEST(ServiceControlSaveSetting, KeepsSettingsInADropInThatUninstallRemoves) {
  Registration reg;
  FakeLoop loop;
  auto svc = MainService(loop, kStartAuto);
  EXPECT_FALSE(svc->SaveSetting("Parameters", "TimerInterval", "1000"))
      << "no registration to keep it with";
  EXPECT_EQ(Tree(reg.units), Strings{});

  const std::string unit = kMainUnit, drop_in = reg.Unit(unit + ".d/settings.conf");
  ASSERT_TRUE(svc->Install());
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "1000"));
  // The same key again replaces its line; another key joins it.
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "2000"));
  ASSERT_TRUE(svc->SaveSetting("Parameters", "Note", "50% \"off\" C:\\x"));
  EXPECT_FALSE(svc->SaveSetting("Parameters", "Bad", "a\nb"));
  EXPECT_EQ(Values(ReadBytes(drop_in), "Environment"),
            (Strings{"\"QUILLONSRV_PARAMETERS_TIMERINTERVAL=2000\"",
                     "\"QUILLONSRV_PARAMETERS_NOTE=50%% \\\"off\\\" C:\\\\x\""}));
  ExpectVerified({reg.Unit(unit)});
  // No temporary files left.
  const std::string wants = "multi-user.target.wants";
  EXPECT_EQ(Tree(reg.units),
            (Strings{unit, unit + ".d", unit + ".d/settings.conf", wants, wants + "/" + unit}));

  test::WriteBytes(reg.Unit(unit + ".d/local.conf"), "");
  EXPECT_TRUE(svc->Uninstall());
  EXPECT_EQ(Tree(reg.units), (Strings{unit + ".d", unit + ".d/local.conf", wants}));
  fs::remove(reg.Unit(unit + ".d/local.conf"));
  ASSERT_TRUE(svc->Install());
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "1000"));
  EXPECT_TRUE(svc->Uninstall());
  EXPECT_EQ(Tree(reg.units), Strings{wants});
}

// Records the events of a control as words ("start", "pause", ...);
// each handler reports `succeed`.
struct EventLog {
  std::string events;
  bool succeed = true;
  // Records the events of `svc` and connects it in debug mode.
  bool Connect(ServiceControl& svc, std::int32_t accepted = kAcceptPauseContinue) {
    auto add = [this](const std::string& e) { events += (events.empty() ? "" : " ") + e; };
    auto handler = [=, this](const std::string& e) {
      return [=, this](bool& ok) {
        add(e);
        ok = succeed;
      };
    };
    svc.OnStart = handler("start");
    svc.OnStop = [=] { add("stop"); };
    svc.OnPause = handler("pause");
    svc.OnContinue = handler("continue");
    svc.Debug = true;
    svc.ControlsAccepted = accepted;
    return svc.Connect();
  }
};

// Without the service manager (no NOTIFY_SOCKET, no INVOCATION_ID) only
// the debug flag connects, and whoever started the program hears so once;
// status lines are one line.
TEST(ServiceControlConnect, NeedsServiceManagerOrDebug) {
  FakeSystemd systemd;
  FakeLoop loop;
  {
    ScopedEnv no_socket("NOTIFY_SOCKET", nullptr), no_invocation("INVOCATION_ID", nullptr);
    auto svc = MainService(loop);
    EXPECT_EQ(CaptureStderr([&] { EXPECT_FALSE(svc->Connect() || svc->Connect()); }),
              std::string(kMainName) + ": not started by the service manager, running unmanaged; "
              "-debug,NAME,,INI FOLDER,PRODUCT FOLDER runs it in the foreground\n");
    EXPECT_TRUE(loop.posted.empty() && loop.signals.empty()) << "connected all the same";
    ScopedEnv invocation("INVOCATION_ID", "0123456789abcdef");
    EXPECT_TRUE(MainService(loop)->Connect());
  }
  auto svc = MainService(loop, 0, &systemd);
  svc->ReportStatus("Running; last work cycle\nat 12:00");
  EXPECT_EQ(systemd.Take(), Strings{"STATUS=Running; last work cycle at 12:00"});
}

// A connection in debug mode; the manager's requests arrive as signals. A
// stop before the start event or a control that has gone raises nothing
// more.
TEST(ServiceControlSignals, RaiseEventsAsTheServiceManagerWould) {
  const std::string kPaused = "STATUS=Paused", kRunning = "STATUS=Running",
                    kStopping = "STOPPING=1";
  struct Row {
    std::vector<int> signals;
    std::string events;
    Strings notes;  // what the manager learns: each successful pause and continue, the stop
    bool succeed = true;
    std::int32_t accepted = kAcceptPauseContinue;
  } rows[] = {
      {{SIGTSTP, SIGTSTP, SIGCONT, SIGCONT}, "pause continue", {kPaused, kRunning}},
      {{SIGCONT}, "", {}},  // continue while running
      // systemd sends SIGCONT after the stop.
      {{SIGINT, SIGCONT, SIGINT}, "stop", {kStopping}},
      {{SIGTSTP, SIGTERM, SIGCONT}, "pause stop", {kPaused, kStopping}},
      {{SIGTSTP, SIGCONT, SIGTSTP}, "pause pause", {}, false},  // still running
      {{SIGTSTP, SIGCONT, SIGTERM}, "stop", {kStopping}, true, 0},  // not accepted
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.events + (r.succeed ? "" : " (failing)"));
    FakeSystemd systemd;
    FakeLoop loop;
    EventLog log;
    auto svc = MainService(loop, 0, &systemd);
    // The connection reports ready and stands; the start event comes once,
    // through the loop.
    ASSERT_TRUE(log.Connect(*svc, r.accepted));
    EXPECT_EQ(systemd.Take(), Strings{"READY=1"});
    loop.RunPosted();
    EXPECT_TRUE(svc->Connect());
    EXPECT_TRUE(loop.posted.empty()) << "a second start event";
    EXPECT_EQ(log.events, "start");
    EXPECT_EQ(systemd.Take(), Strings{kRunning});
    log.events.clear();
    log.succeed = r.succeed;
    for (int signo : r.signals) loop.Raise(signo);
    EXPECT_EQ(log.events, r.events);
    EXPECT_EQ(systemd.Take(), r.notes);
  }

  FakeLoop loop, loop2;
  EventLog log;
  auto svc = MainService(loop), gone = MainService(loop2);
  ASSERT_TRUE(log.Connect(*svc) && log.Connect(*gone));
  loop.Raise(SIGTERM);  // before the start event ran
  loop.RunPosted();
  loop.Raise(SIGTSTP);
  gone.reset();
  loop2.RunPosted();
  loop2.Raise(SIGTERM);
  EXPECT_EQ(log.events, "stop");
}

// A pause (Ctrl-Z) in a debug run on a terminal, a real one: the service
// pauses, then stops the process, so that the shell gets control back; `fg`
// sends the SIGCONT that lets it go on.
TEST(ServiceControlSignals, PauseOnATerminalStopsTheProcess) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(20);  // a child that never stops or ends does not hold the test
    FakeLoop loop;
    EventLog log;
    auto svc = CreateServiceControl(loop);
    log.Connect(*svc);
    loop.RunPosted();
    loop.Raise(SIGTSTP);
    ::_exit(log.events == "start pause" ? 0 : 1);
  }
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
  EXPECT_TRUE(WIFSTOPPED(status)) << "the shell never gets control back";
  ::kill(pid, SIGCONT);
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(master);
}

// The journal entry's identifier is what an administrator types: the service
// name, under systemd that of the unit the service runs in. Without a
// journal, or with QUILLONSRV_NO_JOURNAL, the entry goes to standard error.
TEST(ServiceControlLogEvent, JournalEntriesCarryTheServiceName) {
  struct Row {
    std::int16_t type;
    const char* priority;
    bool debug;
    std::string service_name, unit, identifier;
  } rows[] = {
      {kEventError, "PRIORITY=3", false, "Quillon Pro", kMainUnit, kMainName},
      {kEventInformation, "PRIORITY=6", false, "Quillon Pro", "session-2.scope", "Quillon Pro"},
      {2, "PRIORITY=4", true, kMainName, "user@0.service", kMainName},
  };
  ScopedEnv invocation("INVOCATION_ID", "0123456789abcdef");
  for (const Row& r : rows) {
    FakeSystemd systemd;
    systemd.unit = r.unit;
    FakeLoop loop;
    auto svc = MainService(loop, 0, &systemd);
    svc->ServiceName = r.service_name;
    svc->Debug = r.debug;
    ASSERT_TRUE(svc->Connect());
    svc->LogEvent(r.type, 109, "NT Service pausiert");
    EXPECT_EQ(systemd.entries, (std::vector<Strings>{{"MESSAGE=NT Service pausiert", r.priority,
                                                      "QUILLON_MESSAGE_ID=109",
                                                      "SYSLOG_IDENTIFIER=" + r.identifier}}));
    systemd.journal_up = false;
    EXPECT_EQ(CaptureStderr([&] { svc->LogEvent(r.type, 110, "x"); }), r.identifier + ": x\n");
    ScopedEnv no_journal("QUILLONSRV_NO_JOURNAL", "1");
    systemd.entries.clear();
    EXPECT_EQ(CaptureStderr([&] { svc->LogEvent(r.type, 110, "y"); }), r.identifier + ": y\n");
    EXPECT_TRUE(systemd.entries.empty()) << "the journal, though switched off";
  }
}

}  // namespace
}  // namespace qs::platform

#endif  // _WIN32
