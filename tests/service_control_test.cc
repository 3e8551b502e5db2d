// The systemd service control: unit names against systemd-escape, the unit
// files of every start mode and account checked by systemd-analyze verify,
// the registration's files on install, uninstall and save setting, and the
// connection with its events, notifications and journal entries.
#ifndef _WIN32

#include "platform/service_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/posix/systemd_unit.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

extern char** environ;

namespace qs::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TempDir;

// Sets (or with nullptr removes) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

struct ToolRun {
  int status;
  std::string output;  // standard output and standard error
};

// Runs a program found on PATH; nullopt when it is not installed.
std::optional<ToolRun> RunTool(std::vector<std::string> args) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  int rc =
      ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (rc != 0) {
    ::close(pipe_fds[0]);
    return std::nullopt;
  }
  ToolRun run{};
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) {
    run.output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  ::waitpid(pid, &run.status, 0);
  return run;
}

// systemd-analyze verify on one unit file: "" when it passes without a
// single remark, else what it said; nullopt without systemd-analyze.
std::optional<std::string> VerifyUnit(const std::string& path) {
  auto run = RunTool({"systemd-analyze", "verify", path});
  if (!run) return std::nullopt;
  if (WIFEXITED(run->status) && WEXITSTATUS(run->status) == 0 &&
      run->output.empty()) {
    return std::string();
  }
  return "exit status " + std::to_string(run->status) + ": " + run->output;
}

#define EXPECT_VERIFIES(path)                                          \
  do {                                                                 \
    std::optional<std::string> remarks = VerifyUnit(path);             \
    if (!remarks) {                                                    \
      std::fprintf(stderr, "systemd-analyze missing: not verified\n"); \
    } else {                                                           \
      EXPECT_EQ(*remarks, "") << "systemd-analyze verify " << (path);  \
    }                                                                  \
  } while (0)

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
  for (const std::string& l : Lines(text)) {
    if (l == line) return true;
  }
  return false;
}

// The lines starting with `key` + "=".
std::vector<std::string> Values(const std::string& text,
                                const std::string& key) {
  std::vector<std::string> values;
  for (const std::string& l : Lines(text)) {
    if (l.rfind(key + "=", 0) == 0) values.push_back(l.substr(key.size() + 1));
  }
  return values;
}

