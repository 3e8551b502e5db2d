// The reference engine on the in-memory disk: which jobs run, in which
// order, what each copies, the events it raises; and the file calls it
// relies on, on this system's own disk.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/job_file.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fake_clock.h"
#include "tests/fakes.h"
#include "tests/mem_file_system.h"
#include "tests/mem_profile.h"
#include "tests/test_support.h"

namespace qs {
namespace {

using Op = test::MemFileSystem::Op;
using Strings = std::vector<std::string>;
constexpr std::int64_t kMinute = std::int64_t{60} * 10000000;  // in file time

class EngineTest : public ::testing::Test {
 protected:
  // Every message says what it is: a copy (1), a failure (2) or the job's
  // summary (3, the last of the job), shown and written, each on its own.
  EngineTest() {
    fs_.AddFolder(Path("jobs"));
    engine_->CurrentJob = [this](std::string& f, std::int32_t& i, std::int32_t& n, std::int16_t&,
                                 std::int16_t& type, std::int16_t&, std::string& time,
                                 std::string&, std::int16_t&, std::int16_t&) {
      events_.push_back("job:" + f);
      jobs_.push_back(f);
      details_.push_back(f + " " + std::to_string(i) + "/" + std::to_string(n) + " " +
                         std::to_string(type) + ":" + time);
    };
    engine_->LogMessage = [this](std::string& msg, std::int16_t& id, bool& view, bool& file,
                                 bool& same, bool& last) {
      events_.push_back("log:" + msg);
      logs_.push_back(msg);
      EXPECT_TRUE(view && file && !same) << msg;
      EXPECT_EQ(id, last ? 3 : msg.starts_with("Fehler") ? 2 : msg.starts_with("Behoben") ? 4 : 1)
          << msg;
    };
  }

  // A folder of its own for each test: the engine tells a refused job file
  // once per jobs folder.
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
  // A file written a minute ago unless told: it has settled.
  void Put(const std::string& rel, const std::string& data, std::int64_t modified = 0) {
    fs_.AddFile(Path(rel), data, modified ? modified : fs_.now - kMinute);
  }
  void CopyJob(const std::string& file, const std::string& from, const std::string& to,
               const std::string& more = "") {
    Put("jobs/" + file, "[Job]\r\nFrom=" + Path(from) + "\r\nTo=" + Path(to) + "\r\n" + more);
  }
  void Pass(bool run_all = false) {
    for (Strings* s : {&events_, &details_, &jobs_, &logs_}) s->clear();
    std::string jobs_path = Path("jobs/"), lang = lang_;
    bool b = false, c = false;
    engine_->ProcessJobs(jobs_path, lang, run_all, b, c);
  }
  Strings Names(const std::string& rel) const { return fs_.Names(Path(rel)); }
  std::string Copied(const std::string& from, const std::string& to) const {
    return "Datei kopiert: " + Path(from) + " -> " + Path(to);
  }

