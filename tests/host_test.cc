// The service form's start-up, command line, service events and work cycle,
// with a recording service control and engine and real INI and log files.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/ini_handler.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "tests/fakes.h"
#include "tests/mem_file_system.h"
#include "tests/test_support.h"

namespace qs {
namespace {

class HostTest : public testing::Test {
 protected:
  void SetUp() override {
    modRavelinLITE::ResetForTest();
    product_ = dir_.Join("Quillon Pro");
    bin_ = product_ + test::Sep() + "bin";
    std::filesystem::create_directories(bin_);
    std::filesystem::create_directories(product_ + test::Sep() + "logs");
    std::filesystem::create_directories(product_ + test::Sep() + "jobs");
    process_.exe = bin_ + test::Sep() + "QuillonSrv";
    main_ini_ = product_ + test::Sep() + "Quillon.ini";
    service_ini_ = bin_ + test::Sep() + "QuillonSrv.ini";
    default_log_ = product_ + test::Sep() + "logs" + test::Sep() + "DefaultLog.txt";
    test::WriteBytes(main_ini_, "[Options]\r\nLanguage=Deutsch\r\nAppPath=" + product_ +
                                    "\r\nWriteLog=1\r\n");
    test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "\r\n");
    loop_ = platform::CreateMessageLoop();
  }
  void TearDown() override {
    form_.reset();
    modRavelinLITE::ResetForTest();
  }

  frmMain& Form() {
    if (!form_) {
      Components c;
      c.NewServiceControl = [this](platform::MessageLoop&) {
        auto s = std::make_unique<test::FakeServiceControl>();
        svc_ = s.get();
        svc_->install_result = install_result_;
        svc_->uninstall_result = uninstall_result_;
        svc_->connect_result = connect_result_;
        return s;
      };
      c.NewJobEngine = [this](platform::MessageLoop&) {
        auto e = std::make_unique<test::FakeJobEngine>();
        engine_ = e.get();
        return e;
      };
      form_ = std::make_unique<frmMain>(*loop_, *fs_, std::move(c));
    }
    return *form_;
  }

  std::string Main(const std::string& section, const std::string& key) {
    return modIniHandler::GetINIString(section, key, "<none>", main_ini_, 256);
  }
  std::string Service(const std::string& key) {
    return modIniHandler::GetServiceINIString("Files", key, "<none>", service_ini_, 256);
  }
  std::string Log() { return test::ReadBytes(default_log_); }

