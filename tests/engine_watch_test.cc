// The watch jobs and the object that reports their end, on real folder
// watches and the real message loop with its timers on the fake clock: a
// wait pumps the loop until the system's reports have been handled, and the
// delays and retries pass on the fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/ini_handler.h"
#include "engine/engine.h"
#include "engine/file_copy.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace stdfs = std::filesystem;

struct Job {
  std::string name = "Watch", type = "2";
  std::string pattern{};  // empty: no Pattern key
  int choice = 0;       // the folder watched: 0 source, 1 target, 2 other
  std::int32_t delay = 0;
  bool recursive = false, start_copy = false;
  std::int16_t retries = 0;
  // Empty: the fixture's folders (the watched one chosen by `choice`).
  std::string selected{}, from{}, to{};
};

#ifndef _WIN32
int InotifyInstances() {
  int n = 0;
  for (const auto& e : stdfs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (stdfs::read_symlink(e.path(), ec).string() == "anon_inode:inotify") ++n;
  }
  return n;
}
#endif

// Temporary copies below `folder`.
int TempFilesBelow(const std::string& folder) {
  int n = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(folder)) {
    n += engine::IsTempName(e.path().filename().string());
  }
  return n;
}

class WatchTest : public ::testing::Test {
 protected:
  WatchTest() : loop_(test::LoopOn(clock_)) {
    for (const std::string& f : {src_, dst_, other_, jobs_}) {
      stdfs::create_directory(f);
    }
    multi_ = engine::CreateMultiEvent(*loop_);
    // As the service does: the entry's object is released inside Done.
    multi_->Done = [this](std::string name, std::int16_t index) {
      dones_.emplace_back(std::move(name), index);
      if (index >= 0 && static_cast<std::size_t>(index) < objects_.size()) {
        objects_[index].reset();
      }
    };
  }
  ~WatchTest() override {
    objects_.clear();
    multi_.reset();
  }

  std::string JobFile(const Job& job) const {
    return jobs_ + "/" + job.name + ".qlj";
  }
  void WriteJobFile(const Job& job) {
    test::WriteBytes(JobFile(job),
                     "[Job]\r\nFrom=" + src_ + "\r\nTo=" + dst_ + "\r\nType=" +
                         job.type + "\r\n" +
                         (job.pattern.empty() ? ""
                                              : "Pattern=" + job.pattern +
                                                    "\r\n"));
  }

  // Writes the job file, then sets up and starts a watch as the service
  // does, with the next index.
  void Start(Job j) {
    WriteJobFile(j);
    if (j.selected.empty()) {
      j.selected = j.choice == 0 ? src_ : j.choice == 1 ? dst_ : other_;
    }
    if (j.from.empty()) j.from = src_;
    if (j.to.empty()) j.to = dst_;
    auto index = static_cast<std::int16_t>(objects_.size());
    objects_.push_back(engine::CreateMonitorJob(*loop_, *fs_, clock_));
    engine::cMonitorJob& o = *objects_.back();
    o.ObjectName = "Object" + std::to_string(index);
    multi_->AddObject(o);
    std::string file = JobFile(j), language = "Deutsch", lang, ini;
    bool service = true, flag = false;
    o.SetupJob(file, language, j.delay, j.recursive, j.selected, j.start_copy,
               j.retries, lang, ini, j.from, j.to, service, index);
    o.StartWatch(index, flag);
  }

  // As the service does, the caller keeps the object for the call.
  void Cancel(std::size_t index) {
    std::shared_ptr<engine::cMonitorJob> keep = objects_[index];
    keep->CancelWatch();
  }

  // The kernel queues a folder's report before the call that changed it
  // returns, so `done` normally holds after a pump or two; the limit only
  // ends a test that fails.
  bool WaitFor(const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      loop_->WaitAndPump(20);
    }
    return true;
  }
  // With a probe, a watch of the source that copies at once to other_:
  // once its copy is there, every watch of the source has had the report,
  // at the same time.
  bool Probed(const std::string& name, const std::string& bytes) {
    return WaitFor([&] { return test::ReadBytes(other_ + "/" + name) == bytes; });
  }
  bool Arrived(const std::string& rel, const std::string& bytes) {
    return WaitFor([&] { return test::ReadBytes(dst_ + "/" + rel) == bytes; });
  }
  void Put(const std::string& path, const std::string& bytes) {
    stdfs::create_directories(stdfs::path(path).parent_path());
    test::WriteBytes(path, bytes);
  }

  test::TempDir dir_;
  platform::FileSystem* fs_ = &platform::OsFileSystem();
  test::FakeClock clock_;
  std::unique_ptr<platform::MessageLoop> loop_;
  std::string src_ = dir_.Join("src"), dst_ = dir_.Join("dst"),
              other_ = dir_.Join("other"), jobs_ = dir_.Join("jobs");
  std::unique_ptr<engine::cMultiEvent> multi_;
  std::vector<std::shared_ptr<engine::cMonitorJob>> objects_;
  std::vector<std::pair<std::string, std::int16_t>> dones_;
};

