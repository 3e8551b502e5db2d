// The reference engine: which jobs run, in which order, what each copies,
// the events it raises, and the file calls it relies on.
#include "monitor/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/job_file.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace stdfs = std::filesystem;
using engine::JobRecord;

// A loop whose pumps are counted and run what was posted.
class FakeLoop : public platform::MessageLoop {
 public:
  int pumps = 0;
  std::deque<std::function<void()>> posted;

  void Run() override {}
  void PumpPending() override {
    ++pumps;
    while (!posted.empty()) {
      auto task = std::move(posted.front());
      posted.pop_front();
      task();
    }
  }
  void Quit() override { quit_ = true; }
  bool QuitRequested() const override { return quit_; }
  void Post(std::function<void()> task) override {
    posted.push_back(std::move(task));
  }
  std::unique_ptr<platform::Timer> CreateTimer(std::function<void()>) override {
    return nullptr;
  }
#ifndef _WIN32
  void OnSignal(int, std::function<void()>) override {}
  void WatchFd(int, std::function<void()>) override {}
#else
  void WatchHandle(void*, std::function<void()>) override {}
#endif

 private:
  bool quit_ = false;
};

// The real file system, with faults and free space set by the test.
class FaultyFs : public test::ForwardingFileSystem {
 public:
  // Copies whose target name ends so: half the data is written, then the
  // copy fails and leaves the half file behind.
  std::string break_copy_of;
  std::string break_rename_of;
  bool free_known = true;
  std::int64_t free_bytes = std::int64_t{1} << 31;
  std::vector<std::string> free_roots;

  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* spc,
                        std::uint32_t* bps, std::uint32_t* free,
                        std::uint32_t* total) override {
    free_roots.push_back(root);
    if (!free_known) return false;
    *spc = 1;
    *bps = 1;
    *free = static_cast<std::uint32_t>(free_bytes);
    *total = 0xFFFFFFFFu;
    return true;
  }
  void CopyToNewFile(const std::string& from, const std::string& to) override {
    if (!break_copy_of.empty() && to.find(break_copy_of) != std::string::npos) {
      std::string data = test::ReadBytes(from);
      test::WriteBytes(to, data.substr(0, data.size() / 2));
      throw RuntimeError(kErrDiskFull);
    }
    real.CopyToNewFile(from, to);
  }
  void RenameFile(const std::string& from, const std::string& to) override {
    if (!break_rename_of.empty() &&
        to.find(break_rename_of) != std::string::npos) {
      throw RuntimeError(kErrPermission);
    }
    real.RenameFile(from, to);
  }
};

struct Event {
  std::string kind;  // "job" or "log"
  std::string text;
  std::int16_t id;
  bool view, file, same_view, last;
  std::int32_t index, counter;
  std::int16_t interval_type;
  std::string interval_time;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine_(engine::CreateJobEngine(loop_)) {
    stdfs::create_directory(jobs());
    engine_->CurrentJob =
        [this](std::string& f, std::int32_t& i, std::int32_t& n, std::int16_t&,
               std::int16_t& type, std::int16_t&, std::string& time,
               std::string&, std::int16_t&, std::int16_t&) {
          events_.push_back(
              {"job", f, 0, false, false, false, false, i, n, type, time});
        };
    engine_->LogMessage = [this](std::string& msg, std::int16_t& id, bool& view,
                                 bool& file, bool& same, bool& last) {
      events_.push_back({"log", msg, id, view, file, same, last, 0, 0, -1, ""});
    };
  }

