// The watch jobs and the object that reports their end, on real folder
// watches and the real message loop. Waits pump the loop until a condition
// holds or a few seconds have passed.
//
// The watch jobs follow their folders on Linux only so far.
#ifndef _WIN32

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
#include "monitor/engine.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Job {
  std::string name = "Watch";
  std::string type = "2";
  std::string pattern;  // empty: no Pattern key
  int choice = 0;       // the folder watched: 0 source, 1 target, 2 other
  std::int32_t delay = 0;
  bool recursive = false;
  bool start_copy = false;
  std::int16_t retries = 0;
  // Empty: the fixture's folders (the watched one chosen by `choice`).
  std::string selected, from, to;
};

int InotifyInstances() {
  int n = 0;
  for (const auto& e : stdfs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (stdfs::read_symlink(e.path(), ec).string() == "anon_inode:inotify") ++n;
  }
  return n;
}

// Files below `folder` whose names end in ".qltmp".
int TempFilesBelow(const std::string& folder) {
  int n = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(folder)) {
    if (e.path().extension() == ".qltmp") ++n;
  }
  return n;
}

class WatchTest : public ::testing::Test {
 protected:
  WatchTest()
      : loop_(platform::CreateMessageLoop()),
        src_(dir_.Join("src")),
        dst_(dir_.Join("dst")),
        other_(dir_.Join("other")),
        jobs_(dir_.Join("jobs")) {
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
    std::string text = "[Job]\r\nFrom=" + src_ + "\r\nTo=" + dst_ +
                       "\r\nType=" + job.type + "\r\n";
    if (!job.pattern.empty()) text += "Pattern=" + job.pattern + "\r\n";
    test::WriteBytes(JobFile(job), text);
  }

  // Writes the job file, then sets up and starts a watch as the service
  // does; returns its index.
  std::int16_t Start(const Job& job) {
    WriteJobFile(job);
    std::string selected = job.selected;
    if (selected.empty()) {
      selected = job.choice == 0 ? src_ : job.choice == 1 ? dst_ : other_;
    }
    auto index = static_cast<std::int16_t>(objects_.size());
    std::shared_ptr<engine::cMonitorJob> object =
        engine::CreateMonitorJob(*loop_);
    object->ObjectName = "Object" + std::to_string(index);
    multi_->AddObject(*object);
    objects_.push_back(object);
    std::string job_file = JobFile(job), language = "Deutsch", lang, ini;
    std::string from = job.from.empty() ? src_ : job.from;
    std::string to = job.to.empty() ? dst_ : job.to;
    std::int32_t delay = job.delay;
    bool recursive = job.recursive, start_copy = job.start_copy;
    bool service = true, flag = false;
    std::int16_t retries = job.retries;
    object->SetupJob(job_file, language, delay, recursive, selected,
                     start_copy, retries, lang, ini, from, to, service, index);
    object->StartWatch(index, flag);
    return index;
  }

  // As the service does, the caller keeps the object for the call.
  void Cancel(std::size_t index) {
    std::shared_ptr<engine::cMonitorJob> keep = objects_[index];
    keep->CancelWatch();
  }

  bool WaitFor(const std::function<bool()>& done, int max_ms = 4000) {
    auto until = Clock::now() + std::chrono::milliseconds(max_ms);
    while (!done()) {
      if (Clock::now() > until) return false;
      loop_->WaitAndPump(20);
    }
    return true;
  }

  // Pumps for a while; for checks that something does not happen.
  void PumpFor(int ms) {
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) loop_->WaitAndPump(10);
  }

  bool Arrived(const std::string& rel, const std::string& bytes) {
    return WaitFor([&] { return test::ReadBytes(dst_ + "/" + rel) == bytes; });
  }

  test::TempDir dir_;
  std::unique_ptr<platform::MessageLoop> loop_;
  std::string src_, dst_, other_, jobs_;
  std::unique_ptr<engine::cMultiEvent> multi_;
  std::vector<std::shared_ptr<engine::cMonitorJob>> objects_;
  std::vector<std::pair<std::string, std::int16_t>> dones_;
};

