// The watch jobs and the object that reports their end: on the in-memory
// disk, whose folder watches report through the loop, with the loop's timers
// on the fake clock, so delays and retries pass in no time; and a few cases
// on the system's own folder watches.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/ini_handler.h"
#include "engine/engine.h"
#include "engine/file_copy.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fake_clock.h"
#include "tests/mem_file_system.h"
#include "tests/mem_profile.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace stdfs = std::filesystem;
using Op = test::MemFileSystem::Op;
using Strings = std::vector<std::string>;

struct Job {
  std::string name = "Watch", type = "2";
  std::string pattern{};  // empty: no Pattern key
  int choice = 0;         // the folder watched: 0 source, 1 target, 2 other
  std::int32_t delay = 0;
  bool recursive = false, start_copy = false;
  std::int16_t retries = 0;
  // Empty: the fixture's folders (the watched one chosen by `choice`).
  std::string selected{}, from{}, to{};
};

class WatchTest : public ::testing::Test {
 protected:
  // On a folder of the real disk, through the OS's file system and folder
  // watches, when `real`; else on the in-memory disk, in a folder of its
  // own (the engine keeps what it read of a jobs folder for a while).
  explicit WatchTest(bool real = false)
      : real_(real), root_(real ? dir_.path() : "/w" + std::to_string(++tests_)) {
    for (const std::string& f : {src_, dst_, other_, jobs_}) {
      real_ ? (void)stdfs::create_directories(f) : mem_.AddFolder(f);
    }
    multi_ = engine::CreateMultiEvent(*loop_);
    // As the service does: the entry's object is released inside Done.
    multi_->Done = [this](std::string name, std::int16_t index) {
      dones_.emplace_back(std::move(name), index);
      if (index >= 0 && static_cast<std::size_t>(index) < objects_.size()) objects_[index].reset();
    };
  }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
  std::string JobFile(const Job& job) const { return jobs_ + "/" + job.name + ".qlj"; }
  void WriteJobFile(const Job& job) {
    Put(JobFile(job), "[Job]\r\nFrom=" + src_ + "\r\nTo=" + dst_ + "\r\nType=" + job.type +
                          "\r\n" + (job.pattern.empty() ? "" : "Pattern=" + job.pattern + "\r\n"));
  }
  void Put(const std::string& path, const std::string& bytes) {
    if (!real_) return mem_.AddFile(path, bytes);
    stdfs::create_directories(stdfs::path(path).parent_path());
    test::WriteBytes(path, bytes);
  }

  // Writes the job file, then sets up and starts a watch as the service
  // does, with the next index.
  void Start(Job j) {
    WriteJobFile(j);
    if (j.selected.empty()) j.selected = j.choice == 0 ? src_ : j.choice == 1 ? dst_ : other_;
    if (j.from.empty()) j.from = src_;
    if (j.to.empty()) j.to = dst_;
    auto index = static_cast<std::int16_t>(objects_.size());
    platform::FileSystem& fs = real_ ? platform::OsFileSystem() : mem_;
    objects_.push_back(engine::CreateMonitorJob(*loop_, fs, clock_));
    engine::cMonitorJob& o = *objects_.back();
    o.ObjectName = "Object" + std::to_string(index);
    multi_->AddObject(o);
    std::string file = JobFile(j), language = "Deutsch", lang, ini;
    bool service = true, flag = false;
    o.SetupJob(file, language, j.delay, j.recursive, j.selected, j.start_copy, j.retries, lang,
               ini, j.from, j.to, service, index);
    o.StartWatch(index, flag);
  }

  // As the service does, the caller keeps the object for the call.
  void Cancel(std::size_t i) { std::shared_ptr<engine::cMonitorJob>(objects_[i])->CancelWatch(); }
  // The in-memory disk's reports, and the copies and reports they bring.
  void Pump() { for (int i = 0; i < 64; ++i) loop_->PumpPending(); }
  // The system's reports come when they come: pumps until `done` holds; the
  // limit only ends a test that fails.
  bool WaitFor(const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (!done() && std::chrono::steady_clock::now() < until) loop_->WaitAndPump(20);
    return done();
  }

  inline static int tests_ = 0;
  const bool real_;
  test::TempDir dir_;
  const std::string root_;
  test::MemFileSystem mem_;
  test::MemProfile profile_{mem_};
  platform::ScopedPlatform scoped_{{.profile = real_ ? nullptr : &profile_}};
  test::FakeClock clock_;
  std::unique_ptr<platform::MessageLoop> loop_ = test::LoopOn(clock_);
  std::string src_ = Path("src"), dst_ = Path("dst"), other_ = Path("other"), jobs_ = Path("jobs");
  std::unique_ptr<engine::cMultiEvent> multi_;
  std::vector<std::shared_ptr<engine::cMonitorJob>> objects_;
  std::vector<std::pair<std::string, std::int16_t>> dones_;
};

