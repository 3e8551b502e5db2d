#include "config/ini_handler.h"

#include <vector>

#include "errortrap/ravelin.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"

namespace qs::modIniHandler {
namespace {

constexpr std::string_view kModule = "modIniHandler";

// The four readers: a buffer of iSize blanks, one platform call, and the
// first `count` characters of the buffer.
std::string ReadProfile(std::string_view sProc, const std::string& sSection,
                        const std::string& sKey, const std::string& sDefault,
                        const std::string& sFile, std::int16_t iSize) {
  std::string result;
  Traced(kModule, sProc, [&] {
    if (iSize < 0) throw RuntimeError(kErrInvalidCall);
    std::vector<char> buffer(static_cast<std::size_t>(iSize), ' ');
    std::uint32_t count = platform::Current().profile->GetPrivateProfileString(
        sSection.c_str(), sKey.c_str(), sDefault.c_str(), buffer.data(),
        static_cast<std::uint32_t>(iSize), sFile.c_str());
    if (count > buffer.size()) count = static_cast<std::uint32_t>(buffer.size());
    result.assign(buffer.data(), count);
  });
  return result;
}

// What the service itself writes never carries a line break: a CR, LF or
// NUL that came from outside (a name on the command line) becomes a blank.
std::string SingleLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return text;
}

}  // namespace

std::string ProductFolder() {
  std::string folder = platform::ProgramFolder();
  if (folder.size() < 3) throw RuntimeError(kErrInvalidCall);
  folder.resize(folder.size() - 3);
  return folder;
}

std::string MainIniPathForWriting() { return ProductFolder() + "Quillon.ini"; }

std::string ServiceIniPath() {
  return platform::ProgramFile("QuillonSrv.ini");
}

bool WriteProfileValue(const std::string& sFile, const std::string& sSection,
                       const std::string& sKey, const std::string& sValue) {
  return platform::Current().profile->WritePrivateProfileString(
      sSection.c_str(), sKey.c_str(), sValue.c_str(), sFile.c_str());
}

// A write the platform cannot carry out fails silently: the callers go on
// as if it had succeeded.
void WriteINIString(const std::string& sSection, const std::string& sKey,
                    const std::string& sValue) {
  Traced(kModule, "Sub WriteINIString", [&] {
    WriteProfileValue(MainIniPathForWriting(), SingleLine(sSection), SingleLine(sKey),
                      SingleLine(sValue));
  });
}

void WriteServiceINI(const std::string& sSection, const std::string& sKey,
                     const std::string& sValue) {
  Traced(kModule, "Sub WriteServiceINI", [&] {
    WriteProfileValue(ServiceIniPath(), SingleLine(sSection), SingleLine(sKey),
                      SingleLine(sValue));
  });
}

std::string GetServiceINIString(const std::string& sSection,
                                const std::string& sKey,
                                const std::string& sDefault,
                                const std::string& sFile, std::int16_t iSize) {
  return ReadProfile("Function GetServiceINIString", sSection, sKey, sDefault,
                     sFile, iSize);
}

std::string GetINIString(const std::string& sSection, const std::string& sKey,
                         const std::string& sDefault, const std::string& sFile,
                         std::int16_t iSize) {
  return ReadProfile("Function GetINIString", sSection, sKey, sDefault, sFile,
                     iSize);
}

std::string GetLangString(const std::string& sSection, const std::string& sKey,
                          const std::string& sDefault, const std::string& sFile,
                          std::int16_t iSize) {
  return ReadProfile("Function GetLangString", sSection, sKey, sDefault, sFile,
                     iSize);
}

std::string GetJobString(const std::string& sSection, const std::string& sKey,
                         const std::string& sDefault, std::string sFile,
                         std::int16_t iSize) {
  return ReadProfile("Function GetJobString", sSection, sKey, sDefault, sFile,
                     iSize);
}

std::string GetServiceINIString(const texts::IniKey& key,
                                const std::string& sFile) {
  return GetServiceINIString(std::string(key.section), std::string(key.key),
                             std::string(key.def), sFile, texts::kReadSize);
}

std::string GetINIString(const texts::IniKey& key, const std::string& sFile) {
  return GetINIString(std::string(key.section), std::string(key.key),
                      std::string(key.def), sFile, texts::kReadSize);
}

std::string GetJobString(const texts::IniKey& key, const std::string& sFile) {
  return GetJobString(std::string(key.section), std::string(key.key),
                      std::string(key.def), sFile, texts::kReadSize);
}

}  // namespace qs::modIniHandler
