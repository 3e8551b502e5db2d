// modIniHandler: the only way the program touches its INI files. Two writers
// and four readers; the readers are one procedure under four names.
#pragma once

#include <cstdint>
#include <string>

namespace qs::modIniHandler {

// "NTService"/"State" and friends: main INI = program folder less its last
// three characters, followed directly by "Quillon.ini".
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

// Paths the writers use, worked out afresh on every call.
std::string MainIniPathForWriting();
std::string ServiceIniPath();

// One profile write to `sFile` exactly as the two writers do it; for tools
// that name the file themselves. Returns the platform's result.
bool WriteProfileValue(const std::string& sFile, const std::string& sSection,
                       const std::string& sKey, const std::string& sValue);

}  // namespace qs::modIniHandler
