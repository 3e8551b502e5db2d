// The watch jobs of the real-time monitor. One object per watch job:
// SetupJob keeps the job's values, StartWatch starts watching and returns at
// once; from then on the object works from the loop's events alone.
//
// What it watches: SelectedPath, with its subfolders when FlagA
// (Recursive) is set; subfolders that appear later are watched as they come.
// It copies the way scheduled jobs copy (file_copy.h), with the job file's
// Pattern, from PathA (From) to PathB (To):
//   - when the watched folder is From, a file written and closed or moved
//     into the tree is copied to the same place below To; a folder that
//     appears is copied with what it holds;
//   - when it is another folder (To, or the job's WatchFolder), any change
//     there triggers one pass From -> To of what is new or changed.
// A copy waits for ValueA (Delay) seconds of quiet on its file (or, for a
// pass, in the folder): each new change of it starts the wait again. With 0
// it runs at once, from the loop, after the event that asked for it. A copy
// or pass that fails is tried again up to ValueB (Retries) more times, after
// the delay again (half a second at least). FlagB (StartCopy) queues one
// pass From -> To when the watch starts. The temporary ".qltmp" files of
// copies in progress are never copied and never trigger anything; when the
// target lies inside the watched tree, it is not watched.
//
// When the watch ends on its own it raises Finished, through the loop, so
// that no code of the object is on the stack below the handler (which may
// release the object). It ends on its own when
//   - the watched folder is deleted, moved away or unmounted;
//   - the job file (sJobFile) is deleted, moved away, or rewritten without
//     Type 2; the jobs folder is watched for that (an empty sJobFile: the
//     job file is not followed);
//   - a subfolder that came later, or one of a large tree walked after the
//     start, cannot be watched (the system's limit on watches reached);
//   - at StartWatch: the watched folder (empty for a PathChoice other than
//     0, 1, 2) does not exist, or the job file is missing or no watch job.
//     StartWatch then returns 0 and Finished follows from the loop.
// StartWatch returns 1 when the watch runs, and throws qs::RuntimeError when
// a folder cannot be watched (its description names the system limit when
// that is the cause); the object is then not watching and raises nothing.
//
// CancelWatch stops a running watch and raises Finished before it returns;
// it also delivers a Finished that is still on its way through the loop.
// A watch that has ended and reported, or never started, raises nothing.
// A destroyed object stops watching and raises nothing, also none that was
// on its way.
//
// All watch jobs of a loop share one folder watcher, the one their file
// system gives (FileSystem::FolderWatcher: one inotify instance on Linux),
// and one wake-up timer, so a thousand watch jobs cost a few descriptors.
// Their work is done a piece at a time (a copy, a pass, a folder to watch),
// the jobs taking turns, so that a flood of files or folders in one job's
// tree holds up neither the others nor the loop. StartWatch's flag is not
// used.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/file_copy.h"
#include "engine/job_file.h"
#include "engine/job_folder_view.h"
#include "platform/ascii.h"
#include "platform/dir_watch.h"
#include "platform/message_loop.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::engine {
namespace {

using platform::DirChange;
using platform::DirWatcher;

// The least time between two attempts at a failed copy.
constexpr std::int64_t kMinRetryMs = 500;
// How often a copy lets pending messages run.
constexpr std::int64_t kPumpEveryMs = 20;
// How long StartWatch walks the tree there is; the rest is walked a folder
// per wake-up.
constexpr std::int64_t kStartWalkMs = 50;
// A file changed this shortly before the start (FileStat::modified units:
// 100 ns) counts as come since: the system's file times may lag its clock.
constexpr std::int64_t kStartSlack = 10'000'000;

class MonitorJob;

// How callbacks reach a job that may be gone: they hold this weakly.
struct Life {
  MonitorJob* job;
};

// Wake-ups at given times for every watch job of one loop, on one timer.
// A job asks to be woken; it finds out itself what has come due, does one
// piece of it and asks again. A wake-up asked for a time that has passed
// lines up behind those that are due already, so the jobs with work due
// take turns; after kPumpEveryMs of work the loop handles what is pending
// (a stop, other reports) before the next turn. The times are milliseconds
// of the clock's ticks, counted on so that they never wrap.
class WakeQueue : public std::enable_shared_from_this<WakeQueue> {
 public:
  WakeQueue(platform::MessageLoop& loop, platform::Clock& clock)
      : loop_(loop), clock_(clock), last_tick_(clock.TickCount()) {}