// Every file and link below `root`, relative to it.
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    names.push_back(fs::relative(it->path(), root).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What `body` writes to standard error (file descriptor 2).
std::string CaptureStderr(const std::function<void()>& body) {
  TempDir capture;
  std::string file = capture.Join("stderr");
  std::fflush(stderr);
  int saved = ::dup(2);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(fd, 2);
  ::close(fd);
  body();
  ::dup2(saved, 2);
  ::close(saved);
  return ReadBytes(file);
}

// A product folder "<temp>/<product>/bin/QuillonSrv" (a real executable, as
// systemd-analyze checks ExecStart) that the service control takes for its
// own executable, and an empty unit folder in QUILLONSRV_UNIT_DIR.
class Registration {
 public:
  explicit Registration(const std::string& product = "Quillon Pro")
      : product_(tmp_.Join(product)),
        units_(tmp_.Join("units")),
        unit_env_("QUILLONSRV_UNIT_DIR", units_.c_str()) {
    fs::create_directories(product_ + "/bin");
    fs::create_directories(units_);
    process_.exe = product_ + "/bin/QuillonSrv";
    test::WriteBytes(process_.exe, "#!/bin/sh\nexit 0\n");
    ::chmod(process_.exe.c_str(), 0755);
    scoped_ = std::make_unique<ScopedPlatform>(
        Platform{nullptr, nullptr, nullptr, &process_, nullptr, nullptr});
  }

  const std::string& product() const { return product_; }
  const std::string& exe() const { return process_.exe; }
  const std::string& units() const { return units_; }
  std::string Unit(const std::string& name) const {
    return units_ + "/" + name;
  }
  std::string WantsLink(const std::string& name) const {
    return units_ + "/multi-user.target.wants/" + name;
  }
  std::string root() const { return tmp_.path(); }

 private:
  TempDir tmp_;
  std::string product_;
  std::string units_;
  ScopedEnv unit_env_;
  test::FakeProcess process_;
  std::unique_ptr<ScopedPlatform> scoped_;
};

const char kMainUnit[] = "Quillon\\x20Pro\\x20Service\\x20Main.service";

// A loop that keeps what it is given; the test runs it by hand.
class FakeLoop : public MessageLoop {
 public:
  std::vector<std::function<void()>> posted;
  std::map<int, std::function<void()>> signals;

  void Run() override {}
  void PumpPending() override { RunPosted(); }
  void Quit() override { quit_ = true; }
  bool QuitRequested() const override { return quit_; }
  void Post(std::function<void()> task) override {
    posted.push_back(std::move(task));
  }
  std::unique_ptr<Timer> CreateTimer(std::function<void()>) override {
    return nullptr;
  }
  void OnSignal(int signo, std::function<void()> on_signal) override {
    signals[signo] = std::move(on_signal);
  }
  void WatchFd(int, std::function<void()>) override {}

  void RunPosted() {
    auto tasks = std::move(posted);
    posted.clear();
    for (auto& t : tasks) t();
  }
  void Raise(int signo) { signals.at(signo)(); }

 private:
  bool quit_ = false;
};

std::unique_ptr<ServiceControl> MainService(MessageLoop& loop) {
  auto svc = CreateServiceControl(loop);
  svc->DisplayName = "Quillon Pro Service Main";
  svc->ServiceName = svc->DisplayName;
  return svc;
}

// ---------------------------------------------------------------------------
// Unit names.

TEST(ServiceControlUnitName, EscapesServiceNamesAsSystemdDoes) {
  struct Case {
    std::string service_name;
    std::string unit;
  } cases[] = {
      {"Quillon Pro Service Main",
       "Quillon\\x20Pro\\x20Service\\x20Main.service"},
      {"Quillon Pro Service [Main]",
       "Quillon\\x20Pro\\x20Service\\x20\\x5bMain\\x5d.service"},
      {"Quillon Pro", "Quillon\\x20Pro.service"},
      {".dot/a-b_c:d.e", "\\x2edot-a\\x2db_c:d.e.service"},
      {"back\\slash", "back\\x5cslash.service"},
      {"Z\xc3\xbcrich", "Z\\xc3\\xbcrich.service"},
      {"Z\xfcrich", "Z\\xfcrich.service"},
      {"", ""},
      {std::string(247, 'a'), std::string(247, 'a') + ".service"},
      {std::string(248, 'a'), ""},  // past systemd's 255 bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(posix::ServiceUnitName(c.service_name), c.unit) << c.service_name;
  }

  std::vector<std::string> samples;
  for (const Case& c : cases) {
    if (!c.service_name.empty()) samples.push_back(c.service_name);
  }
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b);
  samples.push_back(every_byte);
  samples.push_back("./.a//b.");
  for (const std::string& s : samples) {
    auto run = RunTool({"systemd-escape", s});
    if (!run) {
      GTEST_SKIP() << "systemd-escape missing: escaping not compared";
    }
    std::string out = run->output;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    EXPECT_EQ(posix::EscapeUnitName(s), out) << "systemd-escape " << s;
  }
}

// ---------------------------------------------------------------------------
// Install.