  test::TempDir dir_;
  std::string product_, bin_, main_ini_, service_ini_, default_log_;
  test::FakeProcess process_;
  test::FakeUi ui_;
  test::FakeWindows windows_;
  platform::ScopedPlatform scoped_{{.process = &process_, .windows = &windows_, .ui = &ui_}};
  std::unique_ptr<platform::MessageLoop> loop_;
  std::unique_ptr<frmMain> form_;
  platform::FileSystem* fs_ = &platform::OsFileSystem();  // the form's
  test::FakeServiceControl* svc_ = nullptr;
  test::FakeJobEngine* engine_ = nullptr;
  bool install_result_ = true, uninstall_result_ = true, connect_result_ = true;
};

TEST_F(HostTest, InstallLineRegistersAndLeavesTheOutcome) {
  const std::string s = test::Sep();
  Form().Form_Load("-install,-auto,Main," + product_ + s + "bin," + product_);
  EXPECT_TRUE(Form().Ended());
  EXPECT_EQ(svc_->DisplayName, "Quillon Pro Service Main");
  EXPECT_EQ(svc_->ServiceName, "Quillon Pro Service Main");
  EXPECT_EQ(svc_->StartMode, platform::kStartAuto);
  EXPECT_EQ(svc_->calls, (std::vector<std::string>{"Install Quillon Pro Service Main",
                                                   "SaveSetting Parameters/TimerInterval=1000"}));
  // "...\Quillon Pro\bin\Quillon.ini" names the product folder's main INI.
  EXPECT_EQ(Service("INI"), main_ini_);
  EXPECT_EQ(Service("Language"), product_ + s + "lang" + s + "Deutsch.lng");
  EXPECT_EQ(Main("NTService", "State"), "1");
  EXPECT_EQ(Main("NTService", "LastMsg"), "Quillon Pro Service Main erfolgreich installiert.");
  EXPECT_FALSE(test::Exists(default_log_));  // install writes no log line
}

TEST_F(HostTest, InstallFieldsForStartModeAccountAndFailure) {
  struct Row {
    std::string tail;  // fields 5..
    std::string mode_field;
    bool result;
    std::int32_t mode;
    std::string account, password;
    bool interactive;
    std::string state, last_msg_end;
    bool as_root;  // the account is not used, and the administrator is told
  } rows[] = {
      {",svc , pw  ,0", "-manual", true, 3, ".\\svc", " pw  ", false, "1", "erfolgreich installiert.", false},
      {",svc,pw,1", "-disabled", true, 4, "", "", true, "1", "erfolgreich installiert.", true},
      {",svc,p,w,0", "-auto", true, 2, "", "", true, "1", "erfolgreich installiert.", true},
      {",svc,pw", "-auto", true, 2, "", "", false, "1", "erfolgreich installiert.", true},
      {"", "-automatic", true, 3, "", "", false, "1", "erfolgreich installiert.", false},
      {"", "-auto", false, 2, "", "", false, "0", "konnte nicht installiert werden.", false},
  };
  for (const Row& r : rows) {
    form_.reset();
    ui_.notices.clear();
    install_result_ = r.result;
    Form().Form_Load("-install," + r.mode_field + ", Main ," + product_ + "," + product_ + r.tail);
    SCOPED_TRACE(r.mode_field + r.tail);
    EXPECT_EQ(svc_->StartMode, r.mode);
    EXPECT_EQ(svc_->Account, r.account);
    EXPECT_EQ(svc_->Password, r.password);
    EXPECT_EQ(svc_->Interactive, r.interactive);
    EXPECT_EQ(Main("NTService", "State"), r.state);
    EXPECT_EQ(Main("NTService", "LastMsg"), "Quillon Pro Service Main " + r.last_msg_end);
    EXPECT_EQ(ui_.notices, r.as_root ? std::vector<std::string>{
        "Quillon Pro Service Main: installed without the account svc: field 7 is not \"0\" "
        "(does the password hold a comma?); the service runs as root"} : std::vector<std::string>{});
  }
}

// An empty name or folder, or one with a control character, installs
// nothing and writes no line of its choosing into the INI files.
TEST_F(HostTest, InstallRefusesEmptyOrControlCharactersInNameAndFolders) {
  const std::string s = test::Sep(), bin = product_ + s + "bin";
  for (const std::string& line :
       {std::string("-install,-manual,,,"), "-install,-auto, ," + bin + "," + product_,
        "-install,-auto,Main,," + product_, "-install,-auto,Main," + bin + ", ",
        "-install,-auto,Main\n[JobWin]\nNoDiskSizeCheck=1," + bin + "," + product_,
        "-install,-auto,Main," + bin + "\r\n[JobWin]," + product_,
        "-install,-auto,Main," + bin + "," + product_ + "\x01"}) {
    form_.reset();
    ui_.notices.clear();
    Form().Form_Load(line);
    EXPECT_TRUE(Form().Ended());
    EXPECT_TRUE(svc_->calls.empty());
    EXPECT_EQ(Main("NTService", "State"), "0");
    EXPECT_EQ(Main("JobWin", "NoDiskSizeCheck"), "<none>");
    EXPECT_EQ(Service("INI"), main_ini_);
    ASSERT_EQ(ui_.notices.size(), 1u);
    EXPECT_NE(ui_.notices[0].find("install refused"), std::string::npos);
  }
  EXPECT_EQ(Main("NTService", "LastMsg"),
            "Quillon Pro Service Main konnte nicht installiert werden.");
}

TEST_F(HostTest, RemovalLines) {
  Form().Form_Load(" -u ,Main");
  EXPECT_EQ(svc_->calls, std::vector<std::string>{"Uninstall Quillon Pro Service [Main]"});
  EXPECT_EQ(Main("NTService", "State"), "0");
  EXPECT_EQ(Main("NTService", "LastMsg"), "<none>");

  form_.reset();
  uninstall_result_ = false;
  Form().Form_Load("-u,Main");
  EXPECT_EQ(Main("NTService", "LastMsg"),
            "Quillon Pro Service [Main] konnte nicht deinstalliert werden.");

  form_.reset();
  Form().Form_Load("-uninstall,Main,," + product_ + "," + product_);
  EXPECT_EQ(svc_->calls, std::vector<std::string>{"Uninstall Quillon Pro Service Main"});
  EXPECT_EQ(Main("NTService", "State"), "0");
  EXPECT_EQ(Main("NTService", "LastMsg"), "Quillon Pro Service Main konnte nicht deinstalliert werden.");
  EXPECT_TRUE(Form().Ended());
}

TEST_F(HostTest, UnknownSwitchRewritesTheServiceIniFirst) {
  test::WriteBytes(service_ini_, "[Files]\r\nINI=elsewhere\r\n");
  Form().Form_Load("-Install,-auto,Main," + product_ + "," + product_);
  EXPECT_TRUE(Form().Ended());
  EXPECT_EQ(svc_->installs, 0);
  EXPECT_EQ(Main("NTService", "LastMsg"), "Unbekannter Kommandozeilenparameter");
  EXPECT_EQ(Service("INI"), main_ini_);
}

TEST_F(HostTest, MissingFieldsEndThroughTheStartUpTrap) {
  for (std::string line : {"-debug", "-install,-auto,Main"}) {
    form_.reset();
    std::filesystem::remove(default_log_);
    Form().Form_Load(line);
    SCOPED_TRACE(line);
    EXPECT_TRUE(Form().Ended());
    ASSERT_EQ(svc_->events.size(), 1u);
    EXPECT_EQ(svc_->events[0].type, 1);
    EXPECT_EQ(svc_->events[0].id, 109);
    EXPECT_EQ(svc_->events[0].text, "[9] Subscript out of range");
    EXPECT_EQ(Log(), " Error: 9 Subscript out of range\r\n");
    EXPECT_EQ(svc_->installs, 0);
  }
}

TEST_F(HostTest, DebugLineStartsNormallyWithTheProgramWidePaths) {
  const std::string s = test::Sep();
  Form().Form_Load("-debug,Main,," + product_ + "," + product_);
  EXPECT_FALSE(Form().Ended());
  EXPECT_TRUE(svc_->Debug);
  EXPECT_EQ(svc_->connects, 2);
  EXPECT_EQ(svc_->ControlsAccepted, 2);
  EXPECT_EQ(Main("NTService", "State"), "1");
  EXPECT_EQ(Log(),
            "NT-Service: NT Service: Steuerungsmodus aktiviert\r\n"
            "NT-Service: NT Service: Starte Verbindung\r\n");
  EXPECT_EQ(Form().values.sIniFile, main_ini_);
  EXPECT_EQ(Form().values.sLanguage, "Deutsch");
  EXPECT_EQ(Form().values.sLangFile, product_ + s + "lang" + s + "Deutsch.lng");
  EXPECT_EQ(Form().values.sJobsPath, product_ + s + "jobs" + s);
  EXPECT_EQ(Form().values.sLogsPath, product_ + s + "logs" + s);
  EXPECT_TRUE(Form().tmrMain->Enabled());
}

TEST_F(HostTest, PriorityValuesAndFailedConnection) {
  test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\nNTProcPriority=abc\r\n");
  Form().Form_Load("");
  EXPECT_TRUE(Form().Ended());
  EXPECT_EQ(svc_->events.at(0).text, "[13] Type mismatch");

  form_.reset();
  test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\nNTProcPriority=5\r\n");
  Form().Form_Load("");
  EXPECT_FALSE(Form().Ended());
  EXPECT_TRUE(svc_->events.empty());

  form_.reset();
  connect_result_ = false;
  Form().Form_Load("");
  EXPECT_FALSE(Form().Ended());
  EXPECT_EQ(Main("NTService", "State"), "0");
  EXPECT_TRUE(Form().tmrMain->Enabled());
}

class ServiceEventsTest : public HostTest {
 protected:
  void Start() {
    Form().Form_Load("");
    ASSERT_FALSE(Form().Ended());
    std::filesystem::remove(default_log_);
  }
};

TEST_F(ServiceEventsTest, StartPauseContinueSwitchTimerAndReport) {
  Start();
  bool ok = false;
  Form().NTService1_Start(ok);
  EXPECT_TRUE(ok);
  Form().tmrMain->SetEnabled(false);
  ok = false;
  Form().NTService1_Pause(ok);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(Form().tmrMain->Enabled());
  ok = false;
  Form().NTService1_Continue(ok);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Form().tmrMain->Enabled());
  EXPECT_EQ(Log(),
            "NT-Service: NT Service erfolgreich gestartet: False\r\n"
            "NT-Service: NT Service pausiert\r\n"
            "NT-Service: Quillon Pro Service NT Service fortgefahren\r\n");
  ASSERT_EQ(svc_->events.size(), 2u);
  EXPECT_EQ(svc_->events[0].type, 1);
  EXPECT_EQ(svc_->events[0].id, 109);
  EXPECT_EQ(svc_->events[0].text, "NT Service pausiert");
  EXPECT_EQ(svc_->events[1].type, 4);
  EXPECT_EQ(svc_->events[1].id, 110);
  EXPECT_EQ(svc_->events[1].text, "NT Service fortgefahren");
}

