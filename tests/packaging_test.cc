// The language files shipped with the product: the German one says exactly
// what the built-in texts say, the English one has every key.
#include <gtest/gtest.h>

#include "config/texts.h"
#include "engine/engine_texts.h"
#include "platform/platform.h"

namespace qs {
namespace {

TEST(LanguageFiles, GermanEqualsTheBuiltInTextsAndEnglishHasEveryKey) {
  std::vector<texts::LangText> all(std::begin(texts::kAll), std::end(texts::kAll));
  for (const engine::EngineText& t : engine::kAllTexts) {
    all.push_back({engine::kTextSection, t.key, t.german_utf8});
  }
  // What the reader returns for `t` from the language file `name` (the files
  // and the table are both UTF-8, so no code page is involved).
  auto read = [](const texts::LangText& t, std::string_view def, const char* name) {
    const std::string file = std::string(QS_SOURCE_DIR) + "/packaging/lang/" + name;
    char buf[1024];
    std::uint32_t n = platform::Current().profile->GetPrivateProfileString(
        std::string(t.section).c_str(), std::string(t.key).c_str(), std::string(def).c_str(), buf,
        sizeof buf, file.c_str());
    return std::string(buf, n);
  };
  for (const texts::LangText& t : all) {
    SCOPED_TRACE(std::string(t.section) + "/" + std::string(t.key));
    // The monitor server's title has no built-in text: the file names it.
    if (t.german_utf8.empty()) {
      EXPECT_NE(read(t, "", "Deutsch.lng"), "");
    } else {
      EXPECT_EQ(read(t, t.german_utf8, "Deutsch.lng"), read(t, t.german_utf8, "missing.lng"));
    }
    EXPECT_NE(read(t, "", "English.lng"), "");
  }
}

}  // namespace
}  // namespace qs
