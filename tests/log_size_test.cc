// CheckLogFileSize and GetDiskFree: where the cut falls, what a failing read
// or rewrite leaves, the notices, the disk guard's threshold, and the tail
// the cut reads.
#include <gtest/gtest.h>

#include <filesystem>

#include "logging/mod_size.h"
#include "tests/log_fixture.h"

#ifndef _WIN32
#include <sys/stat.h>
#else
#include <windows.h>
#endif

namespace qs {
namespace {

// Lines `from` to `to` - 1 of a job log, 100 bytes each with their CR LF.
std::string Lines(int from, int to) {
  std::string out;
  for (int i = from; i < to; ++i) {
    std::string text = "line " + std::to_string(i) + " ";
    out += text + std::string(98 - text.size(), '.') + "\r\n";
  }
  return out;
}

class LogSizeTest : public test::LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    job_log_ = dir_.Join("Sales_Log.txt");
    Values().sJobLogFile = job_log_;
    fs_.SetFreeBytes(1u << 30);  // plenty, unless a test says otherwise
    Form().tmrMain->SetEnabled(true);
  }
  void TearDown() override {
    Form().tmrMain->SetEnabled(false);
    LogTest::TearDown();
  }
  std::string JobLog() const { return test::ReadBytes(job_log_); }
  std::string DefaultLogOrNone() const {
    return test::Exists(default_log_) ? DefaultLog() : "";
  }
  // The size notice as it reaches the default log with no date or time.
  static std::string CutNotice(const std::string& kb) {
    std::string t21 = texts::German(texts::kLogCut);
    t21.pop_back();  // the lookup drops the default's trailing blank
    return "NT-Service: " + t21 + " " + kb + " KB\r\n";
  }

  std::string job_log_;
};

TEST_F(LogSizeTest, CutFallsAfterTheFirstLineEndOfTheKeptTail) {
  struct Row {
    const char* what;
    std::string before, after;
  } rows[] = {
      {"exactly the limit", Lines(0, 10) + std::string(24, 'x'),
       Lines(0, 10) + std::string(24, 'x')},
      // 2000 bytes: the last 1024 start inside line 9.
      {"partial first line dropped", Lines(0, 20), Lines(10, 20)},
      // The tail starts a line; that whole line goes all the same.
      {"tail starts at a line start",
       Lines(0, 5) + Lines(10, 20) + std::string(22, 'e') + "\r\n",
       Lines(11, 20) + std::string(22, 'e') + "\r\n"},
      {"no CR LF: only the first character goes",
       "a\r\n" + std::string(1100, 'x'), std::string(1023, 'x')},
      {"only CR LF at the end: nothing is left",
       std::string(1100, 'y') + "\r\n", ""},
      // The tail starts with the LF of a CR LF: no line end there.
      {"CR of a pair just outside the tail",
       std::string(100, 'z') + "\r\n" + std::string(1000, 'w') + "\r\n" +
           std::string(21, 'v'),
       std::string(21, 'v')},
  };
  SetMainIni("[Options]\r\nLogSize=1\r\nWriteLog=0\r\n");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    test::WriteBytes(job_log_, r.before);
    EXPECT_TRUE(Form().CheckLogFileSize());
    EXPECT_EQ(JobLog(), r.after);
  }
#ifndef _WIN32
  // A new file renamed over the old one, never the old one rewritten in
  // place, and no temporary file stays behind.
  struct stat before, after;
  test::WriteBytes(job_log_, Lines(0, 20));
  ASSERT_EQ(::stat(job_log_.c_str(), &before), 0);
  Form().CheckLogFileSize();
  ASSERT_EQ(::stat(job_log_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    files += e.is_regular_file();
  }
  EXPECT_EQ(files, 1);
#endif
  EXPECT_TRUE(ui_.boxes.empty());
  for (std::uint64_t n : fs_.read_tail_sizes) EXPECT_EQ(n, 1024u);
}