TEST_F(ServiceEventsTest, LanguageFileTextIsUsedAsItStands) {
  std::string lang = dir_.Join("English.lng");
  test::WriteBytes(lang, "[NTService]\r\nt0=Service started\r\nt13=SVC:\r\n");
  test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "\r\nLanguage=" + lang + "\r\n");
  Start();
  bool ok = true;
  Form().NTService1_Start(ok);
  EXPECT_EQ(Log(), "SVC: Service started\r\n");
}

TEST_F(ServiceEventsTest, StopBetweenCyclesUnloadsAtOnce) {
  Start();
  Form().NTService1_Stop();
  EXPECT_TRUE(Form().Ended());
  EXPECT_TRUE(loop_->QuitRequested());
  EXPECT_FALSE(Form().tmrMain->Enabled());
  EXPECT_EQ(Form().cQL, nullptr);
  EXPECT_EQ(Log(), "NT-Service: NT Service gestoppt\r\n");
}

TEST_F(ServiceEventsTest, StopInsideACycleFinishesWhenTheCycleHas) {
  Start();
  // A pause handled inside the engine's pass ends that pass, as a stop does.
  engine_->on_process = [&] {
    bool ok = false;
    Form().NTService1_Pause(ok);
  };
  Form().tmrMain_Timer();
  EXPECT_EQ(engine_->cancels, 1);
  EXPECT_FALSE(Form().Ended());
  std::vector<std::string> order;
  engine_->on_process = [&] {
    order.push_back("engine start");
    Form().NTService1_Stop();  // as if delivered by the engine's pumping
    order.push_back(Form().Ended() ? "ended inside" : "still loaded");
    EXPECT_TRUE(Form().m_bBusy);
    EXPECT_EQ(engine_->cancels, 2);
  };
  Form().tmrMain_Timer();
  EXPECT_EQ(order, (std::vector<std::string>{"engine start", "still loaded"}));
  EXPECT_FALSE(Form().m_bBusy);
  EXPECT_TRUE(Form().Ended());
  EXPECT_TRUE(loop_->QuitRequested());
}

