// The POSIX file layer where only the real thing will do: links and odd
// files planted where the service writes, a full disk (a 1 MB tmpfs),
// writers killed in the middle, two writers at once, another user's rights.
// The cases that need root (mounting, other owners) are skipped without it.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using test::ErrorOf;
constexpr uid_t kOtherUser = 12345;

platform::FileSystem& Files() { return platform::OsFileSystem(); }

bool Write(const char* section, const char* key, const char* value, const std::string& file) {
  return platform::Current().profile->WritePrivateProfileString(section, key, value,
                                                               file.c_str());
}

std::string Get(const char* key, const std::string& file) {
  char buf[8192];
  std::uint32_t n = platform::Current().profile->GetPrivateProfileString("s", key, "", buf,
                                                                        sizeof buf, file.c_str());
  return std::string(buf, n);
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs `body` in a child process; true when it returned true.
bool InChild(const std::function<bool()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
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
  struct Row {
    const char* what;
    std::function<std::string(const std::string& name)> plant;  // the path to write
  } rows[] = {
      {"link to another file", [&](auto& n) { return ::symlink(victim.c_str(), n.c_str()), n; }},
      {"dangling link", [&](auto& n) { return ::symlink("nowhere", n.c_str()), n; }},
      {"named pipe", [&](auto& n) { return ::mkfifo(n.c_str(), 0666), n; }},
      {"second name of another file", [&](auto& n) { return ::link(victim.c_str(), n.c_str()), n; }},
      {"another user's link on the way", [&](auto& n) { return ulink + "/" + fs::path(n).filename().string(); }},
  };
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> writes = {
      {"append", [](auto& p) { Files().AppendText(p, "x\r\n"); }},
      {"append or create", [](auto& p) { Files().AppendOrCreateText(p, "x\r\n"); }},
      {"replace", [](auto& p) { Files().ReplaceFile(p, "x"); }},
      {"create", [](auto& p) { Files().CreateTextFile(p, true); }},
  };
  int n = 0;
  for (const Row& r : rows) {
    for (const auto& [op, write] : writes) {
      SCOPED_TRACE(std::string(r.what) + ", " + op);
      const std::string path = r.plant(logs + "/log" + std::to_string(++n) + ".txt");
      EXPECT_NE(ErrorOf([&] { write(path); }), 0);
      EXPECT_EQ(test::ReadBytes(victim), "root only\n");
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

class FullDisk : public testing::Test {
 protected:
  void SetUp() override {
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "no tmpfs to mount";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  // Fills the disk, then frees `keep` bytes.
  void Fill(off_t keep) {
    const std::string filler = dir_.Join("filler");
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    std::string block(65536, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::ftruncate(fd, ::lseek(fd, 0, SEEK_CUR) - keep);
    ::close(fd);
  }
  test::TempDir dir_;
  bool mounted_ = false;
};

// A line that does not fit is taken back whole; a rewrite that does not fit
// leaves the old file and no temporary one.
TEST_F(FullDisk, LeavesLogsAndIniFilesWhole) {
  const std::string log = dir_.Join("DefaultLog.txt"), ini = dir_.Join("Quillon.ini");
  test::WriteBytes(log, "line 1\r\n");
  test::WriteBytes(ini, "[s]\r\nk=1\r\n");
  Fill(16384);
  const std::string big(65536, 'x');
  EXPECT_EQ(ErrorOf([&] { Files().AppendText(log, big + "\r\n"); }), kErrDiskFull);
  EXPECT_EQ(test::ReadBytes(log), "line 1\r\n");
  EXPECT_EQ(ErrorOf([&] { Files().ReplaceFile(log, big); }), kErrDiskFull);
  EXPECT_FALSE(Write("s", "k", big.c_str(), ini));
  EXPECT_EQ(test::ReadBytes(ini), "[s]\r\nk=1\r\n");
  EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"DefaultLog.txt", "Quillon.ini", "filler"}));
}

// Killed at any moment, a writer leaves the old file or the new one, never
// an empty or a half one; the temporary files of killed writers go with a
// later write once they are stale, unless a writer still holds them.
TEST(FileSafety, KilledWritersLeaveWholeIniFiles) {
  test::TempDir dir;
  const std::string ini = dir.Join("q.ini");
  auto value = [](int n) { return std::string(3000 + n % 5 * 1000, static_cast<char>('0' + n % 10)); };
  ASSERT_TRUE(Write("s", "k", value(0).c_str(), ini));
  std::mt19937 random(7);
  int broken = 0;
  for (int round = 0; round < 100; ++round) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int n = 1;; ++n) Write("s", "k", value(n).c_str(), ini);
    }
    ::usleep(random() % 3000);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const std::string v = Get("k", ini);
    broken += v.size() < 3000 || v.find_first_not_of(v[0]) != std::string::npos ||
              test::ReadBytes(ini) != "[s]\r\nk=" + v + "\r\n";
  }
  EXPECT_EQ(broken, 0);

  // Leftovers: aged, one of them still held by a writer; a fresh one and
  // another file's are not this write's to remove.
  for (const char* t : {".q.ini.qsheld00", ".q.ini.qsfresh0", ".o.ini.qsother0", ".q.ini.qsstale0"}) {
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
            (std::vector<std::string>{".o.ini.qsother0", ".q.ini.qsfresh0", ".q.ini.qsheld00", "q.ini"}));
}

