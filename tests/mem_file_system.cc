#include "tests/mem_file_system.h"

#include <algorithm>
#include <chrono>

#include "platform/runtime_error.h"

namespace qs::test {

struct MemFileSystem::Node {
  enum Kind { kFile, kFolder, kLink } kind = kFile;
  std::string data, durable;  // a file's bytes, and what a crash leaves
  std::int64_t modified = 0;
  std::map<std::string, NodePtr> entries, durable_entries;  // a folder's
  std::string target;  // a link's
  bool trusted = true;
  bool read_only = false;
  std::string untrusted;  // why others may change it
};

namespace {

std::vector<std::string> Split(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    if (slash != 0) parts.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
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

MemFileSystem::MemFileSystem() : root_(std::make_shared<Node>()) {
  root_->kind = Node::kFolder;
  using namespace std::chrono;
  now = (duration_cast<seconds>(system_clock::now().time_since_epoch()).count() +
         11644473600) * 10000000;
}

// Walks `path`: links on the way are followed when trusted and refused (70)
// when not; the last one only with `follow_last`. With `missing`, a folder
// on the way that is not there ends the walk; the rest goes to *missing.
MemFileSystem::Place MemFileSystem::Find(const std::string& path, bool follow_last,
                                         std::vector<std::string>* missing) const {
  std::vector<std::string> todo = Split(path);
  std::reverse(todo.begin(), todo.end());
  std::vector<NodePtr> stack{root_};
  std::vector<std::string> trail;
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.back());
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      if (stack.size() > 1) {
        stack.pop_back();
        trail.pop_back();
      }
      continue;
    }
    const bool last = todo.empty();
    auto it = stack.back()->entries.find(part);
    if (it == stack.back()->entries.end()) {
      if (missing) {
        missing->assign(1, part);
        while (!todo.empty()) {
          missing->push_back(todo.back());
          todo.pop_back();
        }
      } else if (!last) {
        Throw(kErrPathNotFound);
      }
      trail.push_back(part);
      return {stack.back(), part, nullptr, Join(trail)};
    }
    NodePtr next = it->second;
    if (next->kind == Node::kLink && (!last || follow_last)) {
      if (!next->trusted || ++links > 40) Throw(kErrPermission);
      std::vector<std::string> target = Split(next->target);
      if (!next->target.empty() && next->target.front() == '/') {
        stack.resize(1);
        trail.clear();
      }
      for (auto t = target.rbegin(); t != target.rend(); ++t) todo.push_back(*t);
      continue;
    }
    trail.push_back(part);
    if (last) return {stack.back(), part, next, Join(trail)};
    if (next->kind != Node::kFolder) Throw(kErrPathNotFound);
    stack.push_back(next);
  }
  if (stack.size() == 1) return {nullptr, "", root_, "/"};
  return {stack[stack.size() - 2], trail.back(), stack.back(), Join(trail)};
}

void MemFileSystem::Before(Op op, const std::string& path) {
  const int kind = static_cast<int>(op);
  const int n = ++counts_[kind];
  if (on_op) on_op(op, path);
  auto& planned = faults_[kind];
  auto fault = planned.find(n);
  if (fault != planned.end()) {
    std::int32_t error = fault->second;
    planned.erase(fault);
    Throw(error);
  }
  for (const std::string& d : denied_) {
    if (path == d || path.starts_with(d + "/")) Throw(kErrPermission);
  }
}

MemFileSystem::Place MemFileSystem::FindForWrite(Op op, const std::string& path) {
  Before(op, path);
  Place p = Find(path, false);
  if (p.folder == nullptr) Throw(kErrPermission);
  if (p.name.size() > kNameMax) Throw(kErrBadFileName);
  return p;
}

MemFileSystem::NodePtr MemFileSystem::FileAt(const std::string& path, bool follow_last) const {
  Place p = Find(path, follow_last);
  if (p.node == nullptr) Throw(kErrFileNotFound);
  if (p.node->kind != Node::kFile) Throw(kErrPermission);
  return p.node;
}

std::int64_t MemFileSystem::Used() const {
  std::int64_t used = 0;
  std::vector<NodePtr> todo{root_};
  while (!todo.empty()) {
    NodePtr n = todo.back();
    todo.pop_back();
    used += static_cast<std::int64_t>(n->data.size());
    for (const auto& [name, child] : n->entries) todo.push_back(child);
  }
  return used;
}

void MemFileSystem::Store(Node& node, std::string_view data) {
  const std::int64_t free = std::max<std::int64_t>(capacity - Used(), 0);
  const bool fits = static_cast<std::int64_t>(data.size()) <= free;
  node.data.append(data.substr(0, fits ? data.size() : static_cast<std::size_t>(free)));
  node.modified = now;
  if (!fits) Throw(kErrDiskFull);
}

void MemFileSystem::FailAt(Op op, int n, std::int32_t error) {
  faults_[static_cast<int>(op)][counts_[static_cast<int>(op)] + n] = error;
}