TEST_F(ServiceEventsTest, CycleReadsPathsAfreshAndPassesTheJobsFolder) {
  Start();
  const std::string s = test::Sep();
  Form().tmrMain_Timer();
  std::string lang2 = dir_.Join("Other.lng");
  test::WriteBytes(service_ini_, "[Files]\r\nINI=" + main_ini_ + "\r\nLanguage=" + lang2 + "\r\n");
  test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\n[JobWin]\r\nNoDiskSizeCheck=1\r\n");
  Form().tmrMain_Timer();
  ASSERT_EQ(engine_->passes, 2);
  EXPECT_EQ(engine_->jobs_paths[0], product_ + s + "jobs" + s);
  EXPECT_EQ(engine_->lang_files[0], "");
  EXPECT_EQ(engine_->lang_files[1], lang2);
  EXPECT_EQ(engine_->no_disk_checks, (std::vector<bool>{false, true}));
}

#ifndef _WIN32
// When the disk guard stops the work cycle, the status line says why.
TEST_F(ServiceEventsTest, DiskGuardShowsInTheStatusLine) {
  test::MemFileSystem disk;
  disk.AddFolder(bin_);
  disk.AddFolder(product_ + "/logs");
  disk.capacity = 9 << 20;
  fs_ = &disk;
  Start();
  Form().tmrMain_Timer();
  EXPECT_FALSE(Form().tmrMain->Enabled());
  ASSERT_FALSE(svc_->statuses.empty());
  EXPECT_EQ(svc_->statuses.back().rfind("Work cycle stopped at ", 0), 0u) << svc_->statuses.back();
  EXPECT_NE(svc_->statuses.back().find("Die Festplatte ist fast voll!"), std::string::npos);
}
#endif