  void Attach() {
    std::weak_ptr<WakeQueue> weak = weak_from_this();
    timer_ = loop_.CreateTimer([weak] {
      if (auto self = weak.lock()) self->OnTick();
    });
  }

  void WakeAt(std::int64_t due_ms, std::weak_ptr<Life> who) {
    entries_.emplace(std::max(due_ms, NowMs()), std::move(who));
    Arm();
  }

  std::int64_t NowMs() {
    const std::uint32_t tick = clock_.TickCount();
    now_ms_ += static_cast<std::uint32_t>(tick - last_tick_);
    last_tick_ = tick;
    return now_ms_;
  }

 private:
  void Arm() {
    if (entries_.empty()) {
      if (armed_for_ >= 0) timer_->SetEnabled(false);
      armed_for_ = -1;
      return;
    }
    std::int64_t first = entries_.begin()->first;
    std::int64_t wait = first - NowMs();
    if (wait <= 0) {
      if (posted_) return;
      posted_ = true;
      std::weak_ptr<WakeQueue> weak = weak_from_this();
      loop_.Post([weak] {
        if (auto self = weak.lock()) {
          self->posted_ = false;
          self->RunDue();
        }
      });
      return;
    }
    if (armed_for_ == first) return;
    armed_for_ = first;
    timer_->SetInterval(static_cast<std::uint32_t>(
        std::min<std::int64_t>(wait, 0x7fffffff)));
    timer_->SetEnabled(true);
  }

  void OnTick() {
    timer_->SetEnabled(false);
    armed_for_ = -1;
    RunDue();
  }

  void RunDue();

  platform::MessageLoop& loop_;
  platform::Clock& clock_;
  std::uint32_t last_tick_;
  std::int64_t now_ms_ = 0;
  std::unique_ptr<platform::Timer> timer_;
  std::multimap<std::int64_t, std::weak_ptr<Life>> entries_;
  std::int64_t armed_for_ = -1;
  bool posted_ = false;
};

std::shared_ptr<WakeQueue> SharedWakeQueue(platform::MessageLoop& loop,
                                           platform::Clock& clock) {
  return platform::SharedPerLoop<WakeQueue>(loop, [&loop, &clock] {
    auto queue = std::make_shared<WakeQueue>(loop, clock);
    queue->Attach();
    return queue;
  });
}

class MonitorJob final : public cMonitorJob {
 public:
  MonitorJob(platform::MessageLoop& loop, platform::FileSystem& fs,
             platform::Clock& clock)
      : loop_(loop),
        fs_(fs),
        clock_(clock),
        life_(std::make_shared<Life>(Life{this})) {}

  ~MonitorJob() override {
    StopWatching();
    life_->job = nullptr;
  }

  // The language and INI values and bService are not used: a watch job
  // writes no log.
  void SetupJob(std::string& sJobFile, std::string& /*sLanguage*/,
                std::int32_t& ValueA, bool& FlagA, std::string& SelectedPath,
                bool& FlagB, std::int16_t& ValueB, std::string& /*sLangFile*/,
                std::string& /*sIniFile*/, std::string& PathA,
                std::string& PathB, bool& /*bService*/,
                std::int16_t iIndex) override {
    job_file_ = fs_.PathFromText(sJobFile);
    delay_ms_ = std::max<std::int64_t>(ValueA, 0) * 1000;
    recursive_ = FlagA;
    selected_ = fs_.PathFromText(SelectedPath);
    start_copy_ = FlagB;
    retries_ = std::max<int>(ValueB, 0);
    from_ = fs_.PathFromText(PathA);
    to_ = fs_.PathFromText(PathB);
    index_ = iIndex;
  }