void MemFileSystem::AddFolder(const std::string& path) {
  NodePtr cur = root_;
  for (const std::string& part : Split(path)) {
    NodePtr& next = cur->entries[part];
    if (next == nullptr) {
      next = std::make_shared<Node>();
      next->kind = Node::kFolder;
      cur->durable_entries[part] = next;
    }
    cur = next;
  }
}

void MemFileSystem::Put(const std::string& path, NodePtr node) {
  AddFolder(path.substr(0, path.rfind('/')));
  Place p = Find(path, false);
  p.folder->entries[p.name] = p.folder->durable_entries[p.name] = std::move(node);
}

void MemFileSystem::AddFile(const std::string& path, std::string_view data,
                            std::int64_t modified) {
  auto node = std::make_shared<Node>();
  node->data = node->durable = std::string(data);
  node->modified = modified ? modified : now;
  Put(path, node);
}

void MemFileSystem::AddLink(const std::string& path, const std::string& target, bool trusted) {
  auto node = std::make_shared<Node>();
  node->kind = Node::kLink;
  node->target = target;
  node->trusted = trusted;
  Put(path, node);
}

void MemFileSystem::SetUntrusted(const std::string& path, const std::string& reason) {
  Find(path, false).node->untrusted = reason;
}

void MemFileSystem::SetReadOnly(const std::string& path, bool read_only) {
  Find(path, false).node->read_only = read_only;
}

std::string MemFileSystem::Read(const std::string& path) const {
  try {
    return FileAt(path, true)->data;
  } catch (const RuntimeError&) {
    return {};
  }
}

bool MemFileSystem::Has(const std::string& path) const {
  try {
    return Find(path, false).node != nullptr;
  } catch (const RuntimeError&) {
    return false;
  }
}

std::vector<std::string> MemFileSystem::Names(const std::string& folder) const {
  std::vector<std::string> names;
  for (const auto& [name, node] : Find(folder, true).node->entries) names.push_back(name);
  return names;
}

void MemFileSystem::Crash() {
  std::vector<NodePtr> todo{root_};
  while (!todo.empty()) {
    NodePtr n = todo.back();
    todo.pop_back();
    n->data = n->durable;
    n->entries = n->durable_entries;
    for (const auto& [name, child] : n->entries) todo.push_back(child);
  }
}

bool MemFileSystem::FileExists(const std::string& path) {
  try {
    NodePtr n = Find(path, true).node;
    return n && n->kind == Node::kFile;
  } catch (const RuntimeError&) {
    return false;
  }
}

bool MemFileSystem::FolderExists(const std::string& path) {
  try {
    NodePtr n = Find(path, true).node;
    return n && n->kind == Node::kFolder;
  } catch (const RuntimeError&) {
    return false;
  }
}

void MemFileSystem::CreateTextFile(const std::string& path, bool overwrite) {
  Place p = FindForWrite(Op::kCreate, path);
  if (p.node) {
    if (p.node->kind != Node::kFile || p.node->read_only) Throw(kErrPermission);
    if (!overwrite) Throw(kErrFileExists);
  }
  auto node = std::make_shared<Node>();
  node->modified = now;
  p.folder->entries[p.name] = p.folder->durable_entries[p.name] = node;
}

void MemFileSystem::AppendText(const std::string& path, std::string_view text) {
  Place p = FindForWrite(Op::kWrite, path);
  if (p.node == nullptr) Throw(kErrFileNotFound);
  if (p.node->kind != Node::kFile || p.node->read_only) Throw(kErrPermission);
  const std::size_t before = p.node->data.size();
  try {
    Store(*p.node, text);
  } catch (const RuntimeError&) {
    p.node->data.resize(before);  // a failed append leaves nothing
    throw;
  }
}

void MemFileSystem::AppendOrCreateText(const std::string& path, std::string_view text) {
  Place p = Find(path, false);
  if (p.node == nullptr) {
    Place made = FindForWrite(Op::kCreate, path);
    auto node = std::make_shared<Node>();
    node->modified = now;
    made.folder->entries[made.name] = node;
  }
  AppendText(path, text);
}

std::string MemFileSystem::ReadTail(const std::string& path, std::uint64_t max_bytes) {
  const std::string& data = FileAt(path, false)->data;
  return data.substr(data.size() - std::min<std::uint64_t>(data.size(), max_bytes));
}

void MemFileSystem::ReplaceFile(const std::string& path, std::string_view data) {
  Place p = FindForWrite(Op::kWrite, path);
  if (p.node && (p.node->kind != Node::kFile || p.node->read_only)) Throw(kErrPermission);
  if (static_cast<std::int64_t>(data.size()) > capacity - Used()) Throw(kErrDiskFull);
  auto node = std::make_shared<Node>();
  node->data = node->durable = std::string(data);
  node->modified = now;
  p.folder->entries[p.name] = p.folder->durable_entries[p.name] = node;
}

