// quillon-ini: reads and changes the product's INI files exactly as the
// service does.
//
//   quillon-ini get FILE SECTION KEY [DEFAULT [SIZE]]
//       writes exactly the bytes the service's reader returns (no newline)
//   quillon-ini set FILE SECTION KEY VALUE
//       a line break in SECTION, KEY or VALUE is refused (exit code 2)
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "config/ini_handler.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace {

constexpr char kUsage[] =
    "usage: quillon-ini get FILE SECTION KEY [DEFAULT [SIZE]]\n"
    "       quillon-ini set FILE SECTION KEY VALUE\n"
    "get writes the value exactly as the service reads it (no newline);\n"
    "DEFAULT is \"\" and SIZE 256 unless given.\n";

// Exit codes: 1 for a write that failed, 2 for a wrong command line.
int Fail(const std::string& what, int code = 2) {
  std::fprintf(stderr, "quillon-ini: %s\n", what.c_str());
  return code;
}

// SIZE is a 16-bit whole number, as the service passes it.
bool ParseSize(std::string_view text, std::int16_t* size, std::string* error) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ptr != end || ec == std::errc::invalid_argument) {
    *error = "SIZE: " + std::string(qs::DescriptionOf(qs::kErrTypeMismatch));
    return false;
  }
  if (ec == std::errc::result_out_of_range || value < -32768 || value > 32767) {
    *error = "SIZE: " + std::string(qs::DescriptionOf(qs::kErrOverflow));
    return false;
  }
  *size = static_cast<std::int16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qs::platform::ApplyRegionalSettings();
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::string_view cmd = argc > 1 ? argv[1] : "";
  if (cmd == "get" && argc >= 5 && argc <= 7) {
    std::string def = argc >= 6 ? argv[5] : "";
    std::int16_t size = 256;
    std::string error;
    if (argc == 7 && !ParseSize(argv[6], &size, &error)) return Fail(error);
    std::string value =
        qs::modIniHandler::GetINIString(argv[3], argv[4], def, argv[2], size);
    std::fwrite(value.data(), 1, value.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (cmd == "set" && argc == 6) {
    for (int i = 3; i <= 5; ++i) {
      if (std::strpbrk(argv[i], "\r\n")) {
        return Fail("SECTION, KEY and VALUE may not hold a line break (CR or LF)");
      }
    }
    errno = 0;
    if (!qs::modIniHandler::WriteProfileValue(argv[2], argv[3], argv[4], argv[5])) {
      std::string why = errno != 0 ? std::string(": ") + std::strerror(errno) : "";
      return Fail(std::string("cannot write ") + argv[2] + why, 1);
    }
    return 0;
  }
  if (cmd == "--help" || cmd == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
