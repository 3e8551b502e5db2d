// The reference engine: one pass over the scheduled jobs of the jobs folder
// per ProcessJobs. Each job copies what is new or changed in its "From"
// folder to its "To" folder. A copy is written under a temporary name in
// the target folder and renamed when it is complete, so no file ever
// appears half-copied under its final name.
//
// Events, all raised on the calling thread during ProcessJobs:
//   CurrentJob  sFileName  the job file's name ("Daily.qlj")
//               lIndex     the job's place in this pass, from 1
//               lCounter   the number of jobs this pass runs
//               iStatus    1 (running)
//               IntervalType      0 every pass, 1 every IntervalTime minutes
//               IntervalTimeType  0 (minutes)
//               IntervalTime      the minutes as text ("0" every pass)
//               IntervalDate ""   IntervalWeekDay 0   IntervalMonthDay 0
//   LogMessage  iMsgID 1 a file copied, 2 a failure, 3 the job's summary
//               (bIsLast true); bView and bFile true, bSameView false.
// The engine raises CurrentJob for a job before any LogMessage of it, and
// every job it takes up ends with its summary line.
//
// ProcessJobs options: bOptionA true runs every active scheduled job, due
// or not; bOptionB and bOptionC are not used.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "engine/engine_texts.h"
#include "engine/job_file.h"
#include "monitor/engine.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::engine {
namespace {

using platform::FileStat;
using platform::FileSystem;

// A copy that would leave less free space than this on the target's volume
// is not made.
constexpr std::int64_t kMinFreeBytes = 10 * 1024 * 1024;
// Suffix of the temporary copies; source files with it are never copied.
constexpr std::string_view kTempSuffix = ".qltmp";
// A pass that comes a little early still runs a job that is due by then.
constexpr std::uint32_t kIntervalSlackMs = 2000;
// The tick count wraps after 49 days; longer intervals are cut to 40 days.
constexpr std::int32_t kMaxIntervalMinutes = 40 * 24 * 60;

constexpr std::int16_t kMsgCopied = 1;
constexpr std::int16_t kMsgFailure = 2;
constexpr std::int16_t kMsgSummary = 3;

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool IsTempName(const std::string& name) {
  return name.size() > kTempSuffix.size() &&
         LowerAscii(name.substr(name.size() - kTempSuffix.size())) ==
             kTempSuffix;
}

bool IsSep(const FileSystem& fs, char c) {
  return c == fs.Separator() || (fs.Separator() == '\\' && c == '/');
}

// A folder path in a form in which two spellings of one folder compare
// equal: no trailing separator, and on Windows one separator and no case.
std::string Normalized(const FileSystem& fs, std::string path) {
  const bool windows = fs.Separator() == '\\';
  if (windows) {
    std::replace(path.begin(), path.end(), '/', '\\');
    path = LowerAscii(path);
  }
  while (path.size() > 1 && IsSep(fs, path.back()) &&
         !(windows && path.size() == 3 && path[1] == ':')) {
    path.pop_back();
  }
  return path;
}

// The folder that holds `path`; "" when there is none.
std::string ParentOf(const FileSystem& fs, const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && IsSep(fs, path[end - 1])) --end;
  while (end > 0 && !IsSep(fs, path[end - 1])) --end;
  if (end == 0) return "";
  std::size_t keep = end;
  while (keep > 1 && IsSep(fs, path[keep - 1])) --keep;
  // Keep the root's separator ("/", "C:\").
  if (keep == 1 || (keep == 2 && path[1] == ':')) ++keep;
  return path.substr(0, std::min(keep, end));
}

// Creates `path` and the folders above it that are missing.
void EnsureFolder(FileSystem& fs, const std::string& path) {
  if (fs.FolderExists(path)) return;
  std::string parent = ParentOf(fs, path);
  if (!parent.empty() && parent.size() < path.size()) EnsureFolder(fs, parent);
  fs.CreateFolder(path);
}

