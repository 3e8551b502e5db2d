// The real-time monitor: which watch jobs it starts and with what, its start
// and stop through the form, Done in every order, the monitor-server walk
// and the priority. The form runs on the in-memory disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#ifndef _WIN32
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "host/mod_proc_priority.h"
#include "monitor/mod_kill_task.h"
#include "monitor/mod_monitor.h"
#include "tests/fakes.h"
#include "tests/mem_file_system.h"
#include "tests/mem_profile.h"

namespace qs {
namespace {

using Calls = std::vector<std::string>;

const std::string kProduct = "/opt/Quillon Pro", kMainIni = kProduct + "/Quillon.ini";

// Records its calls in `calls`.
class FakeMonitorJob : public engine::cMonitorJob {
 public:
  explicit FakeMonitorJob(Calls& calls) : calls_(calls) {}
  ~FakeMonitorJob() override { calls_.push_back("Release " + ObjectName); }

  void SetupJob(std::string& sJobFile, std::string& sLanguage, std::int32_t& ValueA, bool& FlagA,
                std::string& SelectedPath, bool& FlagB, std::int16_t& ValueB,
                std::string& sLangFile, std::string& sIniFile, std::string& PathA,
                std::string& PathB, bool& bService, std::int16_t iIndex) override {
    index = iIndex;
    setup = sJobFile + "|" + sLanguage + "|" + std::to_string(ValueA) + "|" +
            std::to_string(FlagA) + "|" + SelectedPath + "|" + std::to_string(FlagB) + "|" +
            std::to_string(ValueB) + "|" + sLangFile + "|" + sIniFile + "|" + PathA + "|" +
            PathB + "|" + std::to_string(bService) + "|" + std::to_string(iIndex);
    calls_.push_back("Setup " + ObjectName);
  }
  std::int32_t StartWatch(std::int16_t iIndex, bool&) override {
    calls_.push_back("Start " + std::to_string(iIndex));
    if (on_start) on_start();
    return 0;
  }
  void CancelWatch() override {
    calls_.push_back("Cancel " + ObjectName);
    if (done_in_cancel && Finished) Finished(ObjectName, index);
  }

  std::string setup;
  std::int16_t index = -1;
  bool done_in_cancel = false;
  std::function<void()> on_start;

 private:
  Calls& calls_;
};

class FakeMultiEvent : public engine::cMultiEvent {
 public:
  explicit FakeMultiEvent(Calls& calls) : calls_(calls) {}
  ~FakeMultiEvent() override { calls_.push_back("Release multi"); }
  void AddObject(engine::cMonitorJob& job) override {
    calls_.push_back("Add " + job.ObjectName);
    job.Finished = [this](std::string name, std::int16_t i) { Done(std::move(name), i); };
  }

 private:
  Calls& calls_;
};

engine::JobRecord WatchJob(std::string name) {
  engine::JobRecord r;
  r.JobName = std::move(name);
  r.JobType = 2;
  r.PathA = "/from/" + r.JobName;
  r.PathB = "/to/" + r.JobName;
  return r;
}

class MonitorTest : public testing::Test {
 protected:
  MonitorTest() {
    modRavelinLITE::ResetForTest();
    fs_.AddFile(kProduct + "/bin/QuillonSrv.ini", "[Files]\r\nINI=" + kMainIni + "\r\n");
    fs_.AddFolder(kProduct + "/logs");
    SetMonitorKeys("RunNTMon=1\r\n");
  }
  ~MonitorTest() override {
    form_.reset();
    modRavelinLITE::ResetForTest();
  }

  void SetMonitorKeys(const std::string& keys) {
    fs_.AddFile(kMainIni, "[Options]\r\nLanguage=Deutsch\r\nAppPath=" + kProduct +
                              "\r\nWriteLog=1\r\n[Monitor]\r\n" + keys);
  }