// What arrives, what is left out.
TEST_F(WatchTest, CopiesWhatArrivesInTheWatchedTree) {
  Start({.name = "Flat", .pattern = "*.txt;*.dat;half*"});
  Put(src_ + "/skip.log", "pattern");
  Put(src_ + "/half.txt.qltmp", "temporary");
  Put(src_ + "/sub/deep.txt", "not recursive");
  const std::string bytes("bytes\0\r\n\xff", 9);
  Put(src_ + "/a.txt", bytes);
  Pump();
  EXPECT_EQ(mem_.Read(dst_ + "/a.txt"), bytes);
  // Moved in from elsewhere, and changed again.
  Put(other_ + "/moved.dat", "moved");
  mem_.RenameFile(other_ + "/moved.dat", src_ + "/moved.dat");
  Put(src_ + "/a.txt", "second version");
  Pump();
  EXPECT_EQ(mem_.Names(dst_), (Strings{"a.txt", "moved.dat"}));
  EXPECT_EQ(mem_.Read(dst_ + "/a.txt"), "second version");
  EXPECT_TRUE(dones_.empty());
}

// A folder inside the tree that is another job's watched folder: when it is
// renamed, the other job ends, this one follows the new name.
TEST_F(WatchTest, RecursiveFollowsSubfoldersOldAndNew) {
  mem_.AddFolder(src_ + "/old/inner");
  mem_.AddFolder(src_ + "/x");
  Start({.recursive = true});
  Start({.name = "Inner", .selected = src_ + "/x", .from = src_ + "/x", .to = other_});
  Put(src_ + "/old/inner/one", "1");
  // A tree that appears at once: what it holds is copied, and its folders
  // are watched from then on. They are looked through one by one, and the
  // loop handles what is posted meanwhile (a stop) after a few; a watch
  // takes 5 ms here.
  for (int i = 0; i < 50; ++i) Put(other_ + "/tree/" + std::to_string(i) + "/two", "2");
  std::size_t watches = 0, at_post = 0;
  mem_.on_op = [&](Op op, const std::string&) {
    if (op != Op::kWatch) return;
    clock_.ticks += 5;
    if (watches++ == 0) loop_->Post([&] { at_post = watches; });
  };
  mem_.RenameFile(other_ + "/tree", src_ + "/tree");
  Pump();
  EXPECT_LT(at_post, 10u);
  Put(src_ + "/tree/7/three", "3");
  Put(src_ + "/new/er/four", "4");
  Pump();
  for (const char* f : {"old/inner/one", "tree/49/two", "tree/7/three", "new/er/four"}) {
    EXPECT_TRUE(mem_.Has(dst_ + "/" + f)) << f;
  }
  mem_.RenameFile(src_ + "/x", src_ + "/y");
  Put(src_ + "/y/f", "renamed");
  Pump();
  EXPECT_EQ(dones_, (decltype(dones_){{"Object1", 1}}));
  EXPECT_EQ(mem_.Read(dst_ + "/y/f"), "renamed");
  // A subfolder that goes does not end the watch.
  mem_.Remove(src_ + "/old");
  Put(src_ + "/five", "5");
  Pump();
  EXPECT_EQ(mem_.Read(dst_ + "/five"), "5");
}

// A large tree at the start: what is posted meanwhile (a stop) is handled
// after a few folders; what arrives in a folder not watched yet is copied
// all the same, what was there before is not. A watch takes 5 ms here.
TEST_F(WatchTest, ALargeTreeAtTheStartHoldsUpNothing) {
  for (int i = 0; i < 50; ++i) mem_.AddFile(src_ + "/" + std::to_string(i) + "/old", "o", 1);
  std::size_t watches = 0, at_post = 0;
  mem_.on_op = [&](Op op, const std::string&) {
    if (op != Op::kWatch) return;
    clock_.ticks += 5;
    if (watches++ == 0) loop_->Post([&] { at_post = watches; });
  };
  Start({.recursive = true});
  Put(src_ + "/0/new", "n");
  Pump();
  EXPECT_LT(at_post, 20u);
  EXPECT_EQ(mem_.Names(dst_ + "/0"), Strings{"new"});
}

