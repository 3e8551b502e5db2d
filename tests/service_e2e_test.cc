// The real QuillonSrv in debug mode on a temporary product folder: work
// cycles copy files, the service manager's signals pause, continue and stop
// it, and the files it writes say so.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/test_support.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ServiceProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    product_ = dir_.Join("Quillon Pro");
    for (const char* sub : {"bin", "jobs", "logs", "lang", "in", "out"}) {
      fs::create_directories(product_ + "/" + sub);
    }
    fs::copy_file(QS_QUILLONSRV, product_ + "/bin/QuillonSrv");
    main_ini_ = product_ + "/Quillon.ini";
    log_ = product_ + "/logs/DefaultLog.txt";
    test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\nAppPath=" + product_ + "\r\n");
    test::WriteBytes(product_ + "/jobs/Daily.qlj",
                     "[Job]\r\nFrom=" + product_ + "/in\r\nTo=" + product_ + "/out\r\n");
    test::WriteBytes(product_ + "/in/a.txt", "alpha\n");
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Start() {
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      std::string bin = product_ + "/bin";
      if (::chdir(bin.c_str()) != 0) _exit(120);
      ::setenv("QUILLONSRV_TICK_MS", "200", 1);
      ::setenv("QUILLONSRV_NO_JOURNAL", "1", 1);
      ::unsetenv("NOTIFY_SOCKET");
      std::string arg = "-debug,Test,," + bin + "," + product_;
      // The test runner may have blocked signals the service relies on.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execl("./QuillonSrv", "QuillonSrv", arg.c_str(), static_cast<char*>(nullptr));
      _exit(121);
    }
  }

  // Waits until `done` holds, at most 20 s.
  bool WaitFor(const std::function<bool()>& done) {
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;) {
      if (done()) return true;
      std::this_thread::sleep_for(20ms);
    }
    return done();
  }
  bool LogHas(const std::string& text) {
    return test::ReadBytes(log_).find(text) != std::string::npos;
  }
  int StopAndWait() {
    ::kill(pid_, SIGTERM);
    int status = -1;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  test::TempDir dir_;
  std::string product_, main_ini_, log_;
  pid_t pid_ = -1;
};

TEST_F(ServiceProcessTest, RunsCyclesAndAnswersPauseContinueStop) {
  Start();
  ASSERT_TRUE(WaitFor([&] { return test::ReadBytes(product_ + "/out/a.txt") == "alpha\n"; }));
  ASSERT_TRUE(WaitFor([&] { return LogHas("NT Service erfolgreich gestartet: False\r\n"); }));

  ::kill(pid_, SIGTSTP);
  ASSERT_TRUE(WaitFor([&] { return LogHas("NT-Service: NT Service pausiert\r\n"); }));
  // Paused: no cycle copies a new file.
  test::WriteBytes(product_ + "/in/b.txt", "beta\n");
  std::this_thread::sleep_for(700ms);
  EXPECT_FALSE(test::Exists(product_ + "/out/b.txt"));

  ::kill(pid_, SIGCONT);
  ASSERT_TRUE(WaitFor([&] { return test::Exists(product_ + "/out/b.txt"); }));
  EXPECT_TRUE(LogHas("NT-Service: Quillon Pro Service Test NT Service fortgefahren\r\n"));

  // A log deleted while the service runs is created again by the next line.
  fs::remove(log_);
  test::WriteBytes(product_ + "/in/c.txt", "gamma\n");
  ASSERT_TRUE(WaitFor([&] { return test::Exists(log_); }));

  EXPECT_EQ(StopAndWait(), 0);
  std::string log = test::ReadBytes(log_);
  EXPECT_NE(log.find("NT-Service: NT Service gestoppt\r\n"), std::string::npos) << log;
  EXPECT_EQ(test::ReadBytes(product_ + "/out/c.txt"), "gamma\n");

  // The status for the product's other programs, and the paths the debug
  // line wrote into the service INI.
  EXPECT_NE(test::ReadBytes(main_ini_).find("[NTService]\r\nState=1\r\n"), std::string::npos);
  std::string service_ini = test::ReadBytes(product_ + "/bin/QuillonSrv.ini");
  EXPECT_NE(service_ini.find("INI=" + main_ini_ + "\r\n"), std::string::npos) << service_ini;
  // Nothing half-copied is left in the target folder.
  for (const auto& e : fs::directory_iterator(product_ + "/out")) {
    EXPECT_EQ(e.path().extension(), ".txt") << e.path();
  }
}

