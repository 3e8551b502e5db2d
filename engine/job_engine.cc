// The reference engine: one pass over the scheduled jobs of the jobs folder
// per ProcessJobs. Each job copies what is new or changed in its "From"
// folder to its "To" folder. A copy is written under a temporary name in
// the target folder and renamed when it is complete, so no file ever
// appears half-copied under its final name. A file still being written
// (job_file.h, "Settle") waits, and its job runs again at the next pass.
//
// Events, all raised on the calling thread during ProcessJobs:
//   CurrentJob  sFileName  the job file's name ("Daily.qlj")
//               lIndex     the job's place among the jobs due in this
//                          pass, from 1
//               lCounter   the number of jobs due in this pass
//               iStatus    1 (running)
//               IntervalType      0 every pass, 1 every IntervalTime minutes
//               IntervalTimeType  0 (minutes)
//               IntervalTime      the minutes as text ("0" every pass)
//               IntervalDate ""   IntervalWeekDay 0   IntervalMonthDay 0
//   LogMessage  iMsgID 1 a file copied, 2 a failure, 3 the job's summary
//               (bIsLast true), 4 a failure told before has cleared;
//               bView and bFile true, bSameView false.
// A job raises CurrentJob only when it has something to say, just before
// its first LogMessage, and then ends with its summary line. A job with
// nothing new says nothing at all, so that its log stays as its last run
// left it (a fixed-name log is started afresh by CurrentJob); lIndex then
// skips the silent jobs' numbers.
//
// Failures are told once: again when their text changes, once an hour
// while they last, and once more when they have cleared ("t9", after a
// whole run of the job without them). A failure is known by the path it
// is about (the text's first value).
//
// ProcessJobs options: bOptionA true runs every active scheduled job, due
// or not; bOptionB and bOptionC are not used.
//
// Pending messages run between two jobs, and, at most every kPumpEveryMs,
// between two files and between the chunks of a large file; a stop there
// ends the pass at once (CancelPass, or the loop told to quit). What the
// engine keeps per job (its last start, the failures told) goes when its
// job file goes.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_texts.h"
#include "engine/file_copy.h"
#include "engine/job_file.h"
#include "platform/ascii.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::engine {
namespace {

// A pass that comes a little early still runs a job that is due by then.
constexpr std::uint32_t kIntervalSlackMs = 2000;
// The tick count wraps after 49 days; longer intervals are cut to 40 days.
constexpr std::int32_t kMaxIntervalMinutes = 40 * 24 * 60;

// How often a pass lets pending messages run while it copies.
constexpr std::uint32_t kPumpEveryMs = 20;

// A failure told again while it lasts.
constexpr std::uint32_t kTellAgainMs = 60 * 60 * 1000;

constexpr std::int16_t kMsgCopied = 1;
constexpr std::int16_t kMsgFailure = 2;
constexpr std::int16_t kMsgSummary = 3;
constexpr std::int16_t kMsgCleared = 4;

// The failures told of a job, by the path they are about: the message and
// when it was told, in ticks.
struct Told {
  std::string message;
  std::uint32_t at;
};
using ToldFailures = std::map<std::string, Told>;

// One job's run: copies, failures and their messages.
class JobRun final : public CopyListener {
 public:
  // `announce` raises CurrentJob; `told` holds what earlier runs told.
  JobRun(cJobEngine& engine, platform::FileSystem& fs, const JobSettings& job,
         const std::string& lang_file, const std::vector<std::string>& targets,
         std::function<bool()> keep_going, std::function<void()> announce, ToldFailures& told,
         std::uint32_t now)
      : engine_(engine), fs_(fs), job_(job), lang_file_(lang_file), targets_(targets),
        keep_going_(std::move(keep_going)), announce_(std::move(announce)), told_(told),
        now_(now) {}