  std::string jobs() const { return dir_.Join("jobs"); }
  // `rel` with "/" between its parts, under the test folder.
  std::string Path(std::string rel) const {
    std::replace(rel.begin(), rel.end(), '/', test::Sep()[0]);
    return dir_.path() + test::Sep() + rel;
  }
  void Put(const std::string& rel, const std::string& data) {
    stdfs::create_directories(stdfs::path(Path(rel)).parent_path());
    test::WriteBytes(Path(rel), data);
  }
  // A job file with section "Job" and these lines.
  void Job(const std::string& file, const std::string& lines) {
    test::WriteBytes(jobs() + test::Sep() + file, "[Job]\r\n" + lines);
  }
  void CopyJob(const std::string& file, const std::string& from,
               const std::string& to, const std::string& more = "") {
    Job(file, "From=" + Path(from) + "\r\nTo=" + Path(to) + "\r\n" + more);
  }

  void Pass(bool run_all = false) {
    events_.clear();
    std::string jobs_path = jobs() + test::Sep(), lang = lang_;
    bool b = false, c = false;
    engine_->ProcessJobs(jobs_path, lang, run_all, b, c);
  }
  std::vector<std::string> Jobs() const {
    std::vector<std::string> out;
    for (const Event& e : events_) {
      if (e.kind == "job") out.push_back(e.text);
    }
    return out;
  }
  std::vector<std::string> Logs() const {
    std::vector<std::string> out;
    for (const Event& e : events_) {
      if (e.kind == "log") out.push_back(e.text);
    }
    return out;
  }
  std::string Copied(const std::string& from, const std::string& to) const {
    return "Datei kopiert: " + Path(from) + " -> " + Path(to);
  }
  stdfs::file_time_type Time(const std::string& rel) const {
    return stdfs::last_write_time(Path(rel));
  }
  void SetTime(const std::string& rel, int hours_ago) {
    stdfs::last_write_time(Path(rel), stdfs::file_time_type::clock::now() -
                                          std::chrono::hours(hours_ago));
  }

  test::TempDir dir_;
  FakeLoop loop_;
  std::unique_ptr<engine::cJobEngine> engine_;
  std::vector<Event> events_;
  std::string lang_;
};

TEST_F(EngineTest, EngineRunsOnlyScheduledActiveJobsInNameOrder) {
  struct Row {
    std::string file, extra;
    bool runs;
  } rows[] = {
      {"b.qlj", "Type=0\r\n", true},
      {"A.qlj", "", true},
      {"watch.qlj", "Type=2\r\n", false},
      {"other.qlj", "Type=1\r\n", false},
      {"off.qlj", "Active=0\r\n", false},
      {"held.qlj", "Hold=1\r\n", false},
      {"heldtext.qlj", "Hold=x\r\n", false},
      {"c.QLJ", "Hold=0.0\r\nActive=yes\r\n", true},
  };
  for (const Row& r : rows) {
    Put("src-" + r.file + "/f.txt", "data");
    CopyJob(r.file, "src-" + r.file, "dst-" + r.file, r.extra);
  }
  test::WriteBytes(jobs() + test::Sep() + "junk.qlj", "\x01\x02 no ini");
  Put("jobs/notes.txt", "[Job]\r\nFrom=x\r\nTo=y\r\n");
  Pass();
  EXPECT_EQ(Jobs(), (std::vector<std::string>{"A.qlj", "b.qlj", "c.QLJ"}));
  for (const Row& r : rows) {
    EXPECT_EQ(test::Exists(Path("dst-" + r.file + "/f.txt")), r.runs) << r.file;
  }
  std::vector<Event> jobs;
  for (const Event& e : events_) {
    if (e.kind == "job") jobs.push_back(e);
  }
  ASSERT_EQ(jobs.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(jobs[i].index, i + 1);
    EXPECT_EQ(jobs[i].counter, 3);
    EXPECT_EQ(jobs[i].interval_type, 0);
  }
}