  inline static int tests_ = 0;
  const std::string root_ = "/e" + std::to_string(++tests_);
  test::MemFileSystem fs_;
  test::MemProfile profile_{fs_};
  test::FakeUi ui_;
  platform::ScopedPlatform scoped_{{.profile = &profile_, .ui = &ui_}};
  test::FakeClock clock_;  // stands still unless a test moves it
  std::unique_ptr<platform::MessageLoop> loop_ = test::LoopOn(clock_);
  std::unique_ptr<engine::cJobEngine> engine_ = engine::CreateJobEngine(*loop_, fs_, clock_);
  Strings events_;   // "job:" file or "log:" message
  Strings details_;  // per job: "name index/count type:time"
  Strings jobs_, logs_;  // the job files and the messages, each in turn
  std::string lang_;
};

// Job files are trusted as crontabs are: one that others may change is not
// run, and said so once while it stays that way.
TEST_F(EngineTest, RunsOnlyScheduledActiveTrustedJobsInNameOrder) {
  const std::pair<std::string, std::string> rows[] = {
      {"b.qlj", "Type=0\r\n"},       {"A.qlj", ""},
      {"watch.qlj", "Type=2\r\n"},   {"other.qlj", "Type=1\r\n"},
      {"off.qlj", "Active=0\r\n"},   {"held.qlj", "Hold=1\r\n"},
      {"heldtext.qlj", "Hold=x\r\n"}, {"open.qlj", ""},
      {"c.QLJ", "Hold=0.0\r\nActive=yes\r\n"}, {"minus.qlj", "Hold=-1\r\n"},
  };
  Put("in/f.txt", "data");
  for (const auto& [file, extra] : rows) CopyJob(file, "in", "out-" + file, extra);
  Put("jobs/junk.qlj", "\x01\x02 no ini");
  fs_.SetUntrusted(Path("jobs/open.qlj"), "every user may write it");
  Pass();
  EXPECT_EQ(details_, (Strings{"A.qlj 1/3 0:0", "b.qlj 2/3 0:0", "c.QLJ 3/3 0:0"}));
  Pass();
  engine::ListJobFiles(fs_, Path("jobs"));  // as the watch jobs spell the folder
  EXPECT_EQ(ui_.notices, Strings{"Job file refused, not run: " + Path("jobs/open.qlj") +
                                 ": every user may write it"});
  fs_.SetUntrusted(Path("jobs/open.qlj"), "");
  Pass();
  EXPECT_EQ(jobs_, Strings{"open.qlj"});
}

TEST_F(EngineTest, TellsAJobsFolderNotReadOnceAndWhenItMends) {
  fs_.Remove(Path("jobs"));
  Pass();
  Pass();
  CopyJob("a.qlj", "in", "out");
  for (int pass = 0; pass < 2; ++pass) {
    fs_.FailAt(test::MemFileSystem::Op::kRead, 1, kErrPermission);
    Pass();
  }
  Put("in/f.txt", "data");
  Pass();
  const std::string not_read = "Jobs folder not read, no job runs: " + Path("jobs") + ": ";
  EXPECT_EQ(ui_.notices, (Strings{not_read + "no such folder", not_read + "Permission denied",
                                  "Jobs folder read again: " + Path("jobs")}));
  EXPECT_EQ(jobs_, Strings{"a.qlj"});
}

TEST_F(EngineTest, RaisesCurrentJobBeforeEveryMessageOfItsJob) {
  Put("in1/a.txt", "1");
  Put("in1/b.txt", "22");
  Put("in2/c.txt", "333");
  CopyJob("First.qlj", "in1", "out1");
  CopyJob("Second.qlj", "in2", "out2");
  CopyJob("Third.qlj", "missing", "out3");
  // Broken jobs first: each reports its fault and the pass goes on.
  Put("jobs/A-empty.qlj", "[Job]\r\nFrom=\r\nTo=" + Path("x") + "\r\n");
  CopyJob("B-same.qlj", "in2", "in2/");
  Put("jobs/C-noto.qlj", "[Job]\r\nFrom=" + Path("in2") + "\r\n");
  Put("blocker", "a file where the target folder should be");
  CopyJob("D-blocked.qlj", "in2", "blocker/out");
  Pass();
  const std::string kBlocked = "log:Fehler: Zielordner nicht beschreibbar: " + Path("blocker/out"),
                    kNone = "log:Fehler: Quell- oder Zielordner nicht angegeben",
                    kFailed = "log:0 Dateien kopiert, 1 Fehler";
  for (std::string& e : events_) {  // without the system's text of the fault
    if (e.starts_with(kBlocked + " (")) e = kBlocked;
  }
  EXPECT_EQ(events_, (Strings{
                         "job:A-empty.qlj", kNone, kFailed, "job:B-same.qlj",
                         "log:Fehler: Quell- und Zielordner sind gleich: " + Path("in2"), kFailed,
                         "job:C-noto.qlj", kNone, kFailed, "job:D-blocked.qlj", kBlocked, kFailed,
                         "job:First.qlj", "log:" + Copied("in1/a.txt", "out1/a.txt"),
                         "log:" + Copied("in1/b.txt", "out1/b.txt"),
                         "log:2 Dateien kopiert, 0 Fehler", "job:Second.qlj",
                         "log:" + Copied("in2/c.txt", "out2/c.txt"),
                         "log:1 Dateien kopiert, 0 Fehler", "job:Third.qlj",
                         "log:Fehler: Quellordner nicht gefunden: " + Path("missing"), kFailed}));
}

TEST_F(EngineTest, CopiesNewAndChangedFilesAndKeepsTheirTimes) {
  const Strings names = {"edited.txt", "gone.txt", "grown.txt", "same.txt"};
  const std::int64_t old = fs_.now - std::int64_t{5} * 3600 * 10000000;
  for (const std::string& f : names) Put("in/" + f, f == "grown.txt" ? "x" : "old", old);
  Put("in/sub/deep.txt", "not recursive");
  CopyJob("J.qlj", "in", "out/new/deeper");
  Pass();
  EXPECT_EQ(Names("out/new/deeper"), names);
  Pass();  // the copies kept their sources' times: nothing is new
  EXPECT_EQ(events_, Strings{}) << "an idle job says nothing, not even which job it is";

  Put("in/edited.txt", "new");  // same size, newer time
  Put("out/new/deeper/grown.txt", "changed in the target", old);
  fs_.Remove(Path("out/new/deeper/gone.txt"));
  Pass();
  EXPECT_EQ(logs_, (Strings{Copied("in/edited.txt", "out/new/deeper/edited.txt"),
                             Copied("in/gone.txt", "out/new/deeper/gone.txt"),
                             Copied("in/grown.txt", "out/new/deeper/grown.txt"),
                             "3 Dateien kopiert, 0 Fehler"}));
}

TEST_F(EngineTest, FollowsPatternAndRecursionWithoutCopyingIntoItself) {
  for (const char* f :
       {"a.txt", "b.CSV", "c.doc", "sub/d.txt", "sub/deeper/e.txt", "x.txt.qltmp", "sub/f.doc"}) {
    Put(std::string("in/") + f, f);
  }
  CopyJob("Rec.qlj", "in", "in/out", "Pattern= *.txt ; *.csv\r\nRecursive=-1\r\n");
  // A second job on the same source with its target inside it: neither
  // copies the other's copies.
  CopyJob("Rec2.qlj", "in/.", "in/sub/../out2", "Pattern=a.txt\r\nRecursive=1\r\n");
  Pass();
  EXPECT_EQ(Names("in/out2"), (Strings{"a.txt"}));
  EXPECT_EQ(Names("in/out"), (Strings{"a.txt", "b.CSV", "sub"}));
  EXPECT_EQ(Names("in/out/sub"), (Strings{"d.txt", "deeper"}));
  EXPECT_EQ(Names("in/out/sub/deeper"), Strings{"e.txt"});
  Pass();  // the copies inside the source, its own or another job's, are not copied
  EXPECT_EQ(logs_, Strings{});
}

TEST_F(EngineTest, KeepsTenMegabytesFreeOnTheTargetsVolumeUnlessTold) {
  constexpr std::int64_t kTen = 10 * 1024 * 1024;
  struct Row {
    bool known;
    std::int64_t free;
    bool no_check, copied;
  } rows[] = {{true, kTen + 999, false, false},
              {true, kTen + 1000, false, true},
              {true, kTen, true, true},
              {false, kTen, false, true}};
  Put("in/k.bin", std::string(1000, 'k'));
  CopyJob("J.qlj", "in", "out");
  Strings roots;
  fs_.on_op = [&](Op op, const std::string& path) {
    if (op == Op::kFreeSpace) roots.push_back(path);
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.free);
    if (fs_.Has(Path("out"))) fs_.Remove(Path("out"));
    fs_.capacity -= fs_.Free() - r.free;
    if (!r.known) fs_.FailAt(Op::kFreeSpace, 1, kErrDeviceIO);
    engine_->NoDiskSizeCheck = r.no_check;
    roots.clear();
    Pass();
    EXPECT_EQ(fs_.Has(Path("out/k.bin")), r.copied);
    EXPECT_EQ(roots, r.no_check ? Strings{} : Strings{Path("out")});
    if (!r.copied) {
      EXPECT_EQ(logs_.front(), "Fehler: Zu wenig freier Speicher im Zielordner, Datei nicht "
                                "kopiert: " + Path("in/k.bin"));
    }
  }
}

// What the engine keeps of a job goes with its job file: a job file made
// anew is a new job, due at once.
TEST_F(EngineTest, RunsAJobWithAnIntervalOnlyWhenDue) {
  Put("in/a.txt", "a");
  CopyJob("Every5.qlj", "in", "out5", "Interval=5\r\n");
  CopyJob("Always.qlj", "in", "out0", "Interval=junk\r\n");
  const Strings both = {"Always.qlj", "Every5.qlj"}, always = {"Always.qlj"};
  int news = 0;
  auto pass = [&](bool run_all) {  // a changed file for every job that runs
    Put("in/a.txt", "a", fs_.now - kMinute - ++news);
    Pass(run_all);
  };
  struct Step {
    std::uint32_t at_ms;
    bool run_all;
    Strings jobs;
  } steps[] = {{1000, false, both},   {61000, false, always}, {298500, false, always},
               {299000, false, both}, {400000, true, both},   {460000, false, always}};
  for (const Step& s : steps) {
    clock_.ticks = s.at_ms;
    pass(s.run_all);
    EXPECT_EQ(jobs_, s.jobs) << s.at_ms;
  }
  pass(true);
  EXPECT_EQ(details_, (Strings{"Always.qlj 1/2 0:0", "Every5.qlj 2/2 1:5"}));
  fs_.Remove(Path("jobs/Every5.qlj"));
  Pass();
  CopyJob("Every5.qlj", "in", "out5", "Interval=5\r\n");
  pass(false);
  EXPECT_EQ(jobs_, both);
}

// A file still being written waits for the next pass, though its job's
// interval has not passed: one open for writing, or one changed within the
// job's settle time, also one dated a little ahead; one further ahead is
// taken for a wrong clock.
TEST_F(EngineTest, FilesStillBeingWrittenWaitForTheNextPass) {
  const std::int64_t second = kMinute / 60;
  const std::pair<std::string, std::int64_t> rows[] = {
      {"ahead", -7 * second}, {"far-ahead", -9 * second}, {"fresh", 7 * second},
      {"open", kMinute},      {"settled", 9 * second}};
  for (const auto& [name, age] : rows) Put("in/" + name, name, fs_.now - age);
  fs_.writing.insert(Path("in/open"));
  CopyJob("J.qlj", "in", "out", "Settle=8\r\nInterval=60\r\n");
  Pass();
  EXPECT_EQ(logs_, (Strings{Copied("in/far-ahead", "out/far-ahead"),
                            Copied("in/settled", "out/settled"), "2 Dateien kopiert, 0 Fehler"}));
  fs_.now += kMinute;
  fs_.writing.clear();
  Pass();
  EXPECT_EQ(Names("out").size(), 5u);
}

// A failure is told once, again when it changes or an hour later, and when
// it has cleared (not when a stop, -1, kept the run from looking); a job
// whose only news is a failure told already says nothing at all.
TEST_F(EngineTest, TellsAFailureOnceAgainWhenItChangesOrAnHourLaterAndWhenItClears) {
  Put("in/a", "a");
  Put("in/b", "b");  // copied at once; the stop's pass ends before it
  CopyJob("J.qlj", "in", "out");
  const std::string failed = "Fehler: Datei nicht kopiert: " + Path("in/a") + " -> " + Path("out/a");
  const std::string io = failed + " (Device I/O error)", denied = failed + " (Permission denied)";
  const std::string one = "0 Dateien kopiert, 1 Fehler";
  const std::tuple<std::int32_t, std::uint32_t, Strings> steps[] = {
      {57, 0, {io, Copied("in/b", "out/b"), "1 Dateien kopiert, 1 Fehler"}},
      {57, 3599999, {}},
      {57, 1, {io, one}},
      {70, 0, {denied, one}},
      {-1, 0, {}},
      {0, 0, {Copied("in/a", "out/a"), "Behoben: " + denied, "1 Dateien kopiert, 0 Fehler"}}};
  for (const auto& [error, later_ms, logs] : steps) {
    if (error > 0) fs_.FailAt(Op::kWrite, 1, error);
    fs_.on_op = [&, stop = error < 0](Op, const std::string&) {
      if (stop) engine_->CancelPass();
    };
    clock_.ticks += later_ms;
    Pass();
    EXPECT_EQ(logs_, logs) << error;
  }
}

// A stop ends the pass: between jobs (the clock stands still, so the engine
// lets messages run between jobs only), or in the middle of a job, where
// what is not renamed yet is given up and waits for the next pass.
TEST_F(EngineTest, StopsThePassInTheMiddleOfAJobAndBetweenJobs) {
  for (std::string j : {"A", "B", "C"}) {
    Put("in" + j + "/f", "f");
    CopyJob(j + ".qlj", "in" + j, "out" + j);
  }
  Put("inB/g", "g");
  int copies = 0;
  fs_.on_op = [&](Op op, const std::string&) {
    if (op == Op::kCreate && ++copies == 2) engine_->CancelPass();
  };
  Pass();
  EXPECT_EQ(jobs_, Strings{"A.qlj"});  // B gave its copies up, C never started
  EXPECT_EQ(Names("outB"), Strings{});
  Pass();
  EXPECT_EQ(Names("outB"), (Strings{"f", "g"}));
  EXPECT_EQ(Names("outC"), Strings{"f"});

  // The clock stands still: the engine lets messages run between jobs only.
  Put("inA/g", "g");
  Put("inB/h", "h");
  Put("lang/English.lng", "[JobEngine]\r\nt0=Copied %2 from %1\r\nt8=%1 copied, %2 errors, %3\r\n");
  lang_ = Path("lang/English.lng");  // texts come from the language file
  loop_->Post([&] { loop_->Quit(); });
  Pass();
  EXPECT_EQ(jobs_, Strings{"A.qlj"});
  EXPECT_EQ(logs_, (Strings{"Copied " + Path("outA/g") + " from " + Path("inA/g"),
                             "1 copied, 0 errors, %3"}));
}

TEST_F(EngineTest, GetJobsMapsTheKeysOfEveryJobFile) {
  Put("jobs/Watch.qlj",
      "[Job]\r\nFrom=C:\\in\r\nTo=D:\\out\r\nType=2\r\nActive=0\r\nHold=1.5\r\n"
      "WatchFolder=E:\\w\r\nWatch=2\r\nRecursive=7\r\nStartCopy=1\r\nDelay=-1\r\nRetries=9\r\n");
  Put("jobs/b.qlj", "[Job]\r\nType=99999\r\nDelay=x\r\nActive= 1 \r\n");
  Put("jobs/a.qlj", "not an INI file");
  Put("jobs/c.txt", "[Job]\r\n");
  auto get = [&](std::string path, std::string filter) {
    Strings out;
    for (const engine::JobRecord& r : engine::CreateJobList(*loop_, fs_)->GetJobs(path, filter)) {
      out.push_back(r.JobName + "|" + std::to_string(r.JobType) + "|" +
                    std::to_string(r.ExcludeFlag) + "|" + r.CheckValue + "|" + r.PathA + "|" +
                    r.PathB + "|" + r.PathC + "|" + std::to_string(r.PathChoice) + "|" +
                    std::to_string(r.FlagA) + "|" + std::to_string(r.FlagB) + "|" +
                    std::to_string(r.ValueA) + "|" + std::to_string(r.ValueB));
    }
    return out;
  };
  const std::string a = "a|0|0|0||||0|0|0|2|3", w = "Watch|2|1|1.5|C:\\in|D:\\out|E:\\w|2|7|1|-1|9";
  EXPECT_EQ(get(Path("jobs/"), ""), (Strings{a, "b|0|0|0||||0|0|0|2|3", w}));
  EXPECT_EQ(get(Path("jobs/"), "w*;A"), (Strings{a, w}));
  EXPECT_TRUE(get(Path("no-such-folder"), "").empty());
}

TEST(EngineMasks, MatchesLikeTheWindowsShell) {
  struct Row {
    const char *name, *masks;
    bool match;
  } rows[] = {{"a.txt", "*.txt", true}, {"A.TXT", "*.txt", true}, {"a.txt.bak", "*.txt", false},
              {"README", "*.*", true},  {"ab", "?", false},       {"ab", "a?", true},
              {"abcabd", "*ab?", true}, {"x", "", true},          {"x", " ; ", true},
              {"x", "a;b", false},      {"b", "a; b ", true},     {"aaa", "a*a*a*a", false}};
  for (const Row& r : rows) {
    EXPECT_EQ(engine::MatchesMasks(r.name, r.masks), r.match) << r.name << " / " << r.masks;
  }
}

// The file calls the engine relies on, on this system's disk: that is the
// point here.
TEST(EngineFiles, CopyListRenameAndCreateFolder) {
  namespace stdfs = std::filesystem;
  platform::FileSystem& fs = platform::OsFileSystem();
  test::TempDir dir;
  const std::string src = dir.Join("src.bin"), copy = dir.Join("copy.bin");
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  test::WriteBytes(src, data);
  stdfs::last_write_time(src, stdfs::file_time_type::clock::now() - std::chrono::hours(30));
  fs.CopyToNewFile(src, copy);
  EXPECT_EQ(test::ReadBytes(copy), data);
  const std::int64_t modified = fs.GetFileStat(src).modified;
  EXPECT_EQ(fs.GetFileStat(copy).modified, modified);
  // 100-ns steps since 1601 (the in-memory disk's time is now): a time 30
  // hours back lies within a day of now.
  EXPECT_NEAR(static_cast<double>(test::MemFileSystem().now - modified), 30.0 * 36e9, 36e9);
  // An existing target stays; an unreadable source leaves no target behind.
  EXPECT_EQ(test::ErrorOf([&] { fs.CopyToNewFile(src, copy); }), 58);
  EXPECT_EQ(test::ReadBytes(copy), data);
  EXPECT_NE(test::ErrorOf([&] { fs.CopyToNewFile(dir.path(), src + "t"); }), 0);
  EXPECT_FALSE(test::Exists(src + "t"));

  test::WriteBytes(src, "x");
  fs.RenameFile(src, copy);
  EXPECT_EQ(test::ReadBytes(copy), "x");
  fs.CreateFolder(dir.Join("sub"));
  std::map<std::string, platform::FileStat::Kind> kinds;
  for (const auto& e : fs.ListFolder(dir.path())) kinds[e.name] = e.stat.kind;
  EXPECT_EQ(kinds, (decltype(kinds){{"copy.bin", platform::FileStat::kFile},
                                    {"sub", platform::FileStat::kFolder}}));
  EXPECT_EQ(test::ErrorOf([&] { fs.ListFolder(src); }), kErrPathNotFound);
}

}  // namespace
}  // namespace qs