TEST(ServiceControlInstall, WritesAUnitForEachStartModeAndAccount) {
  struct Case {
    std::int32_t start_mode;
    std::string account;
    bool interactive;
    std::string user;  // "" for no User=
    bool enabled;      // WantedBy= and the wants link
    bool installable;  // an [Install] section
    bool refuses_start;
  } cases[] = {
      {kStartAuto, "", false, "", true, true, false},
      {kStartManual, ".\\quillon", false, "quillon", false, true, false},
      {kStartDisabled, ".\\quillon", true, "", false, false, true},
      {kStartAuto, ".\\svc_copy-01", false, "svc_copy-01", true, true, false},
      {kStartManual, ".\\", false, "", false, true, false},
      {kStartDisabled, "", false, "", false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("start mode " + std::to_string(c.start_mode) + ", account " +
                 c.account);
    Registration reg;
    FakeLoop loop;
    auto svc = MainService(loop);
    svc->StartMode = c.start_mode;
    svc->Account = c.account;
    svc->Password = "pw";
    svc->Interactive = c.interactive;
    ASSERT_TRUE(svc->Install());

    std::string unit = ReadBytes(reg.Unit(kMainUnit));
    EXPECT_EQ(Values(unit, "Description"),
              std::vector<std::string>{"Quillon Pro Service Main"});
    EXPECT_EQ(Values(unit, "Type"), std::vector<std::string>{"notify"});
    EXPECT_EQ(Values(unit, "ExecStart"),
              std::vector<std::string>{"\"" + reg.exe() + "\""});
    EXPECT_EQ(Values(unit, "ReadWritePaths"),
              std::vector<std::string>{"\"-" + reg.product() + "\""});
    EXPECT_EQ(Values(unit, "User"), c.user.empty()
                                        ? std::vector<std::string>{}
                                        : std::vector<std::string>{c.user});
    EXPECT_EQ(HasLine(unit, "WantedBy=multi-user.target"), c.installable);
    EXPECT_EQ(HasLine(unit, "[Install]"), c.installable);
    EXPECT_EQ(HasLine(unit, "RefuseManualStart=yes"), c.refuses_start);
    // The signals the service takes are explained in the unit.
    EXPECT_NE(unit.find("SIGTSTP"), std::string::npos);
    EXPECT_NE(unit.find("SIGCONT"), std::string::npos);

    std::error_code ec;
    fs::path link = fs::read_symlink(reg.WantsLink(kMainUnit), ec);
    if (c.enabled) {
      EXPECT_EQ(link.string(), reg.Unit(kMainUnit));
    } else {
      EXPECT_TRUE(ec) << "unexpected wants link to " << link;
    }
    EXPECT_VERIFIES(reg.Unit(kMainUnit));
  }
}

// Names systemd reads with escapes and specifiers: the executable must be
// found under the name systemd makes of the unit's text, which verify checks.
TEST(ServiceControlInstall, QuotesAndEscapesNamesSoSystemdReadsThemBack) {
  struct Case {
    std::string product;
    std::string display_name;
  } cases[] = {
      {"Quillon Pro", "Quillon Pro Service Main"},
      {"QuillonPro", "Quillon Pro Service 100% [Main]"},
      {"Quillon 100%n Pro", "Quillon Pro Service Main\\"},
      {"Qu\xe4llon Pro", "Quillon Pro Service Z\xfcrich"},
      {"Z\xc3\xbcrich $HOME;x", "Quillon Pro Service\nUser=root"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product + " / " + c.display_name);
    Registration reg(c.product);
    FakeLoop loop;
    auto svc = MainService(loop);
    svc->DisplayName = c.display_name;
    ASSERT_TRUE(svc->Install());
    std::string path = reg.Unit(posix::ServiceUnitName(svc->ServiceName));
    std::string unit = ReadBytes(path);
    ASSERT_EQ(Values(unit, "Description").size(), 1u);
    std::string description = Values(unit, "Description")[0];
    EXPECT_NE(description.back(), '\\') << "would continue on the next line";
    EXPECT_TRUE(Values(unit, "User").empty());
    EXPECT_VERIFIES(path);
  }
}

TEST(ServiceControlInstall, HardensWithoutHidingTheProductFolder) {
  struct Case {
    std::string executable;
    bool private_tmp;
    std::vector<std::string> writable;
  } cases[] = {
      {"/opt/Quillon Pro/bin/QuillonSrv", true, {"\"-/opt/Quillon Pro\""}},
      {"/home/anna/Quillon Pro/bin/QuillonSrv",
       true,
       {"\"-/home/anna/Quillon Pro\""}},
      {"/tmp/demo/bin/QuillonSrv", false, {"\"-/tmp/demo\""}},
      {"/var/tmp/demo/bin/QuillonSrv", false, {"\"-/var/tmp/demo\""}},
      {"/tmpfiles/bin/QuillonSrv", true, {"\"-/tmpfiles\""}},
      {"/bin/QuillonSrv", true, {}},  // no product folder
  };
  Registration reg;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    posix::UnitSettings settings;
    settings.description = "Quillon Pro Service Main";
    settings.executable = c.executable;
    settings.product_folder = posix::ProductFolderOf(c.executable);
    settings.unit_name = kMainUnit;
    std::optional<std::string> unit = posix::UnitFileText(settings);
    ASSERT_TRUE(unit);
    EXPECT_EQ(HasLine(*unit, "PrivateTmp=yes"), c.private_tmp);
    EXPECT_EQ(Values(*unit, "ReadWritePaths"), c.writable);
    EXPECT_TRUE(HasLine(*unit, "ProtectSystem=full"));
    EXPECT_TRUE(Values(*unit, "ProtectHome").empty());

    // Verified with the executable systemd can find.
    std::string text = *unit;
    std::size_t at = text.find("ExecStart=");
    text.replace(at, text.find('\n', at) - at,
                 "ExecStart=\"" + reg.exe() + "\"");
    test::WriteBytes(reg.Unit(kMainUnit), text);
    EXPECT_VERIFIES(reg.Unit(kMainUnit));
  }
}

