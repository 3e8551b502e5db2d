// modIniHandler: the only way the program touches its INI files. Two writers
// and four readers; the readers are one procedure under four names.
#pragma once

#include <cstdint>
#include <string>

#include "config/texts.h"

namespace qs::modIniHandler {

// "NTService"/"State" and friends: main INI = program folder less its last
// three characters, followed directly by "Quillon.ini". The two writers
// turn every CR, LF and NUL into a blank: no line of a caller's choosing
// reaches a file.
void WriteINIString(const std::string& sSection, const std::string& sKey,
                    const std::string& sValue);
// The service INI: program folder + separator + "QuillonSrv.ini".
void WriteServiceINI(const std::string& sSection, const std::string& sKey,
                     const std::string& sValue);

std::string GetServiceINIString(const std::string& sSection,
                                const std::string& sKey,
                                const std::string& sDefault,
                                const std::string& sFile, std::int16_t iSize);
std::string GetINIString(const std::string& sSection, const std::string& sKey,
                         const std::string& sDefault, const std::string& sFile,
                         std::int16_t iSize);
std::string GetLangString(const std::string& sSection, const std::string& sKey,
                          const std::string& sDefault, const std::string& sFile,
                          std::int16_t iSize);
std::string GetJobString(const std::string& sSection, const std::string& sKey,
                         const std::string& sDefault, std::string sFile,
                         std::int16_t iSize);

// The same readers for a key of texts.h: its section, name and default, and
// the size every caller passes (texts::kReadSize).
std::string GetServiceINIString(const texts::IniKey& key,
                                const std::string& sFile);
std::string GetINIString(const texts::IniKey& key, const std::string& sFile);
std::string GetJobString(const texts::IniKey& key, const std::string& sFile);

// Paths the writers use, worked out afresh on every call. The product
// folder is the program folder less its last three characters (the "bin"
// folder's name), so it keeps its trailing separator; error 5 when the
// program folder is shorter.
std::string ProductFolder();
std::string MainIniPathForWriting();
std::string ServiceIniPath();

// One profile write to `sFile` as the platform does it; for tools that name
// the file themselves and check their text first. Returns the platform's
// result (on POSIX false for a line break in any of the texts).
bool WriteProfileValue(const std::string& sFile, const std::string& sSection,
                       const std::string& sKey, const std::string& sValue);

}  // namespace qs::modIniHandler
