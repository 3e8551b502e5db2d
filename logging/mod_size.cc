// modSize: GetDiskFree, the free space of a drive for the disk guard.
// Like CheckLogFileSize it skips a failing statement and goes on with the
// next.
#include "logging/mod_size.h"

#include <cstdint>
#include <limits>
#include <string>

#include "errortrap/ravelin.h"
#include "logging/log_common.h"
#include "platform/platform.h"

namespace qs::modSize {

using logging::Step;

std::int32_t GetDiskFree(platform::FileSystem& fs, std::string sDrive) {
  std::int32_t result = 0;
  Traced("modSize", "Function GetDiskFree", [&] {
    if (fs.Separator() == '\\') {
      // A drive letter and its colon; anything else ("c", "C:\x", a share
      // name) is cut to its first character and ":", which for a share
      // names no drive. A bare drive is measured as the current drive.
      for (char& c : sDrive) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
      if (sDrive.find(':') == std::string::npos || sDrive.size() > 2) {
        sDrive = sDrive.substr(0, 1) + ":";
      }
    }
    bool reachable = false;
    Step([&] { reachable = !sDrive.empty() && fs.FolderExists(sDrive); });
    if (!reachable) {
      result = -1;
      return;
    }
    // A failed query leaves the counts, and so the result, at 0.
    std::uint32_t sectors_per_cluster = 0, bytes_per_sector = 0;
    std::uint32_t free_clusters = 0, total_clusters = 0;
    Step([&] {
      fs.GetDiskFreeSpace(sDrive, &sectors_per_cluster, &bytes_per_sector,
                          &free_clusters, &total_clusters);
    });
    // The product in 32 bits, left to right; any overflow means more than
    // 2147483647 bytes free, which is reported as exactly that.
    constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
    std::uint64_t bytes = std::uint64_t{bytes_per_sector} * sectors_per_cluster;
    if (bytes <= kMax) bytes *= free_clusters;
    result = static_cast<std::int32_t>(bytes > kMax ? kMax : bytes);
  });
  return result;
}

}  // namespace qs::modSize