// What arrives, what is left out. Files that must not be copied are written
// before one that must: by the time it arrives, their events are handled.
TEST_F(WatchTest, CopiesWhatArrivesInTheWatchedTree) {
  Job flat;
  flat.name = "Flat";
  flat.pattern = "*.txt;*.dat;half*";
  Start(flat);
  test::WriteBytes(src_ + "/skip.log", "pattern");
  test::WriteBytes(src_ + "/half.txt.qltmp", "temporary");
  stdfs::create_directory(src_ + "/sub");
  test::WriteBytes(src_ + "/sub/deep.txt", "not recursive");
  test::WriteBytes(src_ + "/a.txt", std::string("bytes\0\r\n\xff", 9));
  EXPECT_TRUE(Arrived("a.txt", std::string("bytes\0\r\n\xff", 9)));
  // Moved in from elsewhere, and changed again.
  test::WriteBytes(other_ + "/moved.dat", "moved");
  stdfs::rename(other_ + "/moved.dat", src_ + "/moved.dat");
  EXPECT_TRUE(Arrived("moved.dat", "moved"));
  test::WriteBytes(src_ + "/a.txt", "second version");
  EXPECT_TRUE(Arrived("a.txt", "second version"));
  EXPECT_FALSE(test::Exists(dst_ + "/skip.log"));
  EXPECT_FALSE(test::Exists(dst_ + "/sub"));
  EXPECT_EQ(TempFilesBelow(dst_), 0);
  EXPECT_TRUE(dones_.empty());
}

TEST_F(WatchTest, RecursiveFollowsSubfoldersOldAndNew) {
  stdfs::create_directories(src_ + "/old/inner");
  Job job;
  job.recursive = true;
  Start(job);
  test::WriteBytes(src_ + "/old/inner/one", "1");
  EXPECT_TRUE(Arrived("old/inner/one", "1"));
  // A tree that appears at once: what it holds is copied too.
  stdfs::create_directories(other_ + "/tree/leaf");
  test::WriteBytes(other_ + "/tree/leaf/two", "2");
  stdfs::rename(other_ + "/tree", src_ + "/tree");
  EXPECT_TRUE(Arrived("tree/leaf/two", "2"));
  // Its folders are watched from then on.
  test::WriteBytes(src_ + "/tree/leaf/three", "3");
  EXPECT_TRUE(Arrived("tree/leaf/three", "3"));
  stdfs::create_directories(src_ + "/new/er");
  test::WriteBytes(src_ + "/new/er/four", "4");
  EXPECT_TRUE(Arrived("new/er/four", "4"));
  // A subfolder that goes does not end the watch.
  stdfs::remove_all(src_ + "/old");
  test::WriteBytes(src_ + "/five", "5");
  EXPECT_TRUE(Arrived("five", "5"));
  EXPECT_TRUE(dones_.empty());
  EXPECT_EQ(TempFilesBelow(dst_), 0);
}

// A folder inside one job's tree that is another job's watched folder: when
// it is renamed, the other job ends, this one follows the new name.
TEST_F(WatchTest, FolderOfTwoJobsRenamed) {
  stdfs::create_directory(src_ + "/x");
  Job tree;
  tree.recursive = true;
  Start(tree);
  Job inner;
  inner.name = "Inner";
  inner.from = inner.selected = src_ + "/x";
  inner.to = other_;
  Start(inner);
  stdfs::rename(src_ + "/x", src_ + "/y");
  ASSERT_TRUE(WaitFor([&] { return dones_.size() == 1; }));
  EXPECT_EQ(dones_[0].second, 1);
  test::WriteBytes(src_ + "/y/f", "renamed");
  EXPECT_TRUE(Arrived("y/f", "renamed"));
  EXPECT_EQ(dones_.size(), 1u);
}

// A reader polls the target while a large file is written slowly and then
// copied: the final name never shows anything but the whole file.
TEST_F(WatchTest, NeverAHalfFileUnderTheFinalName) {
  Start(Job());
  const std::string bytes(8 << 20, 'q');
  const std::string target = dst_ + "/big.bin";
  std::atomic<bool> stop{false}, half_seen{false};
  std::thread reader([&] {
    while (!stop) {
      std::error_code ec;
      auto size = stdfs::file_size(target, ec);
      if (!ec && size != bytes.size()) half_seen = true;
    }
  });
  {
    std::ofstream out(src_ + "/big.bin", std::ios::binary);
    for (std::size_t at = 0; at < bytes.size(); at += 1 << 20) {
      out.write(bytes.data() + at, 1 << 20);
      out.flush();
      loop_->WaitAndPump(5);
    }
  }
  bool arrived = WaitFor([&] {
    std::error_code ec;
    return stdfs::file_size(target, ec) == bytes.size();
  });
  stop = true;
  reader.join();
  EXPECT_TRUE(arrived);
  EXPECT_FALSE(half_seen);
  EXPECT_EQ(test::ReadBytes(target), bytes);
}