TEST(ServiceControlInstall, RefusesWhatSystemdCannotTake) {
  struct Case {
    std::string what;
    std::string product;
    std::string service_name;
    std::string account;
    std::int32_t start_mode;
  } cases[] = {
      {"quote in executable", "Quillon \"Pro\"", "Quillon Pro Service Main", "",
       kStartManual},
      {"backslash in executable", "Quillon\\Pro", "Quillon Pro Service Main",
       "", kStartManual},
      {"empty service name", "Quillon Pro", "", "", kStartManual},
      {"start mode 1", "Quillon Pro", "Quillon Pro Service Main", "", 1},
      {"start mode 5", "Quillon Pro", "Quillon Pro Service Main", "", 5},
      {"user with colon", "Quillon Pro", "Quillon Pro Service Main", ".\\a:b",
       kStartAuto},
      {"domain user", "Quillon Pro", "Quillon Pro Service Main",
       ".\\DOMAIN\\anna", kStartAuto},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Registration reg(c.product);
    FakeLoop loop;
    auto svc = CreateServiceControl(loop);
    svc->ServiceName = c.service_name;
    svc->Account = c.account;
    svc->StartMode = c.start_mode;
    EXPECT_FALSE(svc->Install());
    EXPECT_EQ(Tree(reg.units()), std::vector<std::string>{});
  }
}

TEST(ServiceControlInstall, ExistingUnitOrUnwritableFolderFails) {
  Registration reg;
  FakeLoop loop;
  auto svc = MainService(loop);
  svc->StartMode = kStartAuto;
  ASSERT_TRUE(svc->Install());
  const std::string first = ReadBytes(reg.Unit(kMainUnit));
  const std::vector<std::string> tree = Tree(reg.units());

  // The same name again, even with other properties, keeps the first unit.
  svc->DisplayName = "Something Else";
  svc->StartMode = kStartManual;
  EXPECT_FALSE(svc->Install());
  EXPECT_EQ(ReadBytes(reg.Unit(kMainUnit)), first);
  EXPECT_EQ(Tree(reg.units()), tree);

  // A missing folder, a file in place of the folder.
  svc->DisplayName = "Quillon Pro Service Main";
  TempDir other;
  test::WriteBytes(other.Join("file"), "x");
  for (std::string dir : {other.Join("missing"), other.Join("file")}) {
    ScopedEnv env("QUILLONSRV_UNIT_DIR", dir.c_str());
    EXPECT_FALSE(svc->Install()) << dir;
  }
  // A read-only folder (root writes anyway).
  if (::geteuid() != 0) {
    ScopedEnv env("QUILLONSRV_UNIT_DIR", other.path().c_str());
    ::chmod(other.path().c_str(), 0555);
    EXPECT_FALSE(svc->Install());
    ::chmod(other.path().c_str(), 0755);
  }
  EXPECT_EQ(Tree(other.path()), std::vector<std::string>{"file"});
}

TEST(ServiceControlInstall, FailedEnableLeavesNoUnitBehind) {
  Registration reg;
  // The wants folder cannot be made: a file has its name.
  test::WriteBytes(reg.units() + "/multi-user.target.wants", "");
  FakeLoop loop;
  auto svc = MainService(loop);
  svc->StartMode = kStartAuto;
  EXPECT_FALSE(svc->Install());
  EXPECT_EQ(Tree(reg.units()),
            std::vector<std::string>{"multi-user.target.wants"});
  // Manual start needs no link and installs.
  svc->StartMode = kStartManual;
  EXPECT_TRUE(svc->Install());
}

// ---------------------------------------------------------------------------
// Uninstall and saved settings.

