#include "host/mod_proc_priority.h"

#include "errortrap/ravelin.h"
#include "platform/platform.h"

namespace qs::modProcPriority {

void SetPriority(std::int32_t lPriorityClass) {
  Traced("modProcPriority", "Sub SetPriority", [&] {
    platform::SetPriorityClass(static_cast<std::uint32_t>(lPriorityClass));
  });
}

}  // namespace qs::modProcPriority
