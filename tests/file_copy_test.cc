// The engine's copier on an in-memory disk with faults: crashes at every
// step, full disks, refusals, a stop in the middle of a file, long names,
// targets inside their source, and links.
#include "engine/file_copy.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/runtime_error.h"
#include "tests/mem_file_system.h"

namespace qs {
namespace {

using Op = test::MemFileSystem::Op;
using Strings = std::vector<std::string>;
constexpr std::size_t kChunk = test::MemFileSystem::kChunk;

// What the copier reports: "copied SRC" or "KEY ARG..." of the failure text.
struct Reports : engine::CopyListener {
  Strings lines;
  void Copied(const std::string& src, const std::string&) override {
    lines.push_back("copied " + src);
  }
  void Failed(const engine::EngineText& text, const Strings& args) override {
    std::string line(text.key);
    for (const std::string& a : args) line += " " + a;
    lines.push_back(line);
  }
};

// The names in `folder` that are temporary copies.
int Temps(const test::MemFileSystem& fs, const std::string& folder) {
  int n = 0;
  for (const std::string& name : fs.Names(folder)) n += engine::IsTempName(name);
  return n;
}

struct Crash {};

const std::string kBig(3 * kChunk + 7, 'A');

// A source with a large new file and a small one, a target with an old file.
void Seed(test::MemFileSystem& fs) {
  fs.AddFile("/d/src/a", kBig);
  fs.AddFile("/d/src/b", "new b");
  fs.AddFile("/d/dst/a", "old a");
}

class CopyTest : public testing::Test {
 protected:
  CopyTest() { Seed(fs_); }
  int Pass(const std::string& from = "/d/src", const std::string& to = "/d/dst") {
    reports_.lines.clear();
    engine::FileCopier copier(fs_, rules_, &reports_);
    int failures = copier.CopyFolders(from, to);
    stopped_ = copier.Stopped();
    return failures;
  }