TEST_F(ServiceEventsTest, EngineErrorIsLoggedAndTheCycleEnds) {
  Start();
  engine_->on_process = [] { throw RuntimeError(kErrPermission); };
  Form().tmrMain_Timer();
  EXPECT_FALSE(Form().m_bBusy);
  EXPECT_EQ(Log(), "NT-Service: Permission denied\r\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

// The log check runs before or after the engine's pass as "CutLog" says;
// the order is read off the trace.
TEST_F(ServiceEventsTest, CutLogChoosesWhenTheLogIsChecked) {
  windows_.windows = {{"Ravelin"}};
  struct Row {
    const char* cut_log;
    std::vector<std::string> order;
  } rows[] = {
      {nullptr, {"ProcessJobs", "CheckLogFileSize"}},
      {"0", {"CheckLogFileSize", "ProcessJobs"}},
      {"1", {"ProcessJobs", "CheckLogFileSize"}},
      {"2", {"ProcessJobs"}},
  };
  Start();
  engine_->on_process = [&] { windows_.sent.emplace_back(0, "ProcessJobs"); };
  for (const Row& r : rows) {
    std::string ini = "[Options]\r\nWriteLog=1\r\n";
    if (r.cut_log) ini += std::string("CutLog=") + r.cut_log + "\r\n";
    test::WriteBytes(main_ini_, ini);
    windows_.sent.clear();
    Form().tmrMain_Timer();
    std::vector<std::string> order;
    for (const auto& [h, text] : windows_.sent) {
      if (text == "ProcessJobs") order.push_back(text);
      if (text.find("->\tfrmMain : Function CheckLogFileSize") != std::string::npos) {
        order.push_back("CheckLogFileSize");
      }
    }
    EXPECT_EQ(order, r.order) << (r.cut_log ? r.cut_log : "(missing)");
  }
}

}  // namespace
}  // namespace qs
