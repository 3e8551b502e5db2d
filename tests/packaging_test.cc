// The language files shipped with the product hold every text the service
// looks up.
#include <gtest/gtest.h>

#include "config/texts.h"
#include "platform/platform.h"

namespace qs {
namespace {

TEST(LanguageFiles, HoldEveryKeyOfTheTextTable) {
  for (const char* name : {"Deutsch.lng", "English.lng"}) {
    std::string file = std::string(QS_SOURCE_DIR) + "/packaging/lang/" + name;
    for (const texts::LangText& t : texts::kAll) {
      char buf[256];
      std::string section(t.section), key(t.key);
      std::uint32_t n = platform::Current().profile->GetPrivateProfileString(
          section.c_str(), key.c_str(), "\x01missing", buf, sizeof buf, file.c_str());
      std::string value(buf, n);
      EXPECT_NE(value, "\x01missing") << name << " lacks " << section << "/" << key;
      EXPECT_FALSE(value.empty()) << name << " " << section << "/" << key;
    }
  }
}

}  // namespace
}  // namespace qs
