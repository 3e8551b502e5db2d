// modRavelinLITE: trace lines and error reports for the outside trace viewer.
#include "errortrap/ravelin.h"

#include <clocale>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace qs::modRavelinLITE {
namespace {

constexpr std::string_view kViewerTitle = "Ravelin";
constexpr std::string_view kViewerTitlePrefix = "Ravelin -";
constexpr std::string_view kVersion = "6.60 LITE";
constexpr std::uint32_t kSemFailCriticalErrors = 0x0001;
constexpr std::uint32_t kSemNoOpenFileErrorBox = 0x8000;
constexpr int kTitleBuffer = 255;
constexpr std::size_t kExePathMax = 255;
// Deeper than this no line can be built (the indentation alone would take
// gigabytes): the line is skipped like any other failing statement.
constexpr std::int32_t kMaxIndent = 1 << 16;
// The longest the search for a viewer may take as a whole: anybody may open
// windows under a viewer's title (on Linux, listen under it), and each that
// is looked at costs time. The windows not looked at by then are left, and
// without a viewer found tracing stays off.
constexpr std::uint32_t kSearchMs = 200;

// The executable's name without extension, looked up once.
std::string& ExeName() {
  static std::string name;
  return name;
}

const std::string& ExeNameCached() {
  std::string& name = ExeName();
  if (name.empty()) name = platform::ProgramName();
  return name;
}

bool IsViewerTitle(std::string_view title) {
  return title == kViewerTitle || title.starts_with(kViewerTitlePrefix);
}

std::string TwoDigits(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

void FindViewer() {
  platform::Platform& p = platform::Current();
  platform::WindowSystem& w = *p.windows;
  const std::uint32_t start = p.clock->TickCount();
  platform::Hwnd h = w.GetWindow(w.GetDesktopWindow(), platform::kGwChild);
  char buf[kTitleBuffer];
  while (h != 0 && p.clock->TickCount() - start < kSearchMs) {
    int n = w.GetWindowText(h, buf, kTitleBuffer);
    // A viewer that refuses (of another user) does not end the search.
    if (n > 0 && IsViewerTitle(std::string_view(buf, static_cast<std::size_t>(n))) &&
        w.AttachViewer(h)) {
      g_trace.hViewerWnd = h;
      return;
    }
    h = w.GetWindow(h, platform::kGwHwndNext);
  }
}

void Send(std::string_view text) {
  try {
    platform::Current().windows->SendSetText(g_trace.hViewerWnd, text);
  } catch (...) {
    // A viewer that went away receives nothing.
  }
}

std::string FormatCount(std::int32_t count) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%05d", count);
  return buf;
}

// The value a text starts with, read as a number (leading blanks skipped).
double LeadingNumber(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  std::string digits;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) digits.push_back(s[i++]);
  bool seen_point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    } else if (c == '.' && !seen_point) {
      seen_point = true;
      digits.push_back(c);
    } else {
      break;
    }
  }
  if (digits.empty() || digits == "-" || digits == "+") return 0;
  try {
    return std::stod(digits);
  } catch (...) {
    return 0;
  }
}

}  // namespace

void StartTrapping() {
  try {
    FindViewer();
    if (g_trace.hViewerWnd == 0) {
      g_trace.bTrapStarted = true;
      return;
    }
    platform::Platform& p = platform::Current();
    char sep[2] = {0, 0};
    std::uint32_t n = p.profile->GetProfileString("intl", "sDecimal", ".", sep, 2);
    g_trace.sDecimalSep.assign(sep, n);
    p.process->SetErrorMode(kSemFailCriticalErrors | kSemNoOpenFileErrorBox);
    p.clock->TimeBeginPeriod(1);
    platform::LocalTime t = p.clock->Now();
    g_trace.sTraceLine = ExeNameCached() + " START RAVELIN " + std::string(kVersion) +
                         " " + TwoDigits(t.month) + "-" + TwoDigits(t.day) + "-" +
                         std::to_string(t.year) + "," + TwoDigits(t.hour) + ":" +
                         TwoDigits(t.minute) + ":" + TwoDigits(t.second) + "\r\n";
    g_trace.lTraceStart = static_cast<std::int32_t>(p.clock->TickCount());
    Send(g_trace.sTraceLine);
  } catch (...) {
    // Tracing stays as far as it got; the search is never repeated.
  }
  g_trace.bTrapStarted = true;
}