TEST_F(WatchTest, StartCopyTakesWhatIsNewOrChangedFirst) {
  test::WriteBytes(src_ + "/new", "new");
  test::WriteBytes(src_ + "/changed", "changed");
  test::WriteBytes(dst_ + "/changed", "old");
  Job without;
  without.name = "Without";
  Start(without);
  test::WriteBytes(src_ + "/later", "later");
  EXPECT_TRUE(Arrived("later", "later"));
  EXPECT_FALSE(test::Exists(dst_ + "/new"));
  EXPECT_EQ(test::ReadBytes(dst_ + "/changed"), "old");

  Job with;
  with.name = "With";
  with.start_copy = true;
  Start(with);
  EXPECT_TRUE(Arrived("new", "new"));
  EXPECT_TRUE(Arrived("changed", "changed"));
}

// Watching the target or a third folder: a change there copies what is new
// in the source.
TEST_F(WatchTest, ChangeInAnotherFolderTriggersAPass) {
  for (int choice : {1, 2}) {
    SCOPED_TRACE(choice);
    Job job;
    job.name = "Pass" + std::to_string(choice);
    job.choice = choice;
    Start(job);
    std::string name = "file" + std::to_string(choice);
    test::WriteBytes(src_ + "/" + name, name);
    loop_->PumpPending();
    EXPECT_FALSE(test::Exists(dst_ + "/" + name));
    test::WriteBytes((choice == 1 ? dst_ : other_) + "/trigger", "t");
    EXPECT_TRUE(Arrived(name, name));
    Cancel(objects_.size() - 1);
  }
}

TEST_F(WatchTest, DelayWaitsForQuietOnTheFile) {
  Job job;
  job.delay = 1;
  Start(job);
  test::WriteBytes(src_ + "/slow", "first");
  PumpFor(500);
  test::WriteBytes(src_ + "/slow", "second");
  auto last_write = Clock::now();
  EXPECT_TRUE(Arrived("slow", "second"));
  EXPECT_GE(Clock::now() - last_write, std::chrono::milliseconds(950));
}

// A copy that fails is tried again, ValueB more times at most.
TEST_F(WatchTest, FailedCopiesAreRetried) {
  struct FailingCopies : test::ForwardingFileSystem {
    int fail_first = 0;
    int attempts = 0;
    void CopyToNewFile(const std::string& from,
                       const std::string& to) override {
      if (++attempts <= fail_first) throw RuntimeError(kErrPermission);
      real.CopyToNewFile(from, to);
    }
  } fs;
  platform::Platform replacement{};
  replacement.fs = &fs;
  platform::ScopedPlatform scoped(replacement);

  Job job;
  job.retries = 2;
  Start(job);
  fs.fail_first = 2;
  test::WriteBytes(src_ + "/third-time", "lucky");
  EXPECT_TRUE(Arrived("third-time", "lucky"));
  EXPECT_EQ(fs.attempts, 3);

  fs.attempts = 0;
  fs.fail_first = 100;
  test::WriteBytes(src_ + "/never", "never");
  EXPECT_TRUE(WaitFor([&] { return fs.attempts == 3; }));
  PumpFor(1200);
  EXPECT_EQ(fs.attempts, 3);
  EXPECT_FALSE(test::Exists(dst_ + "/never"));
  EXPECT_EQ(TempFilesBelow(dst_), 0);
}

