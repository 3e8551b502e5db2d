// Run-time errors: the number, description and source that the error trap of
// every traced procedure reports. The numbers are the classic ones the
// product's people know ("53 File not found"); OS error codes are mapped onto
// them in os_error.cc.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace qs {

// Every classic run-time error number this program raises.
enum ErrNo : std::int32_t {
  kErrInvalidCall = 5,          // "Invalid procedure call or argument"
  kErrOverflow = 6,             // "Overflow"
  kErrOutOfMemory = 7,          // "Out of memory"
  kErrSubscript = 9,            // "Subscript out of range"
  kErrTypeMismatch = 13,        // "Type mismatch"
  kErrInternal = 51,            // "Internal error"
  kErrBadFileName = 52,         // "Bad file name or number"
  kErrFileNotFound = 53,        // "File not found"
  kErrDeviceIO = 57,            // "Device I/O error"
  kErrFileExists = 58,          // "File already exists"
  kErrDiskFull = 61,            // "Disk full"
  kErrTooManyFiles = 67,        // "Too many files"
  kErrDeviceUnavailable = 68,   // "Device unavailable"
  kErrPermission = 70,          // "Permission denied"
  kErrDiskNotReady = 71,        // "Disk not ready"
  kErrPathFileAccess = 75,      // "Path/File access error"
  kErrPathNotFound = 76,        // "Path not found"
  kErrObjectNotSet = 91,        // "Object variable or With block variable not set"
};

// The standard description of a classic error number ("" for unknown ones).
std::string_view DescriptionOf(std::int32_t number);

// The source text of errors raised by this program itself.
inline constexpr std::string_view kOwnSource = "QuillonSrv";

class RuntimeError {
 public:
  RuntimeError(std::int32_t number, std::string description,
               std::string source = std::string(kOwnSource))
      : number_(number),
        description_(std::move(description)),
        source_(std::move(source)) {}
  // An error with the standard description of its number.
  explicit RuntimeError(std::int32_t number)
      : RuntimeError(number, std::string(DescriptionOf(number))) {}

  std::int32_t number() const { return number_; }
  const std::string& description() const { return description_; }
  const std::string& source() const { return source_; }

 private:
  std::int32_t number_;
  std::string description_;
  std::string source_;
};

// The run-time error an exception stands for: a RuntimeError as it is;
// bad_alloc 7, out_of_range 9, overflow_error 6, invalid_argument 13; a
// system_error of the system's categories by its errno value; anything else
// 51 "Internal error".
RuntimeError ToRuntimeError(std::exception_ptr e) noexcept;

// Throws the classic error for an errno value met while working on `path`
// (ENOENT becomes 76 when the folder of `path` is missing, else 53).
[[noreturn]] void ThrowErrno(int err, std::string_view path);
// The classic number for an errno value, without looking at any path.
std::int32_t ErrNoFromErrno(int err);
// The classic number for a Win32 error code (GetLastError).
std::int32_t ErrNoFromWin32(std::uint32_t code);

}  // namespace qs
