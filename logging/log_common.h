// Small helpers shared by the log procedures of the form and modSize.
#pragma once

#include <string_view>

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

}  // namespace qs::logging
