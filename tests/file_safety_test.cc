// The POSIX file layer and profile reader where only the real thing will
// do: links and odd files planted where the service writes, a full disk (a
// 1 MB tmpfs), writers killed in the middle, two writers at once, another
// user's rights, replaces that keep owner and mode, and lookups that see
// every change other programs make (inotify, time stamps, renames). The
// cases that need root (mounting, other owners) are skipped without it.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/safe_files.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::ErrorOf;
using Strings = std::vector<std::string>;
constexpr uid_t kOtherUser = 12345;

platform::FileSystem& Files() { return platform::OsFileSystem(); }

bool Write(const char* section, const char* key, const char* value, const std::string& file) {
  return platform::Current().profile->WritePrivateProfileString(section, key, value, file.c_str());
}

std::string Get(const char* key, const std::string& file, const char* def = "") {
  char buf[65536];
  return {buf, platform::Current().profile->GetPrivateProfileString("s", key, def, buf, sizeof buf,
                                                                    file.c_str())};
}

Strings Names(const std::string& folder) {
  Strings names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs `body` in a child process, which ends with 0 when it returns true.
pid_t Child(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  return pid;
}

// Waits for the child; true when it ended with 0.
bool Succeeded(pid_t pid) {
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !WEXITSTATUS(status);
}

// Whatever is planted where a log or a replaced file is written, the write
// is refused and nothing else is touched.
TEST(FileSafety, WritesNeverGoThroughALinkOrIntoAnythingButAFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for another user's link";
  test::TempDir dir;
  const std::string victim = dir.Join("victim"), logs = dir.Join("logs");
  test::WriteBytes(victim, "root only\n");
  fs::create_directory(logs);
  const std::string ulink = dir.Join("ulink");
  ASSERT_EQ(::symlink(logs.c_str(), ulink.c_str()), 0);
  ASSERT_EQ(::lchown(ulink.c_str(), kOtherUser, kOtherUser), 0);
  const std::pair<const char*, std::function<std::string(const std::string&)>> plants[] = {
      {"link to another file", [&](auto& n) { return ::symlink(victim.c_str(), n.c_str()), n; }},
      {"dangling link", [&](auto& n) { return ::symlink("nowhere", n.c_str()), n; }},
      {"named pipe", [&](auto& n) { return ::mkfifo(n.c_str(), 0666), n; }},
      {"second name of another file",
       [&](auto& n) { return ::link(victim.c_str(), n.c_str()), n; }},
      {"another user's link on the way",
       [&](auto& n) { return ulink + "/" + fs::path(n).filename().string(); }},
  };
  const std::pair<const char*, std::function<void(const std::string&)>> writes[] = {
      {"append or create", [](auto& p) { Files().AppendOrCreateText(p, "x\r\n"); }},
      {"replace", [](auto& p) { Files().ReplaceFile(p, "x"); }},
      {"create", [](auto& p) { Files().CreateTextFile(p, true); }},
  };
  int n = 0;
  for (const auto& [what, plant] : plants) {
    for (const auto& [op, write] : writes) {
      const std::string path = plant(logs + "/log" + std::to_string(++n) + ".txt");
      EXPECT_NE(ErrorOf([&] { write(path); }), 0) << what << ", " << op;
      EXPECT_EQ(test::ReadBytes(victim), "root only\n") << what << ", " << op;
    }
  }
  // A link root made is followed on the way; the link itself is deleted.
  const std::string tlink = dir.Join("tlink");
  ASSERT_EQ(::symlink(logs.c_str(), tlink.c_str()), 0);
  Files().AppendOrCreateText(tlink + "/ok.txt", "ok\r\n");
  EXPECT_EQ(test::ReadBytes(logs + "/ok.txt"), "ok\r\n");
  Files().DeleteFile(logs + "/log1.txt", true);
  EXPECT_EQ(test::ReadBytes(victim), "root only\n");
}

// A line that does not fit is taken back whole; a rewrite that does not fit
// leaves the old file and no temporary one.
TEST(FileSafety, FullDiskLeavesLogsAndIniFilesWhole) {
  test::TempDir dir;
  if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "no tmpfs to mount (needs root)";
  }
  const std::string log = dir.Join("DefaultLog.txt"), ini = dir.Join("Quillon.ini");
  test::WriteBytes(log, "line 1\r\n");
  test::WriteBytes(ini, "[s]\r\nk=1\r\n");
  test::WriteBytes(dir.Join("filler"), std::string((1 << 20) - 32768, 'f'));  // some 24 KB left
  const std::string big(65536, 'x');
  EXPECT_EQ(ErrorOf([&] { Files().AppendText(log, big + "\r\n"); }), kErrDiskFull);
  EXPECT_EQ(test::ReadBytes(log), "line 1\r\n");
  EXPECT_EQ(ErrorOf([&] { Files().ReplaceFile(log, big); }), kErrDiskFull);
  EXPECT_FALSE(Write("s", "k", big.c_str(), ini));
  EXPECT_EQ(test::ReadBytes(ini), "[s]\r\nk=1\r\n");
  EXPECT_EQ(Names(dir.path()), (Strings{".Quillon.ini.qslock", "DefaultLog.txt", "Quillon.ini",
                                        "filler"}));
  ::umount2(dir.path().c_str(), MNT_DETACH);
}