  test::MemFileSystem fs_;
  engine::CopyRules rules_;  // of every Pass
  Reports reports_;
  bool stopped_ = false;
};

// A power cut at any step of a pass, or right after it, leaves each name
// with the old file or the whole new one, and the next pass mends the rest.
TEST_F(CopyTest, CrashAtAnyStepLeavesOldOrWholeNewFiles) {
  for (int crash_at = 1, passes_through = 0; passes_through == 0; ++crash_at) {
    test::MemFileSystem fs;
    Seed(fs);
    int step = 0;
    fs.on_op = [&](Op, const std::string&) {
      if (++step == crash_at) throw Crash{};
    };
    try {
      engine::FileCopier(fs, {}, nullptr).CopyFolders("/d/src", "/d/dst");
      ++passes_through;  // every step has been tried: the cut comes after it
    } catch (const Crash&) {
    }
    fs.on_op = nullptr;
    fs.Crash();
    SCOPED_TRACE("crash at step " + std::to_string(crash_at));
    const std::string a = fs.Read("/d/dst/a");
    EXPECT_TRUE(a == kBig || (a == "old a" && !passes_through)) << a.size() << " bytes";
    EXPECT_TRUE(!fs.Has("/d/dst/b") || fs.Read("/d/dst/b") == "new b");
    engine::FileCopier(fs, {}, nullptr).CopyFolders("/d/src", "/d/dst");
    EXPECT_EQ(fs.Read("/d/dst/a"), kBig);
    EXPECT_EQ(fs.Read("/d/dst/b"), "new b");
    EXPECT_EQ(Temps(fs, "/d/dst"), 0);
  }
}

// A fault anywhere: the failure is reported, the old file stays, no
// temporary file is left, and the other file is copied when it can be.
TEST_F(CopyTest, FaultsAreReportedAndLeaveNothingBehind) {
  const std::string copied_b = "copied /d/src/b";
  struct Row {
    const char* what;
    std::function<void(test::MemFileSystem&)> fault;
    Strings reports;
  } rows[] = {
      {"a write fails", [](auto& fs) { fs.FailAt(Op::kWrite, 2, 57); },
       {"t1 /d/src/a /d/dst/a Device I/O error", copied_b}},
      {"disk full in the middle of a file",
       [](auto& fs) { fs.capacity = 3 * kChunk + 2 * kChunk; },
       {"t1 /d/src/a /d/dst/a Disk full", copied_b}},
      {"the flush fails", [](auto& fs) { fs.FailAt(Op::kSync, 1, 57); },
       {"t1 /d/src/a /d/dst/a Device I/O error", "t1 /d/src/b /d/dst/b Device I/O error"}},
      {"the rename is refused", [](auto& fs) { fs.FailAt(Op::kRename, 1, 70); },
       {"t1 /d/src/a /d/dst/a Permission denied", copied_b}},
      {"the target is denied", [](auto& fs) { fs.Deny("/d/dst"); },
       {"t1 /d/src/a /d/dst/a Permission denied", "t1 /d/src/b /d/dst/b Permission denied"}},
  };
  rules_.check_free_space = false;  // the disk fills up while it copies
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    test::MemFileSystem fs;
    Seed(fs);
    r.fault(fs);
    reports_.lines.clear();
    engine::FileCopier(fs, rules_, &reports_).CopyFolders("/d/src", "/d/dst");
    EXPECT_EQ(reports_.lines, r.reports);
    EXPECT_EQ(fs.Read("/d/dst/a"), "old a");
    EXPECT_EQ(Temps(fs, "/d/dst"), 0);
  }
}

// A stop in the middle of a large file ends the pass at once: the copy in
// progress and those not renamed yet are given up, nothing is left behind.
TEST_F(CopyTest, StopInTheMiddleOfAFileAbandonsTheCopy) {
  fs_.AddFile("/d/src/0-first", "first");
  rules_.keep_going = [&] { return fs_.Count(Op::kWrite) < 3; };
  Pass();
  EXPECT_TRUE(stopped_);
  EXPECT_EQ(fs_.Names("/d/dst"), Strings{"a"});
  EXPECT_EQ(fs_.Read("/d/dst/a"), "old a");
  EXPECT_EQ(fs_.Count(Op::kWrite), 3);
  EXPECT_TRUE(reports_.lines.empty());
}

// A target inside its source is left out of the walk however it is
// spelled, so a pass never copies its own copies.
TEST_F(CopyTest, TargetInsideTheSourceIsLeftOutWhateverItsSpelling) {
  rules_.recursive = true;
  fs_.AddFile("/d/src/sub/g", "g");
  fs_.AddFolder("/d/src/out");
  fs_.AddFolder("/d/x");
  fs_.AddLink("/d/link", "src");
  for (const char* to : {"/d/src/out", "/d/src/./out", "/d//src/out/", "/d/x/../src/out",
                         "/d/link/out"}) {
    EXPECT_EQ(Pass("/d/src", to), 0) << to;
    EXPECT_EQ(fs_.Names("/d/src/out"), (Strings{"a", "b", "sub"})) << to;
  }
  EXPECT_EQ(fs_.Read("/d/src/out/sub/g"), "g");
  EXPECT_EQ(Pass("/d/link", "/d/src/"), 1);
  EXPECT_EQ(reports_.lines, Strings{"t7 /d/link"});
}

// Links inside the source are skipped unless the job follows them, and a
// link nobody trusted made is never followed; nothing is written through a
// link below the target.
TEST_F(CopyTest, LinksAreFollowedOnlyWhenAskedAndTrusted) {
  fs_.AddFile("/secret/file", "secret");
  fs_.AddLink("/d/src/flink", "/secret/file");
  fs_.AddLink("/d/src/dlink", "/secret");
  fs_.AddLink("/d/src/untrusted", "/secret/file", false);
  rules_.recursive = true;
  for (bool follow : {true, false}) {
    SCOPED_TRACE(follow);
    rules_.follow_links = follow;
    EXPECT_EQ(Pass("/d/src", follow ? "/d/followed" : "/d/plain"), 0);
    EXPECT_EQ(fs_.Names(follow ? "/d/followed" : "/d/plain"),
              (follow ? Strings{"a", "b", "dlink", "flink"} : Strings{"a", "b"}));
  }
  EXPECT_EQ(fs_.Read("/d/followed/dlink/file"), "secret");

  fs_.AddFile("/d/src/sub/f", "f");
  fs_.AddLink("/d/dst/sub", "/secret", false);
  EXPECT_EQ(Pass(), 1);
  EXPECT_EQ(fs_.Names("/secret"), Strings{"file"});
}

// Temporary files that a killed run left behind go when their folder is
// next written to; fresh ones (another writer's) stay. A temporary name is
// short whatever the source's name: names up to the file system's limit
// are copied.
TEST_F(CopyTest, StaleTemporaryFilesGoAndLongNamesAreCopied) {
  const std::string longest(test::MemFileSystem::kNameMax, 'n');
  fs_.AddFile("/d/src/" + longest, "x");
  fs_.AddFile("/d/dst/.qltmp-leftover", "half", 1);
  fs_.AddFile("/d/dst/old.txt.qltmp", "half", 1);
  fs_.AddFile("/d/dst/.qltmp-inflight", "half");
  EXPECT_EQ(Pass(), 0);
  EXPECT_EQ(fs_.Names("/d/dst"), (Strings{".qltmp-inflight", "a", "b", longest}));
}

}  // namespace
}  // namespace qs