void MemFileSystem::DeleteFile(const std::string& path, bool force) {
  Place p = FindForWrite(Op::kDelete, path);
  if (p.node == nullptr || p.node->kind == Node::kFolder) Throw(kErrFileNotFound);
  if (!force && p.node->read_only) Throw(kErrPermission);
  p.folder->entries.erase(p.name);
}

std::int64_t MemFileSystem::FileLength(const std::string& path) {
  try {
    return static_cast<std::int64_t>(FileAt(path, false)->data.size());
  } catch (const RuntimeError&) {
    return -1;
  }
}

bool MemFileSystem::GetDiskFreeSpace(const std::string&, std::uint32_t* sectors_per_cluster,
                                     std::uint32_t* bytes_per_sector,
                                     std::uint32_t* free_clusters,
                                     std::uint32_t* total_clusters) {
  auto cut = [](std::int64_t v) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 0xFFFFFFFF));
  };
  *sectors_per_cluster = *bytes_per_sector = 1;
  *free_clusters = cut(capacity - Used());
  *total_clusters = cut(capacity);
  return true;
}

platform::FileStat MemFileSystem::GetFileStat(const std::string& path) {
  using platform::FileStat;
  NodePtr n;
  try {
    n = Find(path, false).node;
  } catch (const RuntimeError&) {
    return {};
  }
  if (n == nullptr) return {};
  if (n->kind == Node::kLink) {
    FileStat info{FileStat::kOther, 0, 0, true};
    try {
      if (n->trusted) info = GetFileStat(Find(path, true).path);
    } catch (const RuntimeError&) {
    }
    info.link = true;
    return info;
  }
  if (n->kind == Node::kFolder) return {FileStat::kFolder, 0, 0, false};
  return {FileStat::kFile, static_cast<std::int64_t>(n->data.size()), n->modified, false};
}

std::vector<platform::FolderEntry> MemFileSystem::ListFolder(const std::string& folder) {
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
  Place src = Find(from, options.follow_link);
  if (src.node == nullptr) Throw(kErrFileNotFound);
  if (src.node->kind != Node::kFile) Throw(kErrPermission);
  const std::string data = src.node->data;
  Place dst = FindForWrite(Op::kCreate, to);
  if (dst.node) Throw(kErrFileExists);
  auto node = std::make_shared<Node>();
  dst.folder->entries[dst.name] = node;
  try {
    for (std::size_t at = 0; at == 0 || at < data.size(); at += kChunk) {
      if (at > 0 && options.keep_going && !options.keep_going()) {
        dst.folder->entries.erase(dst.name);
        return false;
      }
      Before(Op::kWrite, to);
      Store(*node, std::string_view(data).substr(at, kChunk));
    }
  } catch (const RuntimeError&) {
    dst.folder->entries.erase(dst.name);
    throw;
  }
  node->modified = src.node->modified;
  if (options.durable) node->durable = node->data;
  return true;
}

void MemFileSystem::FlushToDisk(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    Before(Op::kSync, p);
    NodePtr n = Find(p, true).node;
    if (n == nullptr) Throw(kErrFileNotFound);
    n->durable = n->data;
    if (n->kind == Node::kFolder) n->durable_entries = n->entries;
  }
}

void MemFileSystem::RenameFile(const std::string& from, const std::string& to) {
  Place dst = FindForWrite(Op::kRename, to);
  Place src = Find(from, false);
  if (src.node == nullptr || src.folder == nullptr) Throw(kErrFileNotFound);
  if (dst.folder == nullptr || (dst.node && dst.node->kind == Node::kFolder)) {
    Throw(kErrPermission);
  }
  NodePtr moving = src.node;
  src.folder->entries.erase(src.name);
  dst.folder->entries[dst.name] = moving;
}

void MemFileSystem::CreateFolder(const std::string& path) {
  Place p = FindForWrite(Op::kMakeFolder, path);
  if (p.node) Throw(kErrFileExists);
  auto node = std::make_shared<Node>();
  node->kind = Node::kFolder;
  p.folder->entries[p.name] = node;
}

std::string MemFileSystem::ResolvePath(const std::string& path) {
  std::vector<std::string> missing;
  Place p = Find(path, true, &missing);
  std::vector<std::string> parts = Split(p.node ? p.path : p.path.substr(0, p.path.rfind('/')));
  for (const std::string& m : missing) {
    if (m == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (m != ".") {
      parts.push_back(m);
    }
  }
  return Join(parts);
}

std::string MemFileSystem::UntrustedBecause(const std::string& path) {
  try {
    NodePtr n = Find(path, false).node;
    if (n && n->kind == Node::kLink && !n->trusted) return "a link of another user";
    n = Find(path, true).node;
    return n ? n->untrusted : std::string();
  } catch (const RuntimeError&) {
    return "a link of another user on its path";
  }
}

}  // namespace qs::test