  // False when the pass was stopped in the middle of the job.
  bool Run() {
    CopyRules rules;
    rules.pattern = job_.pattern;
    rules.recursive = job_.recursive != 0;
    rules.check_free_space = !engine_.NoDiskSizeCheck;
    rules.follow_links = job_.follow_links;
    rules.settle_seconds = job_.settle_seconds;
    rules.keep_going = keep_going_;
    rules.excluded = targets_;
    FileCopier copier(fs_, std::move(rules), this);
    copier.CopyFolders(job_.from, job_.to);
    waiting_ = copier.Waiting();
    if (copier.Stopped()) {
      // What the stop left unchecked is not known to have cleared.
      telling_.merge(told_);
    } else {
      for (const auto& [subject, told] : told_) {
        if (telling_.count(subject) == 0) {
          Log(EngineMessage(kCleared, lang_file_, {told.message}), kMsgCleared, false);
        }
      }
    }
    told_ = std::move(telling_);
    if (announced_) {
      Log(EngineMessage(kSummary, lang_file_,
                        {std::to_string(copied_), std::to_string(failed_)}),
          kMsgSummary, true);
    }
    return !copier.Stopped();
  }

  // The files left for the next pass.
  int Waiting() const { return waiting_; }

  void Copied(const std::string& src, const std::string& dst) override {
    ++copied_;
    Log(EngineMessage(kFileCopied, lang_file_, Texts({src, dst})), kMsgCopied, false);
  }

  void Failed(const EngineText& text,
              const std::vector<std::string>& args) override {
    ++failed_;
    const std::string subject = args.empty() ? std::string() : args.front();
    Told now{EngineMessage(text, lang_file_, Texts(args)), now_};
    auto before = told_.find(subject);
    if (before != told_.end() && before->second.message == now.message &&
        now_ - before->second.at < kTellAgainMs) {
      now.at = before->second.at;
    } else {
      Log(now.message, kMsgFailure, false);
    }
    telling_[subject] = std::move(now);
  }

 private:
  // The paths of a message as texts (the errors' descriptions are ASCII).
  std::vector<std::string> Texts(std::vector<std::string> paths) const {
    for (std::string& p : paths) p = fs_.TextFromPath(p);
    return paths;
  }

  void Log(std::string text, std::int16_t id, bool last) {
    if (!announced_) announce_();
    announced_ = true;
    if (!engine_.LogMessage) return;
    bool view = true, file = true, same_view = false;
    engine_.LogMessage(text, id, view, file, same_view, last);
  }

  cJobEngine& engine_;
  platform::FileSystem& fs_;
  const JobSettings& job_;
  const std::string& lang_file_;
  const std::vector<std::string>& targets_;
  std::function<bool()> keep_going_;
  std::function<void()> announce_;
  ToldFailures& told_;
  ToldFailures telling_;  // the failures of this run
  std::uint32_t now_;
  bool announced_ = false;
  int copied_ = 0;
  int failed_ = 0;
  int waiting_ = 0;
};

class JobEngine final : public cJobEngine {
 public:
  JobEngine(platform::MessageLoop& loop, platform::FileSystem& fs, platform::Clock& clock)
      : loop_(loop), fs_(fs), clock_(clock) {}

  void ProcessJobs(std::string& sJobsPath, std::string& sLangFile,
                   bool& bOptionA, bool& /*bOptionB*/,
                   bool& /*bOptionC*/) override {
    // A pass started from an event handled inside this pass's pumping
    // would run the same jobs twice at once: it returns at once instead.
    if (running_) return;
    running_ = true;
    cancelled_ = false;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{running_};
    try {
      Pass(fs_.PathFromText(sJobsPath), sLangFile, bOptionA);
    } catch (...) {
      throw ToRuntimeError(std::current_exception());
    }
  }

  void CancelPass() override {
    if (running_) cancelled_ = true;
  }

