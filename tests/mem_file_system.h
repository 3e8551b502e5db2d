// An in-memory disk with faults on demand, in the manner of leveldb's memory
// and fault-injection environments, and the folder watches on it. Code that
// works through platform::FileSystem and DirWatcher (through
// FileSystem::FolderWatcher) runs as a fast unit test without a disk: disk
// full, denied, failing and crashing cases included. MemProfile
// (mem_profile.h) reads its INI files.
//
// Paths are absolute; "/" and "\" both separate (so paths the platform
// joins with its own separator work too); the folders on a path must exist
// (AddFolder makes the missing ones); names longer than 255 bytes are
// refused (52), as by the usual file systems. It keeps the contract of
// platform::FileSystem, links included: a link on the way is followed when
// trusted and refused (70) when not; writes never go through a link at the
// end of their path; a failed append leaves nothing, a failed copy leaves
// no file.
//
// What survives a crash. A file's data is on the "disk" once written by a
// durable call (CreateTextFile, ReplaceFile, CopyToNewFile with durable) or
// flushed by FlushToDisk; a folder's entries (names made, renamed, removed)
// once the folder is flushed by FlushToDisk or by a call that flushes it
// itself (CreateTextFile, ReplaceFile). Crash() forgets everything else,
// as a power cut would. Appends are never flushed.
//
// Faults:
//   FailAt(op, n, error)  the n-th call of kind `op` from now fails with the
//                         classic error number `error`, changing nothing
//                         (a failed kFreeSpace query answers false)
//   Deny(path)            every such call at or below `path` fails with 70
//   capacity              bytes the disk holds: an append or a copy's chunk
//                         that does not fit fails with 61 (disk full),
//                         storing nothing, and GetDiskFreeSpace reports
//                         what is left
//   on_op                 called before every such call, with its kind and
//                         path (to stop a caller in the middle, to crash at a
//                         chosen point, or to look at the disk right then)
//
// Watches report, through the loop FolderWatcher was given, what a folder
// watch of the OS reports: a file created (kCreated) and then written
// (kWritten; AddFile over a file: kWritten alone), renamed (kMovedOut,
// kMovedIn; ReplaceFile: kMovedIn), deleted (kDeleted); a watched folder
// moved (kFolderGone, and it goes on reporting) or removed (kFolderGone;
// the folders inside it do not report). The building calls below report too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/platform.h"

namespace qs::test {

class MemFileSystem : public platform::FileSystem {
 public:
  enum class Op {
    kWrite,
    kCreate,
    kRename,
    kDelete,
    kSync,
    kMakeFolder,
    kRead,
    kFreeSpace,
    kWatch
  };

  MemFileSystem();
  ~MemFileSystem() override;

  // --- Building the tree (durable, no faults, no on_op).
  void AddFolder(const std::string& path);
  void AddFile(const std::string& path, std::string_view data, std::int64_t modified = 0);
  // A link at `path` to `target` (absolute or relative to its folder); an
  // untrusted one is refused wherever it is met.
  void AddLink(const std::string& path, const std::string& target, bool trusted = true);
  // Marks a file or folder as one that others may change (UntrustedBecause);
  // "" trusts it again.
  void SetUntrusted(const std::string& path, const std::string& reason);
  void SetReadOnly(const std::string& path, bool read_only);
  // Removes the file, link or folder (with all it holds) at `path`.
  void Remove(const std::string& path);

  // --- Looking at it.
  // The file's bytes ("" for none); Has: a file, folder or link is there.
  std::string Read(const std::string& path) const;
  bool Has(const std::string& path) const;
  // The names in a folder, sorted (none when there is no folder).
  std::vector<std::string> Names(const std::string& folder) const;
  // How many calls of a kind were made.
  int Count(Op op) const { return counts_[static_cast<int>(op)]; }
  // The bytes that still fit on the disk.
  std::int64_t Free() const;

  // --- Faults.
  void FailAt(Op op, int n, std::int32_t error) { faults_[{op, Count(op) + n}] = error; }
  void Deny(const std::string& path) { denied_.push_back(path); }
  std::int64_t capacity = std::int64_t{1} << 40;
  std::int64_t now = 0;  // the time new data gets (100 ns since 1601)
  std::set<std::string> writing;  // held open for writing by another program
  std::function<void(Op, const std::string&)> on_op;
  // Forgets whatever was not made durable.
  void Crash();

  // --- platform::FileSystem.
  char Separator() const override { return '/'; }
  bool CaseSensitiveNames() const override { return true; }
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  void CreateTextFile(const std::string& path, bool overwrite) override;
  void AppendText(const std::string& path, std::string_view text) override;
  std::string ReadTail(const std::string& path, std::uint64_t max_bytes) override;
  void ReplaceFile(const std::string& path, std::string_view data) override;
  void DeleteFile(const std::string& path, bool force) override;
  std::int64_t FileLength(const std::string& path) override;
  std::string GetDriveName(std::string_view) const override { return {}; }
  bool GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                        std::uint32_t* bytes_per_sector, std::uint32_t* free_clusters,
                        std::uint32_t* total_clusters) override;
  platform::FileStat GetFileStat(const std::string& path) override;
  std::vector<platform::FolderEntry> ListFolder(const std::string& folder) override;
  bool CopyToNewFile(const std::string& from, const std::string& to,
                     const platform::CopyOptions& options) override;
  void FlushToDisk(const std::vector<std::string>& paths) override;
  void RenameFile(const std::string& from, const std::string& to) override;
  void CreateFolder(const std::string& path) override;
  std::string ResolvePath(const std::string& path) override;
  std::string UntrustedBecause(const std::string& path) override;
  bool OpenForWriting(const std::string& path) override { return writing.count(path) != 0; }
  std::int64_t FileTimeNow() const override { return now; }
  std::shared_ptr<platform::DirWatcher> FolderWatcher(platform::MessageLoop& loop) override;

  // Bytes a copy moves per chunk (keep_going is asked between chunks).
  static constexpr std::size_t kChunk = 4096;
  // The longest name a write makes (52 beyond).
  static constexpr std::size_t kNameMax = 255;

 private:
  struct Node;
  class Watcher;
  using NodePtr = std::shared_ptr<Node>;
  // Where a path leads: the folder that holds its last component, the
  // name, and what is there (null for nothing).
  struct Place {
    NodePtr folder, node;  // node: null for nothing
    std::string name, path;  // path: resolved
  };

  Place Find(const std::string& path, bool follow_last,
             std::vector<std::string>* missing = nullptr) const;
  // What is at `path`; null for nothing or a way that is refused.
  NodePtr At(const std::string& path, bool follow_last) const;
  Place FindForWrite(Op op, const std::string& path);
  NodePtr FileAt(const std::string& path, bool follow_last) const;
  void Add(const std::string& path, Node node);
  // Puts `node` at `place`, or takes what is there away, durable when
  // `durable`; both report the change.
  void Put(const Place& place, NodePtr node, bool durable);
  void Unlink(const Place& place, bool durable);
  void Before(Op op, const std::string& path);
  // Appends `data` to `node`; throws 61, appending nothing, when it does not fit.
  void Store(Node& node, std::string_view data);
  void Report(const Place& place, platform::DirChange change, const NodePtr& entry);

  NodePtr root_;
  int counts_[9] = {};
  std::map<std::pair<Op, int>, std::int32_t> faults_;  // (op, call) -> error
  std::vector<std::string> denied_;
  std::weak_ptr<Watcher> watcher_;
};

}  // namespace qs::test