// Bytes free for this user on the volume of `folder`; -1 when unknown.
std::int64_t FreeBytes(FileSystem& fs, const std::string& folder) {
  std::string drive = fs.GetDriveName(folder);
  std::string root = drive.empty() ? folder : drive + fs.Separator();
  std::uint32_t per_cluster = 0, per_sector = 0, free = 0, total = 0;
  if (!fs.GetDiskFreeSpace(root, &per_cluster, &per_sector, &free, &total)) {
    return -1;
  }
  return static_cast<std::int64_t>(per_cluster) * per_sector * free;
}

// One job's run: copies, failures and their messages.
class JobRun {
 public:
  JobRun(cJobEngine& engine, const JobSettings& job,
         const std::string& lang_file)
      : engine_(engine),
        fs_(*platform::Current().fs),
        job_(job),
        lang_file_(lang_file) {}

  void Run() {
    if (job_.from.empty() || job_.to.empty()) {
      Fail(kFoldersMissing, {});
    } else if (!fs_.FolderExists(job_.from)) {
      Fail(kSourceMissing, {job_.from});
    } else if (Normalized(fs_, job_.from) == Normalized(fs_, job_.to)) {
      Fail(kSameFolder, {job_.from});
    } else {
      target_root_ = Normalized(fs_, job_.to);
      CopyFolder(job_.from, job_.to);
    }
    Log(EngineMessage(kSummary, lang_file_,
                      {std::to_string(copied_), std::to_string(failed_)}),
        kMsgSummary, true);
  }

 private:
  void CopyFolder(const std::string& from, const std::string& to) {
    std::vector<platform::FolderEntry> entries;
    try {
      entries = fs_.ListFolder(from);
    } catch (const RuntimeError& err) {
      Fail(kFolderUnreadable, {from, err.description()});
      return;
    }
    std::sort(
        entries.begin(), entries.end(),
        [](const platform::FolderEntry& a, const platform::FolderEntry& b) {
          return NameLess(a.name, b.name);
        });
    bool target_ready = false;
    for (const platform::FolderEntry& e : entries) {
      if (e.stat.kind != FileStat::kFile || IsTempName(e.name) ||
          !MatchesMasks(e.name, job_.pattern)) {
        continue;
      }
      std::string src = fs_.BuildPath(from, e.name);
      std::string dst = fs_.BuildPath(to, e.name);
      FileStat have = fs_.GetFileStat(dst);
      if (have.kind == FileStat::kFile && have.size == e.stat.size &&
          have.modified == e.stat.modified) {
        continue;  // unchanged since the last copy
      }
      if (!target_ready) {
        try {
          EnsureFolder(fs_, to);
        } catch (const RuntimeError& err) {
          Fail(kTargetFailed, {to, err.description()});
          return;  // nothing below this folder can be copied either
        }
        target_ready = true;
      }
      if (!engine_.NoDiskSizeCheck) {
        std::int64_t free = FreeBytes(fs_, to);
        if (free >= 0 && free - e.stat.size < kMinFreeBytes) {
          Fail(kDiskSpace, {src});
          continue;
        }
      }
      CopyFile(src, dst);
    }
    if (job_.recursive == 0) return;
    for (const platform::FolderEntry& e : entries) {
      if (e.stat.kind != FileStat::kFolder) continue;
      std::string sub = fs_.BuildPath(from, e.name);
      // A target inside the source is not copied into itself.
      if (Normalized(fs_, sub) == target_root_) continue;
      CopyFolder(sub, fs_.BuildPath(to, e.name));
    }
  }

  void CopyFile(const std::string& src, const std::string& dst) {
    std::string temp = dst + std::string(kTempSuffix);
    try {
      // A temporary copy that an interrupted run left behind goes first.
      if (fs_.GetFileStat(temp).kind == FileStat::kFile) {
        fs_.DeleteFile(temp, true);
      }
      fs_.CopyToNewFile(src, temp);
      fs_.RenameFile(temp, dst);
    } catch (const RuntimeError& err) {
      try {
        if (fs_.GetFileStat(temp).kind == FileStat::kFile) {
          fs_.DeleteFile(temp, true);
        }
      } catch (const RuntimeError&) {
        // The copy failed already; that is the error to report.
      }
      Fail(kCopyFailed, {src, dst, err.description()});
      return;
    }
    ++copied_;
    Log(EngineMessage(kFileCopied, lang_file_, {src, dst}), kMsgCopied, false);
  }

