// The form's log procedures on an in-memory disk: the line head and which
// log a line reaches (WriteLog, WriteWLog), the job log's folder and name
// (PrepareLog), the size limit and the disk guard (CheckLogFileSize,
// GetDiskFree), and what a full disk or a missing or read-only log does.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "logging/mod_size.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/mem_file_system.h"
#include "tests/mem_profile.h"

namespace qs {
namespace {

using namespace std::string_literals;
constexpr bool kOn = true, kOff = false;

// The product folder of FakeProcess's program, which lies in its bin/.
const std::string kProduct = "/opt/Quillon Pro/";
const std::string kMainIni = kProduct + "Quillon.ini";
const std::string kLogs = kProduct + "logs/";
const std::string kDefaultLog = kLogs + "DefaultLog.txt";
const std::string kJobLog = kLogs + "Sales_Log.txt";

// The main INI's "[Options]" with "WriteLog" and more lines.
std::string Options(const std::string& write_log, const std::string& more = "") {
  return "[Options]\r\nWriteLog=" + write_log + "\r\n" + more;
}

// Lines `from` to `to` - 1 of a job log, 100 bytes each with their CR LF.
std::string Lines(int from, int to) {
  std::string out;
  for (int i = from; i < to; ++i) {
    out += ("line " + std::to_string(i) + " " + std::string(98, '.')).substr(0, 98) + "\r\n";
  }
  return out;
}

// The size notice as it reaches the default log with no date or time.
// (The lookup drops the text's trailing blank.)
std::string CutNotice(const std::string& kb) {
  const std::string& t21 = texts::German(texts::kLogCut);
  return "NT-Service: " + t21.substr(0, t21.size() - 1) + " " + kb + " KB\r\n";
}

class LogTest : public testing::Test {
 protected:
  LogTest() {
    modRavelinLITE::ResetForTest();
    for (const char* folder : {"bin", "logs"}) disk_.AddFolder(kProduct + folder);
    disk_.AddFile(kProduct + "jobs/Sales.qlj", "[Job]\r\nFrom=/from\r\nTo=/to\r\n");
    disk_.AddFile(kProduct + "jobs/Night.qlj", "[Job]\r\nFrom=/from/\r\n");
    form_.m_oFSO = &disk_;
    form_.m_sIniStr = Values().sIniFile = kMainIni;
    form_.m_sLogPrefix = "NT-Service:";
    Values().sJobsPath = kProduct + "jobs/";
    Values().sLogsPath = kLogs;
  }
  ~LogTest() override { modRavelinLITE::ResetForTest(); }

  void Ini(const std::string& text) { disk_.AddFile(kMainIni, text); }
  std::string Log(const std::string& path = kDefaultLog) const { return disk_.Read(path); }
  ProgramValues& Values() { return form_.values; }
  void Prepare(const std::string& job = "Sales") { form_.PrepareLog(job, job + ".qlj"); }
  // The i-th error report names `procedure` of frmMain.
  bool Reported(std::size_t i, const std::string& procedure) const {
    return i < ui_.boxes.size() &&
           ui_.boxes[i].text.find("module frmMain, " + procedure + ",") != std::string::npos;
  }

