#include "engine/job_file.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <vector>

#include "engine/file_copy.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::engine {
namespace {

// Job file values are paths and masks: room for long ones.
constexpr std::uint32_t kValueSize = 4096;

using platform::LowerAscii;

bool EndsWithNoCase(std::string_view s, std::string_view tail) {
  if (s.size() < tail.size()) return false;
  s = s.substr(s.size() - tail.size());
  for (std::size_t i = 0; i < tail.size(); ++i) {
    if (LowerAscii(s[i]) != LowerAscii(tail[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// "*" and "?" against one mask, iteratively with one back-track point.
bool MatchOne(std::string_view name, std::string_view mask) {
  std::size_t n = 0, m = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() &&
        (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

class JobFileReader {
 public:
  explicit JobFileReader(std::string path) : path_(std::move(path)) {}

  // The value of `key`, `def` when the key is missing.
  std::string Text(std::string_view key, const std::string& def) const {
    std::vector<char> buf(kValueSize);
    std::string section(kJobSection), k(key);
    std::uint32_t n = platform::Current().profile->GetPrivateProfileString(
        section.c_str(), k.c_str(), def.c_str(), buf.data(), kValueSize,
        path_.c_str());
    return std::string(buf.data(), n);
  }

  template <typename Int>
  Int Whole(std::string_view key, Int def) const {
    auto v = ParseWhole(Text(key, ""), std::numeric_limits<Int>::min(),
                        std::numeric_limits<Int>::max());
    return v ? static_cast<Int>(*v) : def;
  }

  bool HasKeys() const {
    std::vector<char> buf(kValueSize);
    std::string section(kJobSection);
    return platform::Current().profile->GetPrivateProfileString(
               section.c_str(), nullptr, "", buf.data(), kValueSize,
               path_.c_str()) > 0;
  }

 private:
  std::string path_;
};

// Refusals told already, by jobs folder: each is told once while it lasts,
// and forgotten when its file is gone or has been mended. A jobs folder that
// cannot be read is told as mended too.
void ReportRefusals(const platform::FileSystem& fs, const std::string& jobs_folder,
                    std::map<std::string, std::string> now) {
  static std::map<std::string, std::map<std::string, std::string>> told;
  std::map<std::string, std::string>& before = told[jobs_folder];
  for (const auto& [path, reason] : now) {
    auto it = before.find(path);
    if (it != before.end() && it->second == reason) continue;
    platform::Notice((path == jobs_folder ? "Jobs folder not read, no job runs: "
                                          : "Job file refused, not run: ") +
                     fs.TextFromPath(path) + ": " + reason);
  }
  if (before.count(jobs_folder) != 0 && now.count(jobs_folder) == 0) {
    platform::Notice("Jobs folder read again: " + fs.TextFromPath(jobs_folder));
  }
  before = std::move(now);
  if (before.empty()) told.erase(jobs_folder);
}

}  // namespace

bool NameLess(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char x = LowerAscii(a[i]), y = LowerAscii(b[i]);
    if (x != y) {
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::vector<std::string> ListJobFiles(platform::FileSystem& fs,
                                      const std::string& jobs_folder) {
  std::vector<std::string> names;
  if (jobs_folder.empty()) return names;
  // The scheduled jobs and the watch jobs spell the folder differently
  // ("jobs/", "jobs"): one folder, one set of refusals told.
  const std::string folder = NormalizedFolder(fs, jobs_folder);
  std::map<std::string, std::string> refused;  // path -> reason
  if (!fs.FolderExists(jobs_folder)) {
    refused[folder] = "no such folder";
  } else if (std::string reason = fs.UntrustedBecause(jobs_folder); !reason.empty()) {
    refused[folder] = std::move(reason);
  } else {
    std::vector<platform::FolderEntry> entries;
    try {
      entries = fs.ListFolder(jobs_folder);
    } catch (const RuntimeError& e) {
      // Said once while it lasts, not once a pass.
      refused[folder] = e.description();
    }
    for (platform::FolderEntry& e : entries) {
      if ((e.stat.kind != platform::FileStat::kFile && !e.stat.link) ||
          !EndsWithNoCase(e.name, ".qlj") || e.name.size() <= 4) {
        continue;
      }
      const std::string path = fs.BuildPath(jobs_folder, e.name);
      std::string reason = fs.UntrustedBecause(path);
      if (reason.empty() && e.stat.kind != platform::FileStat::kFile) continue;
      if (reason.empty()) {
        names.push_back(std::move(e.name));
      } else {
        refused[path] = std::move(reason);
      }
    }
  }
  ReportRefusals(fs, folder, std::move(refused));
  std::sort(names.begin(), names.end(), NameLess);
  return names;
}

JobSettings ReadJobFile(const platform::FileSystem& fs,
                        const std::string& jobs_folder,
                        const std::string& file_name) {
  JobSettings job;
  job.file_name = file_name;
  job.path = fs.BuildPath(jobs_folder, file_name);
  // The keys as of one moment, the file checked for changes once.
  platform::ProfileBatch one_file;
  JobFileReader r(fs.TextFromPath(job.path));
  job.has_job_section = r.HasKeys();
  job.from = fs.PathFromText(r.Text("From", ""));
  job.to = fs.PathFromText(r.Text("To", ""));
  job.type = r.Whole<std::int16_t>("Type", kScheduledJob);
  job.active = r.Whole<std::int32_t>("Active", 1) != 0;
  job.hold = std::string(Trim(r.Text("Hold", "0")));
  job.pattern = fs.PathFromText(r.Text("Pattern", "*"));
  job.recursive = r.Whole<std::int32_t>("Recursive", 0);
  job.interval_minutes = r.Whole<std::int32_t>("Interval", 0);
  if (job.interval_minutes < 0) job.interval_minutes = 0;
  job.settle_seconds = std::max(r.Whole<std::int32_t>("Settle", 5), 0);
  job.watch_folder = fs.PathFromText(r.Text("WatchFolder", ""));
  job.watch = r.Whole<std::int16_t>("Watch", 0);
  job.start_copy = r.Whole<std::int32_t>("StartCopy", 0);
  job.delay_seconds = r.Whole<std::int16_t>("Delay", 2);
  job.retries = r.Whole<std::int16_t>("Retries", 3);
  job.follow_links = r.Whole<std::int32_t>("FollowLinks", 0) == 1;
  return job;
}

std::string ResolvedOrEmpty(platform::FileSystem& fs, const std::string& path) {
  try {
    return path.empty() ? path : fs.ResolvePath(path);
  } catch (const RuntimeError&) {
    return std::string();
  }
}

std::vector<JobFolders> ResolvedFolders(platform::FileSystem& fs,
                                        const std::vector<JobSettings>& jobs) {
  std::vector<JobFolders> out;
  for (const JobSettings& job : jobs) {
    out.push_back({ResolvedOrEmpty(fs, job.from), ResolvedOrEmpty(fs, job.to)});
  }
  return out;
}

JobTargets::JobTargets(const platform::FileSystem& fs, const std::vector<JobFolders>& all)
    : fs_(fs) {
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::string from = NormalizedFolder(fs, all[i].from);
    if (all[i].to.empty() || from.empty()) continue;
    by_source_[std::move(from)].push_back({i, all[i].to, NormalizedFolder(fs, all[i].to)});
  }
}

std::vector<std::string> JobTargets::NotToWalk(const std::string& to) const {
  const std::string mine = NormalizedFolder(fs_, to);
  const char sep = fs_.Separator();
  std::vector<const Target*> found;
  // The sources that hold `mine`: itself and each folder above it, the
  // root's separator kept.
  for (std::size_t end = 1; end <= mine.size(); ++end) {
    if (end < mine.size() && mine[end] != sep && mine[end - 1] != sep) continue;
    auto it = by_source_.find(mine.substr(0, end));
    if (it == by_source_.end()) continue;
    for (const Target& t : it->second) {
      if (t.normalized != mine) found.push_back(&t);
    }
  }
  std::sort(found.begin(), found.end(), [](auto* a, auto* b) { return a->job < b->job; });
  std::vector<std::string> skip;
  for (const Target* t : found) skip.push_back(t->to);
  return skip;
}

JobRecord ToJobRecord(const platform::FileSystem& fs, const JobSettings& job) {
  JobRecord rec;
  rec.JobFileName = fs.TextFromPath(job.file_name);
  rec.JobName = rec.JobFileName.substr(0, rec.JobFileName.size() - 4);
  rec.JobType = job.type;
  rec.ExcludeFlag = job.active ? 0 : 1;
  rec.CheckValue = job.hold;
  rec.PathA = fs.TextFromPath(job.from);
  rec.PathB = fs.TextFromPath(job.to);
  rec.PathC = fs.TextFromPath(job.watch_folder);
  rec.PathChoice = job.watch;
  rec.FlagA = job.recursive;
  rec.FlagB = job.start_copy;
  rec.ValueA = job.delay_seconds;
  rec.ValueB = job.retries;
  return rec;
}

bool HoldIsZero(std::string_view hold) {
  std::string text(Trim(hold));
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && v == 0;
}

std::optional<std::int64_t> ParseWhole(std::string_view text, std::int64_t lo,
                                       std::int64_t hi) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < lo || v > hi) return std::nullopt;
  return v;
}

bool MatchesMasks(std::string_view name, std::string_view masks) {
  bool any_mask = false;
  while (true) {
    std::size_t cut = masks.find(';');
    std::string_view mask = Trim(masks.substr(0, cut));
    if (!mask.empty()) {
      any_mask = true;
      if (mask == "*.*" || MatchOne(name, mask)) return true;
    }
    if (cut == std::string_view::npos) break;
    masks.remove_prefix(cut + 1);
  }
  return !any_mask;
}

}  // namespace qs::engine