  std::int32_t StartWatch(std::int16_t iIndex, bool& /*bFlag*/) override {
    if (state_ == State::kWatching) return 1;
    if (state_ == State::kEnding) return 0;
    index_ = iIndex;
    platform::FileSystem& fs = fs_;
    pattern_.assign(1, '*');
    jobs_folder_ = job_file_.empty() ? std::string() : ParentFolder(fs, job_file_);
    const std::shared_ptr<JobFolderView> view = JobFolderView::ThisTurn(loop_, fs, jobs_folder_);
    if (!job_file_.empty()) {
      job_name_ = job_file_.substr(NameStart(fs, job_file_));
      JobSettings job = view->Job(job_name_);
      if (!IsWatchJob(job)) return EndSoon();
      pattern_ = job.pattern;
      follow_links_ = job.follow_links;
    }
    if (selected_.empty() || !fs.FolderExists(selected_)) return EndSoon();
    // The watch works on resolved paths, so that a To inside the watched
    // tree is recognised however it is spelled.
    root_ = view->Resolved(selected_);
    real_from_ = view->Resolved(from_);
    real_to_ = view->Resolved(to_);
    if (root_.empty() || real_from_.empty() != from_.empty() || real_to_.empty() != to_.empty()) {
      return EndSoon();
    }
    from_mode_ = NormalizedFolder(fs, root_) == NormalizedFolder(fs, real_from_);
    target_root_ = real_to_.empty() ? std::string() : NormalizedFolder(fs, real_to_);
    // Neither watched nor walked: the targets of the other jobs that would
    // copy this one's copies back.
    other_targets_.clear();
    if (!jobs_folder_.empty() && !real_to_.empty()) {
      for (const std::string& t : view->Targets().NotToWalk(real_to_)) {
        other_targets_.push_back(NormalizedFolder(fs, t));
      }
    }

    state_ = State::kWatching;
    try {
      watcher_ = fs.FolderWatcher(loop_);
      queue_ = SharedWakeQueue(loop_, clock_);
      if (!job_file_.empty()) {
        jobs_watch_ = watcher_->Watch(jobs_folder_, JobsHandler());
      }
      WatchTree();
    } catch (...) {
      StopWatching();
      state_ = State::kIdle;
      throw;
    }
    if (start_copy_) Queue(true, "", NowMs());
    return 1;
  }

  void CancelWatch() override {
    if (state_ == State::kWatching) {
      StopWatching();
      RaiseFinished();
    } else if (state_ == State::kEnding) {
      RaiseFinished();  // the one on its way finds the watch reported
    }
  }

  // Called by the wake-up queue: looks at the next folder that came, or else
  // runs the copy that has come due first, and asks to be woken for the
  // next. A copy lets pending messages run; a stop handled there may cancel
  // the watch or release this object, and the copy then ends at once.
  void OnDue() {
    wake_at_ = -1;
    if (in_due_ || state_ != State::kWatching) return;  // the outer call wakes again
    if (!to_look_.empty()) {
      try {
        LookAtNext();
      } catch (const RuntimeError&) {
        return EndOnItsOwn();  // blind to part of its tree
      }
      return to_look_.empty() ? WakeForNext() : WakeFor(NowMs());
    }
    if (line_.empty() || line_.begin()->first > NowMs()) return WakeForNext();
    const std::string key = *line_.begin()->second;
    const std::uint64_t asked = pending_.at(key).asked;
    const std::shared_ptr<Life> life = life_;
    in_due_ = true;
    const bool ok = Run(key);
    if (life->job == nullptr) return;  // released meanwhile
    in_due_ = false;
    if (state_ != State::kWatching) return;
    auto it = pending_.find(key);
    // Asked for again while it ran: it runs again, after its own wait.
    if (it != pending_.end() && it->second.asked == asked) {
      if (ok || it->second.retries_left <= 0) {
        Drop(it);
      } else {
        --it->second.retries_left;
        line_.erase(it->second.in_line);
        Schedule(it, NowMs() + std::max(delay_ms_, kMinRetryMs));
      }
    }
    WakeForNext();
  }