// StartCopy copies what is new or changed at once; watching the target or a
// third folder, a change there copies what is new in the source.
TEST_F(WatchTest, StartCopyAndChangesInAnotherFolderTriggerAPass) {
  Put(src_ + "/new", "new");
  Put(src_ + "/changed", "changed");
  Put(dst_ + "/changed", "old");
  Start({.name = "Without"});
  Put(src_ + "/later", "later");
  Pump();
  EXPECT_EQ(mem_.Names(dst_), (Strings{"changed", "later"}));
  Start({.name = "With", .start_copy = true});
  Pump();
  EXPECT_EQ(mem_.Read(dst_ + "/new"), "new");
  EXPECT_EQ(mem_.Read(dst_ + "/changed"), "changed");
  for (std::size_t i : {0, 1}) Cancel(i);

  for (int choice : {1, 2}) {
    SCOPED_TRACE(choice);
    Start({.name = "Pass" + std::to_string(choice), .choice = choice});
    const std::string name = "file" + std::to_string(choice);
    Put(src_ + "/" + name, name);
    Pump();
    EXPECT_FALSE(mem_.Has(dst_ + "/" + name));
    Put((choice == 1 ? dst_ : other_) + "/trigger", "t");
    Pump();
    EXPECT_EQ(mem_.Read(dst_ + "/" + name), name);
    Cancel(objects_.size() - 1);
  }
}

// The folders that come meanwhile are copied after the delay too, with all
// they hold: a pass covers the folders below its own, and only those.
TEST_F(WatchTest, DelayWaitsForQuietOnTheFile) {
  Start({.delay = 1, .recursive = true});
  for (const char* f : {"a/1", "a/b/2", "ab/3"}) Put(src_ + "/" + f, f);
  Put(src_ + "/slow", "first");
  Pump();
  clock_.Advance(500);
  Put(src_ + "/slow", "second");
  Pump();
  clock_.Advance(999);
  EXPECT_FALSE(mem_.Has(dst_ + "/slow"));
  clock_.Advance(1);
  EXPECT_EQ(mem_.Read(dst_ + "/slow"), "second");
  for (const char* f : {"a/1", "a/b/2", "ab/3"}) EXPECT_EQ(mem_.Read(dst_ + "/" + f), f);
}

// A copy that fails is tried again, Retries more times at most, half a
// second apart at least.
TEST_F(WatchTest, FailedCopiesAreRetried) {
  Start({.retries = 2});
  mem_.FailAt(Op::kCreate, 1, kErrPermission);
  mem_.FailAt(Op::kCreate, 2, kErrPermission);
  Put(src_ + "/third-time", "lucky");
  Pump();
  clock_.Advance(499);
  EXPECT_EQ(mem_.Count(Op::kCreate), 1);
  clock_.Advance(501);
  EXPECT_EQ(mem_.Count(Op::kCreate), 3);
  EXPECT_EQ(mem_.Read(dst_ + "/third-time"), "lucky");

  mem_.Deny(dst_);
  Put(src_ + "/never", "never");
  Pump();
  clock_.Advance(60000);
  EXPECT_EQ(mem_.Count(Op::kCreate), 6);
  EXPECT_EQ(mem_.Names(dst_), Strings{"third-time"});
}

// A flood in one job's folder does not hold up another job's file: the jobs
// with work due take turns. A copy takes 5 ms here.
TEST_F(WatchTest, AFloodTakesTurnsWithTheOtherJobs) {
  Start({.name = "Flood"});
  Start({.name = "Quiet", .selected = other_, .from = other_, .to = Path("quiet")});
  std::size_t at_quiet = 100;  // the flood's copies made before the quiet job's
  mem_.on_op = [&](Op op, const std::string& path) {
    if (op != Op::kCreate) return;
    clock_.ticks += 5;
    if (path.starts_with(Path("quiet"))) at_quiet = mem_.Names(dst_).size();
  };
  for (int i = 0; i < 100; ++i) Put(src_ + "/" + std::to_string(i), "x");
  loop_->PumpPending();
  Put(other_ + "/q", "q");
  Pump();
  EXPECT_EQ(mem_.Names(dst_).size(), 100u);
  EXPECT_LT(at_quiet, 10u);
}

// Each start reads the job files as they are then: a job written since the
// last start that copies from this one's target into its source is not
// copied back, also when its target appears later.
TEST_F(WatchTest, EachStartReadsTheJobFilesAfresh) {
  Start(Job());
  Put(JobFile({.name = "Back"}), "[Job]\r\nFrom=" + dst_ + "\r\nTo=" + src_ + "/back\r\n");
  Pump();
  Start({.name = "Again", .recursive = true});
  Put(src_ + "/back/f", "copied back");
  Pump();
  EXPECT_FALSE(mem_.Has(dst_ + "/back"));
}