// Two writers of ours on one file, each adding its own keys: none is lost.
TEST(FileSafety, WritersOfOursNeverLoseAnUpdate) {
  test::TempDir dir;
  const std::string ini = dir.Join("q.ini");
  std::vector<pid_t> writers;
  for (char who : {'a', 'b'}) {
    pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < 300; ++i) Write("s", (who + std::to_string(i)).c_str(), "1", ini);
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);
  int lost = 0;
  for (char who : {'a', 'b'}) {
    for (int i = 0; i < 300; ++i) lost += Get((who + std::to_string(i)).c_str(), ini) != "1";
  }
  EXPECT_EQ(lost, 0);
}

// No line of a caller's choosing, and no rewriting in place when the folder
// takes no temporary file: the write is refused and the file stays.
TEST(FileSafety, IniWritesRefuseLineBreaksAndReadOnlyFolders) {
  test::TempDir dir;
  const std::string ini = dir.Join("q.ini");
  test::WriteBytes(ini, "[s]\r\nk=1\r\n");
  EXPECT_FALSE(Write("s", "k", "x\r\nNoDiskSizeCheck=1", ini));
  EXPECT_FALSE(Write("s\n[JobWin]", "k", "1", ini));
  EXPECT_FALSE(Write("s", "k\r", "1", ini));
  EXPECT_EQ(test::ReadBytes(ini), "[s]\r\nk=1\r\n");
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ::chmod(ini.c_str(), 0666);
  EXPECT_TRUE(InChild([&] {
    if (::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
        ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0) {
      return false;
    }
    return !Write("s", "k", "2", ini) && errno == EACCES;
  }));
  EXPECT_EQ(test::ReadBytes(ini), "[s]\r\nk=1\r\n");
}

// Who may change a job file, and where a path really leads.
TEST(FileSafety, TrustAndResolvedPaths) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for other owners";
  test::TempDir dir;
  auto make = [&](const std::string& name, mode_t mode, uid_t owner) {
    const std::string p = dir.Join(name);
    test::WriteBytes(p, "[Job]\r\n");
    ::chmod(p.c_str(), mode);
    ::chown(p.c_str(), owner, 0);
    return p;
  };
  const std::string ulink = dir.Join("ulink");
  ::symlink(make("good", 0644, 0).c_str(), ulink.c_str());
  ::lchown(ulink.c_str(), kOtherUser, kOtherUser);
  fs::create_directory(dir.Join("open"));
  ::chmod(dir.Join("open").c_str(), 0777);
  struct Row {
    std::string path, reason;
  } rows[] = {
      {dir.Join("good"), ""},
      {make("group", 0664, 0), "group 0 may write it"},
      {make("world", 0646, 0), "every user may write it"},
      {make("theirs", 0644, kOtherUser), "it belongs to user 12345"},
      {ulink, "it is a symbolic link of user 12345"},
      {dir.Join("open"), "every user may write it"},
      {dir.Join("missing"), ""},
  };
  for (const Row& r : rows) EXPECT_EQ(Files().UntrustedBecause(r.path), r.reason) << r.path;

  fs::create_directories(dir.Join("a/b"));
  ::symlink("a", dir.Join("tlink").c_str());
  EXPECT_EQ(Files().ResolvePath(dir.path() + "/./a//b/../b/"), dir.Join("a/b"));
  EXPECT_EQ(Files().ResolvePath(dir.Join("tlink/b")), dir.Join("a/b"));
  EXPECT_EQ(Files().ResolvePath(dir.Join("a/new/x/../y")), dir.Join("a/new/y"));
  EXPECT_EQ(ErrorOf([&] { Files().ResolvePath(ulink); }), kErrPermission);
}

}  // namespace
}  // namespace qs
#endif