// What arrives, what is left out. Files that must not be copied are written
// before one that must: by the time it arrives, their events are handled.
TEST_F(WatchTest, CopiesWhatArrivesInTheWatchedTree) {
  Start({.name = "Flat", .pattern = "*.txt;*.dat;half*"});
  Put(src_ + "/skip.log", "pattern");
  Put(src_ + "/half.txt.qltmp", "temporary");
  Put(src_ + "/sub/deep.txt", "not recursive");
  const std::string bytes("bytes\0\r\n\xff", 9);
  Put(src_ + "/a.txt", bytes);
  EXPECT_TRUE(Arrived("a.txt", bytes));
  // Moved in from elsewhere, and changed again.
  Put(other_ + "/moved.dat", "moved");
  stdfs::rename(other_ + "/moved.dat", src_ + "/moved.dat");
  EXPECT_TRUE(Arrived("moved.dat", "moved"));
  Put(src_ + "/a.txt", "second version");
  EXPECT_TRUE(Arrived("a.txt", "second version"));
  EXPECT_FALSE(test::Exists(dst_ + "/skip.log"));
  EXPECT_FALSE(test::Exists(dst_ + "/sub"));
  EXPECT_EQ(TempFilesBelow(dst_), 0);
  EXPECT_TRUE(dones_.empty());
}

// A folder inside the tree that is another job's watched folder: when it is
// renamed, the other job ends, this one follows the new name.
TEST_F(WatchTest, RecursiveFollowsSubfoldersOldAndNew) {
  stdfs::create_directories(src_ + "/old/inner");
  stdfs::create_directory(src_ + "/x");
  Start({.recursive = true});
  Start({.name = "Inner", .selected = src_ + "/x", .from = src_ + "/x",
         .to = other_});
  Put(src_ + "/old/inner/one", "1");
  EXPECT_TRUE(Arrived("old/inner/one", "1"));
  // A tree that appears at once: what it holds is copied, and its folders
  // are watched from then on.
  Put(other_ + "/tree/leaf/two", "2");
  stdfs::rename(other_ + "/tree", src_ + "/tree");
  EXPECT_TRUE(Arrived("tree/leaf/two", "2"));
  Put(src_ + "/tree/leaf/three", "3");
  EXPECT_TRUE(Arrived("tree/leaf/three", "3"));
  Put(src_ + "/new/er/four", "4");
  EXPECT_TRUE(Arrived("new/er/four", "4"));
  EXPECT_TRUE(dones_.empty());
  stdfs::rename(src_ + "/x", src_ + "/y");
  ASSERT_TRUE(WaitFor([&] { return dones_.size() == 1; }));
  EXPECT_EQ(dones_[0].second, 1);
  // Wine reports changes in a renamed subfolder under its old name.
  if (!test::UnderWine()) {
    Put(src_ + "/y/f", "renamed");
    EXPECT_TRUE(Arrived("y/f", "renamed"));
  }
  // A subfolder that goes does not end the watch.
  stdfs::remove_all(src_ + "/old");
  Put(src_ + "/five", "5");
  EXPECT_TRUE(Arrived("five", "5"));
  EXPECT_EQ(dones_.size(), 1u);
  EXPECT_EQ(TempFilesBelow(dst_), 0);
}

// A reader polls the target while a large file is written slowly and then
// copied: the final name never shows anything but the whole file.
TEST_F(WatchTest, NeverAHalfFileUnderTheFinalName) {
  Start(Job());
  const std::string bytes(8 << 20, 'q'), target = dst_ + "/big.bin";
  std::atomic<bool> stop{false}, half_seen{false};
  auto size = [&] {
    std::error_code ec;
    auto n = stdfs::file_size(target, ec);
    return ec ? -1 : static_cast<std::int64_t>(n);
  };
  const auto whole = static_cast<std::int64_t>(bytes.size());
  std::thread reader([&] {
    for (std::int64_t n; !stop;) {
      if ((n = size()) >= 0 && n != whole) half_seen = true;
    }
  });
  {
    std::ofstream out(src_ + "/big.bin", std::ios::binary);
    for (std::size_t at = 0; at < bytes.size(); at += 1 << 20) {
      out.write(bytes.data() + at, 1 << 20);
      out.flush();
      loop_->PumpPending();
    }
  }
  // Windows counts a file written once nobody holds it open for writing,
  // and asks again as time passes.
  bool arrived = WaitFor([&] {
    clock_.Advance(250);
    return size() == whole;
  });
  stop = true;
  reader.join();
  EXPECT_TRUE(arrived);
  EXPECT_FALSE(half_seen);
  EXPECT_EQ(test::ReadBytes(target), bytes);
}

