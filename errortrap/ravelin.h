// modRavelinLITE: the procedure trace sent to an outside trace viewer, the
// error report, and the error trap every traced procedure carries.
//
// A traced procedure is written as
//
//   std::string GetINIString(...) {
//     std::string result;
//     Traced("modIniHandler", "Function GetINIString", [&] {
//       ...
//       result = ...;
//     });
//     return result;
//   }
//
// Traced() arms the trap, calls TraceEnter, runs the body, hands any error
// (a qs::RuntimeError or any other C++ exception) to ReportError and always
// leaves through TraceExit. The function then returns what its result held.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::modRavelinLITE {

// Module state; lives for the whole process and is never reset (tests reset
// it through ResetForTest).
struct TraceState {
  platform::Hwnd hViewerWnd = 0;
  bool bTrapStarted = false;
  std::int32_t lTraceCount = 0;
  std::int32_t lTraceDepth = 0;
  std::string sTraceLine;
  std::string sDecimalSep;
  std::int32_t lTraceStart = 0;
};

inline TraceState g_trace;

void StartTrapping();

namespace detail {
void SendTraceLine(std::string_view sModule, std::string_view sProc,
                   std::string_view sInfo, bool entering);
}  // namespace detail

// With tracing off both cost a test of two values.
inline void TraceEnter(std::string_view sModule, std::string_view sProc,
                       std::string_view sInfo) {
  if (!g_trace.bTrapStarted) StartTrapping();
  if (g_trace.hViewerWnd == 0) return;
  detail::SendTraceLine(sModule, sProc, sInfo, true);
}

inline void TraceExit(std::string_view sModule, std::string_view sProc,
                      std::string_view sInfo) {
  if (!g_trace.bTrapStarted) StartTrapping();
  if (g_trace.hViewerWnd == 0) return;
  detail::SendTraceLine(sModule, sProc, sInfo, false);
}

// The current run-time error (the Err object), set by a trap before it calls
// ReportError and cleared by ReportError.
struct ErrObject {
  std::int32_t Number = 0;
  std::string Description;
  std::string Source;
  std::int32_t Erl = 0;  // no procedure numbers its lines
  void Clear() { *this = ErrObject(); }
};

ErrObject& Err();

// Makes the exception being handled the current error (ToRuntimeError).
// Only inside a catch.
void SetErrFromCurrentException() noexcept;

void ReportError(std::string_view sModule, std::string_view sProc) noexcept;

// The pieces of the report, exposed for the tests.
std::string BuildViewerErrorLine(std::string_view exe_name,
                                 const ErrObject& err,
                                 std::string_view sModule,
                                 std::string_view sProc);
std::string BuildErrorMessage(std::string_view exe_path, const ErrObject& err,
                              std::string_view sModule, std::string_view sProc);
// The "00000.000" time field for a tick difference, with `decimal_sep`
// replaced by "." (empty when the difference does not fit 32 bits).
std::string FormatTraceTime(std::int64_t elapsed_ms,
                            std::string_view decimal_sep);

// The standard trap of a traced procedure.
template <class Body>
inline void Traced(std::string_view sModule, std::string_view sProc,
                   Body&& body) noexcept {
  try {
    TraceEnter(sModule, sProc, "");
    body();
  } catch (...) {
    SetErrFromCurrentException();
    ReportError(sModule, sProc);
  }
  TraceExit(sModule, sProc, "");
}

// Runs `body` and returns the error it raised, if any (Number 0 for none).
// For the procedures with traps of their own (start-up, service events,
// work cycle).
template <class Body>
inline ErrObject Trapped(Body&& body) noexcept {
  try {
    body();
    return ErrObject();
  } catch (...) {
    SetErrFromCurrentException();
    ErrObject e = Err();
    Err().Clear();
    return e;
  }
}

// Tests only: back to "not started".
void ResetForTest();

}  // namespace qs::modRavelinLITE

namespace qs {
using modRavelinLITE::Traced;
}  // namespace qs