  // Loads the form as the service manager starts it; the start-up runs the
  // monitor when "RunNTMon" says so.
  frmMain& Form() {
    if (form_) return *form_;
    Components c;
    c.NewServiceControl = [](platform::MessageLoop&) {
      return std::make_unique<test::FakeServiceControl>();
    };
    c.NewJobEngine = [](platform::MessageLoop&) { return std::make_unique<test::FakeJobEngine>(); };
    c.NewJobList = [this](auto&) { return std::make_unique<FakeJobList>(records_); };
    c.NewMonitorJob = [this](platform::MessageLoop&) {
      auto job = std::make_unique<FakeMonitorJob>(calls_);
      jobs_.push_back(job.get());
      if (configure_job_) configure_job_(*job, jobs_.size() - 1);
      return job;
    };
    c.NewMultiEvent = [this](platform::MessageLoop&) {
      return std::make_unique<FakeMultiEvent>(calls_);
    };
    form_ = std::make_unique<frmMain>(*loop_, fs_, std::move(c));
    form_->Form_Load("");
    return *form_;
  }

  // The monitor's lines of the default log, after "NT-Service:
  // Echtzeitmonitor ".
  Calls MonitorLines() const {
    const std::string kHead = "NT-Service: Echtzeitmonitor ";
    Calls out;
    std::istringstream in(fs_.Read(kProduct + "/logs/DefaultLog.txt"));
    for (std::string line; std::getline(in, line, '\r');) {
      const std::size_t at = line.find(kHead);
      if (at != std::string::npos) out.push_back(line.substr(at + kHead.size()));
    }
    return out;
  }
  // What the watch objects made were set up with, in the order they were made.
  Calls Setups(std::size_t from = 0) const {
    Calls out;
    for (std::size_t i = from; i < jobs_.size(); ++i) out.push_back(jobs_[i]->setup);
    return out;
  }

  struct FakeJobList : engine::cJobList {
    explicit FakeJobList(const std::vector<engine::JobRecord>& r) : records(r) {}
    std::vector<engine::JobRecord> GetJobs(std::string&, std::string&) override { return records; }
    const std::vector<engine::JobRecord>& records;
  };

