// The plain way to look a key up, which the benchmarks measure the service
// against: read the whole file, split it into lines and find the first
// section and key of the name, with the same trimming and case rules.
#pragma once

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace qs::bench {

inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

inline std::string_view Trim(std::string_view s) {
  auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
  };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The value, or nothing when the file, the section or the key is missing.
inline std::optional<std::string> NaiveLookup(const std::string& path,
                                              std::string_view section,
                                              std::string_view key) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  bool in_section = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        if (in_section) break;  // only the first section of the name
        in_section = SameName(Trim(line.substr(1, close - 1)), section);
        continue;
      }
    }
    if (!in_section) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (SameName(Trim(line.substr(0, eq)), key)) {
      return std::string(Trim(line.substr(eq + 1)));
    }
  }
  return std::nullopt;
}

}  // namespace qs::bench
