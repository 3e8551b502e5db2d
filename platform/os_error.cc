// Mapping of operating-system errors and C++ exceptions onto the classic
// run-time errors.
#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/runtime_error.h"

namespace qs {

std::string_view DescriptionOf(std::int32_t number) {
  switch (number) {
    case kErrInvalidCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrOutOfMemory: return "Out of memory";
    case kErrSubscript: return "Subscript out of range";
    case kErrTypeMismatch: return "Type mismatch";
    case kErrInternal: return "Internal error";
    case kErrBadFileName: return "Bad file name or number";
    case kErrFileNotFound: return "File not found";
    case kErrDeviceIO: return "Device I/O error";
    case kErrFileExists: return "File already exists";
    case kErrDiskFull: return "Disk full";
    case kErrTooManyFiles: return "Too many files";
    case kErrDeviceUnavailable: return "Device unavailable";
    case kErrPermission: return "Permission denied";
    case kErrDiskNotReady: return "Disk not ready";
    case kErrPathFileAccess: return "Path/File access error";
    case kErrPathNotFound: return "Path not found";
    case kErrObjectNotSet: return "Object variable or With block variable not set";
    default: return "";
  }
}

namespace {

struct OsMapping {
  int os;
  std::int32_t classic;
};

// errno values (POSIX, and the C runtime on Windows).
constexpr OsMapping kErrnoTable[] = {
    {ENOENT, kErrFileNotFound},      {ENOTDIR, kErrPathNotFound},
    {EACCES, kErrPermission},        {EPERM, kErrPermission},
    {EROFS, kErrPermission},         {EBUSY, kErrPermission},
    {ETXTBSY, kErrPermission},       {ENOSPC, kErrDiskFull},
#ifdef ELOOP
    {ELOOP, kErrPermission},  // a link that is not followed
#endif
#ifdef EDQUOT
    {EDQUOT, kErrDiskFull},
#endif
    {EFBIG, kErrDiskFull},           {EEXIST, kErrFileExists},
    {EMFILE, kErrTooManyFiles},      {ENFILE, kErrTooManyFiles},
    {EIO, kErrDeviceIO},             {ENOMEM, kErrOutOfMemory},
    {ENAMETOOLONG, kErrBadFileName}, {EINVAL, kErrInvalidCall},
    {ENODEV, kErrDeviceUnavailable}, {ENXIO, kErrDeviceUnavailable},
};

// Win32 error codes (GetLastError).
constexpr OsMapping kWin32Table[] = {
    {2, kErrFileNotFound},      // ERROR_FILE_NOT_FOUND
    {3, kErrPathNotFound},      // ERROR_PATH_NOT_FOUND
    {15, kErrPathNotFound},     // ERROR_INVALID_DRIVE
    {161, kErrPathNotFound},    // ERROR_BAD_PATHNAME
    {5, kErrPermission},        // ERROR_ACCESS_DENIED
    {19, kErrPermission},       // ERROR_WRITE_PROTECT
    {32, kErrPermission},       // ERROR_SHARING_VIOLATION
    {33, kErrPermission},       // ERROR_LOCK_VIOLATION
    {39, kErrDiskFull},         // ERROR_HANDLE_DISK_FULL
    {112, kErrDiskFull},        // ERROR_DISK_FULL
    {80, kErrFileExists},       // ERROR_FILE_EXISTS
    {183, kErrFileExists},      // ERROR_ALREADY_EXISTS
    {4, kErrTooManyFiles},      // ERROR_TOO_MANY_OPEN_FILES
    {8, kErrOutOfMemory},       // ERROR_NOT_ENOUGH_MEMORY
    {14, kErrOutOfMemory},      // ERROR_OUTOFMEMORY
    {21, kErrDiskNotReady},     // ERROR_NOT_READY
    {123, kErrBadFileName},     // ERROR_INVALID_NAME
    {206, kErrBadFileName},     // ERROR_FILENAME_EXCED_RANGE
    {87, kErrInvalidCall},      // ERROR_INVALID_PARAMETER
};

template <std::size_t N>
std::int32_t Lookup(const OsMapping (&table)[N], int code) {
  for (const OsMapping& m : table) {
    if (m.os == code) return m.classic;
  }
  return kErrPathFileAccess;
}

bool ParentFolderMissing(std::string_view path) {
  std::string p(path);
  std::size_t cut = p.find_last_of("/\\");
  if (cut == std::string::npos || cut == 0) return false;
  p.resize(cut);
  struct stat st;
  return ::stat(p.c_str(), &st) != 0;
}

}  // namespace

std::int32_t ErrNoFromErrno(int err) { return Lookup(kErrnoTable, err); }

std::int32_t ErrNoFromWin32(std::uint32_t code) {
  return Lookup(kWin32Table, static_cast<int>(code));
}

RuntimeError ToRuntimeError(std::exception_ptr e) noexcept {
  try {
    std::rethrow_exception(e);
  } catch (const RuntimeError& r) {
    return r;
  } catch (const std::bad_alloc&) {
    return RuntimeError(kErrOutOfMemory);
  } catch (const std::out_of_range&) {
    return RuntimeError(kErrSubscript);
  } catch (const std::overflow_error&) {
    return RuntimeError(kErrOverflow);
  } catch (const std::invalid_argument&) {
    return RuntimeError(kErrTypeMismatch);
  } catch (const std::system_error& s) {
    if (s.code().category() == std::generic_category() ||
        s.code().category() == std::system_category()) {
      return RuntimeError(ErrNoFromErrno(s.code().value()));
    }
    return RuntimeError(kErrInternal);
  } catch (...) {
    return RuntimeError(kErrInternal);
  }
}

void ThrowErrno(int err, std::string_view path) {
  std::int32_t number = ErrNoFromErrno(err);
  if (err == ENOENT && ParentFolderMissing(path)) number = kErrPathNotFound;
  throw RuntimeError(number);
}

}  // namespace qs