  // A change in the watched folder `rel` (relative to the watched root).
  void OnFolderChange(const std::string& rel, const std::string& name,
                      DirChange change, bool is_folder) {
    if (state_ != State::kWatching) return;
    if (change == DirChange::kFolderGone) {
      if (rel.empty()) {
        EndOnItsOwn();
        return;
      }
      ForgetTree(rel);
      // The report may be late, or meant for another name of the folder (a
      // folder watched twice shares its reports): a folder found at this
      // place is watched again and looked through.
      if (fs_.GetFileStat(Below(root_, rel)).kind ==
          platform::FileStat::kFolder) {
        LookAt(rel, false);
        Queue(true, from_mode_ ? rel : "", NowMs() + delay_ms_);
      }
      return;
    }
    if (change == DirChange::kOverflow) {
      // Reported to the watch of every folder, one after the other: the
      // tree is looked through once for folders that came unreported, then
      // copied in one pass.
      if (to_look_.empty() || !to_look_.back().rel.empty() || !to_look_.back().again) {
        LookAt("", true);
      }
      Queue(true, "", NowMs() + delay_ms_);
      return;
    }
    if (IsTempName(name)) return;
    const std::string child = Join(rel, name);
    const bool came = change == DirChange::kMovedIn ||
                      change == DirChange::kCreated ||
                      change == DirChange::kWritten;
    if (is_folder) {
      if (!recursive_) {
        if (!from_mode_) Queue(true, "", NowMs() + delay_ms_);
        return;
      }
      if (came) {
        LookAt(child, false);
      } else {
        ForgetTree(child);
      }
      if (!from_mode_) {
        Queue(true, "", NowMs() + delay_ms_);
      } else if (came && !IsTarget(child)) {
        Queue(true, child, NowMs() + delay_ms_);
      }
      return;
    }
    if (!from_mode_) {
      Queue(true, "", NowMs() + delay_ms_);
      return;
    }
    if (!MatchesMasks(name, pattern_)) return;
    if (change == DirChange::kWritten || change == DirChange::kMovedIn) {
      Queue(false, child, NowMs() + delay_ms_);
    } else if (change == DirChange::kDeleted ||
               change == DirChange::kMovedOut) {
      auto it = pending_.find(Key(false, child));
      if (it != pending_.end()) Drop(it);
    }
  }

  // A change in the jobs folder.
  void OnJobsChange(const std::string& name, DirChange change) {
    if (state_ != State::kWatching) return;
    if (change == DirChange::kFolderGone) {
      EndOnItsOwn();
      return;
    }
    if (change == DirChange::kCreated) return;  // not written yet
    if (change != DirChange::kOverflow &&
        !SameName(fs_, name, job_name_)) {
      return;
    }
    if (!IsWatchJob(ReadJobFile(fs_, jobs_folder_, job_name_))) EndOnItsOwn();
  }

  // Delivers the Finished of the end numbered `generation`, unless it has
  // been delivered since or the watch was started again.
  void DeliverEnd(std::uint64_t generation) {
    if (state_ == State::kEnding && generation == generation_) {
      RaiseFinished();
    }
  }

 private:
  enum class State { kIdle, kWatching, kEnding, kEnded };

  // A copy waiting for its time, by Key(): one file, or a pass over a folder
  // and all it holds (the whole tree for the root). No pass waits below
  // another, which copies what it would.
  using Line = std::multimap<std::int64_t, const std::string*>;
  struct Work {
    int retries_left = 0;
    std::uint64_t asked = 0;  // which request it is
    Line::iterator in_line;
  };

  // The time on the wake-up queue's clock; only while watching.
  std::int64_t NowMs() const { return queue_->NowMs(); }

  // "F" or "T", then `rel` with a NUL for each separator: a folder's passes
  // sort right after it, before any other name that starts alike.
  std::string Key(bool tree, const std::string& rel) const {
    std::string key = (tree ? "T" : "F") + rel;
    std::replace(key.begin() + 1, key.end(), fs_.Separator(), '\0');
    return key;
  }

