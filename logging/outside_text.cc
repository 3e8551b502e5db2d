#include "logging/outside_text.h"

#include <algorithm>

namespace qs::logging {

std::string Outside(std::string_view text) {
  auto control = [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7F;
  };
  // Most texts hold no control character: they are taken in one copy.
  const auto first = std::find_if(text.begin(), text.end(), control);
  if (first == text.end()) return std::string(text);
  std::string out(text.begin(), first);
  for (char ch : text.substr(out.size())) {
    const auto c = static_cast<unsigned char>(ch);
    if (!control(ch)) {
      out += ch;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    }
  }
  return out;
}

}  // namespace qs::logging
