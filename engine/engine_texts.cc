#include "engine/engine_texts.h"

#include "platform/platform.h"

namespace qs::engine {

std::string EngineMessage(const EngineText& text, const std::string& lang_file,
                          const std::vector<std::string>& args) {
  std::string pattern = platform::Utf8ToAnsi(text.german_utf8);
  if (!lang_file.empty()) {
    char buf[1024];
    std::string section(kTextSection), key(text.key);
    std::uint32_t n = platform::Current().profile->GetPrivateProfileString(
        section.c_str(), key.c_str(), pattern.c_str(), buf, sizeof buf,
        lang_file.c_str());
    pattern.assign(buf, n);
  }
  std::string out;
  out.reserve(pattern.size() + 64);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
        pattern[i + 1] <= '9') {
      std::size_t arg = static_cast<std::size_t>(pattern[i + 1] - '1');
      if (arg < args.size()) {
        out += args[arg];
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace qs::engine
