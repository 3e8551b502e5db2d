// The file-system object on Windows: thin wrappers around the
// wide-character file functions, with failures raised as the classic
// run-time errors.
//
// Paths are UTF-8 (win32_impl.h): a name outside the ANSI code page (a Greek
// "Omega.txt" beside the Latin one) is listed, copied and reported as
// itself, never as a look-alike or a '?'. Every path goes to the system
// absolute and with the "\\?\" prefix, so a path may be as long as the file
// system allows, not 260 characters.
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

// SystemPath, or an empty path, which every file function refuses, when
// `path` is no path: for the calls that report a failure without throwing.
std::wstring SystemPathOrNone(const std::string& path) {
  try {
    return SystemPath(path);
  } catch (const RuntimeError&) {
    return std::wstring();
  }
}

HANDLE Open(const std::wstring& path, DWORD access, DWORD share,
            DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags,
                       nullptr);
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
bool IsReadOnlyFile(const std::wstring& path) {
  DWORD attrs = ::GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES &&
         (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attrs & FILE_ATTRIBUTE_READONLY) != 0;
}

bool IsSep(char c) { return c == '\\' || c == '/'; }

// A name for the temporary file beside `path`: same folder, so that the
// rename never crosses a volume.
std::wstring TempNameBeside(const std::wstring& path) {
  static unsigned counter = 0;
  return path + L".~" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter) + L".tmp";
}

bool IsBareDrive(const std::string& root) {
  return root.size() == 2 && root[1] == ':';
}

std::wstring CurrentFolder() {
  std::wstring folder(::GetCurrentDirectoryW(0, nullptr), L'\0');
  DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()),
                                   folder.data());
  folder.resize(n < folder.size() ? n : 0);
  return folder;
}

// The free space of `drive` ("D:") asked as GetDiskFreeSpaceA asks for the
// current drive, with no root path: the drive is made current (its own
// current folder), and the folder current before is made current again.
bool CurrentDriveFreeSpace(const std::string& drive, DWORD* spc, DWORD* bps,
                           DWORD* free, DWORD* total) {
  const std::wstring saved = CurrentFolder();
  const std::wstring wide_drive = WideFromUtf8(drive);
  if (saved.empty() || !::SetCurrentDirectoryW(wide_drive.c_str())) {
    return false;
  }
  const std::wstring now = CurrentFolder();
  bool ok = now.size() >= 2 &&
            ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, now.c_str(), 2,
                             wide_drive.c_str(), 2) == CSTR_EQUAL &&
            ::GetDiskFreeSpaceW(nullptr, spc, bps, free, total);
  ::SetCurrentDirectoryW(saved.c_str());
  return ok;
}

class Win32Files final : public FileSystem {
 public:
  char Separator() const override { return '\\'; }
  bool CaseSensitiveNames() const override { return false; }

  std::string PathFromText(std::string_view text) const override {
    return AnsiToUtf8(text);
  }

  std::string TextFromPath(std::string_view path) const override {
    return Utf8ToAnsi(path);
  }

