// The escaping of outside text in log lines: whatever the text, the result
// holds no control character (one message, one line), keeps every other
// byte in its order, and shows each control character as one of \r, \n, \t
// or \xNN.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "logging/outside_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string out = qs::logging::Outside(text);
  std::size_t at = 0;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      CHECK(at < out.size() && out[at] == ch);
      ++at;
      continue;
    }
    const std::string_view rest = std::string_view(out).substr(at);
    const std::size_t n = c == '\r' || c == '\n' || c == '\t' ? 2 : 4;
    CHECK(rest.size() >= n && rest[0] == '\\');
    at += n;
  }
  CHECK(at == out.size());
  for (char ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    CHECK(c >= 0x20 && c != 0x7f);
  }
  return 0;
}
