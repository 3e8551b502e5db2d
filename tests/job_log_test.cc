// PrepareLog: the job log's folder and name for every "WriteLog",
// "OverwriteLog" and "LogPath", the clock texts made fit for a file name,
// and what a second run of a job does to the first run's log.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/log_fixture.h"

namespace qs {
namespace {

class JobLogTest : public test::LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    from_ = dir_.Join("from");
    to_ = dir_.Join("to");
    std::filesystem::create_directories(from_);
    std::filesystem::create_directories(to_);
    test::WriteBytes(jobs_ + test::Sep() + "Sales.qlj",
                     "[Job]\r\nFrom=" + from_ + "\r\nTo=" + to_ + "\r\n");
  }
  void Settings(const std::string& write_log, const std::string& overwrite,
                const std::string& log_path) {
    SetMainIni("[Options]\r\nWriteLog=" + write_log + "\r\nOverwriteLog=" +
               overwrite + "\r\nLogPath=" + log_path + "\r\n");
  }
  void Prepare(const std::string& job_file = "Sales.qlj") {
    std::string name = job_file.substr(0, job_file.find(".qlj"));
    Form().PrepareLog(name, job_file);
  }
  std::string In(const std::string& folder, const std::string& name) {
    return folder + test::Sep() + name;
  }

  std::string from_, to_;
};

TEST_F(JobLogTest, FolderAndNameForEverySetting) {
  const std::string stamped = "Sales_Log-04-12-2026_19-36-13.txt";
  const std::string keep = "<previous>";
  struct Row {
    std::string write_log, overwrite, log_path, expected;
  } rows[] = {
      {"0", "1", "0", ""},
      {"1", "1", "1", In(logs_, "DefaultLog.txt")},
      {"1", "0", "9", In(logs_, "DefaultLog.txt")},
      {"2", "1", "0", In(logs_, "Sales_Log.txt")},
      {"2", "0", "0", In(logs_, stamped)},
      {"2", "x", "0", In(logs_, stamped)},
      {"2", "1", "1", In(from_, "Sales_Log.txt")},
      {"2", "0", "2", In(to_, stamped)},
      // Values outside the lists keep the previous job's log.
      {"2", "1", "3", keep},
      {"2", "1", "", keep},
      {"3", "1", "0", keep},
      {"02", "1", "0", keep},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.write_log + "/" + r.overwrite + "/" + r.log_path);
    Values().sJobLogFile = keep;
    Settings(r.write_log, r.overwrite, r.log_path);
    Prepare();
    EXPECT_EQ(Values().sJobLogFile, r.expected);
  }
  // Missing keys: "WriteLog" "0".
  Values().sJobLogFile = keep;
  SetMainIni("");
  Prepare();
  EXPECT_EQ(Values().sJobLogFile, "");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(JobLogTest, JobFolderEndingInSeparatorAndMissingJobFile) {
  test::WriteBytes(jobs_ + test::Sep() + "Night.qlj",
                   "[Job]\r\nFrom=" + from_ + test::Sep() + "\r\n");
  Settings("2", "1", "1");
  Prepare("Night.qlj");
  EXPECT_EQ(Values().sJobLogFile, In(from_, "Night_Log.txt"));
  // No "To" in the job file, or no job file: the bare name.
  Settings("2", "1", "2");
  Prepare("Night.qlj");
  EXPECT_EQ(Values().sJobLogFile, "Night_Log.txt");
  Prepare("Ghost.qlj");
  EXPECT_EQ(Values().sJobLogFile, "Ghost_Log.txt");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(JobLogTest, ClockTextsBecomeFileNameParts) {
  Settings("2", "0", "0");
  struct Row {
    std::string date, time, name;
  } rows[] = {
      {"04.12.2026", "19:36:13", "Sales_Log-04-12-2026_19-36-13.txt"},
      {"12/4/2026", "7:36:13 PM", "Sales_Log-12-4-2026_7-36-13 PM.txt"},
      {"2026,12.04", "19;36:13", "Sales_Log-2026-12-04_19-36-13.txt"},
      // The time's own characters are not touched by the date's rules and
      // the other way round.
      {"4:12", "19.36,13/", "Sales_Log-4:12_19.36,13/.txt"},
  };
  for (const Row& r : rows) {
    clock_.date = r.date;
    clock_.time = r.time;
    Prepare();
    EXPECT_EQ(Values().sJobLogFile, In(logs_, r.name));
  }
}

TEST_F(JobLogTest, FixedNameStartsEachRunAfreshStampedNameAppends) {
  SetMainIni("[Options]\r\nWriteLog=2\r\nOverwriteLog=1\r\nLogPath=0\r\n");
  Prepare();
  Form().WriteWLog("run 1", false, true, false);
  // A read-only log of the previous run is deleted all the same.
  std::filesystem::permissions(Values().sJobLogFile, std::filesystem::perms::owner_read);
  Prepare();
  EXPECT_FALSE(test::Exists(Values().sJobLogFile));
  Form().WriteWLog("run 2", false, true, false);
  EXPECT_EQ(test::ReadBytes(Values().sJobLogFile), "NT-Service: run 2\r\n");

  // Two stamped runs within one second share their file.
  Settings("2", "0", "0");
  Prepare();
  Form().WriteWLog("run 3", false, true, false);
  Prepare();
  Form().WriteWLog("run 4", false, true, false);
  EXPECT_EQ(test::ReadBytes(Values().sJobLogFile),
            "NT-Service: run 3\r\nNT-Service: run 4\r\n");

  // The shared default log is never deleted.
  test::WriteBytes(default_log_, "old\r\n");
  Settings("1", "1", "0");
  Prepare();
  EXPECT_EQ(DefaultLog(), "old\r\n");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(JobLogTest, FailedDeleteKeepsThePreviousLogAndIsReported) {
  fs_.delete_error = kErrPermission;
  Settings("2", "1", "0");
  test::WriteBytes(In(logs_, "Sales_Log.txt"), "held by another program\r\n");
  Values().sJobLogFile = "previous.txt";
  Prepare();
  EXPECT_EQ(Values().sJobLogFile, "previous.txt");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_NE(ui_.boxes[0].text.find("module frmMain, Sub PrepareLog,"),
            std::string::npos);
}

}  // namespace
}  // namespace qs
