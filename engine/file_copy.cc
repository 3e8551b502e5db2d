#include "engine/file_copy.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "engine/job_file.h"
#include "platform/ascii.h"
#include "platform/runtime_error.h"

namespace qs::engine {
namespace {

using platform::FileStat;
using platform::FileSystem;
using platform::LowerAscii;

// A batch of copies is made durable once this much is waiting in it.
constexpr std::size_t kBatchFiles = 1000;
constexpr std::int64_t kBatchBytes = 64 << 20;
// File times count 100 ns steps.
constexpr std::int64_t kFileTimeSecond = 10000000;
// A temporary file this old that no copy of ours is writing was left by a
// run that did not finish.
constexpr std::int64_t kStaleAfter = 60 * kFileTimeSecond;

// The temporary files copies of this process are writing now.
std::set<std::string>& InFlight() {
  static std::set<std::string> paths;
  return paths;
}

std::string NewTempName() {
  static std::mt19937_64 random{std::random_device{}()};
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name(kTempPrefix);
  for (int i = 0; i < 8; ++i) name += kChars[random() % 36];
  return name;
}

// Creates `path` and the folders above it that are missing.
void EnsureFolder(FileSystem& fs, const std::string& path) {
  if (fs.FolderExists(path)) return;
  std::string parent = ParentFolder(fs, path);
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

bool SameFile(const FileStat& a, const FileStat& b) {
  return a.kind == FileStat::kFile && b.kind == FileStat::kFile && !a.link && !b.link &&
         a.size == b.size && a.modified == b.modified;
}

void RemoveQuietly(FileSystem& fs, const std::string& path) {
  try {
    fs.DeleteFile(path, true);
  } catch (const RuntimeError&) {
    // Whatever made the copy fail may keep its rest too; it is stale later.
  }
}

}  // namespace

bool IsTempName(std::string_view name) {
  constexpr std::string_view kOldSuffix = ".qltmp";
  if (name.size() > kTempPrefix.size() && name.starts_with(kTempPrefix)) return true;
  if (name.size() <= kOldSuffix.size()) return false;
  std::string tail(name.substr(name.size() - kOldSuffix.size()));
  return LowerAscii(std::move(tail)) == kOldSuffix;
}

std::string NormalizedFolder(const FileSystem& fs, std::string path) {
  const bool windows = fs.Separator() == '\\';
  if (windows) std::replace(path.begin(), path.end(), '/', '\\');
  if (!fs.CaseSensitiveNames()) path = LowerAscii(path);
  while (path.size() > 1 && fs.IsSeparator(path.back()) &&
         !(windows && path.size() == 3 && path[1] == ':')) {
    path.pop_back();
  }
  return path;
}

std::string ParentFolder(const FileSystem& fs, const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && fs.IsSeparator(path[end - 1])) --end;
  while (end > 0 && !fs.IsSeparator(path[end - 1])) --end;
  if (end == 0) return "";
  std::size_t keep = end;
  while (keep > 1 && fs.IsSeparator(path[keep - 1])) --keep;
  // Keep the root's separator ("/", "C:\").
  if (keep == 1 || (keep == 2 && path[1] == ':')) ++keep;
  return path.substr(0, std::min(keep, end));
}

bool FileCopier::Wanted(std::string_view name) const {
  return !IsTempName(name) && MatchesMasks(name, rules_.pattern);
}

void FileCopier::Start(const std::string& target_root) {
  failures_ = 0;
  waiting_ = 0;
  stopped_ = false;
  walk_.clear();
  target_root_ = NormalizedFolder(fs_, target_root);
  excluded_.clear();
  for (const std::string& e : rules_.excluded) excluded_.push_back(NormalizedFolder(fs_, e));
}

int FileCopier::CopyFolders(const std::string& from, const std::string& to) {
  Start("");
  if (from.empty() || to.empty()) {
    Fail(kFoldersMissing, {});
    return failures_;
  }
  std::string real_from, real_to;
  try {
    real_from = fs_.ResolvePath(from);
  } catch (const RuntimeError& err) {
    Fail(kFolderUnreadable, {from, err.description()});
    return failures_;
  }
  try {
    real_to = fs_.ResolvePath(to);
  } catch (const RuntimeError& err) {
    Fail(kTargetFailed, {to, err.description()});
    return failures_;
  }
  if (!fs_.FolderExists(real_from)) {
    Fail(kSourceMissing, {from});
  } else if (NormalizedFolder(fs_, real_from) == NormalizedFolder(fs_, real_to)) {
    Fail(kSameFolder, {from});
  } else {
    Start(real_to);
    CopyTree(real_from, real_to);
    Flush();
  }
  return failures_;
}

int FileCopier::CopySubtree(const std::string& from, const std::string& to,
                            const std::string& target_root) {
  try {
    Start(fs_.ResolvePath(target_root));
  } catch (const RuntimeError& err) {
    Start("");
    Fail(kFolderUnreadable, {target_root, err.description()});
    return failures_;
  }
  if (fs_.FolderExists(from) && NormalizedFolder(fs_, from) != target_root_) {
    CopyTree(from, to);
    Flush();
  }
  return failures_;
}

bool FileCopier::CopyIfChanged(const std::string& src, const std::string& dst) {
  Start(target_root_);
  FileStat have = fs_.GetFileStat(src);
  if (have.kind != FileStat::kFile || (have.link && !rules_.follow_links)) return true;
  if (SameFile(fs_.GetFileStat(dst), have)) return true;
  if (!Settled(src, have)) return false;
  std::string folder = ParentFolder(fs_, dst);
  try {
    if (!folder.empty()) EnsureFolder(fs_, folder);
  } catch (const RuntimeError& err) {
    Fail(kTargetFailed, {folder, err.description()});
    return false;
  }
  if (EnoughSpace(folder.empty() ? dst : folder, have.size)) {
    CopyInto(src, dst, folder, have.size, have.link);
  } else {
    Later({src, dst, "", "", &kDiskSpace, {src}});
  }
  Flush();
  return failures_ == 0 && !stopped_;
}

std::vector<platform::FolderEntry> FileCopier::TargetFiles(const std::string& to) {
  std::vector<platform::FolderEntry> entries;
  try {
    entries = fs_.ListFolder(to);
  } catch (const RuntimeError&) {
    return entries;  // each copy then reports what is wrong
  }
  const std::int64_t stale = fs_.FileTimeNow() - kStaleAfter;
  for (const platform::FolderEntry& e : entries) {
    if (e.stat.kind != FileStat::kFile || e.stat.link || !IsTempName(e.name) ||
        e.stat.modified >= stale) {
      continue;
    }
    const std::string path = fs_.BuildPath(to, e.name);
    if (InFlight().count(path) == 0) RemoveQuietly(fs_, path);
  }
  return entries;
}

void FileCopier::CopyTree(const std::string& from, const std::string& to) {
  if (!KeepGoing()) return;
  std::vector<platform::FolderEntry> entries;
  try {
    entries = fs_.ListFolder(from);
  } catch (const RuntimeError& err) {
    Fail(kFolderUnreadable, {from, err.description()});
    return;
  }
  std::sort(entries.begin(), entries.end(),
            [](const platform::FolderEntry& a, const platform::FolderEntry& b) {
              return NameLess(a.name, b.name);
            });
  walk_.push_back(NormalizedFolder(fs_, from));
  bool target_ready = false;
  std::map<std::string, FileStat> target;
  for (const platform::FolderEntry& e : entries) {
    if (e.stat.kind != FileStat::kFile || (e.stat.link && !rules_.follow_links) ||
        !Wanted(e.name)) {
      continue;
    }
    if (!KeepGoing()) break;
    if (!target_ready) {
      try {
        EnsureFolder(fs_, to);
      } catch (const RuntimeError& err) {
        Fail(kTargetFailed, {to, err.description()});
        walk_.pop_back();
        return;  // nothing below this folder can be copied either
      }
      for (platform::FolderEntry& t : TargetFiles(to)) target[t.name] = t.stat;
      target_ready = true;
    }
    auto have = target.find(e.name);
    if (have != target.end() && SameFile(have->second, e.stat)) continue;
    const std::string src = fs_.BuildPath(from, e.name);
    if (!Settled(src, e.stat)) continue;
    const std::string dst = fs_.BuildPath(to, e.name);
    if (EnoughSpace(to, e.stat.size)) {
      CopyInto(src, dst, to, e.stat.size, e.stat.link);
    } else {
      Later({src, dst, "", "", &kDiskSpace, {src}});
    }
  }
  if (rules_.recursive) {
    for (const platform::FolderEntry& e : entries) {
      if (stopped_) break;
      if (e.stat.kind != FileStat::kFolder || (e.stat.link && !rules_.follow_links)) continue;
      std::string sub = fs_.BuildPath(from, e.name);
      if (e.stat.link) {
        try {
          sub = fs_.ResolvePath(sub);
        } catch (const RuntimeError&) {
          continue;
        }
        // Not back into the walk: that would never end.
        const std::string key = NormalizedFolder(fs_, sub);
        if (std::find(walk_.begin(), walk_.end(), key) != walk_.end()) continue;
      }
      // A target inside the source is not copied into itself, nor into
      // another job's.
      const std::string key = NormalizedFolder(fs_, sub);
      if (key == target_root_ ||
          std::find(excluded_.begin(), excluded_.end(), key) != excluded_.end()) {
        continue;
      }
      CopyTree(sub, fs_.BuildPath(to, e.name));
    }
  }
  walk_.pop_back();
}

void FileCopier::CopyInto(const std::string& src, const std::string& dst,
                          const std::string& folder, std::int64_t size, bool link) {
  Pending p{src, dst, fs_.BuildPath(folder, NewTempName()), folder, nullptr, {}};
  InFlight().insert(p.temp);
  platform::CopyOptions options;
  options.follow_link = link;
  options.durable = false;
  options.keep_going = [this] { return KeepGoing(); };
  try {
    if (!fs_.CopyToNewFile(src, p.temp, options)) {
      InFlight().erase(p.temp);
      Abandon();
      return;
    }
  } catch (const RuntimeError& err) {
    // The file system removes a failed copy; whatever it could not remove
    // goes now, or once it is stale.
    if (fs_.GetFileStat(p.temp).kind != FileStat::kMissing) RemoveQuietly(fs_, p.temp);
    InFlight().erase(p.temp);
    Later({src, dst, "", "", &kCopyFailed, {src, dst, err.description()}});
    return;
  }
  batch_bytes_ += size;
  Later(std::move(p));
  if (batch_.size() >= kBatchFiles || batch_bytes_ >= kBatchBytes) Flush();
}

void FileCopier::Later(Pending p) {
  if (p.temp.empty() && batch_.empty()) {
    Fail(*p.failure, p.args);
    return;
  }
  batch_.push_back(std::move(p));
}

// Data first, then the names: a crash in between leaves the old files and
// some temporary ones, never a name that holds less than a whole copy. Each
// of the two steps is one flush for the whole batch.
void FileCopier::Flush() {
  if (batch_.empty()) return;
  std::vector<std::string> temps, folders;
  for (const Pending& p : batch_) {
    if (!p.temp.empty()) temps.push_back(p.temp);
  }
  std::string flush_error;
  try {
    if (!temps.empty()) fs_.FlushToDisk(temps);
  } catch (const RuntimeError& err) {
    flush_error = err.description();
  }
  for (Pending& p : batch_) {
    if (p.temp.empty()) continue;
    if (flush_error.empty()) {
      try {
        fs_.RenameFile(p.temp, p.dst);
        if (folders.empty() || folders.back() != p.folder) folders.push_back(p.folder);
        p.temp.clear();
        continue;
      } catch (const RuntimeError& err) {
        p.args = {p.src, p.dst, err.description()};
      }
    } else {
      p.args = {p.src, p.dst, flush_error};
    }
    RemoveQuietly(fs_, p.temp);
    p.failure = &kCopyFailed;
  }
  for (const std::string& t : temps) InFlight().erase(t);
  try {
    if (!folders.empty()) fs_.FlushToDisk(folders);
  } catch (const RuntimeError&) {
    // The copies are whole; at worst a crash loses their new names, and
    // the next pass copies them again.
  }
  std::vector<Pending> done = std::move(batch_);
  batch_.clear();
  batch_bytes_ = 0;
  for (const Pending& p : done) {
    if (p.failure) {
      Fail(*p.failure, p.args);
    } else if (listener_) {
      listener_->Copied(p.src, p.dst);
    }
  }
}

// A stop: the copies not renamed yet are given up; their failures stay.
void FileCopier::Abandon() {
  std::vector<Pending> left = std::move(batch_);
  batch_.clear();
  batch_bytes_ = 0;
  for (const Pending& p : left) {
    if (!p.temp.empty()) {
      RemoveQuietly(fs_, p.temp);
      InFlight().erase(p.temp);
    } else if (p.failure) {
      Fail(*p.failure, p.args);
    }
  }
}

bool FileCopier::KeepGoing() {
  if (stopped_) return false;
  if (rules_.keep_going && !rules_.keep_going()) {
    stopped_ = true;
    Abandon();
    return false;
  }
  return true;
}

bool FileCopier::Settled(const std::string& path, const FileStat& stat) {
  const std::int64_t settle = rules_.settle_seconds * kFileTimeSecond;
  const std::int64_t age = fs_.FileTimeNow() - stat.modified;
  if ((age < settle && age > -settle) || fs_.OpenForWriting(path)) {
    ++waiting_;
    return false;
  }
  return true;
}

bool FileCopier::EnoughSpace(const std::string& folder, std::int64_t size) {
  if (!rules_.check_free_space) return true;
  std::int64_t free = FreeBytes(fs_, folder);
  return free < 0 || free - size >= kMinFreeBytes;
}

void FileCopier::Fail(const EngineText& text,
                      const std::vector<std::string>& args) {
  ++failures_;
  if (listener_) listener_->Failed(text, args);
}

}  // namespace qs::engine