  bool FileExists(const std::string& path) override {
    DWORD attrs = FileAttributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES &&
           (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool FolderExists(const std::string& path) override {
    DWORD attrs = FileAttributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES &&
           (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  void CreateTextFile(const std::string& path, bool overwrite) override {
    const std::wstring file_path = SystemPath(path);
    if (overwrite && IsReadOnlyFile(file_path)) {
      throw RuntimeError(kErrPermission);
    }
    FileHandle file(Open(file_path, GENERIC_WRITE, FILE_SHARE_READ,
                         overwrite ? CREATE_ALWAYS : CREATE_NEW));
    if (!file.valid()) ThrowLastError();
    if (!file.Close()) ThrowLastError();
  }

  void AppendText(const std::string& path, std::string_view text) override {
    // OPEN_EXISTING: appending never creates the file.
    FileHandle file(Open(SystemPath(path), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
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
    FileHandle file(Open(SystemPath(path), GENERIC_READ, kShareAll, OPEN_EXISTING));
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
    const std::wstring file_path = SystemPath(path);
    DWORD attrs = ::GetFileAttributesW(file_path.c_str());
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
    std::wstring temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE;
         ++attempt) {
      temp = TempNameBeside(file_path);
      h = Open(temp, GENERIC_WRITE, 0, CREATE_NEW, attrs);
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
        ::DeleteFileW(temp.c_str());
        throw;
      }
    }
    if (!::MoveFileExW(temp.c_str(), file_path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      DWORD err = ::GetLastError();
      ::DeleteFileW(temp.c_str());
      throw RuntimeError(ErrNoFromWin32(err));
    }
  }

  void DeleteFile(const std::string& path, bool force) override {
    const std::wstring file_path = SystemPath(path);
    DWORD attrs = ::GetFileAttributesW(file_path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) ThrowLastError();
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) throw RuntimeError(kErrFileNotFound);
    bool cleared = false;
    if (attrs & FILE_ATTRIBUTE_READONLY) {
      if (!force) throw RuntimeError(kErrPermission);
      if (!::SetFileAttributesW(file_path.c_str(),
                                attrs & ~FILE_ATTRIBUTE_READONLY)) {
        ThrowLastError();
      }
      cleared = true;
    }
    if (!::DeleteFileW(file_path.c_str())) {
      DWORD err = ::GetLastError();
      // The file stays: give it its read-only attribute back.
      if (cleared) ::SetFileAttributesW(file_path.c_str(), attrs);
      throw RuntimeError(ErrNoFromWin32(err));
    }
  }

  std::int64_t FileLength(const std::string& path) override {
    // No access rights asked for: the length of a file that another
    // program holds locked can still be read.
    FileHandle file(Open(SystemPathOrNone(path), 0, kShareAll, OPEN_EXISTING));
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
    bool ok = false;
    try {
      ok = IsBareDrive(root)
               ? CurrentDriveFreeSpace(root, &spc, &bps, &free, &total)
               : ::GetDiskFreeSpaceW(WideFromUtf8(root).c_str(), &spc, &bps,
                                     &free, &total) != FALSE;
    } catch (const RuntimeError&) {
      // No path: no volume to measure.
    }
    if (!ok) return false;
    if (sectors_per_cluster) *sectors_per_cluster = spc;
    if (bytes_per_sector) *bytes_per_sector = bps;
    if (free_clusters) *free_clusters = free;
    if (total_clusters) *total_clusters = total;
    return true;
  }

  FileStat GetFileStat(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(SystemPathOrNone(path).c_str(),
                                GetFileExInfoStandard, &data)) {
      return {};
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      return FileStat{FileStat::kOther, 0, 0, true};
    }
    return StatOf(data.dwFileAttributes, data.nFileSizeHigh,
                  data.nFileSizeLow, data.ftLastWriteTime);
  }

  std::vector<FolderEntry> ListFolder(const std::string& folder) override {
    WIN32_FIND_DATAW found{};
    std::wstring pattern = SystemPath(folder);
    pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
    HANDLE h = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                  FindExSearchNameMatch, nullptr, 0);
    std::vector<FolderEntry> out;
    if (h == INVALID_HANDLE_VALUE) {
      DWORD err = ::GetLastError();
      // A root folder without any entry has no "." either.
      if (err == ERROR_FILE_NOT_FOUND && FolderExists(folder)) return out;
      throw RuntimeError(ErrNoFromWin32(err));
    }
    DWORD err = ERROR_SUCCESS;
    while (err == ERROR_SUCCESS) {
      const std::wstring_view name = found.cFileName;
      if (name != L"." && name != L"..") {
        FileStat info = StatOf(found.dwFileAttributes, found.nFileSizeHigh,
                               found.nFileSizeLow, found.ftLastWriteTime);
        // A junction or a link is reported as one; where it leads is not
        // looked at.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          info = FileStat{FileStat::kOther, 0, 0, true};
        }
        out.push_back({Utf8FromWide(name), info});
      }
      if (!::FindNextFileW(h, &found)) err = ::GetLastError();
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
    FileHandle in(Open(SystemPath(from), GENERIC_READ, kShareAll, OPEN_EXISTING,
                       open_flags));
    if (!in.valid()) ThrowLastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(in.get(), &info)) ThrowLastError();
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
      throw RuntimeError(kErrPermission);
    }
    FILETIME written = info.ftLastWriteTime;
    const std::wstring target = SystemPath(to);
    FileHandle out(Open(target, GENERIC_WRITE, 0, CREATE_NEW));
    if (!out.valid()) ThrowLastError();
    try {
      static char buf[1u << 20];
      for (bool first = true;; first = false) {
        if (!first && options.keep_going && !options.keep_going()) {
          out.Close();
          ::DeleteFileW(target.c_str());
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
      ::DeleteFileW(target.c_str());
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
      FileHandle file(Open(SystemPath(p), GENERIC_WRITE, kShareAll, OPEN_EXISTING));
      if (!file.valid() || !::FlushFileBuffers(file.get())) ThrowLastError();
    }
  }

  std::string ResolvePath(const std::string& path) override {
    return FullPath(path);
  }

  std::string UntrustedBecause(const std::string& path) override {
    if (AnsiToUtf8(Utf8ToAnsi(path)) == path) return {};
    return "its name is outside the code page in which job files are read";
  }

  bool OpenForWriting(const std::string& path) override {
    const DWORD err = TryOpenDenyingWriters(path);
    return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION;
  }

  void RenameFile(const std::string& from, const std::string& to) override {
    if (!::MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ThrowLastError();
    }
  }

  void CreateFolder(const std::string& path) override {
    if (!::CreateDirectoryW(SystemPath(path).c_str(), nullptr)) ThrowLastError();
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

std::wstring WideFromUtf8(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int in = static_cast<int>(utf8.size());
  int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), in,
                                nullptr, 0);
  // Text in the ANSI code page that never became a path, say.
  if (n <= 0) throw RuntimeError(kErrBadFileName);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), in,
                        wide.data(), n);
  return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int in = static_cast<int>(wide.size());
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), in, nullptr, 0,
                                nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), in, utf8.data(), n, nullptr,
                          nullptr);
  }
  return utf8;
}

namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";

// GetFullPathNameW, without a trailing separator but a root's ("C:\",
// "\\?\C:\", "\\server\share").
std::wstring FullWidePath(const std::string& path) {
  const std::wstring wide = WideFromUtf8(path);
  if (wide.empty()) throw RuntimeError(kErrPathNotFound);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()),
                                 full.data(), nullptr);
    if (n == 0) ThrowLastError();
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  const std::size_t root = full.starts_with(kLongPrefix) ? kLongPrefix.size() + 3 : 3;
  while (full.size() > root && full.back() == L'\\') full.pop_back();
  return full;
}

}  // namespace

std::string FullPath(const std::string& path) {
  return Utf8FromWide(FullWidePath(path));
}

std::wstring SystemPath(const std::string& path) {
  std::wstring full = FullWidePath(path);
  // Already without limit, or a device ("\\.\pipe\x"): as it is.
  if (full.starts_with(kLongPrefix) || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return std::wstring(kLongPrefix) + L"UNC" + full.substr(1);
  return std::wstring(kLongPrefix) + full;
}

DWORD FileAttributes(const std::string& path) {
  return ::GetFileAttributesW(SystemPathOrNone(path).c_str());
}

DWORD TryOpenDenyingWriters(const std::string& path) {
  HANDLE h = Open(SystemPathOrNone(path), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  ::CloseHandle(h);
  return ERROR_SUCCESS;
}

FileSystem& Files() {
  static Win32Files files;
  return files;
}

}  // namespace qs::platform::win32
