// The file-system object on Windows: thin wrappers around the file
// functions, with failures raised as the classic run-time errors.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/runtime_error.h"
#include "platform/win32/win32_impl.h"

namespace qs::platform::win32 {

namespace {

[[noreturn]] void ThrowLastError() {
  throw RuntimeError(ErrNoFromWin32(::GetLastError()));
}

// Closes a file handle on every way out.
class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() {
    if (valid()) ::CloseHandle(h_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    if (!valid()) return true;
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(h) != FALSE;
  }

 private:
  HANDLE h_;
};

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// WriteFile takes at most 4 GB minus one per call.
void WriteAll(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD chunk = data.size() > 0x40000000u ? 0x40000000u
                                            : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!::WriteFile(h, data.data(), chunk, &written, nullptr)) {
      ThrowLastError();
    }
    if (written == 0) throw RuntimeError(kErrDiskFull);
    data.remove_prefix(written);
  }
}

// The system refuses to write to a read-only file, except Wine run by root,
// where the attribute is a Unix mode bit that root passes. So the file
// functions check the attribute themselves before they write.
bool IsReadOnlyFile(const std::string& path) {
  DWORD attrs = ::GetFileAttributesA(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES &&
         (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attrs & FILE_ATTRIBUTE_READONLY) != 0;
}

bool IsSep(char c) { return c == '\\' || c == '/'; }

// A name for the temporary file beside `path`: same folder, so that the
// rename never crosses a volume.
std::string TempNameBeside(const std::string& path) {
  static unsigned counter = 0;
  return path + ".~" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(++counter) + ".tmp";
}

bool IsBareDrive(const std::string& root) {
  return root.size() == 2 && root[1] == ':';
}

// The free space of `drive` ("D:") asked as GetDiskFreeSpaceA asks for the
// current drive, with no root path: the drive is made current (its own
// current folder), and the folder current before is made current again.
bool CurrentDriveFreeSpace(const std::string& drive, DWORD* spc, DWORD* bps,
                           DWORD* free, DWORD* total) {
  char saved[MAX_PATH * 4];
  DWORD n = ::GetCurrentDirectoryA(sizeof saved, saved);
  if (n == 0 || n >= sizeof saved) return false;
  if (!::SetCurrentDirectoryA(drive.c_str())) return false;
  char now[MAX_PATH * 4];
  n = ::GetCurrentDirectoryA(sizeof now, now);
  bool ok = n >= 2 && n < sizeof now &&
            ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, now, 2,
                             drive.c_str(), 2) == CSTR_EQUAL &&
            ::GetDiskFreeSpaceA(nullptr, spc, bps, free, total);
  ::SetCurrentDirectoryA(saved);
  return ok;
}

class Win32Files final : public FileSystem {
 public:
  char Separator() const override { return '\\'; }
  bool CaseSensitiveNames() const override { return false; }

