// Text in the ANSI code page and the user's regional settings on Windows.
#include <windows.h>

#include <clocale>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_impl.h"

namespace qs::platform {

std::string Utf8ToAnsi(std::string_view utf8) {
  // Through UTF-16, with explicit lengths so that embedded NULs survive.
  // Invalid UTF-8 becomes U+FFFD on the way in and so '?' on the way out.
  if (utf8.empty()) return std::string();
  int in_len = static_cast<int>(utf8.size());
  int wide_len =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_len, nullptr, 0);
  if (wide_len <= 0) return std::string();
  std::wstring wide(static_cast<std::size_t>(wide_len), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_len, wide.data(), wide_len);
  // No best fit: a character the code page lacks becomes '?' and not a
  // look-alike ("O" for an omega). A system whose ANSI code page is UTF-8
  // lacks nothing and refuses both the flag and a default character.
  const char kDefault[] = "?";
  bool utf8_system = ::GetACP() == CP_UTF8;
  const char* def = utf8_system ? nullptr : kDefault;
  DWORD flags = utf8_system ? 0 : WC_NO_BEST_FIT_CHARS;
  int out_len = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), wide_len,
                                      nullptr, 0, def, nullptr);
  if (out_len <= 0) return std::string();
  std::string out(static_cast<std::size_t>(out_len), '\0');
  ::WideCharToMultiByte(CP_ACP, flags, wide.data(), wide_len, out.data(),
                        out_len, def, nullptr);
  return out;
}

namespace win32 {

std::string AnsiToUtf8(std::string_view ansi) {
  if (ansi.empty()) return std::string();
  const int in = static_cast<int>(ansi.size());
  int n = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), in, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), in, wide.data(), n);
  return Utf8FromWide(wide);
}

}  // namespace win32

void ApplyRegionalSettings() {
  // The system calls (GetDateFormatA, GetTimeFormatA, the profile functions)
  // follow the user's settings by themselves. The C runtime starts in the
  // "C" locale instead; switch the parts that number formatting and
  // character classes use to the user's settings, as on the other systems.
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_NUMERIC, "");
  std::setlocale(LC_CTYPE, "");
}

}  // namespace qs::platform
