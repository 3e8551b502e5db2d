#include "platform/posix/posix_impl.h"

namespace qs::platform {

Platform& OsPlatform() {
  static Platform os{&posix::Profile(), &posix::SystemClock(), &posix::Process(),
                     &posix::Windows(), &posix::Ui()};
  return os;
}

FileSystem& OsFileSystem() { return posix::Files(); }

}  // namespace qs::platform
