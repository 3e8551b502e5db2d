// The reference engine: which jobs run, in which order, what each copies,
// the events it raises, and the file calls it relies on.
#include "engine/engine.h"

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

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace qs {
namespace {

namespace stdfs = std::filesystem;
using Strings = std::vector<std::string>;

// A loop whose pumps are counted and run what was posted.
class FakeLoop : public platform::MessageLoop {
 public:
  int pumps = 0;
  std::deque<std::function<void()>> posted;

  void Run() override {}
  void PumpPending() override {
    for (++pumps; !posted.empty();) {
      auto task = std::move(posted.front());
      posted.pop_front();
      task();
    }
  }
  void WaitAndPump(std::uint32_t) override { PumpPending(); }
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
  void OnWindowMessage(std::uint32_t, std::function<void()>) override {}
#endif

 private:
  bool quit_ = false;
};

// The real file system with the free space set by the test.
class FaultyFs : public test::ForwardingFileSystem {
 public:
  bool free_known = true;
  std::int64_t free_bytes = std::int64_t{1} << 31;
  Strings free_roots;

  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* spc,
                        std::uint32_t* bps, std::uint32_t* free,
                        std::uint32_t* total) override {
    free_roots.push_back(root);
    *spc = *bps = 1;
    *free = static_cast<std::uint32_t>(free_bytes);
    *total = 0xFFFFFFFFu;
    return free_known;
  }
};

struct Event {
  std::string kind;  // "job" or "log"
  std::string text;
  std::int16_t id;
  bool view, file, same_view, last;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    stdfs::create_directory(Path("jobs"));
    Use(platform::OsFileSystem());
  }

  // A new engine on the file system `fs`, with the test's clock.
  void Use(platform::FileSystem& fs) {
    engine_ = engine::CreateJobEngine(loop_, fs, clock_);
    engine_->CurrentJob = [this](std::string& f, std::int32_t& i,
                                 std::int32_t& n, std::int16_t&,
                                 std::int16_t& type, std::int16_t&,
                                 std::string& time, std::string&,
                                 std::int16_t&, std::int16_t&) {
      events_.push_back({"job", f, 0, false, false, false, false});
      details_.push_back(f + " " + std::to_string(i) + "/" + std::to_string(n) +
                         " " + std::to_string(type) + ":" + time);
    };
    engine_->LogMessage = [this](std::string& msg, std::int16_t& id, bool& view,
                                 bool& file, bool& same, bool& last) {
      events_.push_back({"log", msg, id, view, file, same, last});
    };
  }

  // `rel` with "/" between its parts, under the test folder.
  std::string Path(std::string rel) const {
    std::replace(rel.begin(), rel.end(), '/', test::Sep()[0]);
    return dir_.path() + test::Sep() + rel;
  }
  void Put(const std::string& rel, const std::string& data) {
    stdfs::create_directories(stdfs::path(Path(rel)).parent_path());
    test::WriteBytes(Path(rel), data);
  }
  bool Has(const std::string& rel) const { return test::Exists(Path(rel)); }
  void Job(const std::string& file, const std::string& lines) {
    Put("jobs/" + file, "[Job]\r\n" + lines);
  }
  void CopyJob(const std::string& file, const std::string& from,
               const std::string& to, const std::string& more = "") {
    Job(file, "From=" + Path(from) + "\r\nTo=" + Path(to) + "\r\n" + more);
  }
  void Pass(bool run_all = false) {
    events_.clear();
    details_.clear();
    std::string jobs_path = Path("jobs") + test::Sep(), lang = lang_;
    bool b = false, c = false;
    engine_->ProcessJobs(jobs_path, lang, run_all, b, c);
  }
  Strings Texts(const std::string& kind) const {
    Strings out;
    for (const Event& e : events_) {
      if (e.kind == kind) out.push_back(e.text);
    }
    return out;
  }
  Strings Jobs() const { return Texts("job"); }
  Strings Logs() const { return Texts("log"); }
  Strings Listing(const std::string& rel) const {
    Strings names;
    for (const auto& e : stdfs::directory_iterator(Path(rel))) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Copied(const std::string& from, const std::string& to) const {
    return "Datei kopiert: " + Path(from) + " -> " + Path(to);
  }

  test::TempDir dir_;
  FakeLoop loop_;
  test::FakeClock clock_;  // stands still unless a test moves it
  std::unique_ptr<engine::cJobEngine> engine_;
  std::vector<Event> events_;
  Strings details_;  // per job: "name index/count type:time"
  std::string lang_;
};

TEST_F(EngineTest, EngineRunsOnlyScheduledActiveJobsInNameOrder) {
  struct Row {
    std::string file, extra;
    bool runs;
  } rows[] = {
      {"b.qlj", "Type=0\r\n", true},      {"A.qlj", "", true},
      {"watch.qlj", "Type=2\r\n", false}, {"other.qlj", "Type=1\r\n", false},
      {"off.qlj", "Active=0\r\n", false}, {"held.qlj", "Hold=1\r\n", false},
      {"heldtext.qlj", "Hold=x\r\n", false},
      {"c.QLJ", "Hold=0.0\r\nActive=yes\r\n", true},
  };
  for (const Row& r : rows) {
    Put("src-" + r.file + "/f.txt", "data");
    CopyJob(r.file, "src-" + r.file, "dst-" + r.file, r.extra);
  }
  Put("jobs/junk.qlj", "\x01\x02 no ini");
  Put("jobs/notes.txt", "[Job]\r\nFrom=x\r\nTo=y\r\n");
  Pass();
  EXPECT_EQ(details_, (Strings{"A.qlj 1/3 0:0", "b.qlj 2/3 0:0",
                               "c.QLJ 3/3 0:0"}));
  for (const Row& r : rows) {
    EXPECT_EQ(Has("dst-" + r.file + "/f.txt"), r.runs) << r.file;
  }
}

TEST_F(EngineTest, EngineRaisesCurrentJobBeforeEveryMessageOfItsJob) {
  Put("in1/a.txt", "1");
  Put("in1/b.txt", "22");
  Put("in2/c.txt", "333");
  CopyJob("First.qlj", "in1", "out1");
  CopyJob("Second.qlj", "in2", "out2");
  CopyJob("Third.qlj", "missing", "out3");
  // Broken jobs first: each reports its fault and the pass goes on.
  Job("A-empty.qlj", "From=\r\nTo=" + Path("x") + "\r\n");
  CopyJob("B-same.qlj", "in2", "in2/");
  Job("C-noto.qlj", "From=" + Path("in2") + "\r\n");
  Put("blocker", "a file where the target folder should be");
  CopyJob("D-blocked.qlj", "in2", "blocker/out");
  int jobs_seen_by_post = -1;
  loop_.Post([&] { jobs_seen_by_post = static_cast<int>(Jobs().size()); });
  Pass();
  Strings got;
  for (const Event& e : events_) got.push_back(e.kind + ":" + e.text);
  const std::string kBlocked = "log:Fehler: Zielordner nicht beschreibbar: " +
                               Path("blocker/out"),
                    kNone = "log:Fehler: Quell- oder Zielordner nicht angegeben",
                    kFailed = "log:0 Dateien kopiert, 1 Fehler";
  for (std::string& g : got) {  // without the system's text of the fault
    if (g.rfind(kBlocked + " (", 0) == 0) g = kBlocked;
  }
  EXPECT_EQ(got, (Strings{
                     "job:A-empty.qlj", kNone, kFailed,
                     "job:B-same.qlj",
                     "log:Fehler: Quell- und Zielordner sind gleich: " + Path("in2"),
                     kFailed, "job:C-noto.qlj", kNone, kFailed,
                     "job:D-blocked.qlj", kBlocked, kFailed,
                     "job:First.qlj",
                     "log:" + Copied("in1/a.txt", "out1/a.txt"),
                     "log:" + Copied("in1/b.txt", "out1/b.txt"),
                     "log:2 Dateien kopiert, 0 Fehler",
                     "job:Second.qlj",
                     "log:" + Copied("in2/c.txt", "out2/c.txt"),
                     "log:1 Dateien kopiert, 0 Fehler",
                     "job:Third.qlj",
                     "log:Fehler: Quellordner nicht gefunden: " + Path("missing"),
                     kFailed,
                 }));
  for (const Event& e : events_) {
    if (e.kind != "log") continue;
    bool summary = e.text.find("Dateien kopiert") != std::string::npos;
    EXPECT_TRUE(e.view && e.file && !e.same_view) << e.text;
    EXPECT_EQ(e.last, summary) << e.text;
    EXPECT_EQ(e.id, summary ? 3 : e.text.rfind("Fehler", 0) == 0 ? 2 : 1)
        << e.text;
  }
  // Service events ran between the jobs, not before the first one.
  EXPECT_GE(loop_.pumps, 6);
  EXPECT_EQ(jobs_seen_by_post, 1);
}

TEST_F(EngineTest, EngineCopiesNewAndChangedFilesAndKeepsTheirTimes) {
  const Strings names = {"edited.txt", "gone.txt", "grown.txt", "same.txt"};
  for (const std::string& f : names) {
    Put("in/" + f, f == "grown.txt" ? "x" : "old");
    stdfs::last_write_time(Path("in/" + f), stdfs::file_time_type::clock::now() -
                                                std::chrono::hours(5));
  }
  Put("in/sub/deep.txt", "not recursive");
  CopyJob("J.qlj", "in", "out/new/deeper");
  Pass();
  EXPECT_EQ(Logs().back(), "4 Dateien kopiert, 0 Fehler");
  EXPECT_FALSE(Has("out/new/deeper/sub"));
  for (const std::string& f : names) {
    EXPECT_EQ(stdfs::last_write_time(Path("in/" + f)),
              stdfs::last_write_time(Path("out/new/deeper/" + f)))
        << f;
  }
  Pass();
  EXPECT_EQ(Logs(), Strings{}) << "an idle job writes no summary";

  Put("in/edited.txt", "new");  // same size, newer time
  Put("out/new/deeper/grown.txt", "changed in the target");
  stdfs::remove(Path("out/new/deeper/gone.txt"));
  Pass();
  EXPECT_EQ(Logs(), (Strings{Copied("in/edited.txt", "out/new/deeper/edited.txt"),
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
  // A second job on the same source with its target inside it: neither
  // copies the other's copies.
  CopyJob("Rec2.qlj", "in/.", "in/sub/../out2", "Pattern=a.txt\r\nRecursive=1\r\n");
  Pass();
  Pass();
  EXPECT_EQ(Listing("in/out2"), (Strings{"a.txt"}));
  EXPECT_EQ(Listing("in/out"), (Strings{"a.txt", "b.CSV", "sub"}));
  EXPECT_EQ(Listing("in/out/sub"), (Strings{"d.txt", "deeper"}));
  EXPECT_EQ(Listing("in/out/sub/deeper"), Strings{"e.txt"});
  EXPECT_EQ(Listing("flat"), Strings{"c.doc"});
  Pass();  // the copies inside the source are not taken for new files
  EXPECT_EQ(Logs(), Strings{});
}

TEST_F(EngineTest, EngineKeepsTenMegabytesFreeUnlessTold) {
  constexpr std::int64_t kTen = 10 * 1024 * 1024;
  struct Row {
    bool known;
    std::int64_t free;
    bool no_check, copied;
  } rows[] = {{true, kTen + 999, false, false},
              {true, kTen + 1000, false, true},
              {true, 0, true, true},
              {false, 0, false, true}};
  Put("in/k.bin", std::string(1000, 'k'));
  CopyJob("J.qlj", "in", "out");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.free);
    FaultyFs fs;
    Use(fs);
    fs.free_known = r.known;
    fs.free_bytes = r.free;
    engine_->NoDiskSizeCheck = r.no_check;
    stdfs::remove_all(Path("out"));
    Pass();
    EXPECT_EQ(Listing("out"), r.copied ? Strings{"k.bin"} : Strings{});
    EXPECT_EQ(fs.free_roots.empty(), r.no_check);
    if (!r.copied) {
      EXPECT_EQ(Logs().front(),
                "Fehler: Zu wenig freier Speicher im Zielordner, Datei nicht "
                "kopiert: " + Path("in/k.bin"));
    }
#ifndef _WIN32
    if (!r.no_check) {
      EXPECT_EQ(fs.free_roots.at(0), Path("out"));
    }
#endif
  }
}

TEST_F(EngineTest, EngineRunsAJobWithAnIntervalOnlyWhenDue) {
  test::FakeClock& clock = clock_;
  Put("in/a.txt", "a");
  CopyJob("Every5.qlj", "in", "out5", "Interval=5\r\n");
  CopyJob("Always.qlj", "in", "out0", "Interval=junk\r\n");
  const Strings both = {"Always.qlj", "Every5.qlj"}, always = {"Always.qlj"};
  struct Step {
    std::uint32_t at_ms;
    bool run_all;
    Strings jobs;
  } steps[] = {{1000, false, both},    {61000, false, always},
               {298500, false, always}, {299000, false, both},
               {400000, true, both},    {460000, false, always}};
  for (const Step& s : steps) {
    clock.ticks = s.at_ms;
    Pass(s.run_all);
    EXPECT_EQ(Jobs(), s.jobs) << s.at_ms;
  }
  Pass(true);
  EXPECT_EQ(details_, (Strings{"Always.qlj 1/2 0:0", "Every5.qlj 2/2 1:5"}));
}

TEST_F(EngineTest, EngineEndsThePassWhenAStopArrivesBetweenJobs) {
  // The clock stands still: the engine lets messages run between jobs
  // only, not between the files of a job.
  for (std::string j : {"A", "B", "C"}) {
    Put("in" + j + "/f", "f");
    CopyJob(j + ".qlj", "in" + j, "out" + j);
  }
  Put("lang/English.lng",
      "[JobEngine]\r\nt0=Copied %2 from %1\r\nt8=%1 copied, %2 errors, %3\r\n");
  lang_ = Path("lang/English.lng");  // texts come from the language file
  loop_.Post([&] { loop_.Quit(); });
  Pass();
  EXPECT_EQ(Jobs(), Strings{"A.qlj"});
  EXPECT_EQ(Logs(), (Strings{"Copied " + Path("outA/f") + " from " + Path("inA/f"),
                             "1 copied, 0 errors, %3"}));
  EXPECT_FALSE(Has("outB/f"));
}

// A stop handled while the engine copies ends the pass at once: what is not
// renamed yet is given up, the rest waits for the next pass.
TEST_F(EngineTest, EngineStopsInTheMiddleOfAJob) {
  struct StopAtSecondCopy : test::ForwardingFileSystem {
    std::function<void()> stop;
    int copies = 0;
    bool CopyToNewFile(const std::string& from, const std::string& to,
                       const platform::CopyOptions& o) override {
      if (++copies == 2) stop();
      return real.CopyToNewFile(from, to, o);
    }
  } fs;
  Use(fs);
  fs.stop = [&] { engine_->CancelPass(); };
  for (const char* f : {"a", "b", "c"}) Put(std::string("in/") + f, f);
  CopyJob("A.qlj", "in", "outA");
  CopyJob("B.qlj", "in", "outB");
  Pass();
  EXPECT_EQ(Jobs(), Strings{"A.qlj"});
  EXPECT_EQ(Listing("outA"), Strings{});
  Pass();
  EXPECT_EQ(Listing("outA"), (Strings{"a", "b", "c"}));
  EXPECT_EQ(Listing("outB"), (Strings{"a", "b", "c"}));
}

// What the engine keeps of a job goes with its job file: a job file made
// anew is a new job, due at once.
TEST_F(EngineTest, EngineForgetsAJobWhenItsFileGoes) {
  test::FakeClock& clock = clock_;
  Put("in/a", "a");
  CopyJob("Every5.qlj", "in", "out", "Interval=5\r\n");
  Pass();
  stdfs::remove(Path("jobs/Every5.qlj"));
  clock.ticks += 1000;
  Pass();
  CopyJob("Every5.qlj", "in", "out", "Interval=5\r\n");
  clock.ticks += 1000;
  Pass();
  EXPECT_EQ(Jobs(), Strings{"Every5.qlj"});
}

#ifndef _WIN32
// Job files are trusted as crontabs are: one that others may change is not
// run, and said so once while it stays that way.
TEST_F(EngineTest, EngineRunsNoJobFileOthersMayChange) {
  test::FakeUi ui;
  platform::ScopedPlatform use({.ui = &ui});
  Put("in/a", "a");
  CopyJob("Open.qlj", "in", "out");
  ::chmod(Path("jobs/Open.qlj").c_str(), 0666);
  Pass();
  Pass();
  EXPECT_TRUE(Jobs().empty());
  ASSERT_EQ(ui.notices.size(), 1u);
  EXPECT_EQ(ui.notices[0], "Job file refused, not run: " + Path("jobs/Open.qlj") +
                               ": every user may write it");
  ::chmod(Path("jobs/Open.qlj").c_str(), 0644);
  Pass();
  EXPECT_EQ(Jobs(), Strings{"Open.qlj"});
}
#endif

TEST_F(EngineTest, EngineGetJobsMapsTheKeysOfEveryJobFile) {
  Job("Watch.qlj",
      "From=C:\\in\r\nTo=D:\\out\r\nType=2\r\nActive=0\r\nHold=1.5\r\n"
      "WatchFolder=E:\\w\r\nWatch=2\r\nRecursive=7\r\nStartCopy=1\r\n"
      "Delay=-1\r\nRetries=9\r\n");
  Job("b.qlj", "Type=99999\r\nDelay=x\r\nActive= 1 \r\n");
  Put("jobs/a.qlj", "not an INI file");
  Put("jobs/c.txt", "[Job]\r\n");
  auto get = [](std::string path, std::string filter) {
    Strings out;
    for (const engine::JobRecord& r :
         engine::CreateJobList(platform::OsFileSystem())->GetJobs(path, filter)) {
      out.push_back(r.JobName + "|" + std::to_string(r.JobType) + "|" +
                    std::to_string(r.ExcludeFlag) + "|" + r.CheckValue + "|" +
                    r.PathA + "|" + r.PathB + "|" + r.PathC + "|" +
                    std::to_string(r.PathChoice) + "|" +
                    std::to_string(r.FlagA) + "|" + std::to_string(r.FlagB) +
                    "|" + std::to_string(r.ValueA) + "|" +
                    std::to_string(r.ValueB));
    }
    return out;
  };
  const std::string jobs = Path("jobs") + test::Sep();
  const std::string a = "a|0|0|0||||0|0|0|2|3",
                    w = "Watch|2|1|1.5|C:\\in|D:\\out|E:\\w|2|7|1|-1|9";
  EXPECT_EQ(get(jobs, ""), (Strings{a, "b|0|0|0||||0|0|0|2|3", w}));
  EXPECT_EQ(get(jobs, "w*;A"), (Strings{a, w}));
  EXPECT_TRUE(get(Path("no-such-folder"), "").empty());
}

TEST(EngineMasks, MatchesLikeTheWindowsShell) {
  struct Row {
    const char *name, *masks;
    bool match;
  } rows[] = {{"a.txt", "*.txt", true},  {"A.TXT", "*.txt", true},
              {"a.txt.bak", "*.txt", false}, {"README", "*.*", true},
              {"ab", "?", false},        {"ab", "a?", true},
              {"abcabd", "*ab?", true},  {"x", "", true},
              {"x", " ; ", true},        {"x", "a;b", false},
              {"b", "a; b ", true},      {"aaa", "a*a*a*a", false}};
  for (const Row& r : rows) {
    EXPECT_EQ(engine::MatchesMasks(r.name, r.masks), r.match)
        << r.name << " / " << r.masks;
  }
}

// The file calls the engine relies on, on this system.
TEST(EngineFiles, CopyListRenameAndCreateFolder) {
  platform::FileSystem& fs = platform::OsFileSystem();
  test::TempDir dir;
  const std::string src = dir.Join("src.bin"), copy = dir.Join("copy.bin");
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  test::WriteBytes(src, data);
  stdfs::last_write_time(
      src, stdfs::file_time_type::clock::now() - std::chrono::hours(30));
  fs.CopyToNewFile(src, copy);
  EXPECT_EQ(test::ReadBytes(copy), data);
  platform::FileStat s = fs.GetFileStat(src), c = fs.GetFileStat(copy);
  EXPECT_EQ(c.kind, platform::FileStat::kFile);
  EXPECT_EQ(c.size, 200000);
  EXPECT_EQ(c.modified, s.modified);
  // 100-ns steps since 1601: a time 30 hours back lies within a day of now.
  std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  EXPECT_NEAR(static_cast<double>(now * 10000000 + 116444736000000000 -
                                  s.modified),
              30.0 * 36e9, 36e9);
  // An existing target stays; an unreadable source leaves no target behind.
  EXPECT_EQ(test::ErrorOf([&] { fs.CopyToNewFile(src, copy); }), 58);
  EXPECT_EQ(test::ReadBytes(copy), data);
  EXPECT_NE(test::ErrorOf([&] { fs.CopyToNewFile(dir.path(), src + "t"); }), 0);
  EXPECT_FALSE(test::Exists(src + "t"));

  test::WriteBytes(src, "x");
  fs.RenameFile(src, copy);
  EXPECT_EQ(test::ReadBytes(copy), "x");
  fs.CreateFolder(dir.Join("sub"));
  EXPECT_NE(test::ErrorOf([&] { fs.CreateFolder(dir.Join("a/b")); }), 0);
  std::map<std::string, platform::FileStat::Kind> kinds;
  for (const auto& e : fs.ListFolder(dir.path())) kinds[e.name] = e.stat.kind;
  EXPECT_EQ(kinds, (decltype(kinds){{"copy.bin", platform::FileStat::kFile},
                                    {"sub", platform::FileStat::kFolder}}));
  EXPECT_EQ(fs.GetFileStat(src).kind, platform::FileStat::kMissing);
  EXPECT_EQ(test::ErrorOf([&] { fs.ListFolder(src); }), kErrPathNotFound);
}

}  // namespace
}  // namespace qs
