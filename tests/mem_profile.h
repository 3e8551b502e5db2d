// Profile lookups in the files of a MemFileSystem, for the tests of code
// that reads its settings through platform::ProfileApi. A lookup reads the
// file as it is at that moment: the first "key=value" line under the
// "[section]" line, names spelt exactly as asked, the value from just after
// the '=' to the line's end (CR LF or LF); else the default, without its
// trailing blanks. A null key lists the keys of the section, each name
// ended by a NUL (an empty list gives the default). The user's profile is
// empty. Writes are recorded, not made, and answer `write_result`.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/mem_file_system.h"

namespace qs::test {

class MemProfile : public platform::ProfileApi {
 public:
  explicit MemProfile(MemFileSystem& fs) : fs_(fs) {}

  struct Write {
    std::string file, section, key, value;
    bool operator==(const Write&) const = default;
  };
  std::vector<Write> writes;
  bool write_result = true;

  std::uint32_t GetPrivateProfileString(const char* section, const char* key, const char* def,
                                        char* buffer, std::uint32_t size,
                                        const char* file) override {
    std::string value = def ? def : "";
    while (value.size() > 1 && value.back() == ' ') value.pop_back();
    std::istringstream lines(fs_.Read(file));
    bool in_section = false;
    std::string list;
    for (std::string line; std::getline(lines, line);) {
      if (line.ends_with('\r')) line.pop_back();
      if (line.starts_with('[')) {
        in_section = section && line == "[" + std::string(section) + "]";
      } else if (in_section && key == nullptr && line.find('=') != std::string::npos) {
        list += line.substr(0, line.find('=')) + '\0';
      } else if (in_section && key && line.starts_with(std::string(key) + "=")) {
        value = line.substr(std::string(key).size() + 1);
        break;
      }
    }
    if (key == nullptr && !list.empty()) value = list;
    if (size == 0) return 0;
    buffer[value.copy(buffer, size - 1)] = '\0';
    return static_cast<std::uint32_t>(std::min<std::size_t>(value.size(), size - 1));
  }
  bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                                 const char* file) override {
    writes.push_back({file, section ? section : "", key ? key : "", value ? value : ""});
    return write_result;
  }
  std::uint32_t GetProfileString(const char*, const char*, const char* def, char* buffer,
                                 std::uint32_t size) override {
    return GetPrivateProfileString("", "", def, buffer, size, "");
  }

 private:
  MemFileSystem& fs_;
};

}  // namespace qs::test