TEST_F(EngineTest, EngineRaisesCurrentJobBeforeEveryMessageOfItsJob) {
  Put("in1/a.txt", "1");
  Put("in1/b.txt", "22");
  Put("in2/c.txt", "333");
  CopyJob("First.qlj", "in1", "out1");
  CopyJob("Second.qlj", "in2", "out2");
  CopyJob("Third.qlj", "missing", "out3");
  int pumps_seen_by_second = -1;
  loop_.Post([&] { pumps_seen_by_second = static_cast<int>(Jobs().size()); });
  Pass();

  std::vector<std::string> expected = {
      "job:First.qlj",
      "log:" + Copied("in1/a.txt", "out1/a.txt"),
      "log:" + Copied("in1/b.txt", "out1/b.txt"),
      "log:2 Dateien kopiert, 0 Fehler",
      "job:Second.qlj",
      "log:" + Copied("in2/c.txt", "out2/c.txt"),
      "log:1 Dateien kopiert, 0 Fehler",
      "job:Third.qlj",
      "log:Fehler: Quellordner nicht gefunden: " + Path("missing"),
      "log:0 Dateien kopiert, 1 Fehler",
  };
  std::vector<std::string> got;
  for (const Event& e : events_) got.push_back(e.kind + ":" + e.text);
  EXPECT_EQ(got, expected);
  for (const Event& e : events_) {
    if (e.kind != "log") continue;
    bool summary = e.text.find("Dateien kopiert") != std::string::npos;
    EXPECT_TRUE(e.view && e.file && !e.same_view) << e.text;
    EXPECT_EQ(e.last, summary) << e.text;
    EXPECT_EQ(e.id, summary                          ? 3
                    : e.text.rfind("Fehler", 0) == 0 ? 2
                                                     : 1)
        << e.text;
  }
  // Service events ran between the jobs, not before the first one.
  EXPECT_EQ(loop_.pumps, 2);
  EXPECT_EQ(pumps_seen_by_second, 1);
}

TEST_F(EngineTest, EngineCopiesNewAndChangedFilesAndKeepsTheirTimes) {
  Put("in/same.txt", "unchanged");
  Put("in/edited.txt", "old");
  Put("in/grown.txt", "x");
  Put("in/gone.txt", "g");
  Put("in/sub/deep.txt", "not recursive");
  for (const char* f : {"same", "edited", "grown", "gone"}) {
    SetTime(std::string("in/") + f + ".txt", 5);
  }
  CopyJob("J.qlj", "in", "out/new/deeper");
  Pass();
  EXPECT_EQ(Logs().back(), "4 Dateien kopiert, 0 Fehler");
  EXPECT_FALSE(test::Exists(Path("out/new/deeper/sub")));
  for (const char* f : {"same", "edited", "grown", "gone"}) {
    std::string name = std::string(f) + ".txt";
    EXPECT_EQ(Time("in/" + name), Time("out/new/deeper/" + name)) << f;
  }

  Pass();
  EXPECT_EQ(Logs(), (std::vector<std::string>{"0 Dateien kopiert, 0 Fehler"}));

  Put("in/edited.txt", "new");  // same size, newer time
  Put("out/new/deeper/grown.txt", "changed in the target");
  stdfs::remove(Path("out/new/deeper/gone.txt"));
  Pass();
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        Copied("in/edited.txt", "out/new/deeper/edited.txt"),
                        Copied("in/gone.txt", "out/new/deeper/gone.txt"),
                        Copied("in/grown.txt", "out/new/deeper/grown.txt"),
                        "3 Dateien kopiert, 0 Fehler"}));
  EXPECT_EQ(test::ReadBytes(Path("out/new/deeper/edited.txt")), "new");
  EXPECT_EQ(test::ReadBytes(Path("out/new/deeper/grown.txt")), "x");
}

