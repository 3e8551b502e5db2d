// Helpers shared by the tests: temporary folders and whole-file access that
// bypass the code under test.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qs::test {

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  // In `under`; by default in the system's temporary folder.
  explicit TempDir(const std::string& under = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with `name` by the platform's separator.
  std::string Join(std::string_view name) const;

 private:
  std::string path_;
};

// Paths as the file-system object takes them (UTF-8 on Windows).
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, std::string_view data);
bool Exists(const std::string& path);

// The platform's path separator as a string.
std::string Sep();

// The names in `folder`, in the order the system lists them.
std::vector<std::string> FolderEntries(const std::string& folder);

// The first top-level window titled `title` in a walk as the trace start
// makes it, 0 when none is.
platform::Hwnd FindTopWindow(platform::WindowSystem& ws, const std::string& title);

// True in a Windows program that runs under Wine. Where Wine does not do
// what Windows does, the README names the difference and the tests skip
// just that check.
bool UnderWine();

}  // namespace qs::test
