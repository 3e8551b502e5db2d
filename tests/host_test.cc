// The service form's start-up, command line, service events and work cycle,
// with a recording service control and engine. The INI files lie in a
// temporary folder: the form reads them through the OS profile functions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "config/ini_handler.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "tests/fake_clock.h"
#include "tests/fakes.h"
#include "tests/mem_file_system.h"
#include "tests/test_support.h"

namespace qs {
namespace {

class HostTest : public testing::Test {
 protected:
  void SetUp() override {
    modRavelinLITE::ResetForTest();
    std::filesystem::create_directories(bin_);
    std::filesystem::create_directories(product_ + s_ + "logs");
    process_.exe = bin_ + s_ + "QuillonSrv";
    WriteInis("");
  }
  void TearDown() override {
    form_.reset();
    modRavelinLITE::ResetForTest();
  }

  // The main INI with `options` added to its [Options], and the service INI
  // naming it; no log.
  void WriteInis(const std::string& options) {
    test::WriteBytes(main_ini_, "[Options]\r\nLanguage=Deutsch\r\nAppPath=" + product_ +
                                    "\r\nWriteLog=1\r\n" + options);
    test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "\r\n");
    std::filesystem::remove(default_log_);
  }

  // A fresh form on a fresh loop, loaded with `command_line`.
  frmMain& Load(const std::string& command_line) {
    form_.reset();
    // The form's timers follow a clock that stands still: the main timer
    // (whose interval the environment may shorten) never ticks in a case.
    loop_ = test::LoopOn(clock_);
    Components c;
    c.NewServiceControl = [this](platform::MessageLoop&) {
      auto s = std::make_unique<test::FakeServiceControl>();
      svc_ = s.get();
      svc_->install_result = svc_->uninstall_result = svc_result_;
      svc_->connect_result = connect_result_;
      return s;
    };
    c.NewJobEngine = [this](platform::MessageLoop&) {
      auto e = std::make_unique<test::FakeJobEngine>();
      engine_ = e.get();
      return e;
    };
    form_ = std::make_unique<frmMain>(*loop_, *fs_, std::move(c));
    // {P} stands for the product folder, {B} for its bin folder.
    std::string line = command_line;
    for (auto [from, to] : {std::pair{"{P}", product_}, std::pair{"{B}", bin_}}) {
      for (std::size_t at; (at = line.find(from)) != std::string::npos;) line.replace(at, 3, to);
    }
    form_->Form_Load(line);
    return *form_;
  }
  frmMain& Form() { return *form_; }
  // A normal start, its log lines removed.
  void Start() {
    ASSERT_FALSE(Load("").Ended());
    std::filesystem::remove(default_log_);
  }

  std::string Main(const std::string& section, const std::string& key) {
    return modIniHandler::GetINIString(section, key, "<none>", main_ini_, 256);
  }
  std::string Log() { return test::ReadBytes(default_log_); }
  // The event-log entries as "<type> <text>".
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    for (const auto& e : svc_->events) out.push_back(std::to_string(e.type) + " " + e.text);
    return out;
  }

  const std::string s_ = test::Sep();
  test::TempDir dir_;
  const std::string product_ = dir_.Join("Quillon Pro"), bin_ = product_ + s_ + "bin",
                    main_ini_ = product_ + s_ + "Quillon.ini",
                    service_ini_ = bin_ + s_ + "QuillonSrv.ini",
                    default_log_ = product_ + s_ + "logs" + s_ + "DefaultLog.txt";
  test::FakeProcess process_;
  test::FakeUi ui_;
  test::FakeWindows windows_;
  platform::ScopedPlatform scoped_{{.process = &process_, .windows = &windows_, .ui = &ui_}};
  test::FakeClock clock_;
  std::unique_ptr<platform::MessageLoop> loop_;
  std::unique_ptr<frmMain> form_;
  platform::FileSystem* fs_ = &platform::OsFileSystem();  // the form's
  test::FakeServiceControl* svc_ = nullptr;
  test::FakeJobEngine* engine_ = nullptr;
  bool svc_result_ = true, connect_result_ = true;
};