TEST_F(EngineTest, EngineFollowsPatternAndRecursionWithoutCopyingIntoItself) {
  for (const char* f : {"a.txt", "b.CSV", "c.doc", "sub/d.txt",
                        "sub/deeper/e.txt", "x.txt.qltmp", "sub/f.doc"}) {
    Put(std::string("in/") + f, f);
  }
  CopyJob("Rec.qlj", "in", "in/out",
          "Pattern= *.txt ; *.csv\r\nRecursive=1\r\n");
  CopyJob("Flat.qlj", "in", "flat", "Pattern=?.doc\r\n");
  Pass();
  auto exists = [&](const std::string& rel) { return test::Exists(Path(rel)); };
  for (const char* f : {"a.txt", "b.CSV", "sub/d.txt", "sub/deeper/e.txt"}) {
    EXPECT_TRUE(exists(std::string("in/out/") + f)) << f;
  }
  for (const char* f : {"c.doc", "x.txt.qltmp", "sub/f.doc", "out"}) {
    EXPECT_FALSE(exists(std::string("in/out/") + f)) << f;
  }
  EXPECT_TRUE(exists("flat/c.doc"));
  EXPECT_FALSE(exists("flat/sub"));
  EXPECT_FALSE(exists("flat/a.txt"));

  Pass();  // the copies inside the source are not taken for new files
  EXPECT_EQ(Logs(), (std::vector<std::string>{"0 Dateien kopiert, 0 Fehler",
                                              "0 Dateien kopiert, 0 Fehler"}));
}

TEST_F(EngineTest, EngineLeavesNothingHalfCopiedWhenACopyFails) {
  FaultyFs fs;
  platform::ScopedPlatform use(
      {nullptr, &fs, nullptr, nullptr, nullptr, nullptr});
  Put("in/big.txt", "0123456789-new");
  Put("in/fresh.txt", "fresh data");
  Put("in/locked.txt", "locked");
  Put("in/ok.txt", "ok");
  Put("out/big.txt", "old content");
  fs.break_copy_of = "big.txt";       // fails midway over an existing file
  fs.break_rename_of = "locked.txt";  // fails after the complete copy
  CopyJob("J.qlj", "in", "out");
  Pass();
  EXPECT_EQ(test::ReadBytes(Path("out/big.txt")), "old content");
  EXPECT_FALSE(test::Exists(Path("out/locked.txt")));
  EXPECT_EQ(test::ReadBytes(Path("out/ok.txt")), "ok");
  EXPECT_EQ(test::ReadBytes(Path("out/fresh.txt")), "fresh data");
  std::vector<std::string> left;
  for (const auto& e : stdfs::directory_iterator(Path("out"))) {
    left.push_back(e.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"big.txt", "fresh.txt", "ok.txt"}));
  std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 5u);
  EXPECT_EQ(logs[0], "Fehler: Datei nicht kopiert: " + Path("in/big.txt") +
                         " -> " + Path("out/big.txt") + " (Disk full)");
  EXPECT_EQ(logs[2], "Fehler: Datei nicht kopiert: " + Path("in/locked.txt") +
                         " -> " + Path("out/locked.txt") +
                         " (Permission denied)");
  EXPECT_EQ(logs[4], "2 Dateien kopiert, 2 Fehler");

  // A folder where the copy belongs: the rename fails on the real system.
  fs.break_copy_of.clear();
  fs.break_rename_of.clear();
  stdfs::create_directory(Path("out/locked.txt"));
  Pass();
  EXPECT_TRUE(stdfs::is_directory(Path("out/locked.txt")));
  EXPECT_FALSE(test::Exists(Path("out/locked.txt.qltmp")));
  EXPECT_EQ(Logs().back(), "1 Dateien kopiert, 1 Fehler");
}