  test::MemFileSystem disk_;
  test::MemProfile profile_{disk_};
  test::FakeProcess process_;
  test::FakeUi ui_;
  test::FakeWindows windows_;
  test::FakeClock clock_;
  platform::ScopedPlatform scoped_{{.profile = &profile_, .clock = &clock_, .process = &process_,
                                    .windows = &windows_, .ui = &ui_}};
  std::unique_ptr<platform::MessageLoop> loop_ = test::LoopOn(clock_);
  frmMain form_{*loop_, disk_, Components{}};
};

// --- The log writer.

#ifndef _WIN32
// The system's clock, the service's, prints the locale's date and time, of
// the second it is asked in.
TEST(OsClock, DateAndTimeFollowTheLocale) {
  const std::string saved = std::setlocale(LC_TIME, nullptr);
  for (auto [locale, date] : {std::pair{"de_DE.UTF-8", R"(\d\d\.\d\d\.\d{4})"},
                              std::pair{"C", R"(\d\d/\d\d/\d\d)"}}) {
    EXPECT_TRUE(std::setlocale(LC_TIME, locale)) << locale << " is not installed (locale-gen it)";
    platform::Clock& clock = *platform::OsPlatform().clock;
    EXPECT_TRUE(std::regex_match(clock.ShortDateText() + " " + clock.TimeOfDayText(),
                                 std::regex(std::string(date) + R"( \d\d:\d\d:\d\d)")))
        << locale;
  }
  std::setlocale(LC_TIME, saved.c_str());
  const std::string before = platform::OsPlatform().clock->TimeOfDayText();
  const time_t start = ::time(nullptr);
  while (::time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_NE(platform::OsPlatform().clock->TimeOfDayText(), before);
}
#endif

// The line head is the date and time "ShowDate" and "ShowTime" ask for:
// only exactly "1" is on.
TEST_F(LogTest, MessagesAreTakenAsTheyAreOnlyWriteLogOneWritesTheDefaultLogEngineLinesTheJobLog) {
  Ini(Options("1", "[ErrWin]\r\nShowDate=01\r\nShowTime= 1x\r\n"));
  form_.WriteWLog("lost", kOn, kOn, kOn);  // an engine line before any job: nowhere
  form_.WriteLog("", kOff, kOn, kOff);
  form_.WriteLog("\r\nAchtung", kOff, kOn, kOff);
  form_.WriteLog("not written", kOn, kOff, kOn);
  form_.WriteLogFile("");  // an empty line is not even a line end
  platform::Notice("refused: a\nb");  // the administrator's notices too
  Values().sJobLogFile = kJobLog;
  form_.WriteWLogFile("");
  EXPECT_EQ(Log(), "NT-Service: \r\nNT-Service: \r\nAchtung\r\nNT-Service: refused: a\\nb\r\n");
  // Engine lines reach the job log whatever "WriteLog" says about the
  // default log; a file name's control characters are shown escaped, so one
  // with a line break of its own stays on its line.
  disk_.DeleteFile(kDefaultLog, true);
  Ini(Options("2", "[ErrWin]\r\nShowDate=1\r\n"));
  form_.WriteWLog("copied C:\\\xc3\xa4 1%\0\t\x7f\x1b[2J\r\n04.12.2026 - NT-Service: forged.txt"s,
                  kOff, kOn, kOff);
  form_.WriteWLog("view only", kOn, kOff, kOn);
  form_.WriteWLog("", kOff, kOn, kOff);
  EXPECT_EQ(Log(kJobLog),
            "04.12.2026 - NT-Service: copied C:\\\xc3\xa4 1%\\x00\\t\\x7F\\x1B[2J"
            "\\r\\n04.12.2026 - NT-Service: forged.txt\r\n"
            "04.12.2026 - NT-Service: \r\n");
  // The switch is read for each line.
  for (std::string ini : {Options("0"), Options("2"), Options("01"), Options(""), std::string()}) {
    Ini(ini);
    form_.WriteLog("x", kOn, kOn, kOff);
    platform::Notice("x");
    EXPECT_FALSE(disk_.Has(kDefaultLog)) << ini;
  }
  // Neither the logs folder of the start-up nor the main INI's folder
  // decides where: the program folder less "bin" does.
  disk_.AddFile("/elsewhere/Quillon.ini", Options("1"));
  form_.m_sIniStr = "/elsewhere/Quillon.ini";
  Values().sLogsPath = "/elsewhere/";
  form_.WriteLog("here", kOff, kOn, kOff);
  EXPECT_EQ(Log(), "NT-Service: here\r\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogTest, UnusableLogIsReportedAndTheNextLineTriesAgain) {
  Ini(Options("1"));
  disk_.AddFile(kDefaultLog, "old\r\n");
  disk_.capacity = 0;  // full: nothing of the line stays
  form_.WriteLog("lost", kOff, kOn, kOff);
  disk_.capacity = 1 << 20;
  form_.WriteLog("next", kOff, kOn, kOff);
  EXPECT_EQ(Log(), "old\r\nNT-Service: next\r\n");
  disk_.DeleteFile(kDefaultLog, true);  // deleted meanwhile: made again
  form_.WriteLog("again", kOff, kOn, kOff);
  EXPECT_EQ(Log(), "NT-Service: again\r\n");
  // No logs folder: the service never makes one.
  process_.exe = "/moved/bin/QuillonSrv";
  form_.WriteLog("x", kOff, kOn, kOff);
  EXPECT_FALSE(disk_.Has("/moved/logs"));
  Values().sJobLogFile = "/gone/job.txt";
  form_.WriteWLog("x", kOff, kOn, kOff);
  ASSERT_EQ(ui_.boxes.size(), 3u);
  EXPECT_TRUE(Reported(0, "Sub WriteLogFile") && Reported(1, "Sub WriteLogFile") &&
              Reported(2, "Sub WriteWLogFile"));
}

// --- The job log.

TEST_F(LogTest, JobLogFolderAndNameForEverySetting) {
  const std::string stamped = "Sales_Log-04-12-2026_19-36-13.txt", keep = "<previous>";
  const std::string rows[][5] = {  // WriteLog, OverwriteLog, LogPath, job, log
      {"0", "1", "0", "Sales", ""}, {"1", "0", "9", "Sales", kDefaultLog},
      {"2", "x", "0", "Sales", kLogs + stamped}, {"2", "1", "1", "Sales", "/from/Sales_Log.txt"},
      {"2", "0", "2", "Sales", "/to/" + stamped},
      // A "From" that ends in a separator; no "To", no job file: the bare name.
      {"2", "1", "1", "Night", "/from/Night_Log.txt"}, {"2", "1", "2", "Ghost", "Ghost_Log.txt"},
      // Values outside the lists keep the previous job's log.
      {"2", "1", "3", "Sales", keep}, {"02", "1", "0", "Sales", keep},
  };
  for (const auto& [write_log, overwrite, log_path, job, log] : rows) {
    Values().sJobLogFile = keep;
    Ini(Options(write_log, "OverwriteLog=" + overwrite + "\r\nLogPath=" + log_path));
    Prepare(job);
    EXPECT_EQ(Values().sJobLogFile, log) << write_log << "/" << overwrite << "/" << log_path;
  }
  // The clock's texts made fit for a file name; neither the date's nor the
  // time's rules touch the other's characters.
  Ini(Options("2", "OverwriteLog=0\r\nLogPath=0"));
  const std::string clocks[][3] = {  // date, time, the log's name
      {"12/4/2026", "7:36:13 PM", "Sales_Log-12-4-2026_7-36-13 PM.txt"},
      {"2026,12.04", "19;36:13", "Sales_Log-2026-12-04_19-36-13.txt"},
      {"4:12", "19.36,13/", "Sales_Log-4:12_19.36,13/.txt"},
  };
  for (const auto& [date, time, name] : clocks) {
    clock_.date = date;
    clock_.time = time;
    Prepare();
    EXPECT_EQ(Values().sJobLogFile, kLogs + name);
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogTest, FixedNameStartsEachRunAfreshOtherLogsAreKept) {
  const std::string stamped = kLogs + "Sales_Log-04-12-2026_19-36-13.txt";
  for (const std::string& log : {kJobLog, stamped, kDefaultLog}) disk_.AddFile(log, "run 1\r\n");
  disk_.SetReadOnly(kJobLog, true);  // deleted all the same
  Ini(Options("2", "OverwriteLog=1\r\nLogPath=0"));
  Prepare();
  EXPECT_FALSE(disk_.Has(kJobLog));
  // The same name a second later, and the shared default log: never deleted.
  Ini(Options("2", "OverwriteLog=0\r\nLogPath=0"));
  Prepare();
  Ini(Options("1", "OverwriteLog=1\r\nLogPath=0"));
  Prepare();
  EXPECT_EQ(Log(stamped) + Log(), "run 1\r\nrun 1\r\n");
  // A previous log that cannot be deleted: reported, the last log stays in use.
  disk_.AddFile(kJobLog, "run 2\r\n");
  disk_.FailAt(test::MemFileSystem::Op::kDelete, 1, kErrPermission);
  Values().sJobLogFile = "previous.txt";
  Ini(Options("2", "OverwriteLog=1\r\nLogPath=0"));
  Prepare();
  EXPECT_EQ(Values().sJobLogFile, "previous.txt");
  EXPECT_EQ(Log(kJobLog), "run 2\r\n");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(Reported(0, "Sub PrepareLog"));
}

// --- The size limit and the disk guard.

TEST_F(LogTest, CutFallsAfterTheFirstLineEndOfTheKeptTailAndLogSizeAndWriteLogRuleIt) {
  const std::string x(1100, 'x'), e22 = std::string(22, 'e') + "\r\n";
  const std::string rows[][3] = {  // what, the log before, the log after
      {"exactly the limit", Lines(0, 10) + x.substr(0, 24), Lines(0, 10) + x.substr(0, 24)},
      // The tail starts a line; that whole line goes all the same.
      {"tail starts at a line start", Lines(0, 5) + Lines(10, 20) + e22, Lines(11, 20) + e22},
      {"no CR LF: only the first character goes", "a\r\n" + x, x.substr(0, 1023)},
      {"only CR LF at the end: nothing is left", x + "\r\n", ""},
      // The tail starts with the LF of a CR LF: no line end there.
      {"CR of a pair just outside the tail",
       x.substr(0, 100) + "\r\n" + x.substr(0, 1000) + "\r\n" + x.substr(0, 21), x.substr(0, 21)},
  };
  Ini("[Options]\r\nLogSize=1\r\nWriteLog=0\r\n");
  Values().sJobLogFile = kJobLog;
  for (const auto& [what, before, after] : rows) {
    disk_.AddFile(kJobLog, before);
    EXPECT_TRUE(form_.CheckLogFileSize()) << what;
    disk_.Crash();  // the cut is one atomic, durable replace
    EXPECT_EQ(Log(kJobLog), after) << what;
  }
  // LogSize, WriteLog, what fails ("read", "rewrite"), the notice ("-": no cut)
  const std::string limits[][4] = {
      {"1", "1", "", CutNotice("1")}, {"&H1", "1", "", CutNotice("1")},
      {"1", "2", "", ""}, {"1.5", "1", "", "-"},
      {"0", "1", "", "-"}, {"-1", "1", "", "-"}, {"1 KB", "1", "", "-"}, {"2097152", "1", "", "-"},
      // A failed read or rewrite leaves the log whole, and still notes.
      {"1", "1", "read", CutNotice("1")}, {"1", "1", "rewrite", CutNotice("1")},
  };
  // 2000 bytes: over a limit of 1 KB (the last 1024 start inside line 9),
  // under one of 2 KB.
  for (const auto& [log_size, write_log, fault, notice] : limits) {
    disk_.AddFile(kDefaultLog, "");
    Ini(Options(write_log, "LogSize=" + log_size + "\r\n"));
    disk_.AddFile(kJobLog, Lines(0, 20));
    if (fault == "read") disk_.FailAt(test::MemFileSystem::Op::kRead, 1, kErrPermission);
    disk_.SetReadOnly(kJobLog, fault == "rewrite");
    EXPECT_TRUE(form_.CheckLogFileSize());
    const bool cut = notice != "-" && fault.empty();
    EXPECT_EQ(Log(kJobLog), cut ? Lines(10, 20) : Lines(0, 20)) << log_size << " " << fault;
    EXPECT_EQ(Log(), notice == "-" ? "" : notice) << log_size << " " << fault;
  }
  // When the job log is the default log, the notice lands after the cut;
  // its own CR LF puts the head and tag on a line of their own.
  Ini(Options("1", "LogSize=1\r\n[ErrWin]\r\nShowTime=1\r\n"));
  Values().sJobLogFile = kDefaultLog;
  disk_.AddFile(kDefaultLog, Lines(0, 20));
  EXPECT_TRUE(form_.CheckLogFileSize());
  EXPECT_EQ(Log(), Lines(10, 20) + "19:36:13 - " + CutNotice("1"));
  // The statements fail one by one; nothing reaches the error report.
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogTest, DiskGuardStopsTheCycleStrictlyBelowTenMegabytes) {
  Ini(Options("1", "LogSize=0\r\n[ErrWin]\r\nShowDate=1\r\nShowTime=1\r\n"));
  const std::string folder = kProduct + "bin/ - ";
  // Free bytes, and the notice's MB ("-": the cycle goes on). Over
  // 2147483647 bytes are 2147483647, never low. The notice's head shows
  // the date before the time.
  const std::pair<std::int64_t, std::string> rows[] = {
      {10485760, "-"}, {10485759, "9"}, {2 * 1048576 - 1, "1"}, {1048575, ""}, {0xFFFFFFFFll, "-"},
  };
  for (const auto& [free, mb] : rows) {
    disk_.AddFile(kDefaultLog, "");
    form_.tmrMain->SetEnabled(true);
    disk_.capacity -= disk_.Free() - free;
    EXPECT_EQ(form_.CheckLogFileSize(), mb == "-") << free;
    EXPECT_EQ(form_.tmrMain->Enabled(), mb == "-");
    EXPECT_EQ(Log(), mb == "-" ? ""
                               : "04.12.2026 19:36:13 - NT-Service: Fehler: " +
                                     texts::German(texts::kDiskFull) +
                                     " Freier Speicher auf Laufwerk " + folder + mb + "MB. \r\n");
  }
  // The program's own folder is measured; one that cannot be reached stops
  // the cycle too (the disk's names tell letter case apart).
  process_.exe = kProduct + "BIN/QuillonSrv";
  EXPECT_FALSE(form_.CheckLogFileSize());
  EXPECT_TRUE(ui_.boxes.empty());

  // Only exactly "1" in the product folder's main INI switches it off; the
  // service INI's main INI does not.
  disk_.AddFile("/other/Quillon.ini", "[Options]\r\nLogSize=0\r\n[JobWin]\r\nNoDiskSizeCheck=1");
  form_.m_sIniStr = "/other/Quillon.ini";
  for (std::string value : {"0", "01", "yes", " 1x", "1"}) {
    Ini("[Options]\r\nLogSize=0\r\n[JobWin]\r\nNoDiskSizeCheck=" + value + "\r\n");
    EXPECT_EQ(form_.CheckLogFileSize(), value == "1") << value;
  }
}

// Drive names as they come from a system with drive letters.
TEST(GetDiskFree, DriveNamesAreCutToALetterAndAColon) {
  struct : test::MemFileSystem {
    char Separator() const override { return '\\'; }
  } disk;
  for (const char* drive : {"C:", "D:"}) disk.AddFolder(drive);
  disk.capacity = 123456;
  const std::pair<std::string, std::int32_t> rows[] = {
      {"c:", 123456}, {"d", 123456}, {"C:\\Programme", 123456}, {"E:", -1}, {"", -1},
      {"\\\\server\\share", -1},  // becomes "\:" and names no drive
  };
  for (const auto& [drive, free] : rows) {
    EXPECT_EQ(modSize::GetDiskFree(disk, drive), free) << drive;
  }
}

}  // namespace
}  // namespace qs