// Install and uninstall lines end the program once the service control has
// been asked; the main INI keeps the outcome. An empty name or folder, or
// one with a control character, installs nothing and writes no line of its
// choosing; an account without field 7 "0" is not used, and the
// administrator is told.
TEST_F(HostTest, RegistrationLines) {
  const std::string
      kMain = "Quillon Pro Service Main ",
      kOk = "erfolgreich installiert.", kNot = "konnte nicht installiert werden.",
      kRefused = "install refused", kInstall = "Install Quillon Pro Service Main ",
      kAsRoot =
          "Quillon Pro Service Main: installed without the account svc: field 7 is not \"0\" "
          "(does the password hold a comma?); the service runs as root";
  // The calls of an install that succeeds: with its mode and account, then the timer's setting.
  auto Installed = [&](const std::string& how) {
    return kInstall + how + "; SaveSetting Parameters/TimerInterval=1000";
  };
  struct Row {
    std::string line;
    bool ok;            // the service control's answer
    std::string asked;  // its calls
    std::string state, last_msg, notice = "";
  } rows[] = {
      // "...\Quillon Pro\bin\Quillon.ini" names the product folder's main INI.
      {"-install,-auto,Main,{B},{P}", true, Installed("2 /"), "1", kMain + kOk},
      {"-install,-manual, Main ,{P},{P},svc , pw  ,0", true, Installed("3 .\\svc/ pw  "), "1",
       kMain + kOk},
      {"-install,-disabled, Main ,{P},{P},svc,p,w,0", true, Installed("4 / interactive"), "1",
       kMain + kOk, kAsRoot},
      {"-install,-auto, Main ,{P},{P},svc,pw", true, Installed("2 /"), "1", kMain + kOk, kAsRoot},
      {"-install,-automatic, Main ,{P},{P}", true, Installed("3 /"), "1", kMain + kOk},
      {"-install,-auto, ,{B},{P}", true, "", "0", "Quillon Pro Service  " + kNot, kRefused},
      {"-install,-auto,Main,{B}, ", true, "", "0", kMain + kNot, kRefused},
      {"-install,-auto,Main\n[JobWin]\nNoDiskSizeCheck=1,{B},{P}", true, "", "0",
       "Quillon Pro Service Main\\n[JobWin]\\nNoDiskSizeCheck=1 " + kNot, kRefused},
      {"-install,-auto,Main,{B}\r\n[JobWin],{P}", true, "", "0", kMain + kNot, kRefused},
      {"-install,-auto,Main,{B},{P}\x01", true, "", "0", kMain + kNot, kRefused},
      {" -u ,Main", true, "Uninstall Quillon Pro Service [Main]", "0", "<none>"},
      {"-u,Main", false, "Uninstall Quillon Pro Service [Main]", "<none>",
       "Quillon Pro Service [Main] konnte nicht deinstalliert werden."},
      {"-uninstall,Main,,{P},{P}", false, "Uninstall Quillon Pro Service Main", "0",
       kMain + "konnte nicht deinstalliert werden."},
      {"-Install,-auto,Main,{P},{P}", true, "", "<none>", "Unbekannter Kommandozeilenparameter"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    WriteInis("");
    // An unknown switch rewrites the service INI first, as every line with
    // the folder fields does.
    test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "x\r\n");
    ui_.notices.clear();
    svc_result_ = r.ok;
    EXPECT_TRUE(Load(r.line).Ended());
    std::string asked;
    for (const auto& call : svc_->calls) asked += (asked.empty() ? "" : "; ") + call;
    EXPECT_EQ(asked, r.asked);
    EXPECT_EQ(Main("NTService", "State"), r.state);
    EXPECT_EQ(Main("NTService", "LastMsg"), r.last_msg);
    EXPECT_EQ(Main("JobWin", "NoDiskSizeCheck"), "<none>");
    const bool refused = r.notice == kRefused,
               paths = r.line.find("{P}") != std::string::npos && !refused;
    EXPECT_EQ(modIniHandler::GetServiceINIString("Files", "INI", "", service_ini_, 256),
              paths ? main_ini_ : main_ini_ + "x");
    EXPECT_EQ(ui_.notices.size(), r.notice.empty() ? 0u : 1u);
    for (const auto& n : ui_.notices) EXPECT_NE(n.find(r.notice), std::string::npos) << n;
    EXPECT_FALSE(test::Exists(default_log_));  // these write no log line
  }
}

