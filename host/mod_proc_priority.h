// modProcPriority: the priority class of the service process.
#pragma once

#include <cstdint>

namespace qs::modProcPriority {

inline constexpr std::int32_t kIdlePriorityClass = 0x40;
inline constexpr std::int32_t kNormalPriorityClass = 0x20;
inline constexpr std::int32_t kHighPriorityClass = 0x80;

void SetPriority(std::int32_t lPriorityClass);

}  // namespace qs::modProcPriority
