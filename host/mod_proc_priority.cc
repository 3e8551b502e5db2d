#include "host/mod_proc_priority.h"

#include "errortrap/ravelin.h"

namespace qs::modProcPriority {

// The mapping of the priority classes onto this platform comes with the
// real-time monitor's work; until then the process keeps the priority it
// was started with.
void SetPriority(std::int32_t) {
  Traced("modProcPriority", "Sub SetPriority", [] {});
}

}  // namespace qs::modProcPriority