  static bool IsWatchJob(const JobSettings& job) {
    return job.has_job_section && job.type == kWatchJob;
  }

  static std::size_t NameStart(const platform::FileSystem& fs,
                               const std::string& path) {
    std::size_t at = path.size();
    while (at > 0 && !fs.IsSeparator(path[at - 1])) --at;
    return at;
  }

  static bool SameName(const platform::FileSystem& fs, const std::string& a,
                       const std::string& b) {
    if (fs.CaseSensitiveNames()) return a == b;
    return platform::LowerAscii(a) == platform::LowerAscii(b);
  }

  std::string Join(const std::string& rel, const std::string& name) const {
    if (rel.empty()) return name;
    return rel + fs_.Separator() + name;
  }

  std::string Below(const std::string& root, const std::string& rel) const {
    return fs_.BuildPath(root, rel);
  }

  DirWatcher::Handler FolderHandler(std::string rel) {
    std::weak_ptr<Life> weak = life_;
    return [weak, rel = std::move(rel)](const std::string& name,
                                        DirChange change, bool is_folder) {
      std::shared_ptr<Life> life = weak.lock();
      if (life && life->job) {
        life->job->OnFolderChange(rel, name, change, is_folder);
      }
    };
  }

  DirWatcher::Handler JobsHandler() {
    std::weak_ptr<Life> weak = life_;
    return [weak](const std::string& name, DirChange change, bool) {
      std::shared_ptr<Life> life = weak.lock();
      if (life && life->job) life->job->OnJobsChange(name, change);
    };
  }

  // Watches the tree at the start: what kStartWalkMs allows at once, the
  // rest a folder per wake-up. A file found there that changed since the
  // start has come unreported, and is copied; one moved in keeps its time
  // and waits for a later change.
  void WatchTree() {
    started_at_ = fs_.FileTimeNow() - kStartSlack;
    to_look_.push_back({"", false, false});
    const std::int64_t until = NowMs() + kStartWalkMs;
    while (!to_look_.empty() && (to_look_.back().rel.empty() || NowMs() < until)) LookAtNext();
    for (Look& look : to_look_) look.since_start = true;
    if (!to_look_.empty()) WakeFor(NowMs());
  }

  // From a report: the folder `rel` and those below it are looked at from
  // the wake-up queue, a folder at a time, and the copies wait till then. A
  // folder watched already has been looked through, unless `again` (reports
  // were lost).
  void LookAt(const std::string& rel, bool again) {
    to_look_.push_back({rel, again, false});
    WakeFor(NowMs());
  }

  // Watches the next folder to look at and, when recursive, adds the folders
  // in it. The root's failures are thrown; a subfolder that cannot be read or
  // has gone meanwhile is left out, but the limit on watches is thrown for it
  // too. A target is not watched.
  void LookAtNext() {
    const auto [rel, again, since_start] = std::move(to_look_.back());
    to_look_.pop_back();
    const bool watched = folders_.count(rel) != 0;
    if ((!rel.empty() && IsTarget(rel)) || (watched && !again)) return;
    const std::string path = Below(root_, rel);
    std::vector<platform::FolderEntry> entries;
    try {
      if (!watched) folders_.emplace(rel, watcher_->Watch(path, FolderHandler(rel)));
      if (!recursive_) return;
      entries = fs_.ListFolder(path);
    } catch (const RuntimeError& err) {
      if (rel.empty() || err.number() == kErrTooManyFiles) throw;
      return;
    }
    for (const platform::FolderEntry& e : entries) {
      if (e.stat.kind == platform::FileStat::kFolder) {
        to_look_.push_back({Join(rel, e.name), again, since_start});
      } else if (since_start && e.stat.modified >= started_at_) {
        OnFolderChange(rel, e.name, DirChange::kWritten, false);
      }
    }
  }

  // The folder `rel` is this job's target or another's that is not walked.
  bool IsTarget(const std::string& rel) const {
    const std::string key = NormalizedFolder(fs_, Below(root_, rel));
    return key == target_root_ ||
           std::find(other_targets_.begin(), other_targets_.end(), key) != other_targets_.end();
  }

