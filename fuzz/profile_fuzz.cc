// The profile reader and writer on arbitrary files: the input is a section,
// a key, a value, a buffer size and the bytes of an INI file. Lookups (list
// forms and small buffers included) and writes (new or existing key, deleted
// key, deleted section) must not crash, must keep to the buffer rules, must
// read back what was written, and must leave the bytes outside the changed
// line alone.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/posix/posix_impl.h"

namespace {

using qs::platform::ProfileApi;

using qs::fuzz::Read;
using qs::fuzz::Save;

constexpr char kGuard = '\x5a';

// One lookup with a guarded buffer; checks the buffer rules.
std::string Lookup(ProfileApi& api, const char* section, const char* key,
                   const char* def, std::uint32_t size,
                   const std::string& path) {
  std::vector<char> buf(size + 16, kGuard);
  std::uint32_t n = api.GetPrivateProfileString(section, key, def, buf.data(),
                                                size, path.c_str());
  for (std::size_t i = size; i < buf.size(); ++i) CHECK(buf[i] == kGuard);
  if (size == 0) {
    CHECK(n == 0);
    return std::string();
  }
  CHECK(n < size);
  CHECK(buf[n] == '\0');
  if (section != nullptr && key != nullptr) {
    CHECK(std::strlen(buf.data()) == n);
    return std::string(buf.data(), n);
  }
  return std::string(buf.data(), n);  // a list of NUL-ended names
}

bool IsPlain(const std::string& s) {
  for (char c : s) {
    if (c < 0x20 || c > 0x7e || c == '=' || c == '[' || c == ']') return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string_view Unquoted(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

bool IsUtf16(const std::string& bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

// `after` is `before` with one stretch replaced; returns that stretch of
// `before`.
std::string_view ChangedStretch(const std::string& before,
                                const std::string& after) {
  std::size_t p = 0;
  while (p < before.size() && p < after.size() && before[p] == after[p]) ++p;
  std::size_t s = 0;
  while (s < before.size() - p && s < after.size() - p &&
         before[before.size() - 1 - s] == after[after.size() - 1 - s]) {
    ++s;
  }
  return std::string_view(before).substr(p, before.size() - p - s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string section = in.ConsumeRandomLengthString(24);
  const std::string key = in.ConsumeRandomLengthString(24);
  const std::string value = in.ConsumeRandomLengthString(48);
  const std::uint32_t small = in.ConsumeIntegralInRange<std::uint32_t>(0, 12);
  const std::string file = in.ConsumeRemainingBytesAsString();

  ProfileApi& api = qs::platform::posix::Profile();
  const std::string path = qs::fuzz::Scratch() + "/f.ini";
  Save(path, file);

  // Lookups of every form and with small buffers.
  for (std::uint32_t n : {0u, 1u, 2u, small, 256u}) {
    Lookup(api, section.c_str(), key.c_str(), value.c_str(), n, path);
    Lookup(api, nullptr, nullptr, value.c_str(), n, path);
    Lookup(api, section.c_str(), nullptr, nullptr, n, path);
  }
  // A list cut short is the start of the whole list.
  const auto big = static_cast<std::uint32_t>(file.size() + 16);
  for (const char* list_section :
       {static_cast<const char*>(nullptr), section.c_str()}) {
    const std::string whole = Lookup(api, list_section, nullptr, "", big, path);
    for (std::uint32_t n = 2; n < small + 4; ++n) {
      std::string cut = Lookup(api, list_section, nullptr, "", n, path);
      if (whole.size() + 1 <= n) {
        CHECK(cut == whole);
      } else {
        CHECK(cut == whole.substr(0, n - 2));
      }
    }
  }

  // Writes. The strings may hold NULs; the calls see them up to the first.
  const std::string s = section.c_str(), k = key.c_str(), v = value.c_str();
  const bool utf16 = IsUtf16(file);
  const bool plain = IsPlain(s) && IsPlain(k) && IsPlain(v);

  std::string before = Read(path);
  // A line break would be a line of the caller's choosing: refused.
  if ((s + k + v).find_first_of("\r\n") != std::string::npos) {
    CHECK(!api.WritePrivateProfileString(s.c_str(), k.c_str(), v.c_str(), path.c_str()));
    CHECK(Read(path) == before);
    return 0;
  }
  if (api.WritePrivateProfileString(s.c_str(), k.c_str(), v.c_str(),
                                    path.c_str())) {
    std::string after = Read(path);
    if (!utf16 && plain) {
      CHECK(ChangedStretch(before, after).find_first_of("\r\n") ==
            std::string_view::npos);
    }
    if (plain) {
      CHECK(Lookup(api, s.c_str(), k.c_str(), "\x01", 256, path) ==
            Unquoted(Trim(v)));
      // The same write again changes nothing.
      CHECK(api.WritePrivateProfileString(s.c_str(), k.c_str(), v.c_str(),
                                          path.c_str()));
      CHECK(Read(path) == after);
    }
    before = after;
  }

  // A second key in the same section, then its deletion.
  const std::string k2 = k + "2";
  if (api.WritePrivateProfileString(s.c_str(), k2.c_str(), "x", path.c_str())) {
    std::string after = Read(path);
    if (plain) CHECK(Lookup(api, s.c_str(), k2.c_str(), "", 8, path) == "x");
    before = after;
  }
  if (api.WritePrivateProfileString(s.c_str(), k2.c_str(), nullptr,
                                    path.c_str())) {
    std::string after = Read(path);
    CHECK(after.size() <= before.size());
    CHECK(ChangedStretch(before, after).size() == before.size() - after.size());
    before = after;
  }
  // Deleting the section removes one stretch of the file.
  if (api.WritePrivateProfileString(s.c_str(), nullptr, nullptr,
                                    path.c_str())) {
    std::string after = Read(path);
    CHECK(after.size() <= before.size());
    CHECK(ChangedStretch(before, after).size() == before.size() - after.size());
  }
  return 0;
}
