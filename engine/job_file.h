// Job files (*.qlj): one INI file per job in the jobs folder, section "Job".
// The keys, their defaults and what the engine does with them:
//
//   From         ""   source folder
//   To           ""   target folder
//   Type         0    0 a scheduled job (run by ProcessJobs), 2 a watch job
//                     (run by the real-time monitor); other values: neither
//   Active       1    0 switches the job off
//   Hold         0    numeric text; a job runs only while it is 0
//   Pattern      *    file masks separated by ";" (* and ?, case ignored):
//                     scheduled and watch jobs copy only the files matching
//   Recursive    0    non-zero: subfolders too; a watch job also watches the
//                     subfolders, those that appear later included
//   Interval     0    scheduled job: minutes between two runs; 0 every pass
//   Settle       5    scheduled job: seconds a file must have stayed
//                     unchanged before it is copied; 0 copies at once. A
//                     file changed more recently, or open for writing,
//                     waits (file_copy.h), and the job runs again at the
//                     next pass
//   WatchFolder  ""   watch job: a third folder it can watch
//   Watch        0    watch job: the folder watched, 0 From, 1 To,
//                     2 WatchFolder. Watching From, each file written and
//                     closed or moved in is copied to the same place below
//                     To; watching To or WatchFolder, any change there
//                     starts one pass From -> To of what is new or changed
//   StartCopy    0    watch job: 1 copies what is new or changed From -> To
//                     when the watch starts
//   Delay        2    watch job: seconds of quiet on a file (for a pass: in
//                     the folder) before it is copied; 0 copies at once
//   Retries      3    watch job: further attempts at a copy that fails
//   FollowLinks  0    1: symbolic links inside From are copied as the files
//                     and walked as the folders they lead to (only links
//                     owned by root or the service's user); 0 skips them
//
// The job list reports each job file as a JobRecord (ToJobRecord): JobType
// Type, ExcludeFlag 0 when Active else 1, CheckValue Hold, PathA From, PathB
// To, PathC WatchFolder, PathChoice Watch, FlagA Recursive, FlagB StartCopy,
// ValueA Delay, ValueB Retries. A watch job stops by itself when its watched
// folder is deleted or moved away, or its job file is deleted or no longer
// has Type 2 (monitor_job.cc tells the details).
//
// Whole numbers are decimal, with optional blanks around and a sign; a
// value that is no number or out of range counts as missing.
//
// Job files are trusted as cron trusts a crontab: a job file, or the jobs
// folder, that a user other than root and the service's own user could
// change is not run, and the administrator is told once which file and why
// (FileSystem::UntrustedBecause, UserInterface::Notice).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"
#include "platform/platform.h"

namespace qs::engine {

inline constexpr std::string_view kJobSection = "Job";
inline constexpr std::int16_t kScheduledJob = 0;
inline constexpr std::int16_t kWatchJob = 2;

// The names, folders and pattern are paths of the file system
// (FileSystem::PathFromText of the job file's texts).
struct JobSettings {
  std::string file_name;  // "Daily.qlj"
  std::string path;       // the job file's full path
  bool has_job_section = false;
  std::string from, to;
  std::int16_t type = kScheduledJob;
  bool active = true;
  std::string hold = "0";
  std::string pattern = "*";
  std::int32_t recursive = 0;
  std::int32_t interval_minutes = 0;
  std::int32_t settle_seconds = 5;
  std::string watch_folder;
  std::int16_t watch = 0;
  std::int32_t start_copy = 0;
  std::int16_t delay_seconds = 2;
  std::int16_t retries = 3;
  bool follow_links = false;
};

// The job file names of `jobs_folder` (files ending in ".qlj", case
// ignored), sorted by name with case ignored, then byte by byte. An empty
// list when the folder does not exist; qs::RuntimeError when it exists but
// cannot be read. Files that cannot be trusted (see above) are left out;
// each is reported once while it stays so.
std::vector<std::string> ListJobFiles(platform::FileSystem& fs,
                                      const std::string& jobs_folder);

// Reads every key of the job file `file_name` in `jobs_folder`. A file that
// is missing or no INI file gives the defaults, with has_job_section false.
JobSettings ReadJobFile(const platform::FileSystem& fs,
                        const std::string& jobs_folder,
                        const std::string& file_name);

// `path` resolved (FileSystem::ResolvePath); "" when it is empty or cannot
// be resolved: what cannot be resolved is not copied either.
std::string ResolvedOrEmpty(platform::FileSystem& fs, const std::string& path);
// A job's folders, resolved ("" when missing or not resolvable).
struct JobFolders {
  std::string from, to;
};
std::vector<JobFolders> ResolvedFolders(platform::FileSystem& fs,
                                        const std::vector<JobSettings>& jobs);
// The targets of a set of jobs, by the sources that hold them: the set is
// looked through once, and each answer takes time by the depth of `to`,
// not by the size of the set. The file system must outlive it.
class JobTargets {
 public:
  JobTargets(const platform::FileSystem& fs, const std::vector<JobFolders>& all);
  // The targets a job whose target is `to` (resolved) must not walk: those
  // of the other jobs whose source holds `to`, in the order of the set.
  // Jobs that share a source with their targets inside it would otherwise
  // copy each other's copies, one level deeper at every pass.
  std::vector<std::string> NotToWalk(const std::string& to) const;

 private:
  struct Target {
    std::size_t job;  // its place in the set
    std::string to, normalized;
  };
  const platform::FileSystem& fs_;
  std::unordered_map<std::string, std::vector<Target>> by_source_;  // normalized
};

// The record the job list reports for a job: its names and folders as
// texts.
JobRecord ToJobRecord(const platform::FileSystem& fs, const JobSettings& job);

// True when `hold` is numeric text whose value is 0.
bool HoldIsZero(std::string_view hold);

// Decimal whole number within [lo, hi]; nothing otherwise.
std::optional<std::int64_t> ParseWhole(std::string_view text, std::int64_t lo,
                                       std::int64_t hi);

// True when `name` matches one of the ";"-separated masks. "*" stands for
// any run of characters, "?" for one; ASCII case is ignored. "*.*" matches
// every name, as on Windows. Empty masks are skipped; no mask at all
// matches everything.
bool MatchesMasks(std::string_view name, std::string_view masks);

// Orders names with case ignored, then byte by byte.
bool NameLess(const std::string& a, const std::string& b);

}  // namespace qs::engine