// StartCopy copies what is new or changed at once; watching the target or a
// third folder, a change there copies what is new in the source.
TEST_F(WatchTest, StartCopyAndChangesInAnotherFolderTriggerAPass) {
  Put(src_ + "/new", "new");
  Put(src_ + "/changed", "changed");
  Put(dst_ + "/changed", "old");
  Start({.name = "Without"});
  Put(src_ + "/later", "later");
  EXPECT_TRUE(Arrived("later", "later"));
  EXPECT_FALSE(test::Exists(dst_ + "/new"));
  EXPECT_EQ(test::ReadBytes(dst_ + "/changed"), "old");
  Start({.name = "With", .start_copy = true});
  EXPECT_TRUE(Arrived("new", "new"));
  EXPECT_TRUE(Arrived("changed", "changed"));
  for (std::size_t i : {0, 1}) Cancel(i);

  for (int choice : {1, 2}) {
    SCOPED_TRACE(choice);
    Start({.name = "Pass" + std::to_string(choice), .choice = choice});
    std::string name = "file" + std::to_string(choice);
    Put(src_ + "/" + name, name);
    loop_->PumpPending();
    EXPECT_FALSE(test::Exists(dst_ + "/" + name));
    Put((choice == 1 ? dst_ : other_) + "/trigger", "t");
    EXPECT_TRUE(Arrived(name, name));
    Cancel(objects_.size() - 1);
  }
}

TEST_F(WatchTest, DelayWaitsForQuietOnTheFile) {
  Start({.name = "Probe", .to = other_});  // see Probed
  Start({.delay = 1});
  Put(src_ + "/slow", "first");
  ASSERT_TRUE(Probed("slow", "first"));
  clock_.Advance(500);
  Put(src_ + "/slow", "second");
  ASSERT_TRUE(Probed("slow", "second"));
  clock_.Advance(999);
  EXPECT_FALSE(test::Exists(dst_ + "/slow"));
  clock_.Advance(1);
  EXPECT_EQ(test::ReadBytes(dst_ + "/slow"), "second");
}

// A copy that fails is tried again, ValueB more times at most.
TEST_F(WatchTest, FailedCopiesAreRetried) {
  struct FailingCopies : test::ForwardingFileSystem {
    int fail_first = 2, attempts = 0;
    bool CopyToNewFile(const std::string& from, const std::string& to,
                       const platform::CopyOptions& o) override {
      if (++attempts <= fail_first) throw RuntimeError(kErrPermission);
      return real.CopyToNewFile(from, to, o);
    }
  } fs;
  Start({.name = "Probe", .to = other_});  // see Probed
  fs_ = &fs;
  Start({.retries = 2});
  Put(src_ + "/third-time", "lucky");
  ASSERT_TRUE(Probed("third-time", "lucky"));
  EXPECT_EQ(fs.attempts, 1);
  clock_.Advance(499);  // half a second at least between two attempts
  EXPECT_EQ(fs.attempts, 1);
  clock_.Advance(501);
  EXPECT_EQ(fs.attempts, 3);
  EXPECT_EQ(test::ReadBytes(dst_ + "/third-time"), "lucky");

  fs.attempts = 0;
  fs.fail_first = 100;
  Put(src_ + "/never", "never");
  ASSERT_TRUE(Probed("never", "never"));
  clock_.Advance(60000);
  EXPECT_EQ(fs.attempts, 3);
  EXPECT_FALSE(test::Exists(dst_ + "/never"));
  EXPECT_EQ(TempFilesBelow(dst_), 0);
}