TEST_F(LogSizeTest, LimitIsLogSizeKilobytesOrOffAndWriteLogRulesTheNotice) {
  struct Row {
    std::string log_size, write_log;
    bool cut;
    std::string notice;
  } rows[] = {
      {"1", "1", true, CutNotice("1")},   {" 1 ", "1", true, CutNotice("1")},
      {"&H1", "1", true, CutNotice("1")}, {"1", "2", true, ""},
      {"1.5", "1", false, ""},            {"0", "1", false, ""},
      {"-1", "1", false, ""},             {"1 KB", "1", false, ""},
      {"2097152", "1", false, ""},
  };
  // 2000 bytes: over a limit of 1 KB, under one of 2 KB.
  for (const Row& r : rows) {
    SCOPED_TRACE("LogSize=" + r.log_size + " WriteLog=" + r.write_log);
    std::filesystem::remove(default_log_);
    SetMainIni(Options(r.write_log, "LogSize=" + r.log_size + "\r\n"));
    test::WriteBytes(job_log_, Lines(0, 20));
    EXPECT_TRUE(Form().CheckLogFileSize());
    EXPECT_EQ(JobLog(), r.cut ? Lines(10, 20) : Lines(0, 20));
    EXPECT_EQ(DefaultLogOrNone(), r.notice);
  }
  // No key: 100 KB. 102500 bytes keep their last 102400, which start with
  // line 1; that line goes with the first CR LF.
  SetMainIni(Options("0"));
  test::WriteBytes(job_log_, Lines(0, 1025));
  Form().CheckLogFileSize();
  EXPECT_EQ(JobLog(), Lines(2, 1025));
  // No job log, or one not made yet: nothing is made.
  SetMainIni(Options("1", "LogSize=1\r\n"));
  std::filesystem::remove(default_log_);
  for (std::string file : {std::string(), dir_.Join("not yet.txt")}) {
    Values().sJobLogFile = file;
    EXPECT_TRUE(Form().CheckLogFileSize());
    EXPECT_FALSE(test::Exists(dir_.Join("not yet.txt")));
    EXPECT_FALSE(test::Exists(default_log_));
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogSizeTest, NoticeLandsAfterTheCutWhenTheJobLogIsTheDefaultLog) {
  SetMainIni(Options("1", "LogSize=1\r\n[ErrWin]\r\nShowTime=1\r\n"));
  Values().sJobLogFile = default_log_;
  test::WriteBytes(default_log_, Lines(0, 20));
  EXPECT_TRUE(Form().CheckLogFileSize());
  // The notice's own CR LF puts the head and tag on a line of their own.
  EXPECT_EQ(DefaultLog(), Lines(10, 20) + "19:36:13 - " + CutNotice("1"));
}

TEST_F(LogSizeTest, FailedReadOrRewriteLeavesTheLogWholeAndStillNotes) {
  SetMainIni(Options("1", "LogSize=1\r\n"));
  struct Row {
    const char* what;
    std::int32_t read_error, replace_error;
    bool read_only;
  } rows[] = {{"read fails", kErrPermission, 0, false},
              {"rewrite fails", 0, kErrPermission, false},
              {"read-only log", 0, 0, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::filesystem::remove(default_log_);
    std::filesystem::remove(job_log_);
    fs_.read_tail_error = r.read_error;
    fs_.replace_error = r.replace_error;
    test::WriteBytes(job_log_, Lines(0, 20));
    if (r.read_only) {
      std::filesystem::permissions(job_log_,
                                   std::filesystem::perms::owner_read);
    }
    EXPECT_TRUE(Form().CheckLogFileSize());
    EXPECT_EQ(JobLog(), Lines(0, 20));
    EXPECT_EQ(DefaultLog(), CutNotice("1"));
  }
  // The statements fail one by one; nothing reaches the error report.
  EXPECT_TRUE(ui_.boxes.empty());
}

// --- the disk guard --------------------------------------------------------

#ifndef _WIN32
TEST_F(LogSizeTest, DiskGuardStopsTheCycleStrictlyBelowTenMegabytes) {
  SetMainIni(Options("1", "LogSize=0\r\n"));
  auto notice = [&](const std::string& mb) {
    return "NT-Service: Fehler: " + texts::German(texts::kDiskFull) +
           " Freier Speicher auf Laufwerk " + bin_ + test::Sep() + " - " +
           mb + "MB. \r\n";
  };
  struct Row {
    std::uint64_t free;
    bool stops;
    std::string mb;
  } rows[] = {
      {10485760, false, ""}, {10485759, true, "9"}, {2 * 1048576 - 1, true, "1"},
      {1048575, true, ""},   {0, true, ""},
      {0xFFFFFFFFull, false, ""},  // over 2147483647: capped, never low
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.free);
    std::filesystem::remove(default_log_);
    Form().tmrMain->SetEnabled(true);
    fs_.SetFreeBytes(r.free);
    EXPECT_EQ(Form().CheckLogFileSize(), !r.stops);
    EXPECT_EQ(Form().tmrMain->Enabled(), !r.stops);
    EXPECT_EQ(DefaultLogOrNone(), r.stops ? notice(r.mb) : "");
  }
  EXPECT_EQ(fs_.roots_asked.back(), bin_);  // the program's own folder
  // An unreachable folder or a failed query stops the cycle too.
  std::filesystem::remove(default_log_);
  fs_.folder_exists = [](const std::string&) { return false; };
  fs_.roots_asked.clear();
  Form().tmrMain->SetEnabled(true);
  EXPECT_FALSE(Form().CheckLogFileSize());
  EXPECT_FALSE(Form().tmrMain->Enabled());
  EXPECT_TRUE(fs_.roots_asked.empty());
  fs_.folder_exists = nullptr;
  fs_.query_fails = true;
  Form().tmrMain->SetEnabled(true);
  EXPECT_FALSE(Form().CheckLogFileSize());
  EXPECT_FALSE(Form().tmrMain->Enabled());
  EXPECT_EQ(DefaultLog(), notice("") + notice(""));
  EXPECT_TRUE(ui_.boxes.empty());
}
#endif

TEST_F(LogSizeTest, NoDiskSizeCheckIsReadFromTheProductFoldersMainIni) {
  fs_.SetFreeBytes(0);
  // Switched off in another main INI (the service INI's): the guard runs.
  test::TempDir other;
  Form().m_sIniStr = other.Join("Quillon.ini");
  test::WriteBytes(Form().m_sIniStr,
                   "[Options]\r\nLogSize=0\r\n[JobWin]\r\nNoDiskSizeCheck=1\r\n");
  // Only exactly "1" in the product folder's switches it off.
  for (std::string value : {"0", "01", "yes", " 1x", "1"}) {
    SCOPED_TRACE(value);
    Form().tmrMain->SetEnabled(true);
    SetMainIni("[Options]\r\nLogSize=0\r\n[JobWin]\r\nNoDiskSizeCheck=" +
               value + "\r\n");
    EXPECT_EQ(Form().CheckLogFileSize(), value == "1");
    EXPECT_EQ(Form().tmrMain->Enabled(), value == "1");
  }
}

TEST(GetDiskFree, RealFileSystem) {
  test::TempDir dir;
  platform::FileSystem& fs = platform::OsFileSystem();
#ifndef _WIN32
  EXPECT_GT(modSize::GetDiskFree(fs, dir.path()), 0);
  EXPECT_EQ(modSize::GetDiskFree(fs, dir.Join("missing")), -1);
  EXPECT_EQ(modSize::GetDiskFree(fs, ""), -1);
#else
  // The drive is made current for the query, and the folder before it
  // current again: the test's drive, and another one (Wine's Z:).
  char before[MAX_PATH] = {}, after[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, before);
  for (std::string drive : {std::string(dir.path(), 0, 2), std::string("Z:")}) {
    EXPECT_GT(modSize::GetDiskFree(fs, drive), 0) << drive;
    ::GetCurrentDirectoryA(MAX_PATH, after);
    EXPECT_STREQ(after, before);
  }
#endif
}

// Drive names as they come from a system with drive letters.
TEST(GetDiskFree, DriveNamesAreCutToALetterAndAColon) {
  test::FakeFileSystem fake;
  fake.separator = '\\';
  fake.folder_exists = [](const std::string& root) {
    return root == "C:" || root == "D:";
  };
  fake.SetFreeBytes(123456);
  struct Row {
    std::string drive;
    std::int32_t result;
    std::string root;
  } rows[] = {
      {"c:", 123456, "C:"},
      {"d", 123456, "D:"},
      {"C:\\Programme", 123456, "C:"},
      {"\\\\server\\share", -1, ""},  // becomes "\:" and names no drive
      {"E:", -1, ""},
      {"", -1, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.drive);
    fake.roots_asked.clear();
    EXPECT_EQ(modSize::GetDiskFree(fake, r.drive), r.result);
    EXPECT_EQ(fake.roots_asked.empty() ? "" : fake.roots_asked[0], r.root);
  }
  // The product of the counts in 32 bits: capped when it overflows.
  fake.sectors_per_cluster = 8;
  fake.bytes_per_sector = 512;
  fake.free_clusters = 524287;  // 2147479552 bytes
  EXPECT_EQ(modSize::GetDiskFree(fake, "C:"), 2147479552);
  fake.free_clusters = 524288;  // 2147483648 bytes
  EXPECT_EQ(modSize::GetDiskFree(fake, "C:"), 2147483647);
  fake.query_fails = true;
  EXPECT_EQ(modSize::GetDiskFree(fake, "C:"), 0);
}

TEST(FileSystemTail, ReadsOnlyTheLastBytes) {
  test::TempDir dir;
  platform::FileSystem& fs = platform::OsFileSystem();
  std::string f = dir.Join("log.txt");
  test::WriteBytes(f, "0123456789");
  EXPECT_EQ(fs.ReadTail(f, 0), "");
  EXPECT_EQ(fs.ReadTail(f, 4), "6789");
  EXPECT_EQ(fs.ReadTail(f, 1000), "0123456789");
  EXPECT_EQ(test::ErrorOf([&] { fs.ReadTail(dir.Join("none.txt"), 4); }),
            kErrFileNotFound);
}

}  // namespace
}  // namespace qs