 private:
  // Whether the pass goes on; lets pending messages run now and then.
  bool KeepGoing() {
    if (cancelled_ || loop_.QuitRequested()) return false;
    const std::uint32_t now = clock_.TickCount();
    if (now - last_pump_ >= kPumpEveryMs) {
      last_pump_ = now;
      loop_.PumpPending();
    }
    return !cancelled_ && !loop_.QuitRequested();
  }

  void Pass(const std::string& jobs_path, const std::string& lang_file,
            bool run_all) {
    std::uint32_t now = clock_.TickCount();
    last_pump_ = now;
    std::vector<JobSettings> all;
    std::vector<std::size_t> due;  // places in `all`
    const std::vector<std::string> names = ListJobFiles(fs_, jobs_path);
    Forget(names);
    for (const std::string& name : names) {
      all.push_back(ReadJobFile(fs_, jobs_path, name));
      const JobSettings& job = all.back();
      if (!job.has_job_section || job.type != kScheduledJob || !job.active ||
          !HoldIsZero(job.hold)) {
        continue;
      }
      if (run_all || IsDue(job, now)) due.push_back(all.size() - 1);
    }
    const std::vector<JobFolders> folders = ResolvedFolders(fs_, all);
    const JobTargets targets(fs_, folders);
    for (std::size_t i = 0; i < due.size(); ++i) {
      if (i > 0) {
        // Service events (pause, stop) run here, between two jobs; a stop
        // ends the pass.
        loop_.PumpPending();
        last_pump_ = clock_.TickCount();
        if (loop_.QuitRequested() || cancelled_) return;
      }
      const JobSettings& job = all[due[i]];
      const std::string key = platform::LowerAscii(job.file_name);
      last_start_[key] = clock_.TickCount();
      const std::vector<std::string> skip = targets.NotToWalk(folders[due[i]].to);
      auto announce = [&, i] {
        RaiseCurrentJob(job, static_cast<std::int32_t>(i + 1),
                        static_cast<std::int32_t>(due.size()));
      };
      JobRun run(*this, fs_, job, lang_file, skip, [this] { return KeepGoing(); }, announce,
                 told_[key], last_start_[key]);
      if (!run.Run()) return;
      // Files still being written wait for the next pass, not for the
      // job's next interval.
      if (run.Waiting() != 0) last_start_.erase(key);
    }
  }

  // Drops what is kept for jobs whose files have gone.
  void Forget(const std::vector<std::string>& names) {
    std::set<std::string> present;
    for (const std::string& n : names) present.insert(platform::LowerAscii(n));
    auto gone = [&](const auto& entry) { return present.count(entry.first) == 0; };
    std::erase_if(last_start_, gone);
    std::erase_if(told_, gone);
  }

  bool IsDue(const JobSettings& job, std::uint32_t now) const {
    std::int32_t minutes = std::min(job.interval_minutes, kMaxIntervalMinutes);
    if (minutes <= 0) return true;
    auto it = last_start_.find(platform::LowerAscii(job.file_name));
    if (it == last_start_.end()) return true;
    std::uint32_t elapsed = now - it->second;
    return elapsed + kIntervalSlackMs >=
           static_cast<std::uint32_t>(minutes) * 60000u;
  }

  void RaiseCurrentJob(const JobSettings& job, std::int32_t index,
                       std::int32_t count) {
    if (!CurrentJob) return;
    std::string file_name = fs_.TextFromPath(job.file_name);
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
  platform::FileSystem& fs_;
  platform::Clock& clock_;
  bool running_ = false;
  bool cancelled_ = false;
  std::uint32_t last_pump_ = 0;
  // When each job (by lower-case file name) last started, in ticks.
  std::map<std::string, std::uint32_t> last_start_;
  std::map<std::string, ToldFailures> told_;  // the same way
};

}  // namespace

std::unique_ptr<cJobEngine> CreateJobEngine(platform::MessageLoop& loop,
                                            platform::FileSystem& fs,
                                            platform::Clock& clock) {
  return std::make_unique<JobEngine>(loop, fs, clock);
}

}  // namespace qs::engine