  // Stops watching the folder `rel` and every folder below it.
  void ForgetTree(const std::string& rel) {
    auto one = folders_.find(rel);
    if (one != folders_.end()) {
      watcher_->Unwatch(one->second);
      folders_.erase(one);
    }
    const std::string prefix = Join(rel, "");
    for (auto it = folders_.lower_bound(prefix);
         it != folders_.end() &&
         it->first.compare(0, prefix.size(), prefix) == 0;) {
      watcher_->Unwatch(it->second);
      it = folders_.erase(it);
    }
  }

  // Asks for a copy, or for it again: its wait starts anew. A pass over a
  // folder whose folder above waits for its pass already is that pass.
  void Queue(bool tree, const std::string& rel, std::int64_t due_ms) {
    const std::string key = Key(tree, rel);
    auto it = tree ? PassOver(key) : pending_.find(key);
    if (it == pending_.end()) {
      if (tree) DropPassesBelow(key);
      it = pending_.emplace(key, Work{}).first;
    } else {
      line_.erase(it->second.in_line);
    }
    it->second.retries_left = retries_;
    it->second.asked = ++asked_;
    Schedule(it, due_ms);
  }

  // The waiting pass that copies the folder of `key` too: its own or the
  // one of a folder above it. Passes never wait below one another, so only
  // the last key up to `key` can be it.
  std::map<std::string, Work>::iterator PassOver(const std::string& key) {
    auto it = pending_.upper_bound(key);
    if (it == pending_.begin()) return pending_.end();
    const std::string& above = (--it)->first;
    const bool over = above == "T" || (above[0] == 'T' && key.starts_with(above) &&
                                       (key.size() == above.size() || key[above.size()] == '\0'));
    return over ? it : pending_.end();
  }

  // Drops the passes waiting below the folder of `key`.
  void DropPassesBelow(const std::string& key) {
    const std::string below = key == "T" ? key : key + '\0';
    for (auto it = pending_.upper_bound(key);
         it != pending_.end() && it->first.starts_with(below);) {
      line_.erase(it->second.in_line);
      it = pending_.erase(it);
    }
  }

  void Drop(std::map<std::string, Work>::iterator it) {
    line_.erase(it->second.in_line);
    pending_.erase(it);
  }

  void Schedule(std::map<std::string, Work>::iterator it, std::int64_t due_ms) {
    it->second.in_line = line_.emplace(due_ms, &it->first);
    WakeFor(due_ms);
  }

  void WakeFor(std::int64_t due_ms) {
    if (wake_at_ >= 0 && wake_at_ <= due_ms) return;
    wake_at_ = due_ms;
    queue_->WakeAt(due_ms, life_);
  }

  void WakeForNext() {
    if (!line_.empty()) WakeFor(line_.begin()->first);
  }

  bool Run(const std::string& key) {
    const bool tree = key[0] == 'T';
    std::string rel = key.substr(1);
    std::replace(rel.begin(), rel.end(), '\0', fs_.Separator());
    platform::FileSystem& fs = fs_;
    CopyRules rules;
    rules.pattern = pattern_;
    rules.recursive = recursive_;
    rules.follow_links = follow_links_;
    rules.excluded = other_targets_;
    std::weak_ptr<Life> weak = life_;
    rules.keep_going = [weak, &loop = loop_, queue = queue_, last = NowMs()]() mutable {
      const std::int64_t now = queue->NowMs();
      if (now - last >= kPumpEveryMs) {
        last = now;
        loop.PumpPending();
      }
      std::shared_ptr<Life> life = weak.lock();
      return life && life->job && life->job->state_ == State::kWatching;
    };
    // Copies: this object may be gone before the copier returns.
    const std::string from = real_from_, to = real_to_, root = target_root_;
    FileCopier copier(fs, std::move(rules), nullptr);
    if (!from_mode_ || (tree && rel.empty())) {
      return copier.CopyFolders(from, to) == 0;
    }
    if (to.empty()) return false;
    if (NormalizedFolder(fs, from) == root) return true;
    if (tree) {
      return copier.CopySubtree(Below(from, rel), Below(to, rel), to) == 0;
    }
    return copier.CopyIfChanged(Below(from, rel), Below(to, rel));
  }

