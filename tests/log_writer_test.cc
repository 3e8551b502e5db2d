// The log writer: line format for every switch and two real locales, which
// log a line reaches, and what happens when the log or its folder is not
// usable.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/log_fixture.h"

namespace qs {
namespace {

using test::LogTest;

constexpr bool kOn = true, kOff = false;

bool HasReport(const std::vector<std::string>& reports,
               const std::string& proc) {
  for (const auto& r : reports) {
    if (r.find("module frmMain, " + proc + ",") != std::string::npos)
      return true;
  }
  return false;
}

TEST_F(LogTest, LineHeadFollowsShowDateAndShowTimeExactly) {
  struct Row {
    std::string show_date, show_time, line;
  } rows[] = {
      {"1", "1", "04.12.2026 19:36:13 - NT-Service: Start\r\n"},
      {"1", "0", "04.12.2026 - NT-Service: Start\r\n"},
      {"0", "1", "19:36:13 - NT-Service: Start\r\n"},
      {"0", "0", "NT-Service: Start\r\n"},
      // Only the exact text "1" switches a field on.
      {"01", "yes", "NT-Service: Start\r\n"},
      {" 1x", "2", "NT-Service: Start\r\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.show_date + "/" + r.show_time);
    std::filesystem::remove(default_log_);
    SetMainIni(Options("1") + "[ErrWin]\r\nShowDate=" + r.show_date +
               "\r\nShowTime=" + r.show_time + "\r\n");
    Form().WriteLog("Start", kOn, kOn, kOff);
    EXPECT_EQ(DefaultLog(), r.line);
  }
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogTest, LineFormatUnderGermanAndCLocale) {
#ifdef _WIN32
  GTEST_SKIP() << "the regional settings of Windows are not a C locale";
#endif
  platform::ScopedPlatform real_clock({nullptr, nullptr,
                                       platform::OsPlatform().clock, nullptr,
                                       nullptr, nullptr});
  SetMainIni(Options("1") + "[ErrWin]\r\nShowDate=1\r\nShowTime=1\r\n");
  struct Row {
    const char* locale;
    const char* pattern;
  } rows[] = {
      {"de_DE.UTF-8",
       R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d - NT-Service: x\r\n)"},
      {"C", R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d - NT-Service: x\r\n)"},
  };
  for (const Row& r : rows) {
    test::ScopedTimeLocale locale(r.locale);
    if (!locale.ok()) {
      ADD_FAILURE() << "locale " << r.locale
                    << " is not installed (locale-gen it)";
      continue;
    }
    std::filesystem::remove(default_log_);
    Form().WriteLog("x", kOff, kOn, kOff);
    std::string line = DefaultLog();
    EXPECT_TRUE(std::regex_match(line, std::regex(r.pattern)))
        << r.locale << ": " << line;
  }
}

TEST_F(LogTest, MessageIsTakenAsItIs) {
  SetMainIni(Options("1"));
  Form().WriteLog("", kOff, kOn, kOff);
  Form().WriteLog("\r\nAchtung", kOff, kOn, kOff);
  Form().WriteLog("not written", kOn, kOff, kOn);
  Form().WriteLog("a\r\nb  ", kOff, kOn, kOff);
  const std::string written =
      "NT-Service: \r\nNT-Service: \r\nAchtung\r\nNT-Service: a\r\nb  \r\n";
  EXPECT_EQ(DefaultLog(), written);
  // A finished line that is empty is not written, not even as a line end.
  Form().WriteLogFile("");
  sJobLogFile = dir_.Join("job.txt");
  Form().WriteWLogFile("");
  EXPECT_FALSE(test::Exists(sJobLogFile));
  EXPECT_EQ(DefaultLog(), written);
}

TEST_F(LogTest, OnlyWriteLogOneWritesTheDefaultLog) {
  for (std::string value : {"0", "2", "01", "yes", ""}) {
    SetMainIni(Options(value));
    Form().WriteLog("x", kOn, kOn, kOff);
    EXPECT_FALSE(test::Exists(default_log_)) << value;
  }
  // No key at all: the default "0".
  SetMainIni("[ErrWin]\r\nShowDate=0\r\n");
  Form().WriteLog("x", kOn, kOn, kOff);
  EXPECT_FALSE(test::Exists(default_log_));
  // The setting counts from the next line on.
  SetMainIni(Options("1"));
  Form().WriteLog("y", kOn, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: y\r\n");
}

TEST_F(LogTest, DefaultLogLiesInTheProductFolderOfTheProgram) {
  // Neither the logs folder of the start-up nor the main INI's folder
  // decides: the program folder less "bin" does.
  test::TempDir elsewhere;
  std::string other_ini = elsewhere.Join("Quillon.ini");
  test::WriteBytes(other_ini, Options("1"));
  Form().m_sIniStr = other_ini;
  sLogsPath = elsewhere.path() + test::Sep();
  Form().WriteLog("here", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: here\r\n");
  EXPECT_FALSE(test::Exists(elsewhere.Join("DefaultLog.txt")));
}

TEST_F(LogTest, EngineLinesGoOnlyToTheJobLog) {
  // Before any job: nothing, whatever the flags and switches.
  SetMainIni(Options("1"));
  Form().WriteWLog("lost", kOn, kOn, kOn);
  EXPECT_FALSE(test::Exists(default_log_));
  EXPECT_TRUE(ui_.boxes.empty());

  // A job log is written whatever "WriteLog" says about the default log.
  SetMainIni(Options("2") + "[ErrWin]\r\nShowDate=1\r\n");
  sJobLogFile = dir_.Join("Sales_Log.txt");
  Form().WriteWLog("copied a.txt", kOff, kOn, kOff);
  Form().WriteWLog("view only", kOn, kOff, kOn);
  Form().WriteWLog("", kOff, kOn, kOff);
  EXPECT_EQ(
      test::ReadBytes(sJobLogFile),
      "04.12.2026 - NT-Service: copied a.txt\r\n04.12.2026 - NT-Service: \r\n");
  EXPECT_FALSE(test::Exists(default_log_));
}

TEST_F(LogTest, MissingLogsFolderReportsEveryLineAndWritesNothing) {
  SetMainIni(Options("1"));
  std::filesystem::remove_all(logs_);
  Form().WriteLog("one", kOff, kOn, kOff);
  Form().WriteLog("two", kOff, kOn, kOff);
  ASSERT_EQ(ui_.boxes.size(), 2u);
  EXPECT_TRUE(HasReport(Reports(), "Sub WriteLogFile"));
  EXPECT_FALSE(test::Exists(logs_));  // never created by the service
  // The next line tries again from scratch.
  std::filesystem::create_directories(logs_);
  Form().WriteLog("three", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: three\r\n");
  EXPECT_EQ(ui_.boxes.size(), 2u);

  // A job log in a folder that does not exist.
  sJobLogFile = dir_.Join("gone") + test::Sep() + "job.txt";
  Form().WriteWLog("x", kOff, kOn, kOff);
  ASSERT_EQ(ui_.boxes.size(), 3u);
  EXPECT_TRUE(HasReport(Reports(), "Sub WriteWLogFile"));
}

TEST_F(LogTest, DeletedLogIsMadeAgainByTheNextLine) {
  SetMainIni(Options("1"));
  Form().WriteLog("first", kOff, kOn, kOff);
  std::filesystem::remove(default_log_);
  Form().WriteLog("second", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: second\r\n");

  sJobLogFile = dir_.Join("job.txt");
  Form().WriteWLog("first", kOff, kOn, kOff);
  std::filesystem::remove(sJobLogFile);
  Form().WriteWLog("second", kOff, kOn, kOff);
  EXPECT_EQ(test::ReadBytes(sJobLogFile), "NT-Service: second\r\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogTest, ReadOnlyLogIsReportedAndLeftAlone) {
  SetMainIni(Options("1"));
  Form().WriteLog("kept", kOff, kOn, kOff);
  std::filesystem::permissions(default_log_,
                               std::filesystem::perms::owner_read |
                                   std::filesystem::perms::group_read |
                                   std::filesystem::perms::others_read);
  Form().WriteLog("refused", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: kept\r\n");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_TRUE(HasReport(Reports(), "Sub WriteLogFile"));
}

}  // namespace
}  // namespace qs