TEST_F(EngineTest, EngineReportsBrokenJobsAndRunsTheOthers) {
  Put("in/a.txt", "a");
  Put("ok/a.txt", "a");
  Job("1-empty.qlj", "From=\r\nTo=" + Path("x") + "\r\n");
  CopyJob("2-same.qlj", "in", "in/");
  Job("3-noto.qlj", "From=" + Path("in") + "\r\n");
  Put("blocker", "a file where the target folder should be");
  CopyJob("4-blocked.qlj", "in", "blocker/out");
  CopyJob("5-ok.qlj", "ok", "okout");
  Pass();
  std::vector<std::string> expected = {
      "Fehler: Quell- oder Zielordner nicht angegeben",
      "0 Dateien kopiert, 1 Fehler",
      "Fehler: Quell- und Zielordner sind gleich: " + Path("in"),
      "0 Dateien kopiert, 1 Fehler",
      "Fehler: Quell- oder Zielordner nicht angegeben",
      "0 Dateien kopiert, 1 Fehler",
  };
  std::vector<std::string> logs = Logs();
  ASSERT_EQ(logs.size(), 10u);
  EXPECT_EQ(std::vector<std::string>(logs.begin(), logs.begin() + 6), expected);
  EXPECT_EQ(logs[6].rfind("Fehler: Zielordner nicht beschreibbar: " +
                              Path("blocker/out") + " (",
                          0),
            0u)
      << logs[6];
  EXPECT_EQ(logs[7], "0 Dateien kopiert, 1 Fehler");
  EXPECT_EQ(logs[9], "1 Dateien kopiert, 0 Fehler");
  EXPECT_EQ(Jobs().size(), 5u);
}

TEST_F(EngineTest, EngineKeepsTenMegabytesFreeUnlessTold) {
  constexpr std::int64_t kTen = 10 * 1024 * 1024;
  struct Row {
    bool known;
    std::int64_t free;
    bool no_check;
    bool copied;
  } rows[] = {
      {true, kTen + 999, false, false},
      {true, kTen + 1000, false, true},
      {true, 0, true, true},
      {false, 0, false, true},
  };
  Put("in/k.bin", std::string(1000, 'k'));
  CopyJob("J.qlj", "in", "out");
  for (const Row& r : rows) {
    FaultyFs fs;
    platform::ScopedPlatform use(
        {nullptr, &fs, nullptr, nullptr, nullptr, nullptr});
    fs.free_known = r.known;
    fs.free_bytes = r.free;
    engine_->NoDiskSizeCheck = r.no_check;
    stdfs::remove_all(Path("out"));
    Pass();
    SCOPED_TRACE(r.free);
    EXPECT_EQ(test::Exists(Path("out/k.bin")), r.copied);
    EXPECT_EQ(fs.free_roots.empty(), r.no_check);
    if (!r.copied) {
      EXPECT_EQ(Logs().front(),
                "Fehler: Zu wenig freier Speicher im Zielordner, Datei nicht "
                "kopiert: " +
                    Path("in/k.bin"));
      EXPECT_FALSE(test::Exists(Path("out/k.bin.qltmp")));
    }
#ifndef _WIN32
    if (!r.no_check) {
      EXPECT_EQ(fs.free_roots.at(0), Path("out"));
    }
#endif
  }
}

TEST_F(EngineTest, EngineRunsAJobWithAnIntervalOnlyWhenDue) {
  test::FakeClock clock;
  platform::ScopedPlatform use(
      {nullptr, nullptr, &clock, nullptr, nullptr, nullptr});
  Put("in/a.txt", "a");
  CopyJob("Every5.qlj", "in", "out5", "Interval=5\r\n");
  CopyJob("Always.qlj", "in", "out0", "Interval=junk\r\n");
  struct Step {
    std::uint32_t at_ms;
    bool run_all;
    std::vector<std::string> jobs;
  } steps[] = {
      {1000, false, {"Always.qlj", "Every5.qlj"}},
      {61000, false, {"Always.qlj"}},
      {1000 + 300000 - 2500, false, {"Always.qlj"}},
      {1000 + 300000 - 2000, false, {"Always.qlj", "Every5.qlj"}},
      {400000, true, {"Always.qlj", "Every5.qlj"}},
      {460000, false, {"Always.qlj"}},
  };
  for (const Step& s : steps) {
    clock.ticks = s.at_ms;
    Pass(s.run_all);
    EXPECT_EQ(Jobs(), s.jobs) << s.at_ms;
  }
  ASSERT_EQ(events_.size() > 0, true);
  Pass(true);
  EXPECT_EQ(events_[0].interval_type, 0);
  EXPECT_EQ(events_[0].interval_time, "0");
  auto every5 =
      std::find_if(events_.begin(), events_.end(),
                   [](const Event& e) { return e.text == "Every5.qlj"; });
  ASSERT_NE(every5, events_.end());
  EXPECT_EQ(every5->interval_type, 1);
  EXPECT_EQ(every5->interval_time, "5");
}

