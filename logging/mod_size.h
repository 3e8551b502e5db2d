// modSize: the free space of a drive, for the disk guard of the work cycle
// (defined in mod_size.cc).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qs::modSize {

// Free bytes of the drive `sDrive` as the file system `fs` tells them:
// 2147483647 when there are more, -1 when the drive cannot be reached, 0
// when the query itself fails.
//
// On a system with drive letters `sDrive` is a drive ("C:"; "c", "C:\x" and
// a share name are reduced to their first character and ":"), and the
// query asks for the root of that drive. On POSIX `sDrive` is any path, and
// the answer is the space an unprivileged user may still fill on the file
// system that holds it (statvfs).
std::int32_t GetDiskFree(platform::FileSystem& fs, std::string sDrive);

// The disk guard's threshold: free space strictly below it stops the work
// cycle.
inline constexpr std::int32_t kDiskThreshold = 10485760;

}  // namespace qs::modSize