  // Ends the watch from one of its own events; Finished follows from the
  // loop. The posted task holds the job only weakly: a job destroyed
  // before it runs raises nothing.
  std::int32_t EndSoon() {
    state_ = State::kEnding;
    const std::uint64_t generation = ++generation_;
    std::weak_ptr<Life> weak = life_;
    loop_.Post([weak, generation] {
      std::shared_ptr<Life> life = weak.lock();
      if (life && life->job) life->job->DeliverEnd(generation);
    });
    return 0;
  }

  void EndOnItsOwn() {
    StopWatching();
    EndSoon();
  }

  void StopWatching() {
    if (watcher_) {
      if (jobs_watch_ != 0) watcher_->Unwatch(jobs_watch_);
      for (const auto& entry : folders_) watcher_->Unwatch(entry.second);
    }
    jobs_watch_ = 0;
    folders_.clear();
    pending_.clear();
    line_.clear();
    to_look_.clear();
    wake_at_ = -1;
    watcher_.reset();
    queue_.reset();
  }

  // The handler may release this object: nothing of it is used after the
  // call.
  void RaiseFinished() {
    state_ = State::kEnded;
    auto finished = Finished;
    std::string name = ObjectName;
    std::int16_t index = index_;
    if (finished) finished(std::move(name), index);
  }

  platform::MessageLoop& loop_;
  platform::FileSystem& fs_;
  platform::Clock& clock_;
  std::shared_ptr<Life> life_;

  // SetupJob's values.
  std::string job_file_, selected_;
  std::string from_, to_;
  std::int64_t delay_ms_ = 0;
  bool recursive_ = false;
  bool start_copy_ = false;
  int retries_ = 0;
  std::int16_t index_ = 0;

  // The running watch.
  State state_ = State::kIdle;
  std::uint64_t generation_ = 0;
  std::string jobs_folder_, job_name_, pattern_ = "*";
  bool from_mode_ = false;
  bool follow_links_ = false;
  bool in_due_ = false;
  std::string root_, real_from_, real_to_;  // resolved SelectedPath, From, To
  std::string target_root_;  // normalized resolved To
  std::vector<std::string> other_targets_;  // normalized, of all the jobs
  std::shared_ptr<DirWatcher> watcher_;
  std::shared_ptr<WakeQueue> queue_;
  DirWatcher::WatchId jobs_watch_ = 0;
  std::map<std::string, DirWatcher::WatchId> folders_;  // by relative path
  std::map<std::string, Work> pending_;                 // by Key()
  Line line_;                  // the keys of pending_ by due time, first first
  std::uint64_t asked_ = 0;    // copies asked for so far
  // A folder to look at: `again` when reports were lost, `since_start`
  // when it was there at the start.
  struct Look {
    std::string rel;
    bool again, since_start;
  };
  std::vector<Look> to_look_;  // LookAt's folders, last first
  std::int64_t started_at_ = 0;  // FileStat::modified units
  std::int64_t wake_at_ = -1;  // the earliest wake-up asked for, -1 none
};

// Each wake-up is taken just before its job runs: a job's copy lets pending
// messages run, and a RunDue nested there goes on with the others.
void WakeQueue::RunDue() {
  std::shared_ptr<WakeQueue> keep = shared_from_this();
  const std::int64_t until = NowMs() + kPumpEveryMs;
  while (!entries_.empty() && entries_.begin()->first <= NowMs()) {
    std::shared_ptr<Life> life = entries_.begin()->second.lock();
    entries_.erase(entries_.begin());
    if (life && life->job) life->job->OnDue();
    if (NowMs() >= until) break;
  }
  Arm();
}

}  // namespace

std::unique_ptr<cMonitorJob> CreateMonitorJob(platform::MessageLoop& loop,
                                              platform::FileSystem& fs,
                                              platform::Clock& clock) {
  return std::make_unique<MonitorJob>(loop, fs, clock);
}

}  // namespace qs::engine