TEST_F(EngineTest, EngineEndsThePassWhenAStopArrivesBetweenJobs) {
  for (const char* j : {"A", "B", "C"}) {
    Put(std::string("in") + j + "/f", "f");
    CopyJob(std::string(j) + ".qlj", std::string("in") + j,
            std::string("out") + j);
  }
  loop_.Post([&] { loop_.Quit(); });
  Pass();
  EXPECT_EQ(Jobs(), std::vector<std::string>{"A.qlj"});
  EXPECT_TRUE(test::Exists(Path("outA/f")));
  EXPECT_FALSE(test::Exists(Path("outB/f")));
}

TEST_F(EngineTest, EngineTakesItsTextsFromTheLanguageFile) {
  Put("lang/English.lng",
      "[JobEngine]\r\nt0=Copied %2 from %1\r\nt8=%1 copied, %2 errors, %3\r\n");
  lang_ = Path("lang/English.lng");
  Put("in/a", "a");
  CopyJob("J.qlj", "in", "out");
  Pass();
  EXPECT_EQ(Logs(), (std::vector<std::string>{
                        "Copied " + Path("out/a") + " from " + Path("in/a"),
                        "1 copied, 0 errors, %3"}));
}

TEST_F(EngineTest, EngineGetJobsMapsTheKeysOfEveryJobFile) {
  Job("Watch.qlj",
      "From=C:\\in\r\nTo=D:\\out\r\nType=2\r\nActive=0\r\nHold=1.5\r\n"
      "WatchFolder=E:\\w\r\nWatch=2\r\nRecursive=7\r\nStartCopy=1\r\n"
      "Delay=-1\r\nRetries=9\r\n");
  Job("b.qlj", "Type=99999\r\nDelay=x\r\nActive= 1 \r\n");
  test::WriteBytes(jobs() + test::Sep() + "a.qlj", "not an INI file");
  Put("jobs/c.txt", "[Job]\r\n");
  std::string path = jobs() + test::Sep(), filter;
  std::vector<JobRecord> all = engine::CreateJobList()->GetJobs(path, filter);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].JobName, "a");
  EXPECT_EQ(all[1].JobName, "b");
  const JobRecord& w = all[2];
  EXPECT_EQ(w.JobName, "Watch");
  EXPECT_EQ(w.JobType, 2);
  EXPECT_EQ(w.ExcludeFlag, 1);
  EXPECT_EQ(w.CheckValue, "1.5");
  EXPECT_EQ(w.PathA, "C:\\in");
  EXPECT_EQ(w.PathB, "D:\\out");
  EXPECT_EQ(w.PathC, "E:\\w");
  EXPECT_EQ(w.PathChoice, 2);
  EXPECT_EQ(w.FlagA, 7);
  EXPECT_EQ(w.FlagB, 1);
  EXPECT_EQ(w.ValueA, -1);
  EXPECT_EQ(w.ValueB, 9);
  for (const JobRecord& d : {all[0], all[1]}) {  // defaults
    EXPECT_EQ(d.JobType, 0);
    EXPECT_EQ(d.ExcludeFlag, 0);
    EXPECT_EQ(d.CheckValue, "0");
    EXPECT_EQ(d.PathA, "");
    EXPECT_EQ(d.PathChoice, 0);
    EXPECT_EQ(d.FlagA, 0);
    EXPECT_EQ(d.FlagB, 0);
    EXPECT_EQ(d.ValueA, 2);
    EXPECT_EQ(d.ValueB, 3);
  }
  filter = "w*;A";
  std::vector<JobRecord> some = engine::CreateJobList()->GetJobs(path, filter);
  ASSERT_EQ(some.size(), 2u);
  EXPECT_EQ(some[0].JobName, "a");
  EXPECT_EQ(some[1].JobName, "Watch");
  std::string none = Path("no-such-folder"), empty;
  EXPECT_TRUE(engine::CreateJobList()->GetJobs(none, empty).empty());
}

