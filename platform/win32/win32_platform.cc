#include "platform/win32/win32_impl.h"

namespace qs::platform {

Platform& OsPlatform() {
  static Platform os{&win32::Profile(),     &win32::Files(),
                     &win32::SystemClock(), &win32::Process(),
                     &win32::Windows(),     &win32::Ui()};
  return os;
}

}  // namespace qs::platform