  test::MemFileSystem fs_;
  test::MemProfile profile_{fs_};
  test::FakeProcess process_;
  test::FakeUi ui_;
  test::FakeWindows windows_;
  platform::ScopedPlatform scoped_{
      {.profile = &profile_, .process = &process_, .windows = &windows_, .ui = &ui_}};
  std::unique_ptr<platform::MessageLoop> loop_ = platform::CreateMessageLoop();
  std::unique_ptr<frmMain> form_;
  std::vector<engine::JobRecord> records_;
  Calls calls_;
  std::vector<FakeMonitorJob*> jobs_;  // every object made, live or not
  std::function<void(FakeMonitorJob&, std::size_t)> configure_job_;
};

// The watch jobs that are neither excluded nor held, each with the folder
// its PathChoice names; a new start takes the list afresh.
TEST_F(MonitorTest, StartsTheQualifyingWatchJobsWithTheirValues) {
  engine::JobRecord excluded = WatchJob("Excluded"), held = WatchJob("Held"),
                    scheduled = WatchJob("Scheduled"), daily = WatchJob("Daily"),
                    weekly = WatchJob("Weekly"), other = WatchJob("Other");
  excluded.ExcludeFlag = 1;
  held.CheckValue = "1";
  scheduled.JobType = 0;
  daily.CheckValue = " 0.0 ";
  daily.PathChoice = 2;
  daily.PathC = "/watch";
  daily.FlagA = 5;
  daily.FlagB = 5;  // only exactly 1 is true
  daily.ValueA = -1;
  daily.ValueB = 7;
  weekly.PathChoice = 1;
  weekly.FlagB = 1;
  weekly.JobFileName = "Weekly.QLJ";  // the file the list found, where case counts
  other.PathChoice = 3;
  records_ = {excluded, daily, held, weekly, scheduled, other};
  auto setup = [](const std::string& file, const std::string& values, int index) {
    const std::string job = file.substr(0, file.size() - 4);
    return kProduct + "/jobs/" + file + "|Deutsch|" + values + "|" + kProduct +
           "/lang/Deutsch.lng|" + kMainIni + "|/from/" + job + "|/to/" + job + "|1|" +
           std::to_string(index);
  };
  Form();
  EXPECT_EQ(Setups(), (Calls{setup("Daily.qlj", "-1|1|/watch|0|7", 0),
                             setup("Weekly.QLJ", "0|0|/to/Weekly|1|0", 1),
                             setup("Other.qlj", "0|0||0|0", 2)}));
  EXPECT_EQ(calls_, (Calls{"Add Object0", "Add Object1", "Add Object2", "Setup Object0",
                           "Start 0", "Setup Object1", "Start 1", "Setup Object2", "Start 2"}));

  Form().EndRTMonitor();
  weekly.PathChoice = 0;
  records_ = {weekly};
  Form().RunRTMonitor();
  EXPECT_EQ(Setups(3), Calls{setup("Weekly.QLJ", "0|0|/from/Weekly|1|0", 0)});
}

// An error while the monitor starts is reported once; the watch jobs set up
// before it go on, the rest are not set up, and the monitor counts as running.
TEST_F(MonitorTest, AnErrorWhileStartingIsReportedOnceAndKeepsWhatWasSetUp) {
  engine::JobRecord bad = WatchJob("Bad");
  bad.CheckValue = "abc";
  const std::size_t kMax = modMonitor::kMaxMonJobs;
  const auto a = WatchJob("A"), b = WatchJob("B"), c = WatchJob("C");
  struct Row {
    std::vector<engine::JobRecord> records;
    bool second_start_fails;
    std::string keys, box;
    std::size_t made, set_up;
    Calls lines;
  } rows[] = {
      {{a, b, bad, c}, false, "", "LoadMonitorJobs", 1, 1, {"gestartet: A"}},
      {{bad, a}, false, "", "LoadMonitorJobs", 0, 0, {}},
      // More watch jobs than indices: the first ones run.
      {std::vector(kMax + 2, a), false, "MonShowMsg=1\r\n", "32767", kMax, kMax, {"gestartet"}},
      {{a, b, c}, true, "MonShowMsg=1\r\n", "StartTheMonitor", 3, 2, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.box);
    form_.reset();
    jobs_.clear();
    ui_.boxes.clear();
    records_ = r.records;
    configure_job_ = [&r](FakeMonitorJob& job, std::size_t n) {
      if (n != 1 || !r.second_start_fails) return;
      job.on_start = [] { throw RuntimeError(kErrPathNotFound); };
    };
    SetMonitorKeys("RunNTMon=1\r\n" + r.keys);
    if (fs_.Has(kProduct + "/logs/DefaultLog.txt")) fs_.Remove(kProduct + "/logs/DefaultLog.txt");
    Form();
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_NE(ui_.boxes[0].text.find(r.box), std::string::npos);
    EXPECT_EQ(jobs_.size(), r.made);
    EXPECT_EQ(std::count_if(jobs_.begin(), jobs_.end(), [](auto* j) { return !j->setup.empty(); }),
              r.set_up);
    EXPECT_EQ(MonitorLines(), r.lines);
    EXPECT_TRUE(Form().m_bRTMonRunning);
    EXPECT_EQ(Form().cMultiEvent == nullptr, r.made == 0);
  }
}

TEST_F(MonitorTest, RunNTMonIsReadAgainUntilItSaysOne) {
  records_ = {WatchJob("Daily")};
  SetMonitorKeys("");
  Form();
  const int walks = windows_.walks;
  Form().EndRTMonitor();  // off (a running monitor would walk): no cancel, no walk
  EXPECT_EQ(windows_.walks, walks);
  SetMonitorKeys("RunNTMon=1\r\n");
  Form().RunRTMonitor();
  EXPECT_EQ(jobs_.size(), 1u);
  calls_.clear();
  Form().RunRTMonitor();  // running already: nothing
  EXPECT_TRUE(calls_.empty());
  bool paused = false;
  Form().NTService1_Pause(paused);  // a pause ends the monitor
  EXPECT_EQ(windows_.walks, walks + 1);
}

TEST_F(MonitorTest, PerJobDoneLinesAndDoneTwiceOrOutOfRange) {
  records_ = {WatchJob("Daily"), WatchJob("Weekly")};
  Form();
  Form().cMultiEvent_Done("Object1", 1);
  EXPECT_EQ(calls_.back(), "Release Object1");  // released without CancelWatch
  Form().cMultiEvent_Done("Object1", 1);
  Form().cMultiEvent_Done("Object9", 9);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_NE(ui_.boxes[0].text.find("cMultiEventDone"), std::string::npos);
  EXPECT_EQ(MonitorLines(), (Calls{"gestartet: Daily", "gestartet: Weekly", "gestoppt: Weekly"}));

  // The stop cancels only what is left, then lets the objects and the
  // event object go.
  calls_.clear();
  Form().EndRTMonitor();
  EXPECT_EQ(calls_, (Calls{"Cancel Object0", "Release Object0", "Release multi"}));
  EXPECT_TRUE(Form().values.MonJobs.empty());
}

TEST_F(MonitorTest, DoneNestedInsideTheComponentsCalls) {
  // Job 1's start reports job 0 done; every cancel reports its own end.
  records_ = {WatchJob("Daily"), WatchJob("Weekly")};
  configure_job_ = [this](FakeMonitorJob& job, std::size_t n) {
    job.done_in_cancel = true;
    if (n % 2) job.on_start = [this, n] { jobs_[n - 1]->Finished("Object0", 0); };
  };
  SetMonitorKeys("RunNTMon=1\r\nMonShowMsg=00\r\n");  // any value but "0": the summary
  Form();
  // The summary's stop line comes once per start: not again from the stop.
  Form().EndRTMonitor();
  Form().RunRTMonitor();
  EXPECT_EQ(MonitorLines(), (Calls{"gestoppt", "gestartet", "gestoppt", "gestartet"}));
  EXPECT_TRUE(ui_.boxes.empty());

  // A form that goes without a stop lets its watch objects go first.
  calls_.clear();
  form_.reset();
  EXPECT_EQ(calls_, (Calls{"Release Object1", "Release multi"}));
}

TEST_F(MonitorTest, MonSrvIsRunningOnAVisibleBorderedTitleWithThePattern) {
  frmMain form(*loop_, fs_, Components{});
  fs_.AddFile("/lang/English.lng", "[Monitor]\r\nt0=Quillon Monitor\r\n");
  constexpr auto kVisible = static_cast<std::int32_t>(platform::kWsVisible);
  constexpr auto kBoth = static_cast<std::int32_t>(platform::kWsVisible | platform::kWsBorder);
  struct Row {
    std::string language_file;
    std::vector<test::FakeWindows::Window> windows;
    bool found;
  } rows[] = {
      {"/lang/English.lng", {{"Editor", kBoth}, {"QUILLON monitor [3 Jobs]", kBoth}}, true},
      {"/lang/English.lng", {{"Quillon Monitor [1]", kVisible}, {"Quillon Monitor [1]", 0}}, false},
      {"/lang/English.lng", {{"Quillon Monitor", kBoth}, {"", kBoth}}, false},
      // Without "t0" any title with " [" counts.
      {"/lang/missing.lng", {{"Editor", kBoth}, {"Notes [draft]", kBoth}}, true},
  };
  for (const Row& r : rows) {
    windows_.windows = r.windows;
    form.m_sLanguage = r.language_file;
    EXPECT_EQ(modKillTask::MonSrvIsRunning(form), r.found) << r.windows.back().title;
  }
  EXPECT_EQ(modKillTask::GetWindowTitle(3), "Notes [draft]");
  EXPECT_TRUE(ui_.boxes.empty());
}

#ifndef _WIN32
// Each class is set in a child process, which reports what it got: the
// system's scheduler is the point here.
TEST(SetPriorityTest, ClassesMapOntoSchedulingPolicyAndNice) {
  auto in_child = [](std::int32_t priority_class) {
    pid_t pid = ::fork();
    if (pid == 0) {
      modProcPriority::SetPriority(priority_class);
      errno = 0;
      int nice_value = ::getpriority(PRIO_PROCESS, 0);
      int policy = ::sched_getscheduler(0);
      ::_exit((policy == SCHED_IDLE ? 100 : 0) + nice_value + 20);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WEXITSTATUS(status) - 20;
  };
  const int before = ::getpriority(PRIO_PROCESS, 0);
  EXPECT_EQ(in_child(modProcPriority::kIdlePriorityClass), 100 + 19);
  EXPECT_EQ(in_child(0x33), before);  // unknown class: left as it was
  if (::geteuid() == 0) {
    EXPECT_EQ(in_child(modProcPriority::kHighPriorityClass), -10);
    EXPECT_EQ(in_child(modProcPriority::kNormalPriorityClass), 0);
  } else {
    // Without the right a refusal keeps the value.
    EXPECT_EQ(in_child(modProcPriority::kHighPriorityClass), before);
  }
}
#endif

}  // namespace
}  // namespace qs