// Lines that start the service, and start-up errors, which end the program
// through the start-up's own trap: the log, one event-log entry, the end.
TEST_F(HostTest, StartLines) {
  const std::string kStarting =
      "NT-Service: NT Service: Steuerungsmodus aktiviert\r\n"
      "NT-Service: NT Service: Starte Verbindung\r\n";
  struct Row {
    std::string line, options;  // the command line, more main INI options
    bool connects;
    bool runs;
    std::string state, log, event;
  } rows[] = {
      {"-debug", "", true, false, "<none>", " Error: 9 Subscript out of range\r\n",
       "1 [9] Subscript out of range"},
      {"-install,-auto,,", "", true, false, "<none>", " Error: 9 Subscript out of range\r\n",
       "1 [9] Subscript out of range"},
      {"-debug,Main,,{P},{P}", "", true, true, "1", kStarting, ""},
      {"", "NTProcPriority=abc\r\n", true, false, "1",
       kStarting + "NT-Service: Error: 13 Type mismatch\r\n", "1 [13] Type mismatch"},
      {"", "", false, true, "0", kStarting, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line + " " + r.options);
    WriteInis(r.options);
    connect_result_ = r.connects;
    EXPECT_EQ(Load(r.line).Ended(), !r.runs);
    EXPECT_EQ(Main("NTService", "State"), r.state);
    EXPECT_EQ(Log(), r.log);
    EXPECT_EQ(Events(), r.event.empty() ? std::vector<std::string>{} : std::vector{r.event});
    // The service manager records the error as the service's exit code.
    EXPECT_EQ(svc_->ExitCode, r.event.empty() ? 0 : std::stoi(r.event.substr(3)));
    EXPECT_EQ(svc_->Debug, r.line.starts_with("-debug,"));
    if (!r.runs) continue;
    EXPECT_TRUE(Form().tmrMain->Enabled());
    if (!r.connects) continue;
    EXPECT_EQ(Form().values.sLangFile, product_ + s_ + "lang" + s_ + "Deutsch.lng");
    EXPECT_EQ(Form().values.sJobsPath, product_ + s_ + "jobs" + s_);
    EXPECT_EQ(Form().values.sLogsPath, product_ + s_ + "logs" + s_);
  }
}

// A text of the language file is used as it stands. (The start's built-in
// text carries the success flag: the debug scenario.)
TEST_F(HostTest, StartPauseContinueSwitchTimerAndReport) {
  const std::string lang = dir_.Join("English.lng");
  test::WriteBytes(lang, "[NTService]\r\nt0=Service started\r\nt13=SVC:\r\n");
  test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "\r\nLanguage=" + lang + "\r\n");
  Start();
  bool started = false, paused = false, continued = false;
  Form().NTService1_Start(started);
  Form().NTService1_Pause(paused);
  EXPECT_FALSE(Form().tmrMain->Enabled());
  Form().NTService1_Continue(continued);
  EXPECT_TRUE(Form().tmrMain->Enabled());
  EXPECT_EQ(Log(), "SVC: Service started\r\nSVC: NT Service pausiert\r\n"
                   "SVC: Quillon Pro Service NT Service fortgefahren\r\n");
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"1 NT Service pausiert", "4 NT Service fortgefahren"}));
  // A pause handled inside the engine's pass ends that pass, as a stop does.
  engine_->on_process = [&] { Form().NTService1_Pause(paused); };
  Form().tmrMain_Timer();
  EXPECT_EQ(engine_->cancels, 1);
  EXPECT_FALSE(Form().Ended());
}