TEST(ServiceControlUninstall, RemovesUnitLinkAndSettingsOnce) {
  Registration reg;
  FakeLoop loop;
  auto svc = MainService(loop);
  svc->StartMode = kStartAuto;
  ASSERT_TRUE(svc->Install());
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "1000"));
  // A drop-in of the administrator's stays.
  test::WriteBytes(reg.Unit(kMainUnit) + ".d/local.conf", "[Service]\n");

  // Another name ("-u,Main" gives brackets) removes nothing.
  auto other = CreateServiceControl(loop);
  other->ServiceName = "Quillon Pro Service [Main]";
  EXPECT_FALSE(other->Uninstall());
  EXPECT_TRUE(test::Exists(reg.Unit(kMainUnit)));

  EXPECT_TRUE(svc->Uninstall());
  EXPECT_EQ(Tree(reg.units()),
            (std::vector<std::string>{
                "Quillon\\x20Pro\\x20Service\\x20Main.service.d",
                "Quillon\\x20Pro\\x20Service\\x20Main.service.d/local.conf",
                "multi-user.target.wants"}));
  EXPECT_FALSE(svc->Uninstall());

  // Without the foreign drop-in the folder goes too.
  ASSERT_TRUE(svc->Install());
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "1000"));
  fs::remove(reg.Unit(kMainUnit) + ".d/local.conf");
  EXPECT_TRUE(svc->Uninstall());
  EXPECT_EQ(Tree(reg.units()),
            std::vector<std::string>{"multi-user.target.wants"});
}

TEST(ServiceControlSaveSetting, KeepsSettingsInADropIn) {
  Registration reg;
  FakeLoop loop;
  auto svc = MainService(loop);
  EXPECT_FALSE(svc->SaveSetting("Parameters", "TimerInterval", "1000"))
      << "no registration to keep it with";
  EXPECT_EQ(Tree(reg.units()), std::vector<std::string>{});

  ASSERT_TRUE(svc->Install());
  const std::string drop_in = reg.Unit(kMainUnit) + ".d/settings.conf";
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "1000"));
  EXPECT_EQ(
      Values(ReadBytes(drop_in), "Environment"),
      std::vector<std::string>{"\"QUILLONSRV_PARAMETERS_TIMERINTERVAL=1000\""});
  EXPECT_TRUE(HasLine(ReadBytes(drop_in), "[Service]"));

  // The same key again replaces its line; another key joins it.
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "2000"));
  ASSERT_TRUE(svc->SaveSetting("Parameters", "Note", "50% \"off\" C:\\x"));
  EXPECT_EQ(Values(ReadBytes(drop_in), "Environment"),
            (std::vector<std::string>{
                "\"QUILLONSRV_PARAMETERS_TIMERINTERVAL=2000\"",
                "\"QUILLONSRV_PARAMETERS_NOTE=50%% \\\"off\\\" C:\\\\x\""}));
  EXPECT_FALSE(svc->SaveSetting("Parameters", "Bad", "a\nb"));
  EXPECT_EQ(Values(ReadBytes(drop_in), "Environment").size(), 2u);
  EXPECT_VERIFIES(reg.Unit(kMainUnit));
  // Only the unit, its drop-in: no temporary files left.
  EXPECT_EQ(
      Tree(reg.units()),
      (std::vector<std::string>{kMainUnit, std::string(kMainUnit) + ".d",
                                std::string(kMainUnit) + ".d/settings.conf"}));
}

TEST(ServiceControlInstall, PasswordIsWrittenNowhere) {
  const char kPassword[] = "Geh31m-Pa55";
  Registration reg;
  ScopedEnv no_journal("QUILLONSRV_NO_JOURNAL", "1");
  FakeLoop loop;
  auto svc = MainService(loop);
  svc->StartMode = kStartAuto;
  svc->Account = ".\\quillon";
  svc->Password = kPassword;
  svc->Interactive = false;
  ASSERT_TRUE(svc->Install());
  ASSERT_TRUE(svc->SaveSetting("Parameters", "TimerInterval", "1000"));

  EXPECT_EQ(CaptureStderr([&] {
              svc->LogEvent(kEventError, 109,
                            "[5] Invalid procedure call or argument");
            }),
            "Quillon Pro Service Main: [5] Invalid procedure call or "
            "argument\n");

  int files = 0;
  for (const std::string& name : Tree(reg.units())) {
    std::string path = reg.units() + "/" + name;
    if (fs::is_directory(path)) continue;
    ++files;
    EXPECT_EQ(ReadBytes(path).find(kPassword), std::string::npos) << name;
  }
  EXPECT_EQ(files, 3);  // unit, wants link, drop-in
}

// ---------------------------------------------------------------------------
// Connection, events and notifications.