  bool FileExists(const std::string& path) override {
    DWORD attrs = ::GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES &&
           (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool FolderExists(const std::string& path) override {
    DWORD attrs = ::GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES &&
           (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  void CreateTextFile(const std::string& path, bool overwrite) override {
    if (overwrite && IsReadOnlyFile(path)) throw RuntimeError(kErrPermission);
    FileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr,
                                  overwrite ? CREATE_ALWAYS : CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) ThrowLastError();
    if (!file.Close()) ThrowLastError();
  }

  void AppendText(const std::string& path, std::string_view text) override {
    // OPEN_EXISTING: appending never creates the file.
    FileHandle file(::CreateFileA(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) ThrowLastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileInformationByHandle(file.get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
      throw RuntimeError(kErrPermission);
    }
    LARGE_INTEGER zero{}, start{};
    if (!::SetFilePointerEx(file.get(), zero, &start, FILE_END)) {
      ThrowLastError();
    }
    try {
      WriteAll(file.get(), text);
    } catch (...) {
      // A disk that filled up in the middle: the line is taken back whole.
      if (::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) ::SetEndOfFile(file.get());
      throw;
    }
    if (!file.Close()) ThrowLastError();
  }

  std::string ReadTail(const std::string& path,
                       std::uint64_t max_bytes) override {
    FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file.valid()) ThrowLastError();
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) ThrowLastError();
    std::uint64_t total = static_cast<std::uint64_t>(size.QuadPart);
    std::uint64_t want = total < max_bytes ? total : max_bytes;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(total - want);
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) {
      ThrowLastError();
    }
    std::string data;
    try {
      data.resize(static_cast<std::size_t>(want));
    } catch (const std::bad_alloc&) {
      throw RuntimeError(kErrOutOfMemory);
    }
    std::size_t got = 0;
    while (got < data.size()) {
      std::size_t left = data.size() - got;
      DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
      DWORD n = 0;
      if (!::ReadFile(file.get(), data.data() + got, chunk, &n, nullptr)) {
        ThrowLastError();
      }
      if (n == 0) break;  // cut short by another program meanwhile
      got += n;
    }
    data.resize(got);
    return data;
  }

  void ReplaceFile(const std::string& path, std::string_view data) override {
    // A read-only file cannot be rewritten (see IsReadOnlyFile); a missing
    // one is created. Other attributes (hidden, system,
    // archive) go over to the new file.
    DWORD attrs = ::GetFileAttributesA(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) {
      if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
        throw RuntimeError(kErrPathFileAccess);
      }
      if (attrs & FILE_ATTRIBUTE_READONLY) throw RuntimeError(kErrPermission);
    } else {
      DWORD err = ::GetLastError();
      if (err != ERROR_FILE_NOT_FOUND) throw RuntimeError(ErrNoFromWin32(err));
      attrs = FILE_ATTRIBUTE_NORMAL;
    }
    attrs &= FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (attrs == 0) attrs = FILE_ATTRIBUTE_NORMAL;

    // CREATE_NEW never takes over a file of the same name that some earlier
    // run left behind; another name is tried instead.
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE;
         ++attempt) {
      temp = TempNameBeside(path);
      h = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        attrs, nullptr);
      if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
        break;
      }
    }
    {
      FileHandle file(h);
      if (!file.valid()) ThrowLastError();
      try {
        WriteAll(file.get(), data);
        if (!::FlushFileBuffers(file.get())) ThrowLastError();
        if (!file.Close()) ThrowLastError();
      } catch (...) {
        file.Close();
        ::DeleteFileA(temp.c_str());
        throw;
      }
    }
    if (!::MoveFileExA(temp.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      DWORD err = ::GetLastError();
      ::DeleteFileA(temp.c_str());
      throw RuntimeError(ErrNoFromWin32(err));
    }
  }

  void DeleteFile(const std::string& path, bool force) override {
    DWORD attrs = ::GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) ThrowLastError();
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) throw RuntimeError(kErrFileNotFound);
    bool cleared = false;
    if (attrs & FILE_ATTRIBUTE_READONLY) {
      if (!force) throw RuntimeError(kErrPermission);
      if (!::SetFileAttributesA(path.c_str(),
                                attrs & ~FILE_ATTRIBUTE_READONLY)) {
        ThrowLastError();
      }
      cleared = true;
    }
    if (!::DeleteFileA(path.c_str())) {
      DWORD err = ::GetLastError();
      // The file stays: give it its read-only attribute back.
      if (cleared) ::SetFileAttributesA(path.c_str(), attrs);
      throw RuntimeError(ErrNoFromWin32(err));
    }
  }

  std::int64_t FileLength(const std::string& path) override {
    // No access rights asked for: the length of a file that another
    // program holds locked can still be read.
    FileHandle file(::CreateFileA(path.c_str(), 0, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file.valid()) return -1;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return -1;
    return size.QuadPart;
  }

  // "C:" for a drive path, "\\server\share" for a network path, "" for a
  // path without either.
  std::string GetDriveName(std::string_view path) const override {
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') ||
         (path[0] >= 'a' && path[0] <= 'z'))) {
      return std::string(path.substr(0, 2));
    }
    if (path.size() < 2 || !IsSep(path[0]) || !IsSep(path[1])) return "";
    std::size_t server_end = 2;
    while (server_end < path.size() && !IsSep(path[server_end])) ++server_end;
    if (server_end == 2 || server_end >= path.size()) return "";
    std::size_t share_end = server_end + 1;
    while (share_end < path.size() && !IsSep(path[share_end])) ++share_end;
    if (share_end == server_end + 1) return "";
    return std::string(path.substr(0, share_end));
  }

  bool GetDiskFreeSpace(const std::string& root,
                        std::uint32_t* sectors_per_cluster,
                        std::uint32_t* bytes_per_sector,
                        std::uint32_t* free_clusters,
                        std::uint32_t* total_clusters) override {
    DWORD spc = 0, bps = 0, free = 0, total = 0;
    const bool ok = IsBareDrive(root)
                        ? CurrentDriveFreeSpace(root, &spc, &bps, &free, &total)
                        : ::GetDiskFreeSpaceA(root.c_str(), &spc, &bps, &free,
                                              &total) != FALSE;
    if (!ok) return false;
    if (sectors_per_cluster) *sectors_per_cluster = spc;
    if (bytes_per_sector) *bytes_per_sector = bps;
    if (free_clusters) *free_clusters = free;
    if (total_clusters) *total_clusters = total;
    return true;
  }

  FileStat GetFileStat(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
      return {};
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      return FileStat{FileStat::kOther, 0, 0, true};
    }
    return StatOf(data.dwFileAttributes, data.nFileSizeHigh,
                  data.nFileSizeLow, data.ftLastWriteTime);
  }

  std::vector<FolderEntry> ListFolder(const std::string& folder) override {
    WIN32_FIND_DATAA found{};
    std::string pattern = BuildPath(folder, "*");
    HANDLE h = ::FindFirstFileA(pattern.c_str(), &found);
    std::vector<FolderEntry> out;
    if (h == INVALID_HANDLE_VALUE) {
      DWORD err = ::GetLastError();
      // A root folder without any entry has no "." either.
      if (err == ERROR_FILE_NOT_FOUND && FolderExists(folder)) return out;
      throw RuntimeError(ErrNoFromWin32(err));
    }
    DWORD err = ERROR_SUCCESS;
    while (err == ERROR_SUCCESS) {
      std::string name = found.cFileName;
      if (name != "." && name != "..") {
        FileStat info = StatOf(found.dwFileAttributes, found.nFileSizeHigh,
                               found.nFileSizeLow, found.ftLastWriteTime);
        // A junction or a link is reported as one; where it leads is not
        // looked at.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          info = FileStat{FileStat::kOther, 0, 0, true};
        }
        out.push_back({std::move(name), info});
      }
      if (!::FindNextFileA(h, &found)) err = ::GetLastError();
    }
    ::FindClose(h);
    if (err != ERROR_NO_MORE_FILES) throw RuntimeError(ErrNoFromWin32(err));
    return out;
  }

  bool CopyToNewFile(const std::string& from, const std::string& to,
                     const CopyOptions& options) override {
    // Without follow_link a reparse point is opened as itself, and refused.
    const DWORD open_flags = FILE_FLAG_SEQUENTIAL_SCAN |
                             (options.follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    FileHandle in(::CreateFileA(from.c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, open_flags, nullptr));
    if (!in.valid()) ThrowLastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(in.get(), &info)) ThrowLastError();
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
      throw RuntimeError(kErrPermission);
    }
    FILETIME written = info.ftLastWriteTime;
    FileHandle out(::CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) ThrowLastError();
    try {
      static char buf[1u << 20];
      for (bool first = true;; first = false) {
        if (!first && options.keep_going && !options.keep_going()) {
          out.Close();
          ::DeleteFileA(to.c_str());
          return false;
        }
        DWORD got = 0;
        if (!::ReadFile(in.get(), buf, sizeof buf, &got, nullptr)) {
          ThrowLastError();
        }
        if (got == 0) break;
        WriteAll(out.get(), std::string_view(buf, got));
      }
      // After the last write, so that no write moves the time again.
      if (!::SetFileTime(out.get(), nullptr, nullptr, &written)) {
        ThrowLastError();
      }
      if (options.durable && !::FlushFileBuffers(out.get())) ThrowLastError();
      if (!out.Close()) ThrowLastError();
    } catch (...) {
      out.Close();
      ::DeleteFileA(to.c_str());
      throw;
    }
    return true;
  }

  // A folder needs nothing: NTFS logs its own changes of folder entries,
  // and MoveFileEx with MOVEFILE_WRITE_THROUGH returns once the rename is
  // on the disk.
  void FlushToDisk(const std::vector<std::string>& paths) override {
    for (const std::string& p : paths) {
      if (FolderExists(p)) continue;
      FileHandle file(::CreateFileA(p.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid() || !::FlushFileBuffers(file.get())) ThrowLastError();
    }
  }

  std::string ResolvePath(const std::string& path) override {
    char buf[MAX_PATH * 4];
    DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
    if (n == 0 || n >= sizeof buf) ThrowLastError();
    std::string full(buf, n);
    while (full.size() > 3 && IsSep(full.back())) full.pop_back();
    return full;
  }

  std::string UntrustedBecause(const std::string&) override { return {}; }

  void RenameFile(const std::string& from, const std::string& to) override {
    if (!::MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ThrowLastError();
    }
  }

  void CreateFolder(const std::string& path) override {
    if (!::CreateDirectoryA(path.c_str(), nullptr)) ThrowLastError();
  }

 private:
  static FileStat StatOf(DWORD attrs, DWORD size_high, DWORD size_low,
                         const FILETIME& written) {
    FileStat info;
    info.kind = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? FileStat::kFolder
                : (attrs & FILE_ATTRIBUTE_DEVICE)  ? FileStat::kOther
                                                   : FileStat::kFile;
    info.size = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(size_high) << 32) | size_low);
    info.modified = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) |
        written.dwLowDateTime);
    return info;
  }
};

}  // namespace

FileSystem& Files() {
  static Win32Files files;
  return files;
}

}  // namespace qs::platform::win32
