#include "config/texts.h"

#include <map>

#include "config/ini_handler.h"
#include "platform/platform.h"

namespace qs::texts {

const std::string& German(const LangText& text) {
  // Converted once per text: the locale is fixed for the life of the process.
  static std::map<const char*, std::string> converted;
  auto it = converted.find(text.german_utf8.data());
  if (it == converted.end()) {
    it = converted
             .emplace(text.german_utf8.data(),
                      platform::Utf8ToAnsi(text.german_utf8))
             .first;
  }
  return it->second;
}

std::string Lookup(const LangText& text, const std::string& sFile) {
  return modIniHandler::GetLangString(std::string(text.section), std::string(text.key),
                                      German(text), sFile, kReadSize);
}

}  // namespace qs::texts
