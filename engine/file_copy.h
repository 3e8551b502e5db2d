// How the engine copies: what is new or changed in a source folder goes to
// the target folder. Every copy is written under a temporary name (the
// target name plus ".qltmp") in the target folder and renamed when it is
// complete, so no file ever appears half-copied under its final name.
// Files with the temporary suffix are never copied themselves.
//
// "New or changed": the target file is missing or differs from the source
// in size or modification time (a copy takes over the source's time).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine_texts.h"
#include "platform/platform.h"

namespace qs::engine {

inline constexpr std::string_view kTempSuffix = ".qltmp";
// A copy that would leave less free space than this on the target's volume
// is not made.
inline constexpr std::int64_t kMinFreeBytes = 10 * 1024 * 1024;

std::string LowerAscii(std::string s);
// True for a name that ends in the temporary suffix (case ignored).
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
  // meanwhile) is no failure. False when the copy failed.
  bool CopyIfChanged(const std::string& src, const std::string& dst);

 private:
  int CopyTree(const std::string& from, const std::string& to);
  bool CopyFile(const std::string& src, const std::string& dst);
  bool EnoughSpace(const std::string& folder, const std::string& src,
                   std::int64_t size);
  void Fail(const EngineText& text, const std::vector<std::string>& args);

  platform::FileSystem& fs_;
  CopyRules rules_;
  CopyListener* listener_;
  std::string target_root_;  // normalized
  int failures_ = 0;
};

}  // namespace qs::engine
