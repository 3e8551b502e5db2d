#include "engine/file_copy.h"

#include <algorithm>

#include "engine/job_file.h"
#include "platform/runtime_error.h"

namespace qs::engine {
namespace {

using platform::FileStat;
using platform::FileSystem;

bool IsSep(const FileSystem& fs, char c) {
  return c == fs.Separator() || (fs.Separator() == '\\' && c == '/');
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
  return a.kind == FileStat::kFile && b.kind == FileStat::kFile &&
         a.size == b.size && a.modified == b.modified;
}

}  // namespace

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool IsTempName(std::string_view name) {
  if (name.size() <= kTempSuffix.size()) return false;
  std::string tail(name.substr(name.size() - kTempSuffix.size()));
  return LowerAscii(std::move(tail)) == kTempSuffix;
}

std::string NormalizedFolder(const FileSystem& fs, std::string path) {
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

std::string ParentFolder(const FileSystem& fs, const std::string& path) {
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

bool FileCopier::Wanted(std::string_view name) const {
  return !IsTempName(name) && MatchesMasks(name, rules_.pattern);
}

int FileCopier::CopyFolders(const std::string& from, const std::string& to) {
  failures_ = 0;
  if (from.empty() || to.empty()) {
    Fail(kFoldersMissing, {});
  } else if (!fs_.FolderExists(from)) {
    Fail(kSourceMissing, {from});
  } else if (NormalizedFolder(fs_, from) == NormalizedFolder(fs_, to)) {
    Fail(kSameFolder, {from});
  } else {
    target_root_ = NormalizedFolder(fs_, to);
    CopyTree(from, to);
  }
  return failures_;
}

int FileCopier::CopySubtree(const std::string& from, const std::string& to,
                            const std::string& target_root) {
  failures_ = 0;
  target_root_ = NormalizedFolder(fs_, target_root);
  if (fs_.FolderExists(from) && NormalizedFolder(fs_, from) != target_root_) {
    CopyTree(from, to);
  }
  return failures_;
}

int FileCopier::CopyTree(const std::string& from, const std::string& to) {
  std::vector<platform::FolderEntry> entries;
  try {
    entries = fs_.ListFolder(from);
  } catch (const RuntimeError& err) {
    Fail(kFolderUnreadable, {from, err.description()});
    return failures_;
  }
  std::sort(entries.begin(), entries.end(),
            [](const platform::FolderEntry& a, const platform::FolderEntry& b) {
              return NameLess(a.name, b.name);
            });
  bool target_ready = false;
  for (const platform::FolderEntry& e : entries) {
    if (e.stat.kind != FileStat::kFile || !Wanted(e.name)) continue;
    std::string src = fs_.BuildPath(from, e.name);
    std::string dst = fs_.BuildPath(to, e.name);
    if (SameFile(fs_.GetFileStat(dst), e.stat)) continue;
    if (!target_ready) {
      try {
        EnsureFolder(fs_, to);
      } catch (const RuntimeError& err) {
        Fail(kTargetFailed, {to, err.description()});
        return failures_;  // nothing below this folder can be copied either
      }
      target_ready = true;
    }
    if (EnoughSpace(to, src, e.stat.size)) CopyFile(src, dst);
  }
  if (!rules_.recursive) return failures_;
  for (const platform::FolderEntry& e : entries) {
    if (e.stat.kind != FileStat::kFolder) continue;
    std::string sub = fs_.BuildPath(from, e.name);
    // A target inside the source is not copied into itself.
    if (NormalizedFolder(fs_, sub) == target_root_) continue;
    CopyTree(sub, fs_.BuildPath(to, e.name));
  }
  return failures_;
}

bool FileCopier::CopyIfChanged(const std::string& src, const std::string& dst) {
  FileStat have = fs_.GetFileStat(src);
  if (have.kind != FileStat::kFile) return true;
  if (SameFile(fs_.GetFileStat(dst), have)) return true;
  std::string folder = ParentFolder(fs_, dst);
  try {
    if (!folder.empty()) EnsureFolder(fs_, folder);
  } catch (const RuntimeError& err) {
    Fail(kTargetFailed, {folder, err.description()});
    return false;
  }
  if (!EnoughSpace(folder.empty() ? dst : folder, src, have.size)) return false;
  return CopyFile(src, dst);
}

bool FileCopier::EnoughSpace(const std::string& folder, const std::string& src,
                             std::int64_t size) {
  if (!rules_.check_free_space) return true;
  std::int64_t free = FreeBytes(fs_, folder);
  if (free >= 0 && free - size < kMinFreeBytes) {
    Fail(kDiskSpace, {src});
    return false;
  }
  return true;
}

bool FileCopier::CopyFile(const std::string& src, const std::string& dst) {
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
    return false;
  }
  if (listener_) listener_->Copied(src, dst);
  return true;
}

void FileCopier::Fail(const EngineText& text,
                      const std::vector<std::string>& args) {
  ++failures_;
  if (listener_) listener_->Failed(text, args);
}

}  // namespace qs::engine