// A notification socket as systemd offers it, named by NOTIFY_SOCKET.
class NotifySocket {
 public:
  NotifySocket()
      : path_(dir_.Join("notify")),
        fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
        env_("NOTIFY_SOCKET", path_.c_str()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ADD_FAILURE() << "cannot bind " << path_;
    }
  }
  ~NotifySocket() { ::close(fd_); }

  // The messages received since the last call.
  std::vector<std::string> Take() {
    std::vector<std::string> out;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) {
      out.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  TempDir dir_;
  std::string path_;
  int fd_;
  ScopedEnv env_;
};

// Records the events of a control as words ("start(false)", "pause", ...);
// each handler reports `succeed`.
struct EventLog {
  std::vector<std::string> events;
  bool succeed = true;
  void Attach(ServiceControl& svc) {
    svc.OnStart = [this](bool& ok) {
      events.push_back(std::string("start(") + (ok ? "true" : "false") + ")");
      ok = succeed;
    };
    svc.OnStop = [this] { events.push_back("stop"); };
    svc.OnPause = [this](bool& ok) {
      events.push_back("pause");
      ok = succeed;
    };
    svc.OnContinue = [this](bool& ok) {
      events.push_back("continue");
      ok = succeed;
    };
  }
  std::string Joined() const {
    std::string s;
    for (const std::string& e : events) s += (s.empty() ? "" : " ") + e;
    return s;
  }
};

TEST(ServiceControlConnect, NeedsServiceManagerOrDebugFlag) {
  ScopedEnv no_socket("NOTIFY_SOCKET", nullptr);
  ScopedEnv no_invocation("INVOCATION_ID", nullptr);
  {
    FakeLoop loop;
    auto svc = MainService(loop);
    EXPECT_FALSE(svc->Connect());
    EXPECT_FALSE(svc->Connect());
    EXPECT_TRUE(loop.posted.empty());
    EXPECT_TRUE(loop.signals.empty()) << "signals taken without connection";
  }
  {
    ScopedEnv invocation("INVOCATION_ID", "0123456789abcdef");
    FakeLoop loop;
    auto svc = MainService(loop);
    EXPECT_TRUE(svc->Connect());
    EXPECT_EQ(loop.posted.size(), 1u);
  }
}

TEST(ServiceControlConnect, DebugConnectionReportsReadyAndStartsOnce) {
  NotifySocket notify;
  FakeLoop loop;
  EventLog log;
  auto svc = MainService(loop);
  log.Attach(*svc);
  svc->Debug = true;
  svc->ControlsAccepted = kAcceptPauseContinue;

  EXPECT_TRUE(svc->Connect());
  EXPECT_TRUE(svc->Connect());  // the connection stands
  EXPECT_EQ(notify.Take(), std::vector<std::string>{"READY=1"});
  EXPECT_EQ(loop.posted.size(), 1u);
  EXPECT_EQ(log.Joined(), "") << "the start event goes through the loop";
  for (int signo : {SIGTERM, SIGINT, SIGTSTP, SIGCONT}) {
    EXPECT_EQ(loop.signals.count(signo), 1u) << "signal " << signo;
  }
  loop.RunPosted();
  EXPECT_EQ(log.Joined(), "start(false)");
  EXPECT_EQ(notify.Take(), std::vector<std::string>{"STATUS=Running"});
  EXPECT_TRUE(svc->Connect());
  EXPECT_TRUE(loop.posted.empty()) << "a second start event";

  svc->ReportStatus("Running; last work cycle\nat 12:00");
  svc->ReportStopping();
  EXPECT_EQ(notify.Take(),
            (std::vector<std::string>{
                "STATUS=Running; last work cycle at 12:00", "STOPPING=1"}));
}

