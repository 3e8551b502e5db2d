// The parts of the platform layer that are the same on every system.
#include "platform/platform.h"

#include <chrono>
#include <cstdio>

#include "platform/dir_watch.h"

namespace qs::platform {

namespace {

Platform& Active() {
  static Platform active = OsPlatform();
  return active;
}

std::vector<const std::function<void(const std::string&)>*>& Listeners() {
  static std::vector<const std::function<void(const std::string&)>*> listeners;
  return listeners;
}

}  // namespace

std::string FileSystem::BuildPath(std::string_view path,
                                  std::string_view name) const {
  if (path.empty()) return std::string(name);
  if (name.empty()) return std::string(path);
  // A bare drive ("C:") is joined without a separator, as the file-system
  // object does: "C:" + "x" names x in the drive's current folder.
  if (Separator() == '\\' && path.size() == 2 && path[1] == ':') {
    return std::string(path) + std::string(name);
  }
  while (path.size() > 1 && IsSeparator(path.back()) &&
         IsSeparator(path[path.size() - 2])) {
    path.remove_suffix(1);
  }
  bool path_has = IsSeparator(path.back());
  while (!name.empty() && IsSeparator(name.front()) && path_has) {
    name.remove_prefix(1);
  }
  std::string out(path);
  if (!path_has && !(name.size() && IsSeparator(name.front()))) {
    out.push_back(Separator());
  }
  out.append(name);
  return out;
}

void FileSystem::AppendOrCreateText(const std::string& path,
                                    std::string_view text) {
  if (!FileExists(path)) CreateTextFile(path, true);
  AppendText(path, text);
}

std::int64_t FileSystem::FileTimeNow() const {
  using namespace std::chrono;
  constexpr std::int64_t kSince1601 = 11644473600;  // seconds to 1970
  const auto since_1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch());
  return (since_1970.count() + kSince1601 * 1000000) * 10;
}

std::shared_ptr<DirWatcher> FileSystem::FolderWatcher(MessageLoop& loop) {
  return SharedDirWatcher(loop);
}

std::string FileSystem::GetBaseName(std::string_view path) const {
  while (!path.empty() && IsSeparator(path.back())) path.remove_suffix(1);
  std::size_t cut = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i]) || (Separator() == '\\' && path[i] == ':')) {
      cut = i + 1;
    }
  }
  std::string_view last = path.substr(cut);
  std::size_t dot = last.rfind('.');
  if (dot != std::string_view::npos && dot > 0) last = last.substr(0, dot);
  return std::string(last);
}

Platform& Current() { return Active(); }

void Notice(const std::string& text) {
  Current().ui->Notice(text);
  // By index: a listener may come or go while another one hears.
  for (std::size_t i = 0; i < Listeners().size(); ++i) (*Listeners()[i])(text);
}

NoticeListener::NoticeListener(std::function<void(const std::string&)> hear)
    : hear_(std::move(hear)) {
  Listeners().push_back(&hear_);
}

NoticeListener::~NoticeListener() { std::erase(Listeners(), &hear_); }

ScopedPlatform::ScopedPlatform(const Platform& replacement)
    : saved_(Active()) {
  Platform& p = Active();
  if (replacement.profile) p.profile = replacement.profile;
  if (replacement.clock) p.clock = replacement.clock;
  if (replacement.process) p.process = replacement.process;
  if (replacement.windows) p.windows = replacement.windows;
  if (replacement.ui) p.ui = replacement.ui;
}

ScopedPlatform::~ScopedPlatform() { Active() = saved_; }

std::string ProgramFolder() {
  const FileSystem& fs = OsFileSystem();
  std::string exe = Current().process->ModuleFileName();
  std::size_t cut = std::string::npos;
  for (std::size_t i = 0; i < exe.size(); ++i) {
    if (fs.IsSeparator(exe[i])) cut = i;
  }
  if (cut == std::string::npos) return std::string();
  // A file in the root keeps its root separator ("C:\", "/").
  if (cut == 0 || (cut == 2 && exe[1] == ':')) return exe.substr(0, cut + 1);
  return exe.substr(0, cut);
}

std::string ProgramFile(std::string_view name) {
  return ProgramFolder() + OsFileSystem().Separator() + std::string(name);
}

std::string ProgramName() {
  return OsFileSystem().GetBaseName(Current().process->ModuleFileName());
}

}  // namespace qs::platform