// Each way a watch ends on its own gives one Done with the object's name and
// index, from the loop; the service releases the object inside it.
TEST_F(WatchTest, EndsOnItsOwnWithOneDone) {
  struct Case {
    const char* what;
    std::function<void(const Job&)> end;
  };
  const std::vector<Case> cases = {
      {"source removed",
       [this](const Job&) { stdfs::remove_all(src_); }},
      {"source moved away",
       [this](const Job&) {
         stdfs::rename(src_, other_ + "/away");
       }},
      {"job file deleted",
       [this](const Job& j) { stdfs::remove(JobFile(j)); }},
      {"job file no longer a watch job",
       [this](const Job& j) {
         Job changed = j;
         changed.type = "0";
         WriteJobFile(changed);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    stdfs::create_directories(src_);
    objects_.clear();
    dones_.clear();
    Job job;
    job.recursive = true;
    Start(job);  // index 0
    Job other;
    other.name = "Other";
    other.choice = 1;
    Start(other);  // index 1
    // Rewritten, still a watch job: the watch goes on.
    WriteJobFile(job);
    c.end(job);
    ASSERT_TRUE(WaitFor([&] { return !dones_.empty(); }));
    PumpFor(100);
    ASSERT_EQ(dones_.size(), 1u);
    EXPECT_EQ(dones_[0].first, "Object0");
    EXPECT_EQ(dones_[0].second, 0);
    EXPECT_EQ(objects_[0], nullptr);
    ASSERT_NE(objects_[1], nullptr);
    Cancel(1);
  }
}

TEST_F(WatchTest, MissingFolderOrJobFileAtStartEndsFromTheLoop) {
  Job job;
  job.selected = dir_.Join("missing");
  Start(job);
  EXPECT_TRUE(dones_.empty());  // not inside StartWatch
  EXPECT_TRUE(WaitFor([&] { return dones_.size() == 1; }));

  Job scheduled;
  scheduled.name = "Scheduled";
  scheduled.type = "0";
  Start(scheduled);
  EXPECT_TRUE(WaitFor([&] { return dones_.size() == 2; }));
  EXPECT_EQ(dones_[1], std::make_pair(std::string("Object1"), std::int16_t{1}));
}

TEST_F(WatchTest, CancelRaisesDoneInsideAndNothingAfter) {
  Start(Job());
  std::shared_ptr<engine::cMonitorJob> keep = objects_[0];
  keep->CancelWatch();
  ASSERT_EQ(dones_.size(), 1u);
  EXPECT_EQ(dones_[0].first, "Object0");
  keep->CancelWatch();
  test::WriteBytes(src_ + "/after", "x");
  stdfs::remove_all(src_);
  PumpFor(200);
  EXPECT_EQ(dones_.size(), 1u);
  EXPECT_FALSE(test::Exists(dst_ + "/after"));

  // An end on its way through the loop is delivered by the cancel, once.
  Job missing;
  missing.selected = dir_.Join("missing");
  Start(missing);
  keep = objects_[1];
  keep->CancelWatch();
  EXPECT_EQ(dones_.size(), 2u);
  PumpFor(100);
  EXPECT_EQ(dones_.size(), 2u);

  // Never started: nothing.
  auto idle = engine::CreateMonitorJob(*loop_);
  multi_->AddObject(*idle);
  idle->CancelWatch();
  EXPECT_EQ(dones_.size(), 2u);
}

TEST_F(WatchTest, GoneObjectsRaiseNothing) {
  // A destroyed watch: its end on the way is dropped.
  Job missing;
  missing.selected = dir_.Join("missing");
  Start(missing);
  objects_[0].reset();
  PumpFor(100);
  EXPECT_TRUE(dones_.empty());

  // A destroyed cMultiEvent: a later Finished goes nowhere.
  Start(Job());
  multi_.reset();
  objects_[1]->CancelWatch();
  stdfs::remove_all(src_);
  PumpFor(100);
  EXPECT_TRUE(dones_.empty());
}

TEST_F(WatchTest, ThousandJobsShareOneInotifyInstance) {
  // The profile cache keeps an instance of its own from a file's second
  // lookup on; have it open before counting.
  const std::string ini = dir_.Join("warm.ini");
  test::WriteBytes(ini, "[a]\r\nb=c\r\n");
  for (int i = 0; i < 2; ++i) modIniHandler::GetINIString("a", "b", "", ini, 256);
  const int before = InotifyInstances();
  for (int i = 0; i < 1000; ++i) {
    Job job;
    job.name = "Job" + std::to_string(i);
    job.from = job.selected = src_ + "/" + std::to_string(i);
    job.to = dst_ + "/" + std::to_string(i);
    stdfs::create_directory(job.from);
    Start(job);
  }
  EXPECT_EQ(InotifyInstances(), before + 1);
  for (const char* i : {"0", "999"}) {
    test::WriteBytes(src_ + "/" + i + "/file", i);
    EXPECT_TRUE(Arrived(std::string(i) + "/file", i));
  }
  EXPECT_TRUE(dones_.empty());
  objects_.clear();
  EXPECT_EQ(InotifyInstances(), before);
}

}  // namespace
}  // namespace qs

#endif  // _WIN32