// A stop can arrive inside a work cycle only through the engine's pumping:
// the pass is cancelled and the form unloads once the cycle has finished.
TEST_F(HostTest, StopUnloadsOnceNoCycleRuns) {
  for (bool inside : {false, true}) {
    SCOPED_TRACE(inside ? "inside a cycle" : "between cycles");
    Start();
    bool loaded_inside = false;
    int cancels = 0;
    engine_->on_process = [&] {
      Form().NTService1_Stop();
      loaded_inside = !Form().Ended() && Form().m_bBusy;
      cancels = engine_->cancels;
    };
    inside ? Form().tmrMain_Timer() : Form().NTService1_Stop();
    EXPECT_EQ(loaded_inside, inside);
    EXPECT_EQ(cancels, inside ? 1 : 0);
    EXPECT_TRUE(Form().Ended());
    EXPECT_TRUE(loop_->QuitRequested());
    EXPECT_EQ(Form().cQL, nullptr);
  }
}

TEST_F(HostTest, CycleReadsPathsAfreshAndPassesTheJobsFolder) {
  Start();
  Form().tmrMain_Timer();
  std::string lang2 = dir_.Join("Other.lng");
  test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "\r\nLanguage=" + lang2 + "\r\n");
  test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\n[JobWin]\r\nNoDiskSizeCheck=1\r\n");
  Form().tmrMain_Timer();
  EXPECT_EQ(engine_->jobs_paths, std::vector<std::string>(2, product_ + s_ + "jobs" + s_));
  EXPECT_EQ(engine_->lang_files, (std::vector<std::string>{"", lang2}));
  EXPECT_EQ(engine_->no_disk_checks, (std::vector<bool>{false, true}));
}

#ifndef _WIN32
// When the disk guard stops the work cycle, the status line says why.
TEST_F(HostTest, DiskGuardShowsInTheStatusLine) {
  test::MemFileSystem disk;
  disk.AddFolder(bin_);
  disk.capacity = 9 << 20;
  fs_ = &disk;
  Start();
  Form().tmrMain_Timer();
  EXPECT_FALSE(Form().tmrMain->Enabled());
  EXPECT_THAT(svc_->statuses, testing::ElementsAre(testing::AllOf(
                                  testing::StartsWith("Work cycle stopped at "),
                                  testing::HasSubstr("Die Festplatte ist fast voll!"))));
}
#endif

TEST_F(HostTest, EngineErrorIsLoggedAndTheCycleEnds) {
  Start();
  engine_->on_process = [] { throw RuntimeError(kErrPermission); };
  Form().tmrMain_Timer();
  EXPECT_EQ(Log(), "NT-Service: Permission denied\r\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

// The log check runs before or after the engine's pass as "CutLog" says;
// the order is read off the trace.
TEST_F(HostTest, CutLogChoosesWhenTheLogIsChecked) {
  windows_.windows = {{"Ravelin"}};
  struct Row { std::string cut_log; std::vector<std::string> order; } rows[] = {
      {"", {"ProcessJobs", "CheckLogFileSize"}},
      {"CutLog=0\r\n", {"CheckLogFileSize", "ProcessJobs"}},
      {"CutLog=2\r\n", {"ProcessJobs"}},
  };
  Start();
  engine_->on_process = [&] { windows_.sent.emplace_back(0, "ProcessJobs"); };
  for (const Row& r : rows) {
    test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\n" + r.cut_log);
    windows_.sent.clear();
    Form().tmrMain_Timer();
    std::vector<std::string> order;
    for (const auto& [h, text] : windows_.sent) {
      if (text == "ProcessJobs" ||
          text.find("->\tfrmMain : Function CheckLogFileSize") != std::string::npos) {
        order.push_back(text == "ProcessJobs" ? text : "CheckLogFileSize");
      }
    }
    EXPECT_EQ(order, r.order) << r.cut_log;
  }
}

}  // namespace
}  // namespace qs
