// How the engine copies: what is new or changed in a source folder goes to
// the target folder.
//
// Paths. Both folders are resolved first (FileSystem::ResolvePath), so that
// two spellings of one folder ("/./", "//", "..", a link) compare equal: a
// target inside the source is left out of the source's walk whatever its
// spelling, and the pass works on the resolved paths. Symbolic links inside
// the source are skipped, unless the job's rules follow them (then links to
// files are copied as files and links to folders walked, except those that
// lead back into the walk or to the target); the file system never writes
// through a link (platform.h).
//
// Copies. Every copy is written under a short hidden temporary name (".",
// kTempPrefix and eight random characters) in the target folder and
// renamed when it is complete, so no file ever appears half-copied under
// its final name, and any source name that fits the file system fits.
// Files with a temporary name (or the suffix ".qltmp" of older versions)
// are never copied themselves. Copies are made durable in batches (up to a
// thousand files or 64 MiB, and at the end of a pass): their data is
// flushed at once, then they are renamed and their folders are flushed, so
// that after a crash or a power cut each target name holds the old file or
// the whole new one. Temporary files
// older than a minute that no copy of this process is writing (left by a
// run that was killed) are removed when their folder is next written to.
//
// "New or changed": the target file is missing or differs from the source
// in size or modification time (a copy takes over the source's time).
//
// Files still being written wait: one that another program has open for
// writing (FileSystem::OpenForWriting), or, with a settle time, one changed
// less than that long ago. A time ahead of now by less than the settle time
// waits until now has passed it by the settle time; one further ahead is
// taken for a wrong clock and not waited for, so no file waits for ever.
// A file that waits is no failure; the caller learns how many waited.
//
// Stopping. The rules' keep_going is asked between files and between the
// chunks of a large file; when it says no, the copy in progress and those
// not yet renamed are abandoned (their temporary files removed) and the
// pass returns at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine_texts.h"
#include "platform/platform.h"

namespace qs::engine {

inline constexpr std::string_view kTempPrefix = ".qltmp-";
// A copy that would leave less free space than this on the target's volume
// is not made.
inline constexpr std::int64_t kMinFreeBytes = 10 * 1024 * 1024;

// True for a temporary name: kTempPrefix and more, or the old suffix
// ".qltmp" (case ignored).
bool IsTempName(std::string_view name);
// A folder path in a form in which two spellings of one folder compare
// equal: no trailing separator, and on Windows one separator and no case.
std::string NormalizedFolder(const platform::FileSystem& fs, std::string path);
// The folder that holds `path`; "" when there is none.
std::string ParentFolder(const platform::FileSystem& fs,
                         const std::string& path);

// What a copier did, for whoever reports it.
class CopyListener {
 public:
  virtual void Copied(const std::string& src, const std::string& dst) = 0;
  virtual void Failed(const EngineText& text,
                      const std::vector<std::string>& args) = 0;

 protected:
  ~CopyListener() = default;
};

struct CopyRules {
  std::string pattern = "*";  // ";"-separated masks on file names
  bool recursive = false;
  bool check_free_space = true;
  bool follow_links = false;  // links inside the source (trusted ones only)
  // Seconds a file must have stayed unchanged before it is copied.
  std::int32_t settle_seconds = 0;
  // Folders never walked besides the pass's own target: the targets of the
  // other jobs, so that jobs sharing a source never copy each other's
  // copies.
  std::vector<std::string> excluded;
  // Asked between files and chunks; false stops the pass. Empty: never.
  std::function<bool()> keep_going;
};

class FileCopier {
 public:
  // `listener` may be null.
  FileCopier(platform::FileSystem& fs, CopyRules rules, CopyListener* listener)
      : fs_(fs), rules_(std::move(rules)), listener_(listener) {}

  // Whether a file of this name is copied at all (pattern, no temporary).
  bool Wanted(std::string_view name) const;

  // One pass `from` -> `to`: checks both folders, then copies every wanted
  // file that is new or changed; subfolders too when recursive, except the
  // target itself when it lies inside the source. Returns the failures.
  int CopyFolders(const std::string& from, const std::string& to);

  // A pass over part of the tree: `from` and `to` are folders below the
  // roots of a pass whose target root is `target_root`. Returns the failures.
  int CopySubtree(const std::string& from, const std::string& to,
                  const std::string& target_root);

  // Copies the file `src` to `dst` when it is new or changed, creating the
  // folders of `dst` that are missing. A source that is not a file (gone
  // meanwhile) is no failure. False when the copy failed or was stopped,
  // or the file waits.
  bool CopyIfChanged(const std::string& src, const std::string& dst);

  // Whether the last call ended because keep_going said so.
  bool Stopped() const { return stopped_; }
  // The files the last call left for later because they are still being
  // written.
  int Waiting() const { return waiting_; }

 private:
  struct Pending {
    std::string src, dst, temp;  // temp empty: the copy failed already
    std::string folder;          // of dst
    const EngineText* failure = nullptr;
    std::vector<std::string> args;
  };

  void Start(const std::string& target_root);
  void CopyTree(const std::string& from, const std::string& to);
  // The target folder's files by name; removes stale temporary files.
  std::vector<platform::FolderEntry> TargetFiles(const std::string& to);
  void CopyInto(const std::string& src, const std::string& dst,
                const std::string& folder, std::int64_t size, bool link);
  void Flush();
  void Abandon();
  bool KeepGoing();
  // Whether the file at `path` is done being written; counts it if not.
  bool Settled(const std::string& path, const platform::FileStat& stat);
  bool EnoughSpace(const std::string& folder, std::int64_t size);
  void Fail(const EngineText& text, const std::vector<std::string>& args);
  void Later(Pending p);

  platform::FileSystem& fs_;
  CopyRules rules_;
  CopyListener* listener_;
  std::string target_root_;          // resolved and normalized
  std::vector<std::string> excluded_;  // normalized rules_.excluded
  std::vector<std::string> walk_;    // resolved folders of the current walk
  std::vector<Pending> batch_;       // copies not renamed yet, in order
  std::int64_t batch_bytes_ = 0;
  int failures_ = 0;
  int waiting_ = 0;
  bool stopped_ = false;
};

}  // namespace qs::engine