// Each way a watch ends on its own gives one Done with the object's name and
// index, from the loop; the service releases the object inside it.
TEST_F(WatchTest, EndsOnItsOwnWithOneDone) {
  const Job job{.recursive = true};
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"source removed", [&] { mem_.Remove(src_); }},
      {"job file deleted", [&] { mem_.DeleteFile(JobFile(job), false); }},
      {"no longer a watch job", [&] { WriteJobFile({.type = "0"}); }},
      {"a new subfolder cannot be watched",
       [&] {
         mem_.FailAt(Op::kWatch, 1, kErrTooManyFiles);
         mem_.AddFolder(src_ + "/new");
       }},
  };
  for (const auto& [what, end] : cases) {
    SCOPED_TRACE(what);
    mem_.AddFolder(src_);
    objects_.clear();
    dones_.clear();
    Start(job);                             // index 0
    Start({.name = "Other", .choice = 1});  // index 1
    WriteJobFile(job);  // rewritten, still a watch job: the watch goes on
    Pump();
    end();
    Pump();
    ASSERT_EQ(dones_, (decltype(dones_){{"Object0", 0}}));
    Cancel(1);
  }
}

// Done comes from the loop for a watch that cannot start, from inside the
// cancel otherwise, and once only; never for objects that are gone.
TEST_F(WatchTest, DoneComesOnceFromTheLoopOrTheCancel) {
  Start({.selected = Path("missing")});
  EXPECT_TRUE(dones_.empty());  // not inside StartWatch
  Start({.name = "Scheduled", .type = "0"});  // not a watch job
  Pump();
  EXPECT_EQ(dones_, (decltype(dones_){{"Object0", 0}, {"Object1", 1}}));

  Start(Job());
  std::shared_ptr<engine::cMonitorJob> keep = objects_[2];
  keep->CancelWatch();
  keep->CancelWatch();
  EXPECT_EQ(dones_.back(), std::make_pair(std::string("Object2"), std::int16_t{2}));
  Put(src_ + "/after", "x");
  // An end on its way through the loop is delivered by the cancel, once.
  Start({.selected = Path("missing")});
  Cancel(3);
  EXPECT_EQ(dones_.size(), 4u);
  // Never started: nothing.
  auto idle = engine::CreateMonitorJob(*loop_, mem_, clock_);
  multi_->AddObject(*idle);
  idle->CancelWatch();
  // A destroyed watch: its end on the way is dropped.
  Start({.selected = Path("missing")});
  objects_[4].reset();
  Pump();
  EXPECT_EQ(dones_.size(), 4u);
  EXPECT_FALSE(mem_.Has(dst_ + "/after"));

  // A destroyed cMultiEvent: a later Finished goes nowhere.
  Start(Job());
  multi_.reset();
  objects_[5]->CancelWatch();
  mem_.Remove(src_);
  Pump();
  EXPECT_EQ(dones_.size(), 4u);
}

// The system's own folder watches: what they report reaches the watch
// jobs, all of which share one watcher.
class RealWatchTest : public WatchTest {
 protected:
  RealWatchTest() : WatchTest(true) {}
};

// A name the ANSI code page lacks (a Greek one, beside its Latin look-alike)
// arrives as itself.
TEST_F(RealWatchTest, CopiesAndEndsOnTheSystemsReports) {
  Start(Job());
  Start({.name = "Jobfile", .choice = 1});
  for (const std::string name : {"file", "Omega.txt", "\xCE\xA9mega.txt"}) {
    Put(src_ + "/" + name, name);
    EXPECT_TRUE(WaitFor([&] { return test::ReadBytes(dst_ + "/" + name) == name; })) << name;
  }
  stdfs::remove(JobFile({.name = "Jobfile"}));
  EXPECT_TRUE(WaitFor([&] { return dones_ == decltype(dones_){{"Object1", 1}}; }));
}

#ifndef _WIN32
int InotifyInstances() {
  int n = 0;
  for (const auto& e : stdfs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    n += stdfs::read_symlink(e.path(), ec).string() == "anon_inode:inotify";
  }
  return n;
}

TEST_F(RealWatchTest, JobsShareOneInotifyInstance) {
  // The profile cache keeps an instance of its own from a file's second
  // lookup on; have it open before counting.
  const std::string ini = Path("warm.ini");
  test::WriteBytes(ini, "[a]\r\nb=c\r\n");
  for (int i = 0; i < 2; ++i) modIniHandler::GetINIString("a", "b", "", ini, 256);
  const int before = InotifyInstances();
  for (const char* n : {"1", "2", "3"}) {
    Put(src_ + "/" + n + "/f", n);
    Start({.selected = src_ + "/" + n, .from = src_ + "/" + n, .to = dst_ + "/" + n});
  }
  EXPECT_EQ(InotifyInstances(), before + 1);
  objects_.clear();
  EXPECT_EQ(InotifyInstances(), before);
}
#endif

}  // namespace
}  // namespace qs
