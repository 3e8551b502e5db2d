// The log writer: the line head for every switch and two real locales, which
// log a line reaches, and what happens when the log or its folder is not
// usable.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "logging/outside_text.h"
#include "tests/log_fixture.h"

namespace qs {
namespace {

using test::LogTest;

constexpr bool kOn = true, kOff = false;

TEST_F(LogTest, LineHeadFollowsShowDateAndShowTimeExactly) {
  struct Row {
    std::string show_date, show_time, line;
  } rows[] = {
      {"1", "1", "04.12.2026 19:36:13 - NT-Service: Start\r\n"},
      {"1", "0", "04.12.2026 - NT-Service: Start\r\n"},
      {"0", "1", "19:36:13 - NT-Service: Start\r\n"},
      {"01", " 1x", "NT-Service: Start\r\n"},  // only exactly "1" is on
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.show_date + "/" + r.show_time);
    std::filesystem::remove(default_log_);
    SetMainIni(Options("1") + "[ErrWin]\r\nShowDate=" + r.show_date +
               "\r\nShowTime=" + r.show_time + "\r\n");
    Form().WriteLog("Start", kOn, kOn, kOff);
    EXPECT_EQ(DefaultLog(), r.line);
  }
  // Under the real clock, the date follows the locale's short date.
#ifndef _WIN32
  platform::ScopedPlatform real_clock({.clock = platform::OsPlatform().clock});
  SetMainIni(Options("1") + "[ErrWin]\r\nShowDate=1\r\nShowTime=1\r\n");
  for (auto [locale, date] : {std::pair{"de_DE.UTF-8", R"(\d\d\.\d\d\.\d{4})"},
                              std::pair{"C", R"(\d\d/\d\d/\d\d)"}}) {
    test::ScopedTimeLocale scoped(locale);
    EXPECT_TRUE(scoped.ok()) << locale << " is not installed (locale-gen it)";
    if (!scoped.ok()) continue;
    std::filesystem::remove(default_log_);
    Form().WriteLog("x", kOff, kOn, kOff);
    EXPECT_TRUE(std::regex_match(
        DefaultLog(),
        std::regex(std::string(date) + R"( \d\d:\d\d:\d\d - NT-Service: x\r\n)")))
        << locale << ": " << DefaultLog();
  }
#endif
  EXPECT_TRUE(ui_.boxes.empty());
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
  Values().sJobLogFile = dir_.Join("job.txt");
  Form().WriteWLogFile("");
  EXPECT_FALSE(test::Exists(Values().sJobLogFile));
  EXPECT_EQ(DefaultLog(), written);
}

TEST(OutsideText, ControlCharactersAreShownEscaped) {
  using namespace std::string_literals;
  struct Row {
    std::string in, out;
  } rows[] = {
      {"a\r\nb", "a\\r\\nb"},
      {"nul\0tab\t"s, "nul\\x00tab\\t"},
      {"\x7f\x1b[2J", "\\x7F\\x1B[2J"},
      {"C:\\in\\\xc3\xa4 100%", "C:\\in\\\xc3\xa4 100%"},
  };
  for (const Row& r : rows) EXPECT_EQ(logging::Outside(r.in), r.out) << r.in;
}

TEST_F(LogTest, OnlyWriteLogOneWritesTheDefaultLogOfTheProductFolder) {
  for (std::string ini : {Options("0"), Options("2"), Options("01"),
                          Options(""), std::string("[ErrWin]\r\n")}) {
    SetMainIni(ini);
    Form().WriteLog("x", kOn, kOn, kOff);
    EXPECT_FALSE(test::Exists(default_log_)) << ini;
  }
  // The switch is read for each line. Neither the logs folder of the
  // start-up nor the main INI's folder decides where: the program folder
  // less "bin" does.
  test::TempDir elsewhere;
  Form().m_sIniStr = elsewhere.Join("Quillon.ini");
  test::WriteBytes(Form().m_sIniStr, Options("1"));
  Values().sLogsPath = elsewhere.path() + test::Sep();
  Form().WriteLog("here", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: here\r\n");
  EXPECT_FALSE(test::Exists(elsewhere.Join("DefaultLog.txt")));
}

TEST_F(LogTest, EngineLinesGoOnlyToTheJobLog) {
  // Before any job: nothing, whatever the flags and switches.
  SetMainIni(Options("1"));
  Form().WriteWLog("lost", kOn, kOn, kOn);
  EXPECT_FALSE(test::Exists(default_log_));
  // A job log is written whatever "WriteLog" says about the default log.
  SetMainIni(Options("2") + "[ErrWin]\r\nShowDate=1\r\n");
  Values().sJobLogFile = dir_.Join("Sales_Log.txt");
  // A file name with a line break of its own stays on its line.
  Form().WriteWLog("copied a\r\n04.12.2026 - NT-Service: forged.txt", kOff, kOn, kOff);
  Form().WriteWLog("view only", kOn, kOff, kOn);
  Form().WriteWLog("", kOff, kOn, kOff);
  EXPECT_EQ(test::ReadBytes(Values().sJobLogFile),
            "04.12.2026 - NT-Service: copied a\\r\\n04.12.2026 - NT-Service: forged.txt\r\n"
            "04.12.2026 - NT-Service: \r\n");
  EXPECT_FALSE(test::Exists(default_log_));
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(LogTest, UnusableLogIsReportedPerLineAndRetriedByTheNext) {
  auto reported = [&](std::size_t i, const std::string& proc) {
    return i < ui_.boxes.size() &&
           ui_.boxes[i].text.find("module frmMain, " + proc + ",") !=
               std::string::npos;
  };
  SetMainIni(Options("1"));
  std::filesystem::remove_all(logs_);
  Form().WriteLog("one", kOff, kOn, kOff);
  Form().WriteLog("two", kOff, kOn, kOff);
  EXPECT_TRUE(reported(0, "Sub WriteLogFile") && reported(1, "Sub WriteLogFile"));
  EXPECT_FALSE(test::Exists(logs_));  // never created by the service
  std::filesystem::create_directories(logs_);
  Form().WriteLog("three", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: three\r\n");
  // Deleted meanwhile: made again.
  std::filesystem::remove(default_log_);
  Form().WriteLog("four", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: four\r\n");
  // Read-only: left alone.
  std::filesystem::permissions(default_log_,
                               std::filesystem::perms::owner_read |
                                   std::filesystem::perms::group_read |
                                   std::filesystem::perms::others_read);
  Form().WriteLog("refused", kOff, kOn, kOff);
  EXPECT_EQ(DefaultLog(), "NT-Service: four\r\n");
  EXPECT_TRUE(reported(2, "Sub WriteLogFile"));
  // A job log in a folder that does not exist.
  Values().sJobLogFile = dir_.Join("gone") + test::Sep() + "job.txt";
  Form().WriteWLog("x", kOff, kOn, kOff);
  EXPECT_TRUE(reported(3, "Sub WriteWLogFile"));
  EXPECT_EQ(ui_.boxes.size(), 4u);
}

}  // namespace
}  // namespace qs
