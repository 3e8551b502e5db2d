// The form with a product folder on disk, for the tests of the log
// procedures: "Quillon Pro" with bin/, logs/ and jobs/, the main INI, a
// fixed clock, and error reports caught by a fake message box.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "host/frm_main.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs::test {

// The OS file system; tests derive from it and override only the calls they
// make fail or answer themselves.
class ForwardingFileSystem : public platform::FileSystem {
 public:
  platform::FileSystem& real = platform::OsFileSystem();

  char Separator() const override { return real.Separator(); }
  bool CaseSensitiveNames() const override { return real.CaseSensitiveNames(); }
  bool FileExists(const std::string& p) override { return real.FileExists(p); }
  bool FolderExists(const std::string& p) override { return real.FolderExists(p); }
  void CreateTextFile(const std::string& p, bool o) override { real.CreateTextFile(p, o); }
  void AppendText(const std::string& p, std::string_view t) override { real.AppendText(p, t); }
  void AppendOrCreateText(const std::string& p, std::string_view t) override {
    real.AppendOrCreateText(p, t);
  }
  std::string ReadTail(const std::string& p, std::uint64_t n) override {
    return real.ReadTail(p, n);
  }
  void ReplaceFile(const std::string& p, std::string_view d) override { real.ReplaceFile(p, d); }
  void DeleteFile(const std::string& p, bool f) override { real.DeleteFile(p, f); }
  std::int64_t FileLength(const std::string& p) override { return real.FileLength(p); }
  std::string GetDriveName(std::string_view p) const override { return real.GetDriveName(p); }
  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* spc, std::uint32_t* bps,
                        std::uint32_t* free, std::uint32_t* total) override {
    return real.GetDiskFreeSpace(root, spc, bps, free, total);
  }
  platform::FileStat GetFileStat(const std::string& p) override { return real.GetFileStat(p); }
  std::vector<platform::FolderEntry> ListFolder(const std::string& f) override {
    return real.ListFolder(f);
  }
  bool CopyToNewFile(const std::string& from, const std::string& to,
                     const platform::CopyOptions& o) override {
    return real.CopyToNewFile(from, to, o);
  }
  void FlushToDisk(const std::vector<std::string>& p) override { real.FlushToDisk(p); }
  std::string ResolvePath(const std::string& p) override { return real.ResolvePath(p); }
  std::string UntrustedBecause(const std::string& p) override { return real.UntrustedBecause(p); }
  void RenameFile(const std::string& from, const std::string& to) override {
    real.RenameFile(from, to);
  }
  void CreateFolder(const std::string& p) override { real.CreateFolder(p); }
};

// The real file system with a free-space source of the test's choosing and
// calls that can be made to fail.
class FakeFileSystem : public ForwardingFileSystem {
 public:
  // Free space: what GetDiskFreeSpace answers, and which roots exist.
  std::uint32_t sectors_per_cluster = 8, bytes_per_sector = 512;
  std::uint32_t free_clusters = 1u << 20, total_clusters = 1u << 24;
  bool query_fails = false;
  std::function<bool(const std::string&)> folder_exists;  // default: real
  std::vector<std::string> roots_asked;
  char separator = 0;  // 0: the real one

  // Errors to raise instead of doing the call (0: none).
  std::int32_t read_tail_error = 0, replace_error = 0, delete_error = 0;
  std::vector<std::uint64_t> read_tail_sizes;

  char Separator() const override {
    return separator ? separator : real.Separator();
  }
  bool FolderExists(const std::string& p) override {
    return folder_exists ? folder_exists(p) : real.FolderExists(p);
  }
  std::string ReadTail(const std::string& p, std::uint64_t n) override {
    read_tail_sizes.push_back(n);
    if (read_tail_error) throw RuntimeError(read_tail_error);
    return real.ReadTail(p, n);
  }
  void ReplaceFile(const std::string& p, std::string_view d) override {
    if (replace_error) throw RuntimeError(replace_error);
    real.ReplaceFile(p, d);
  }
  void DeleteFile(const std::string& p, bool f) override {
    if (delete_error) throw RuntimeError(delete_error);
    real.DeleteFile(p, f);
  }
  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* spc,
                        std::uint32_t* bps, std::uint32_t* free,
                        std::uint32_t* total) override {
    roots_asked.push_back(root);
    if (query_fails) return false;
    *spc = sectors_per_cluster;
    *bps = bytes_per_sector;
    *free = free_clusters;
    *total = total_clusters;
    return true;
  }

  // Free space of exactly `bytes` (up to 4 GB - 1).
  void SetFreeBytes(std::uint64_t bytes) {
    sectors_per_cluster = 1;
    bytes_per_sector = 1;
    free_clusters = static_cast<std::uint32_t>(bytes);
  }
};

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    modRavelinLITE::ResetForTest();
    const std::string s = Sep();
    product_ = dir_.Join("Quillon Pro");
    bin_ = product_ + s + "bin";
    logs_ = product_ + s + "logs";
    jobs_ = product_ + s + "jobs";
    std::filesystem::create_directories(bin_);
    std::filesystem::create_directories(logs_);
    std::filesystem::create_directories(jobs_);
    process_.exe = bin_ + s + "QuillonSrv";
    main_ini_ = product_ + s + "Quillon.ini";
    default_log_ = logs_ + s + "DefaultLog.txt";
    SetMainIni("");

    loop_ = platform::CreateMessageLoop();
    form_ = std::make_unique<frmMain>(*loop_, fs_, Components{});
    form_->m_oFSO = &fs_;
    form_->m_sIniStr = main_ini_;
    form_->m_sLanguage = product_ + s + "lang" + s + "Deutsch.lng";  // none
    form_->m_sLogPrefix = "NT-Service:";
    Values().sIniFile = main_ini_;
    Values().sJobsPath = jobs_ + s;
    Values().sLogsPath = logs_ + s;
  }
  void TearDown() override {
    form_.reset();
    modRavelinLITE::ResetForTest();
  }

  // The main INI's "[Options]", "[ErrWin]" and "[JobWin]" lines.
  void SetMainIni(const std::string& lines) { WriteBytes(main_ini_, lines); }
  static std::string Options(const std::string& write_log,
                             const std::string& extra = "") {
    return "[Options]\r\nWriteLog=" + write_log + "\r\n" + extra;
  }

  std::string DefaultLog() const { return ReadBytes(default_log_); }

  frmMain& Form() { return *form_; }
  ProgramValues& Values() { return form_->values; }

  TempDir dir_;
  std::string product_, bin_, logs_, jobs_, main_ini_, default_log_;
  FakeProcess process_;
  FakeUi ui_;
  FakeWindows windows_;
  FakeClock clock_;
  FakeFileSystem fs_;  // the real one unless a test says otherwise
  platform::ScopedPlatform scoped_{
      {.clock = &clock_, .process = &process_, .windows = &windows_, .ui = &ui_}};
  std::unique_ptr<platform::MessageLoop> loop_;
  std::unique_ptr<frmMain> form_;
};

// Switches LC_TIME for the life of the object; `ok()` is false when the
// locale is not installed.
class ScopedTimeLocale {
 public:
  explicit ScopedTimeLocale(const char* name) {
    if (const char* old = std::setlocale(LC_TIME, nullptr)) saved_ = old;
    ok_ = std::setlocale(LC_TIME, name) != nullptr;
  }
  ~ScopedTimeLocale() { std::setlocale(LC_TIME, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_ = "C";
  bool ok_ = false;
};

}  // namespace qs::test