TEST(EngineMasks, MatchesLikeTheWindowsShell) {
  struct Row {
    const char* name;
    const char* masks;
    bool match;
  } rows[] = {
      {"a.txt", "*.txt", true},
      {"A.TXT", "*.txt", true},
      {"a.txt.bak", "*.txt", false},
      {"README", "*.*", true},
      {"ab", "?", false},
      {"ab", "a?", true},
      {"abcabd", "*ab?", true},
      {"x", "", true},
      {"x", " ; ", true},
      {"x", "a;b", false},
      {"b", "a; b ", true},
      {"aaa", "a*a*a*a", false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(engine::MatchesMasks(r.name, r.masks), r.match)
        << r.name << " / " << r.masks;
  }
}

// The file calls the engine relies on, on this system.
TEST(EngineFiles, CopyListRenameAndCreateFolder) {
  platform::FileSystem& fs = *platform::Current().fs;
  test::TempDir dir;
  std::string src = dir.Join("src.bin"), copy = dir.Join("copy.bin");
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  test::WriteBytes(src, data);
  auto old = stdfs::file_time_type::clock::now() - std::chrono::hours(30);
  stdfs::last_write_time(src, old);

  fs.CopyToNewFile(src, copy);
  EXPECT_EQ(test::ReadBytes(copy), data);
  EXPECT_EQ(stdfs::last_write_time(copy), stdfs::last_write_time(src));
  platform::FileStat s = fs.GetFileStat(src), c = fs.GetFileStat(copy);
  EXPECT_EQ(c.kind, platform::FileStat::kFile);
  EXPECT_EQ(c.size, 200000);
  EXPECT_EQ(c.modified, s.modified);
  // 100-ns steps since 1601: a time 30 hours back lies within a day of now.
  auto age = std::chrono::system_clock::now().time_since_epoch();
  std::int64_t now_ticks =
      std::chrono::duration_cast<std::chrono::seconds>(age).count() * 10000000 +
      116444736000000000;
  EXPECT_NEAR(static_cast<double>(now_ticks - s.modified), 30.0 * 36e9, 36e9);

  auto error_of = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const RuntimeError& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(error_of([&] { fs.CopyToNewFile(src, copy); }), 58);
  EXPECT_EQ(test::ReadBytes(copy), data);
  // A source that cannot be read leaves no target behind.
  EXPECT_NE(error_of([&] { fs.CopyToNewFile(dir.path(), dir.Join("t")); }), 0);
  EXPECT_FALSE(test::Exists(dir.Join("t")));

  test::WriteBytes(dir.Join("other"), "x");
  fs.RenameFile(dir.Join("other"), copy);
  EXPECT_EQ(test::ReadBytes(copy), "x");
  EXPECT_FALSE(test::Exists(dir.Join("other")));

  fs.CreateFolder(dir.Join("sub"));
  EXPECT_NE(
      error_of([&] { fs.CreateFolder(dir.Join("a") + test::Sep() + "b"); }), 0);
  std::map<std::string, platform::FileStat::Kind> kinds;
  for (const auto& e : fs.ListFolder(dir.path())) kinds[e.name] = e.stat.kind;
  EXPECT_EQ(kinds, (std::map<std::string, platform::FileStat::Kind>{
                       {"copy.bin", platform::FileStat::kFile},
                       {"src.bin", platform::FileStat::kFile},
                       {"sub", platform::FileStat::kFolder}}));
  EXPECT_EQ(fs.GetFileStat(dir.Join("none")).kind,
            platform::FileStat::kMissing);
  EXPECT_EQ(error_of([&] { fs.ListFolder(dir.Join("none")); }),
            kErrPathNotFound);
}

}  // namespace
}  // namespace qs