std::string FormatTraceTime(std::int64_t elapsed_ms, std::string_view decimal_sep) {
  if (elapsed_ms > std::numeric_limits<std::int32_t>::max() ||
      elapsed_ms < std::numeric_limits<std::int32_t>::min()) {
    return {};
  }
  // "00000.000" in the locale's number format.
  const char* point = std::localeconv()->decimal_point;
  std::int64_t magnitude = elapsed_ms < 0 ? -elapsed_ms : elapsed_ms;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%05lld%s%03lld", elapsed_ms < 0 ? "-" : "",
                static_cast<long long>(magnitude / 1000), point,
                static_cast<long long>(magnitude % 1000));
  std::string text = buf;
  if (!decimal_sep.empty()) {
    std::size_t at = text.find(decimal_sep);
    if (at != std::string::npos) text.replace(at, decimal_sep.size(), ".");
  }
  return text;
}

namespace detail {

void SendTraceLine(std::string_view sModule, std::string_view sProc,
                   std::string_view sInfo, bool entering) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  try {
    if (g_trace.lTraceCount < kMax) ++g_trace.lTraceCount;
    if (entering && g_trace.lTraceDepth < kMax) ++g_trace.lTraceDepth;
    std::int64_t now = static_cast<std::int32_t>(platform::Current().clock->TickCount());
    std::string time = FormatTraceTime(now - g_trace.lTraceStart, g_trace.sDecimalSep);
    std::string& line = g_trace.sTraceLine;
    line.clear();
    line += '[';
    line += ExeNameCached();
    line += "] [";
    line += FormatCount(g_trace.lTraceCount);
    line += "] [";
    line += time;
    line += entering ? "] ->" : "] <-";
    if (g_trace.lTraceDepth > kMaxIndent + 1) throw std::length_error("indent");
    if (g_trace.lTraceDepth > 1) line.append(static_cast<std::size_t>(g_trace.lTraceDepth - 1), '\t');
    line += sModule;
    line += " : ";
    line += sProc;
    line += " : ";
    line += sInfo;
    line += "\r\n";
    Send(line);
  } catch (...) {
    // The trace never fails its caller.
  }
  if (!entering) {
    g_trace.lTraceDepth -= 1;
    if (g_trace.lTraceDepth < 0) g_trace.lTraceDepth = 0;
  }
}

}  // namespace detail

ErrObject& Err() {
  static ErrObject err;
  return err;
}

void SetErrFromCurrentException() noexcept {
  try {
    RuntimeError r = ToRuntimeError(std::current_exception());
    ErrObject& err = Err();
    err.Number = r.number();
    err.Description = r.description();
    err.Source = r.source();
    err.Erl = 0;
  } catch (...) {
    Err().Number = kErrOutOfMemory;
  }
}

std::string BuildViewerErrorLine(std::string_view exe_name, const ErrObject& err,
                                 std::string_view sModule, std::string_view sProc) {
  std::string line = "[";
  line += exe_name;
  line += "] ERROR ";
  line += std::to_string(err.Number);
  line += " \"";
  line += err.Description;
  line += "\" at ";
  line += sModule;
  line += " : ";
  line += sProc;
  line += " : ";
  line += std::to_string(err.Erl);
  line += "\r\n";
  return line;
}

std::string BuildErrorMessage(std::string_view exe_path, const ErrObject& err,
                              std::string_view sModule, std::string_view sProc) {
  std::string ending = ".";
  if (LeadingNumber(err.Source) != 0) {
    std::size_t bang = err.Source.find('!');
    // Without a "!" no component can be named: the plain ending stays.
    if (bang != std::string::npos && bang >= 1) {
      ending = ". This error was generated remotely by " + err.Source.substr(1, bang - 1) +
               ", a component of " + std::string(exe_path) + ".";
    }
  }
  std::string msg = "Ravelin reports ";
  msg += exe_path;
  msg += " program error #";
  msg += std::to_string(err.Number);
  msg += " (";
  msg += err.Description;
  msg += ") occurred in module ";
  msg += sModule;
  msg += ", ";
  msg += sProc;
  msg += ", line ";
  msg += std::to_string(err.Erl);
  msg += ending;
  return msg;
}

void ReportError(std::string_view sModule, std::string_view sProc) noexcept {
  if (!g_trace.bTrapStarted) StartTrapping();
  std::string exe_path;
  try {
    exe_path = platform::Current().process->ModuleFileName();
    if (exe_path.size() > kExePathMax) exe_path.resize(kExePathMax);
  } catch (...) {
  }
  const ErrObject& err = Err();
  if (g_trace.hViewerWnd > 0) {
    try {
      Send(BuildViewerErrorLine(ExeNameCached(), err, sModule, sProc));
    } catch (...) {
    }
  }
  try {
    platform::Current().ui->MessageBox(
        BuildErrorMessage(exe_path, err, sModule, sProc), "Unexpected Error",
        platform::kMbAbortRetryIgnore | platform::kMbIconStop | platform::kMbDefButton1);
  } catch (...) {
  }
  Err().Clear();
}

void ResetForTest() {
  g_trace = TraceState();
  ExeName().clear();
  Err().Clear();
}

}  // namespace qs::modRavelinLITE