TEST_F(ServiceProcessTest, StartupLinesComeFirstAndGarbageIniGivesDefaults) {
  Start();
  ASSERT_TRUE(WaitFor([&] { return LogHas("gestartet"); }));
  std::string log = test::ReadBytes(log_);
  EXPECT_EQ(log.rfind("NT-Service: NT Service: Steuerungsmodus aktiviert\r\n"
                      "NT-Service: NT Service: Starte Verbindung\r\n", 0), 0u) << log;

  // Garbage in the main INI: every key falls back to its default, and
  // "WriteLog" "0" stops the default log; the jobs still run.
  const char garbage[] = "\xff garbage ]]][[ no=ini\n\0[Options]\nWriteLog=1\n";
  test::WriteBytes(main_ini_, std::string(garbage, sizeof garbage - 1));
  std::size_t size = test::ReadBytes(log_).size();
  test::WriteBytes(product_ + "/in/d.txt", "delta\n");
  ASSERT_TRUE(WaitFor([&] { return test::Exists(product_ + "/out/d.txt"); }));
  EXPECT_EQ(StopAndWait(), 0);
  EXPECT_EQ(test::ReadBytes(log_).size(), size);
}

TEST_F(ServiceProcessTest, WatchJobsCarryFilesOverAndFollowPauseAndContinue) {
  for (const char* sub : {"w1-in", "w1-out", "w2-in", "w2-out"}) fs::create_directories(product_ + "/" + sub);
  test::WriteBytes(main_ini_, "[Options]\r\nWriteLog=1\r\nAppPath=" + product_ +
                                  "\r\n[Monitor]\r\nRunNTMon=1\r\n");
  for (const char* job : {"w1", "w2"}) {
    test::WriteBytes(product_ + "/jobs/" + job + ".qlj",
                     "[Job]\r\nType=2\r\nDelay=0\r\nStartCopy=1\r\nFrom=" + product_ + "/" + job +
                         "-in\r\nTo=" + product_ + "/" + job + "-out\r\n");
  }
  auto count = [&](const std::string& text) {
    std::string log = test::ReadBytes(log_);
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  Start();
  ASSERT_TRUE(WaitFor([&] { return LogHas("NT-Service: Echtzeitmonitor gestartet: w2\r\n"); }));
  EXPECT_TRUE(LogHas("NT-Service: Echtzeitmonitor gestartet: w1\r\nNT-Service: Echtzeitmonitor gestartet: w2\r\n"));
  test::WriteBytes(product_ + "/w1-in/drop.txt", "dropped\n");
  ASSERT_TRUE(WaitFor([&] { return test::ReadBytes(product_ + "/w1-out/drop.txt") == "dropped\n"; }));

  // Pause ends the watches, each with its stop line; nothing is carried over.
  ::kill(pid_, SIGTSTP);
  ASSERT_TRUE(WaitFor([&] { return count("Echtzeitmonitor gestoppt: w") == 2; }));
  test::WriteBytes(product_ + "/w2-in/late.txt", "late\n");
  std::this_thread::sleep_for(700ms);
  EXPECT_FALSE(test::Exists(product_ + "/w2-out/late.txt"));

  // Continue starts them again; the start copy brings what came meanwhile.
  ::kill(pid_, SIGCONT);
  ASSERT_TRUE(WaitFor([&] { return test::ReadBytes(product_ + "/w2-out/late.txt") == "late\n"; }));
  EXPECT_EQ(count("Echtzeitmonitor gestartet: w"), 4u);

  // A watched folder that goes away ends its watch on its own.
  fs::remove_all(product_ + "/w1-in");
  ASSERT_TRUE(WaitFor([&] { return count("Echtzeitmonitor gestoppt: w1") == 2; }));

  EXPECT_EQ(StopAndWait(), 0);
  std::string log = test::ReadBytes(log_);
  EXPECT_EQ(count("Echtzeitmonitor gestoppt: w2"), 2u) << log;
  EXPECT_NE(log.find("NT-Service: NT Service gestoppt\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace qs
#endif