TEST(ServiceControlSignals, RaiseEventsAsTheServiceManagerWould) {
  struct Case {
    std::string what;
    std::vector<int> signals;
    std::string events;
    bool handlers_succeed = true;
    std::int32_t accepted = kAcceptPauseContinue;
  } cases[] = {
      {"pause, continue", {SIGTSTP, SIGCONT}, "pause continue"},
      {"pause twice, continue twice",
       {SIGTSTP, SIGTSTP, SIGCONT, SIGCONT},
       "pause continue"},
      {"continue while running", {SIGCONT}, ""},
      {"stop, then systemd's SIGCONT and more stops",
       {SIGTERM, SIGCONT, SIGTERM, SIGINT},
       "stop"},
      {"Ctrl-C", {SIGINT}, "stop"},
      {"stop while paused", {SIGTSTP, SIGTERM, SIGCONT}, "pause stop"},
      {"pause failed: still running",
       {SIGTSTP, SIGCONT, SIGTSTP},
       "pause pause",
       false},
      {"pause and continue not accepted",
       {SIGTSTP, SIGCONT, SIGTERM},
       "stop",
       true,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NotifySocket notify;
    FakeLoop loop;
    EventLog log;
    auto svc = MainService(loop);
    log.Attach(*svc);
    svc->Debug = true;
    svc->ControlsAccepted = c.accepted;
    ASSERT_TRUE(svc->Connect());
    loop.RunPosted();
    log.events.clear();
    log.succeed = c.handlers_succeed;
    notify.Take();
    for (int signo : c.signals) loop.Raise(signo);
    EXPECT_EQ(log.Joined(), c.events);

    // What the manager was told: a status for each successful pause and
    // continue, STOPPING=1 for the stop.
    std::vector<std::string> expected;
    for (const std::string& e : log.events) {
      if (e == "stop") expected.push_back("STOPPING=1");
      if (!c.handlers_succeed) continue;
      if (e == "pause") expected.push_back("STATUS=Paused");
      if (e == "continue") expected.push_back("STATUS=Running");
    }
    EXPECT_EQ(notify.Take(), expected);
  }
}

TEST(ServiceControlSignals, NothingAfterStopOrOnceTheControlIsGone) {
  FakeLoop loop;
  EventLog log;
  auto svc = MainService(loop);
  log.Attach(*svc);
  svc->Debug = true;
  ASSERT_TRUE(svc->Connect());
  loop.Raise(SIGTERM);  // before the start event ran
  loop.RunPosted();
  loop.Raise(SIGTSTP);
  EXPECT_EQ(log.Joined(), "stop");

  FakeLoop loop2;
  auto gone = MainService(loop2);
  log.Attach(*gone);
  gone->Debug = true;
  ASSERT_TRUE(gone->Connect());
  gone.reset();
  loop2.RunPosted();
  loop2.Raise(SIGTERM);
  EXPECT_EQ(log.Joined(), "stop");
}

// The real loop: the signals reach the handlers through its signalfd.
TEST(ServiceControlSignals, RealSignalsRaiseEventsThroughTheLoop) {
  auto loop = CreateMessageLoop();
  EventLog log;
  auto svc = MainService(*loop);
  log.Attach(*svc);
  svc->Debug = true;
  svc->ControlsAccepted = kAcceptPauseContinue;
  ASSERT_TRUE(svc->Connect());
  auto pump_until = [&](std::size_t count) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (log.events.size() < count &&
           std::chrono::steady_clock::now() < limit) {
      loop->PumpPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  pump_until(1);
  ::raise(SIGTSTP);
  pump_until(2);
  ::raise(SIGCONT);
  pump_until(3);
  ::raise(SIGTERM);
  pump_until(4);
  EXPECT_EQ(log.Joined(), "start(false) pause continue stop");
}

// ---------------------------------------------------------------------------
// Event log.

TEST(ServiceControlLogEvent, JournalFieldsByEventType) {
  struct Case {
    std::int16_t type;
    std::int32_t id;
    const char* priority;
  } cases[] = {
      {kEventError, 109, "PRIORITY=3"},
      {kEventInformation, 110, "PRIORITY=6"},
      {2, 111, "PRIORITY=4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(posix::JournalFields(c.type, c.id, "NT Service pausiert",
                                   "Quillon Pro Service Main"),
              (std::vector<std::string>{
                  "MESSAGE=NT Service pausiert", c.priority,
                  "QUILLON_MESSAGE_ID=" + std::to_string(c.id),
                  "SYSLOG_IDENTIFIER=Quillon Pro Service Main"}));
  }
}

TEST(ServiceControlLogEvent, WithoutJournalWritesStandardError) {
  ScopedEnv no_journal("QUILLONSRV_NO_JOURNAL", "1");
  FakeLoop loop;
  auto svc = MainService(loop);
  EXPECT_EQ(CaptureStderr([&] {
              svc->LogEvent(kEventError, 109, "NT Service pausiert");
              svc->LogEvent(kEventInformation, 110, "NT Service fortgefahren");
            }),
            "Quillon Pro Service Main: NT Service pausiert\n"
            "Quillon Pro Service Main: NT Service fortgefahren\n");
}

}  // namespace
}  // namespace qs::platform

#endif  // _WIN32