// Each way a watch ends on its own gives one Done with the object's name and
// index, from the loop; the service releases the object inside it.
TEST_F(WatchTest, EndsOnItsOwnWithOneDone) {
  const std::vector<std::pair<const char*, std::function<void(Job)>>> cases = {
      {"source removed", [&](Job) { stdfs::remove_all(src_); }},
      {"source moved away",
       [&](Job) { stdfs::rename(src_, other_ + "/away"); }},
      {"job file deleted", [&](Job j) { stdfs::remove(JobFile(j)); }},
      {"no longer a watch job",
       [&](Job j) {
         j.type = "0";
         WriteJobFile(j);
       }},
  };
  for (const auto& [what, end] : cases) {
    SCOPED_TRACE(what);
    // Under Wine a folder deleted through Windows calls stays while a handle
    // is open on it, and nothing reports it.
    if (test::UnderWine() && std::string(what) == "source removed") continue;
    stdfs::create_directories(src_);
    objects_.clear();
    dones_.clear();
    const Job job{.recursive = true};
    Start(job);                            // index 0
    Start({.name = "Other", .choice = 1});  // index 1
    WriteJobFile(job);  // rewritten, still a watch job: the watch goes on
    end(job);
    ASSERT_TRUE(WaitFor([&] { return !dones_.empty(); }));
    loop_->PumpPending();  // a second Done would be on its way
    ASSERT_EQ(dones_.size(), 1u);
    EXPECT_EQ(dones_[0], std::make_pair(std::string("Object0"),
                                        std::int16_t{0}));
    EXPECT_EQ(objects_[0], nullptr);
    ASSERT_NE(objects_[1], nullptr);
    Cancel(1);
  }
}

// Done comes from the loop for a watch that cannot start, from inside the
// cancel otherwise, and once only; never for objects that are gone.
TEST_F(WatchTest, DoneComesOnceFromTheLoopOrTheCancel) {
  Start({.selected = dir_.Join("missing")});
  EXPECT_TRUE(dones_.empty());  // not inside StartWatch
  EXPECT_TRUE(WaitFor([&] { return dones_.size() == 1; }));
  Start({.name = "Scheduled", .type = "0"});  // not a watch job
  EXPECT_TRUE(WaitFor([&] { return dones_.size() == 2; }));
  EXPECT_EQ(dones_[1], std::make_pair(std::string("Object1"), std::int16_t{1}));

  Start(Job());
  std::shared_ptr<engine::cMonitorJob> keep = objects_[2];
  keep->CancelWatch();
  ASSERT_EQ(dones_.size(), 3u);
  EXPECT_EQ(dones_[2].first, "Object2");
  keep->CancelWatch();
  Put(src_ + "/after", "x");
  // An end on its way through the loop is delivered by the cancel, once.
  Start({.selected = dir_.Join("missing")});
  Cancel(3);
  EXPECT_EQ(dones_.size(), 4u);
  // Never started: nothing.
  auto idle = engine::CreateMonitorJob(*loop_, *fs_, clock_);
  multi_->AddObject(*idle);
  idle->CancelWatch();
  // A destroyed watch: its end on the way is dropped.
  Start({.selected = dir_.Join("missing")});
  objects_[4].reset();
  stdfs::remove_all(src_);
  loop_->PumpPending();
  EXPECT_EQ(dones_.size(), 4u);
  EXPECT_FALSE(test::Exists(dst_ + "/after"));
  stdfs::create_directory(src_);

  // A destroyed cMultiEvent: a later Finished goes nowhere.
  Start(Job());
  multi_.reset();
  objects_[5]->CancelWatch();
  stdfs::remove_all(src_);
  loop_->PumpPending();
  EXPECT_EQ(dones_.size(), 4u);
}

#ifndef _WIN32
TEST_F(WatchTest, ThousandJobsShareOneInotifyInstance) {
  // The profile cache keeps an instance of its own from a file's second
  // lookup on; have it open before counting.
  const std::string ini = dir_.Join("warm.ini");
  test::WriteBytes(ini, "[a]\r\nb=c\r\n");
  for (int i = 0; i < 2; ++i) modIniHandler::GetINIString("a", "b", "", ini, 256);
  const int before = InotifyInstances();
  for (int i = 0; i < 1000; ++i) {
    const std::string n = std::to_string(i);
    stdfs::create_directory(src_ + "/" + n);
    Start({.selected = src_ + "/" + n, .from = src_ + "/" + n,
           .to = dst_ + "/" + n});
  }
  EXPECT_EQ(InotifyInstances(), before + 1);
  for (const char* i : {"0", "999"}) {
    Put(src_ + "/" + i + "/file", i);
    EXPECT_TRUE(Arrived(std::string(i) + "/file", i));
  }
  EXPECT_TRUE(dones_.empty());
  objects_.clear();
  EXPECT_EQ(InotifyInstances(), before);
}
#endif

}  // namespace
}  // namespace qs
