// The language files shipped with the product: the German one says exactly
// what the built-in texts say, the English one has every key.
#include <gtest/gtest.h>

#include "config/texts.h"
#include "engine/engine_texts.h"
#include "platform/platform.h"

namespace qs {
namespace {

struct Text {
  std::string section, key, german_utf8;
};

// Every text the service and the engine look up, with its built-in default.
std::vector<Text> AllTexts() {
  std::vector<Text> all;
  for (const texts::LangText& t : texts::kAll) {
    all.push_back({std::string(t.section), std::string(t.key), std::string(t.german_utf8)});
  }
  for (const engine::EngineText& t : engine::kAllTexts) {
    all.push_back({std::string(engine::kTextSection), std::string(t.key), std::string(t.german_utf8)});
  }
  return all;
}

// What the reader returns for `t` from `file` (the files and the table are
// both UTF-8, so no code page is involved).
std::string Read(const Text& t, const std::string& def, const std::string& file) {
  char buf[1024];
  std::uint32_t n = platform::Current().profile->GetPrivateProfileString(
      t.section.c_str(), t.key.c_str(), def.c_str(), buf, sizeof buf, file.c_str());
  return std::string(buf, n);
}

std::string LangFile(const char* name) {
  return std::string(QS_SOURCE_DIR) + "/packaging/lang/" + name;
}

TEST(LanguageFiles, GermanEqualsTheBuiltInTextsAndEnglishHasEveryKey) {
  const std::string no_file = LangFile("missing.lng");
  for (const Text& t : AllTexts()) {
    SCOPED_TRACE(t.section + "/" + t.key);
    // The monitor server's title has no built-in text: the file names it.
    if (t.german_utf8.empty()) {
      EXPECT_NE(Read(t, "", LangFile("Deutsch.lng")), "");
    } else {
      EXPECT_EQ(Read(t, t.german_utf8, LangFile("Deutsch.lng")), Read(t, t.german_utf8, no_file));
    }
    EXPECT_NE(Read(t, "", LangFile("English.lng")), "");
  }
}

}  // namespace
}  // namespace qs
