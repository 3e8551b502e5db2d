// Profile files through the system's own profile functions: on Windows the
// INI files are read and written exactly as the product's other programs
// read and write them.
#include <windows.h>

#include "platform/win32/win32_impl.h"

namespace qs::platform::win32 {

namespace {

class Win32Profile final : public ProfileApi {
 public:
  std::uint32_t GetPrivateProfileString(const char* section, const char* key,
                                        const char* def, char* buffer,
                                        std::uint32_t size,
                                        const char* file) override {
    return ::GetPrivateProfileStringA(section, key, def, buffer, size, file);
  }

  bool WritePrivateProfileString(const char* section, const char* key,
                                 const char* value, const char* file) override {
    return ::WritePrivateProfileStringA(section, key, value, file) != FALSE;
  }

  std::uint32_t GetProfileString(const char* app, const char* key,
                                 const char* def, char* buffer,
                                 std::uint32_t size) override {
    return ::GetProfileStringA(app, key, def, buffer, size);
  }
};

}  // namespace

ProfileApi& Profile() {
  static Win32Profile profile;
  return profile;
}

}  // namespace qs::platform::win32