// A replace is a new file renamed over the old name, with the old file's
// mode and owner; a link there stays a link. A read-only file, or a folder
// that takes no temporary file, refuses the write, which leaves no trace.
// So do line breaks of a caller's choosing, and a new file that cannot be
// flushed to the disk (a crash would leave what never reached it).
TEST(FileSafety, ReplacesAreAtomicKeepModeOwnerAndLinksOrLeaveNoTrace) {
  test::TempDir dir;
  const std::string f = dir.Join("p.ini"), link = dir.Join("link.ini");
  test::WriteBytes(f, "[s]\r\nk=1\r\n");
  ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(f.c_str(), 4321, 4322), 0);
  }
  struct stat before, after;
  ASSERT_EQ(::stat(f.c_str(), &before), 0);
  ASSERT_EQ(::symlink("p.ini", link.c_str()), 0);
  ASSERT_TRUE(Write("s", "k", "2", link));
  ASSERT_EQ(::stat(f.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not replaced";
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=2\r\n");

  EXPECT_FALSE(Write("s", "k", "x\r\nNoDiskSizeCheck=1", f));
  EXPECT_FALSE(Write("s\n[JobWin]", "k", "1", f));
  EXPECT_FALSE(Write("s", "k\r", "1", f));
  platform::posix::FlushFile = [](int) { return errno = EIO, -1; };  // never on the disk
  EXPECT_FALSE(Write("s", "k", "3", f));
  platform::posix::FlushFile = ::fsync;
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  EXPECT_FALSE(Write("s", "k", "4", f));
  EXPECT_FALSE(Write("s", nullptr, nullptr, link));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=2\r\n");
  EXPECT_EQ(Names(dir.path()), (Strings{".p.ini.qslock", "link.ini", "p.ini"}));
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ::chmod(f.c_str(), 0666);  // writable, but not its folder
  EXPECT_TRUE(Succeeded(Child([&] {
    return ::setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
           ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0 && !Write("s", "k", "5", f) &&
           errno == EACCES;
  })));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=2\r\n");
}

// Nobody who may not write an INI file can hold a write of it up: not by
// locking the file or its folder, nor the writers' lock file, which only
// they can open (one that another user made first is made anew). A writer
// of ours that holds the lock is waited for a moment, not for ever.
TEST(FileSafety, OnlyWritersCanHoldAnIniWriteUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for another user's lock file";
  test::TempDir dir;
  const std::string ini = dir.Join("q.ini"), lock = dir.Join(".q.ini.qslock");
  test::WriteBytes(ini, "[s]\r\nk=0\r\n");
  test::WriteBytes(lock, "");
  ::chmod(ini.c_str(), 0644);
  ::chown(lock.c_str(), kOtherUser, kOtherUser);
  // Whether the write of `value` came back in time, and succeeded, while
  // the files `held` were locked.
  auto write_past = [&](const Strings& held, const char* value) {
    std::vector<int> fds;
    for (const std::string& p : held) fds.push_back(::open(p.c_str(), O_RDONLY));
    for (int fd : fds) EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    auto write = std::async(std::launch::async, [&] { return Write("s", "k", value, ini); });
    const bool in_time = write.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    for (int fd : fds) ::close(fd);
    return in_time && write.get();
  };
  EXPECT_TRUE(write_past({dir.path(), ini, lock}, "1"));
  EXPECT_TRUE(write_past({lock}, "2"));
  EXPECT_EQ(Get("k", ini), "2");
  EXPECT_TRUE(Succeeded(Child([&] {
    return ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
           ::open(lock.c_str(), O_RDONLY) < 0;
  })));
}

// A folder on a tmpfs where there is one: flushing costs nothing there, so
// that two writers meet in the middle of a write far more often.
std::string FastFolder() { return fs::is_directory("/dev/shm") ? "/dev/shm" : ""; }

// The temporary files that killed writers left go with a later write once
// they are stale, unless a writer still holds them. (That a reader never
// sees half a file: the replaces above are renames of whole new files.)
TEST(FileSafety, LeftoversOfKilledWritersGoOnceStale) {
  test::TempDir dir;
  const std::string ini = dir.Join("q.ini");
  // Aged, one of them still held by a writer; a fresh one and another
  // file's are not this write's to remove.
  for (const char* t :
       {".q.ini.qsheld00", ".q.ini.qsfresh0", ".o.ini.qsother0", ".q.ini.qsstale0"}) {
    test::WriteBytes(dir.Join(t), "half");
  }
  int held = ::open(dir.Join(".q.ini.qsheld00").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const timespec old[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
  for (const std::string& name : Names(dir.path())) {
    if (name != ".q.ini.qsfresh0") ::utimensat(AT_FDCWD, dir.Join(name).c_str(), old, 0);
  }
  ASSERT_TRUE(Write("s", "k", "last", ini));
  ::close(held);
  EXPECT_EQ(Names(dir.path()),
            (Strings{".o.ini.qsother0", ".q.ini.qsfresh0", ".q.ini.qsheld00", ".q.ini.qslock",
                     "q.ini"}));
}

// Two writers of ours on one file, each adding its own keys: none is lost.
TEST(FileSafety, WritersOfOursNeverLoseAnUpdate) {
  test::TempDir dir(FastFolder());
  const std::string ini = dir.Join("q.ini");
  auto writer = [&](char who) {
    return Child([=] {
      for (int i = 0; i < 60; ++i) Write("s", (who + std::to_string(i)).c_str(), "1", ini);
      return true;
    });
  };
  const pid_t a = writer('a'), b = writer('b');
  EXPECT_TRUE(Succeeded(a) && Succeeded(b));
  int lost = 0;
  for (char who : {'a', 'b'}) {
    for (int i = 0; i < 60; ++i) lost += Get((who + std::to_string(i)).c_str(), ini) != "1";
  }
  EXPECT_EQ(lost, 0);
}

// Who may change a job file, and where a path really leads.
TEST(FileSafety, TrustAndResolvedPaths) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for other owners";
  test::TempDir dir;
  auto make = [&](const std::string& name, mode_t mode, uid_t owner) {
    const std::string p = dir.Join(name);
    test::WriteBytes(p, "[Job]\r\n");
    return ::chmod(p.c_str(), mode), ::chown(p.c_str(), owner, 0), p;
  };
  const std::string ulink = dir.Join("ulink");
  ::symlink(make("good", 0644, 0).c_str(), ulink.c_str());
  ::lchown(ulink.c_str(), kOtherUser, kOtherUser);
  fs::create_directory(dir.Join("open"));
  ::chmod(dir.Join("open").c_str(), 0777);
  const std::pair<std::string, std::string> rows[] = {
      {dir.Join("good"), ""}, {make("group", 0664, 0), "group 0 may write it"},
      {make("world", 0646, 0), "every user may write it"},
      {make("theirs", 0644, kOtherUser), "it belongs to user 12345"},
      {ulink, "it is a symbolic link of user 12345"}, {dir.Join("open"), "every user may write it"},
      {dir.Join("missing"), ""},
  };
  for (const auto& [path, reason] : rows) EXPECT_EQ(Files().UntrustedBecause(path), reason) << path;

  fs::create_directories(dir.Join("a/b"));
  ::symlink("a/b", dir.Join("tlink").c_str());
  EXPECT_EQ(Files().ResolvePath(dir.path() + "/./a//b/../b/"), dir.Join("a/b"));
  EXPECT_EQ(Files().ResolvePath(dir.Join("tlink/../b")), dir.Join("a/b"));  // ".." of a/b
  EXPECT_EQ(Files().ResolvePath(dir.Join("a/new/x/../y")), dir.Join("a/new/y"));
  EXPECT_EQ(ErrorOf([&] { Files().ResolvePath(ulink); }), kErrPermission);
}

// Runs `steps` below `root`: "put F" writes the new version to F, "rm F"
// removes F, "mv A B" renames A to B, "ln A B" links the file A as B, and
// "sym T L" makes L a link to the folder T.
void RunSteps(const std::string& root, const std::string& steps) {
  std::istringstream in(steps);
  for (std::string op, a, b; in >> op >> a; b.clear()) {
    if (op != "put" && op != "rm") in >> b;
    const fs::path pa = root + "/" + a, pb = root + "/" + (b.empty() ? a : b);
    fs::create_directories(pb.parent_path());
    if (op == "put") test::WriteBytes(pa, "[s]\r\nk=new\r\n");
    if (op == "rm") fs::remove(pa);
    if (op == "mv") fs::rename(pa, pb);
    if (op == "ln") fs::create_hard_link(pa, pb);
    if (op == "sym") fs::create_directory_symlink(a, pb);
  }
}

// A lookup sees every change on disk, whoever made it, however it was made
// (a folder renamed above a watched file: within a second).
TEST(ProfileFreshness, EveryChangeIsSeenAtTheNextLookup) {
  test::TempDir dir;
  // Files read twice (so that their folders are watched where that can be
  // trusted), then changed by another program. They are old enough that
  // nothing but the change tells the versions apart: the kernel's time
  // stamps, which the reader compares, cannot be set back.
  test::FakeClock clock;  // a watched file is looked at again once a second
  platform::ScopedPlatform timed({.clock = &clock});
  // What, file, prepare, prepare just before reading, change, after, and
  // whether the change is seen only by that look.
  const char* cases[][7] = {
      {"written in place", "sub/f.ini", "", "", "put sub/f.ini", "new"},
      {"replaced by a rename", "sub/f.ini", "put sub/f.tmp", "", "mv sub/f.tmp sub/f.ini", "new"},
      {"deleted", "sub/f.ini", "", "", "rm sub/f.ini", "d"},
      {"another folder renamed into its place", "sub/f.ini", "put next/f.ini", "",
       "mv sub old mv next sub", "new"},
      {"written under its second name", "sub/f.ini", "ln sub/f.ini other/g.ini", "",
       "put other/g.ini", "new"},
      // A fresh link count: the lookups read the file again, not stat() it.
      {"written under a second name just made", "sub/f.ini", "", "ln sub/f.ini other/g.ini",
       "put other/g.ini", "new"},
      {"linked folder pointed elsewhere", "link/f.ini", "put next/f.ini sym sub link", "",
       "sym next link2 mv link2 link", "new"},
      // A dot after a link names the link's target, whose watch misses
      // the link's change.
      {"linked folder with a dot pointed elsewhere", "link/./f.ini", "put next/f.ini sym sub link",
       "", "sym next link2 mv link2 link", "new"},
      {"a folder above renamed", "up/sub/f.ini", "mv sub up/sub put next/sub/f.ini", "",
       "mv up gone mv next up", "new", "late"},
  };
  for (const auto& c : cases) {
    fs::create_directories(dir.Join(c[0]) + "/sub");
    test::WriteBytes(dir.Join(c[0]) + "/sub/f.ini", "[s]\r\nk=old\r\n");
    RunSteps(dir.Join(c[0]), c[2]);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  for (const auto& c : cases) {
    const std::string path = dir.Join(c[0]) + "/" + c[1];
    RunSteps(dir.Join(c[0]), c[3]);
    ASSERT_EQ(Get("k", path), "old") << c[0];
    ASSERT_EQ(Get("k", path), "old") << c[0];
    EXPECT_TRUE(Succeeded(Child([&] { return RunSteps(dir.Join(c[0]), c[4]), true; })));
    if (c[6]) clock.Advance(1000);
    EXPECT_EQ(Get("k", path, "d"), c[5]) << c[0];
  }

  // A batch reads as of one moment: it sees no change until it ends; the
  // service's own writes count at once.
  const std::string b = dir.Join("b.ini");
  test::WriteBytes(b, "[s]\r\nk=old\r\n");
  ASSERT_EQ(Get("k", b), "old");
  {
    platform::ProfileBatch line;
    ASSERT_EQ(Get("k", b), "old");
    EXPECT_TRUE(Succeeded(Child([&] { return test::WriteBytes(b, "[s]\r\nk=new\r\n"), true; })));
    platform::ProfileBatch nested;
    EXPECT_EQ(Get("k", b), "old");
  }
  EXPECT_EQ(Get("k", b), "new");
  // So does a file that is not watched (a "." on its path); the next batch
  // and the next lookup outside one look at it again.
  const std::string c = dir.path() + "/./c.ini";
  test::WriteBytes(c, "[s]\r\nk=1\r\n");
  {
    platform::ProfileBatch first;
    ASSERT_EQ(Get("k", c), "1");
    test::WriteBytes(c, "[s]\r\nk=22\r\n");
    EXPECT_EQ(Get("k", c), "1");
  }
  {
    platform::ProfileBatch second;
    EXPECT_EQ(Get("k", c), "22");
  }
  test::WriteBytes(c, "[s]\r\nk=333\r\n");
  EXPECT_EQ(Get("k", c), "333");
  platform::ProfileBatch line;
  ASSERT_TRUE(Write("s", "k", "own", b));
  EXPECT_EQ(Get("k", b), "own");
}

}  // namespace
}  // namespace qs
#endif
