// ASCII letter case, for the names the program compares without case (file
// masks, job file names, window titles). Only A-Z change, so text in any
// code page keeps every other byte as it is.
#pragma once

#include <string>

namespace qs::platform {

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string s) {
  for (char& c : s) c = LowerAscii(c);
  return s;
}

}  // namespace qs::platform