  void Fail(const EngineText& text, const std::vector<std::string>& args) {
    ++failed_;
    Log(EngineMessage(text, lang_file_, args), kMsgFailure, false);
  }

  void Log(std::string text, std::int16_t id, bool last) {
    if (!engine_.LogMessage) return;
    bool view = true, file = true, same_view = false;
    engine_.LogMessage(text, id, view, file, same_view, last);
  }

  cJobEngine& engine_;
  FileSystem& fs_;
  const JobSettings& job_;
  const std::string& lang_file_;
  std::string target_root_;
  int copied_ = 0;
  int failed_ = 0;
};

class JobEngine final : public cJobEngine {
 public:
  explicit JobEngine(platform::MessageLoop& loop) : loop_(loop) {}

  void ProcessJobs(std::string& sJobsPath, std::string& sLangFile,
                   bool& bOptionA, bool& /*bOptionB*/,
                   bool& /*bOptionC*/) override {
    // A pass started from an event handled inside this pass's pumping
    // would run the same jobs twice at once: it returns at once instead.
    if (running_) return;
    running_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{running_};
    try {
      Pass(sJobsPath, sLangFile, bOptionA);
    } catch (const RuntimeError&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw RuntimeError(kErrOutOfMemory);
    } catch (const std::exception& e) {
      throw RuntimeError(kErrInternal, e.what());
    }
  }

 private:
  void Pass(const std::string& jobs_path, const std::string& lang_file,
            bool run_all) {
    platform::Clock& clock = *platform::Current().clock;
    std::uint32_t now = clock.TickCount();
    std::vector<JobSettings> due;
    for (const std::string& name : ListJobFiles(jobs_path)) {
      JobSettings job = ReadJobFile(jobs_path, name);
      if (!job.has_job_section || job.type != kScheduledJob || !job.active ||
          !HoldIsZero(job.hold)) {
        continue;
      }
      if (run_all || IsDue(job, now)) due.push_back(std::move(job));
    }
    for (std::size_t i = 0; i < due.size(); ++i) {
      if (i > 0) {
        // Service events (pause, stop) run here, between two jobs; a stop
        // ends the pass.
        loop_.PumpPending();
        if (loop_.QuitRequested()) return;
      }
      last_start_[LowerAscii(due[i].file_name)] = clock.TickCount();
      RaiseCurrentJob(due[i], static_cast<std::int32_t>(i + 1),
                      static_cast<std::int32_t>(due.size()));
      JobRun(*this, due[i], lang_file).Run();
    }
  }

  bool IsDue(const JobSettings& job, std::uint32_t now) const {
    std::int32_t minutes = std::min(job.interval_minutes, kMaxIntervalMinutes);
    if (minutes <= 0) return true;
    auto it = last_start_.find(LowerAscii(job.file_name));
    if (it == last_start_.end()) return true;
    std::uint32_t elapsed = now - it->second;
    return elapsed + kIntervalSlackMs >=
           static_cast<std::uint32_t>(minutes) * 60000u;
  }

  void RaiseCurrentJob(const JobSettings& job, std::int32_t index,
                       std::int32_t count) {
    if (!CurrentJob) return;
    std::string file_name = job.file_name;
    std::int32_t minutes = std::min(job.interval_minutes, kMaxIntervalMinutes);
    std::int16_t status = 1;
    std::int16_t interval_type = minutes > 0 ? 1 : 0;
    std::int16_t interval_time_type = 0;
    std::string interval_time = std::to_string(minutes);
    std::string interval_date;
    std::int16_t week_day = 0, month_day = 0;
    CurrentJob(file_name, index, count, status, interval_type,
               interval_time_type, interval_time, interval_date, week_day,
               month_day);
  }

  platform::MessageLoop& loop_;
  bool running_ = false;
  // When each job (by lower-case file name) last started, in ticks.
  std::map<std::string, std::uint32_t> last_start_;
};

}  // namespace

std::unique_ptr<cJobEngine> CreateJobEngine(platform::MessageLoop& loop) {
  return std::make_unique<JobEngine>(loop);
}

}  // namespace qs::engine
