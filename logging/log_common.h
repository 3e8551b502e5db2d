// Small helpers shared by the log procedures of the form and modSize.
#pragma once

#include <string>

#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::logging {

inline constexpr std::string_view kModule = "frmMain";

// One statement of a procedure that skips what fails: its error is
// dropped. Returns whether the statement ran to its end.
template <class Statement>
bool Step(Statement&& statement) noexcept {
  try {
    statement();
    return true;
  } catch (...) {
    return false;
  }
}

// The form's file-system object; using it before the start-up made it (or
// after the unload released it) is error 91, as for any unset object.
inline platform::FileSystem& Fso(platform::FileSystem* fso) {
  if (fso == nullptr) {
    throw RuntimeError(kErrObjectNotSet);
  }
  return *fso;
}

}  // namespace qs::logging
