#include "tests/mem_file_system.h"

#include <algorithm>
#include <chrono>

#include "platform/message_loop.h"
#include "platform/runtime_error.h"

namespace qs::test {

using platform::DirChange;
using platform::FileStat;

struct MemFileSystem::Node {
  enum Kind { kFile, kFolder, kLink } kind = kFile;
  std::string data{}, durable{};  // a file's bytes, and what a crash leaves
  std::int64_t modified = 0;
  std::map<std::string, NodePtr> entries{}, durable_entries{};  // a folder's
  std::string target{};  // a link's
  bool trusted = true, read_only = false;
  std::string untrusted{};  // why others may change it
};

// Watches by node, so that a folder moved elsewhere goes on reporting.
// Reports go through the loop, as the OS's do; one that comes after its
// watch has ended is dropped.
class MemFileSystem::Watcher final : public platform::DirWatcher,
                                     public std::enable_shared_from_this<Watcher> {
 public:
  Watcher(MemFileSystem& fs, platform::MessageLoop& loop) : fs_(fs), loop_(loop) {}

  WatchId Watch(const std::string& folder, Handler handler) override {
    fs_.Before(Op::kWatch, folder);
    NodePtr node = fs_.At(folder, true);
    if (node == nullptr || node->kind != Node::kFolder) throw RuntimeError(kErrPathNotFound);
    watches_[++last_id_] = {node, std::move(handler)};
    return last_id_;
  }
  void Unwatch(WatchId id) override { watches_.erase(id); }

  void Report(const Node* folder, const std::string& name, DirChange change, bool is_folder) {
    for (const auto& [id, watch] : watches_) {
      if (watch.first.get() != folder) continue;
      loop_.Post([weak = weak_from_this(), id, name, change, is_folder] {
        auto self = weak.lock();
        if (!self || self->watches_.count(id) == 0) return;
        Handler handler = self->watches_[id].second;
        handler(name, change, is_folder);
      });
    }
  }

 private:
  MemFileSystem& fs_;
  platform::MessageLoop& loop_;
  std::map<WatchId, std::pair<NodePtr, Handler>> watches_;
  WatchId last_id_ = 0;
};

namespace {

std::vector<std::string> Split(std::string_view path) {
  std::vector<std::string> parts;
  for (std::size_t at = 0, end; at <= path.size(); at = end + 1) {
    end = std::min(path.find_first_of("/\\", at), path.size());
    if (end > at) parts.emplace_back(path.substr(at, end - at));
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

[[noreturn]] void Throw(std::int32_t number) { throw RuntimeError(number); }

}  // namespace

MemFileSystem::MemFileSystem() : root_(std::make_shared<Node>(Node{.kind = Node::kFolder})) {
  using namespace std::chrono;
  now = (duration_cast<seconds>(system_clock::now().time_since_epoch()).count() +
         11644473600) * 10000000;
}

MemFileSystem::~MemFileSystem() = default;

// Walks `path`: links on the way are followed when trusted and refused (70)
// when not; the last one only with `follow_last`. With `missing`, a folder
// on the way that is not there ends the walk; the rest goes to *missing.
MemFileSystem::Place MemFileSystem::Find(const std::string& path, bool follow_last,
                                         std::vector<std::string>* missing) const {
  std::vector<std::string> todo = Split(path);
  std::reverse(todo.begin(), todo.end());
  std::vector<NodePtr> stack{root_};
  std::vector<std::string> trail;
  while (!todo.empty()) {
    std::string part = std::move(todo.back());
    todo.pop_back();
    if (part == "." || (part == ".." && stack.size() == 1)) continue;
    if (part == "..") {
      stack.pop_back();
      trail.pop_back();
      continue;
    }
    const bool last = todo.empty();
    auto it = stack.back()->entries.find(part);
    if (it == stack.back()->entries.end()) {
      if (missing) missing->assign(todo.rbegin(), todo.rend());
      if (!missing && !last) Throw(kErrPathNotFound);
      trail.push_back(part);
      return {stack.back(), nullptr, part, Join(trail)};
    }
    NodePtr next = it->second;
    if (next->kind == Node::kLink && (!last || follow_last)) {
      if (!next->trusted) Throw(kErrPermission);
      if (next->target.starts_with("/")) {
        stack.resize(1);
        trail.clear();
      }
      std::vector<std::string> target = Split(next->target);
      todo.insert(todo.end(), target.rbegin(), target.rend());
      continue;
    }
    trail.push_back(part);
    if (last) return {stack.back(), next, part, Join(trail)};
    if (next->kind != Node::kFolder) Throw(kErrPathNotFound);
    stack.push_back(next);
  }
  if (stack.size() == 1) return {nullptr, root_, "", "/"};
  return {stack[stack.size() - 2], stack.back(), trail.back(), Join(trail)};
}

MemFileSystem::NodePtr MemFileSystem::At(const std::string& path, bool follow_last) const {
  try {
    return Find(path, follow_last).node;
  } catch (const RuntimeError&) {
    return nullptr;
  }
}

void MemFileSystem::Before(Op op, const std::string& path) {
  const int n = ++counts_[static_cast<int>(op)];
  if (on_op) on_op(op, path);
  if (auto fault = faults_.extract({op, n})) Throw(fault.mapped());
  for (const std::string& d : denied_) {
    if (path == d || path.starts_with(d + "/")) Throw(kErrPermission);
  }
}

MemFileSystem::Place MemFileSystem::FindForWrite(Op op, const std::string& path) {
  Before(op, path);
  Place p = Find(path, false);
  if (p.folder == nullptr) Throw(kErrPermission);
  if (p.name.size() > kNameMax) Throw(kErrBadFileName);
  if (p.node && op == Op::kWrite && (p.node->kind != Node::kFile || p.node->read_only)) {
    Throw(kErrPermission);
  }
  return p;
}

MemFileSystem::NodePtr MemFileSystem::FileAt(const std::string& path, bool follow_last) const {
  Place p = Find(path, follow_last);
  if (p.node == nullptr) Throw(kErrFileNotFound);
  return p.node;
}

std::int64_t MemFileSystem::Free() const {
  std::int64_t used = 0;
  std::vector<NodePtr> all{root_};
  for (std::size_t i = 0; i < all.size(); ++i) {
    used += static_cast<std::int64_t>(all[i]->data.size());
    for (const auto& [name, child] : all[i]->entries) all.push_back(child);
  }
  return std::max<std::int64_t>(capacity - used, 0);
}

void MemFileSystem::Store(Node& node, std::string_view data) {
  if (static_cast<std::int64_t>(data.size()) > Free()) Throw(kErrDiskFull);
  node.data.append(data);
  node.modified = now;
}

void MemFileSystem::Report(const Place& place, DirChange change, const NodePtr& entry) {
  auto watcher = watcher_.lock();
  if (watcher == nullptr) return;
  const bool folder = entry->kind == Node::kFolder;
  // A removed folder tells its end before its parent tells the removal, a
  // moved one after the parent tells the move, as inotify does.
  if (folder && change == DirChange::kDeleted) {
    watcher->Report(entry.get(), "", DirChange::kFolderGone, true);
  }
  watcher->Report(place.folder.get(), place.name, change, folder);
  if (folder && change == DirChange::kMovedOut) {
    watcher->Report(entry.get(), "", DirChange::kFolderGone, true);
  }
}

void MemFileSystem::Put(const Place& place, NodePtr node, bool durable) {
  if (place.node == nullptr) Report(place, DirChange::kCreated, node);
  place.folder->entries[place.name] = node;
  if (durable) place.folder->durable_entries[place.name] = node;
  if (node->kind == Node::kFile) Report(place, DirChange::kWritten, node);
}

void MemFileSystem::Unlink(const Place& place, bool durable) {
  place.folder->entries.erase(place.name);
  if (durable) place.folder->durable_entries.erase(place.name);
  Report(place, DirChange::kDeleted, place.node);
}

void MemFileSystem::AddFolder(const std::string& path) {
  std::string walked;
  for (const std::string& part : Split(path)) {
    Place p = Find(walked += "/" + part, true);
    if (p.node == nullptr) Put(p, std::make_shared<Node>(Node{.kind = Node::kFolder}), true);
  }
}

void MemFileSystem::Add(const std::string& path, Node node) {
  AddFolder(path.substr(0, path.find_last_of("/\\")));
  Put(Find(path, false), std::make_shared<Node>(std::move(node)), true);
}

void MemFileSystem::AddFile(const std::string& path, std::string_view data,
                            std::int64_t modified) {
  const std::string bytes(data);
  Add(path, {.data = bytes, .durable = bytes, .modified = modified ? modified : now});
}

void MemFileSystem::AddLink(const std::string& path, const std::string& target, bool trusted) {
  Add(path, {.kind = Node::kLink, .target = target, .trusted = trusted});
}

void MemFileSystem::SetUntrusted(const std::string& path, const std::string& reason) {
  Find(path, false).node->untrusted = reason;
}

void MemFileSystem::SetReadOnly(const std::string& path, bool read_only) {
  Find(path, false).node->read_only = read_only;
}

void MemFileSystem::Remove(const std::string& path) { Unlink(Find(path, false), true); }

std::string MemFileSystem::Read(const std::string& path) const {
  NodePtr n = At(path, true);
  return n && n->kind == Node::kFile ? n->data : std::string();
}

bool MemFileSystem::Has(const std::string& path) const { return At(path, false) != nullptr; }

std::vector<std::string> MemFileSystem::Names(const std::string& folder) const {
  std::vector<std::string> names;
  if (NodePtr n = At(folder, true)) {
    for (const auto& [name, node] : n->entries) names.push_back(name);
  }
  return names;
}

void MemFileSystem::Crash() {
  for (std::vector<NodePtr> todo{root_}; !todo.empty();) {
    NodePtr n = todo.back();
    todo.pop_back();
    n->data = n->durable;
    n->entries = n->durable_entries;
    for (const auto& [name, child] : n->entries) todo.push_back(child);
  }
}

bool MemFileSystem::FileExists(const std::string& path) {
  return GetFileStat(path).kind == FileStat::kFile;
}

bool MemFileSystem::FolderExists(const std::string& path) {
  return GetFileStat(path).kind == FileStat::kFolder;
}

void MemFileSystem::CreateTextFile(const std::string& path, bool overwrite) {
  Place p = FindForWrite(Op::kCreate, path);
  if (p.node && !overwrite) Throw(kErrFileExists);
  Put(p, std::make_shared<Node>(Node{.modified = now}), true);
}

void MemFileSystem::AppendText(const std::string& path, std::string_view text) {
  Place p = FindForWrite(Op::kWrite, path);
  if (p.node == nullptr) Throw(kErrFileNotFound);
  Store(*p.node, text);
  Report(p, DirChange::kWritten, p.node);
}

std::string MemFileSystem::ReadTail(const std::string& path, std::uint64_t max_bytes) {
  Before(Op::kRead, path);
  const std::string& data = FileAt(path, false)->data;
  return data.substr(data.size() - std::min<std::uint64_t>(data.size(), max_bytes));
}

void MemFileSystem::ReplaceFile(const std::string& path, std::string_view data) {
  Place p = FindForWrite(Op::kWrite, path);
  const std::string bytes(data);
  auto node = std::make_shared<Node>(Node{.data = bytes, .durable = bytes, .modified = now});
  p.folder->entries[p.name] = p.folder->durable_entries[p.name] = node;
  Report(p, DirChange::kMovedIn, node);
}

void MemFileSystem::DeleteFile(const std::string& path, bool) {
  Place p = FindForWrite(Op::kDelete, path);
  if (p.node == nullptr || p.node->kind == Node::kFolder) Throw(kErrFileNotFound);
  Unlink(p, false);
}

std::int64_t MemFileSystem::FileLength(const std::string& path) {
  NodePtr n = At(path, false);
  return n && n->kind == Node::kFile ? static_cast<std::int64_t>(n->data.size()) : -1;
}

bool MemFileSystem::GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                                     std::uint32_t* bytes_per_sector,
                                     std::uint32_t* free_clusters,
                                     std::uint32_t* total_clusters) {
  try {
    Before(Op::kFreeSpace, root);
  } catch (const RuntimeError&) {
    return false;
  }
  *sectors_per_cluster = *bytes_per_sector = 1;
  *free_clusters = static_cast<std::uint32_t>(std::min<std::int64_t>(Free(), 0xFFFFFFFF));
  *total_clusters = static_cast<std::uint32_t>(std::min<std::int64_t>(capacity, 0xFFFFFFFF));
  return true;
}

FileStat MemFileSystem::GetFileStat(const std::string& path) {
  NodePtr n = At(path, false);
  const bool link = n && n->kind == Node::kLink;
  if (link) n = At(path, true);  // null for an untrusted one
  FileStat info{link ? FileStat::kOther : FileStat::kMissing, 0, 0, link};
  if (n && n->kind == Node::kFolder) info.kind = FileStat::kFolder;
  if (n && n->kind == Node::kFile) {
    info = {FileStat::kFile, static_cast<std::int64_t>(n->data.size()), n->modified, link};
  }
  return info;
}

std::vector<platform::FolderEntry> MemFileSystem::ListFolder(const std::string& folder) {
  Before(Op::kRead, folder);
  NodePtr n = Find(folder, true).node;
  if (n == nullptr || n->kind != Node::kFolder) Throw(kErrPathNotFound);
  std::vector<platform::FolderEntry> out;
  for (const auto& [name, child] : n->entries) {
    out.push_back({name, GetFileStat(BuildPath(folder, name))});
  }
  return out;
}

bool MemFileSystem::CopyToNewFile(const std::string& from, const std::string& to,
                                  const platform::CopyOptions& options) {
  const NodePtr src = FileAt(from, options.follow_link);
  Place dst = FindForWrite(Op::kCreate, to);
  dst.folder->entries[dst.name] = dst.node = std::make_shared<Node>();
  Report(dst, DirChange::kCreated, dst.node);
  try {
    for (std::size_t at = 0; at == 0 || at < src->data.size(); at += kChunk) {
      if (at > 0 && options.keep_going && !options.keep_going()) {
        Unlink(dst, false);
        return false;
      }
      Before(Op::kWrite, to);
      Store(*dst.node, std::string_view(src->data).substr(at, kChunk));
    }
  } catch (const RuntimeError&) {
    Unlink(dst, false);
    throw;
  }
  dst.node->modified = src->modified;
  if (options.durable) dst.node->durable = dst.node->data;
  Report(dst, DirChange::kWritten, dst.node);
  return true;
}

void MemFileSystem::FlushToDisk(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    Before(Op::kSync, p);
    NodePtr n = Find(p, true).node;
    if (n == nullptr) Throw(kErrFileNotFound);
    n->durable = n->data;
    n->durable_entries = n->entries;
  }
}

void MemFileSystem::RenameFile(const std::string& from, const std::string& to) {
  Place dst = FindForWrite(Op::kRename, to);
  Place src = Find(from, false);
  if (src.node == nullptr || src.folder == nullptr) Throw(kErrFileNotFound);
  src.folder->entries.erase(src.name);
  dst.folder->entries[dst.name] = src.node;
  Report(src, DirChange::kMovedOut, src.node);
  Report(dst, DirChange::kMovedIn, src.node);
}

void MemFileSystem::CreateFolder(const std::string& path) {
  Place p = FindForWrite(Op::kMakeFolder, path);
  if (p.node) Throw(kErrFileExists);
  Put(p, std::make_shared<Node>(Node{.kind = Node::kFolder}), false);
}

std::string MemFileSystem::ResolvePath(const std::string& path) {
  std::vector<std::string> missing;
  Place p = Find(path, true, &missing);
  std::vector<std::string> parts = Split(p.path);
  parts.insert(parts.end(), missing.begin(), missing.end());
  return Join(parts);
}

std::string MemFileSystem::UntrustedBecause(const std::string& path) {
  NodePtr n = Find(path, false).node;
  if (n && n->kind == Node::kLink && !n->trusted) return "a link of another user";
  n = Find(path, true).node;
  return n ? n->untrusted : std::string();
}

std::shared_ptr<platform::DirWatcher> MemFileSystem::FolderWatcher(platform::MessageLoop& loop) {
  std::shared_ptr<Watcher> watcher = watcher_.lock();
  if (watcher == nullptr) watcher_ = watcher = std::make_shared<Watcher>(*this, loop);
  return watcher;
}

}  // namespace qs::test
