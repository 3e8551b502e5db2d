// modIniHandler against real files: the paths it computes, the size cut,
// the German fallbacks, and the trap of each reader.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

namespace qs {
namespace {

using modIniHandler::GetINIString;
using modIniHandler::GetJobString;
using modIniHandler::GetLangString;
using modIniHandler::GetServiceINIString;

// A product folder "Quillon Pro" with its "bin" folder as the program folder.
class IniHandlerTest : public testing::Test {
 protected:
  void SetUp() override {
    modRavelinLITE::ResetForTest();
    product_ = dir_.Join("Quillon Pro");
    bin_ = product_ + test::Sep() + "bin";
    std::filesystem::create_directories(bin_);
    process_.exe = bin_ + test::Sep() + "QuillonSrv";
  }
  void TearDown() override { modRavelinLITE::ResetForTest(); }

  test::TempDir dir_;
  std::string product_, bin_;
  test::FakeProcess process_;
  test::FakeUi ui_;
  test::FakeWindows windows_;
  platform::ScopedPlatform scoped_{{.process = &process_, .windows = &windows_, .ui = &ui_}};
};

TEST_F(IniHandlerTest, ReadersCutToSizeAndKeepWhatThePlatformReturns) {
  std::string file = dir_.Join("Quillon.ini");
  std::string long_value(300, 'x');
  test::WriteBytes(file, "[Options]\r\nLong=" + long_value +
                             "\r\nBlanks=  a b  \r\nEmpty=\r\n[Job]\r\nFrom=/src\r\n");
  EXPECT_EQ(GetINIString("Options", "Long", "", file, 256), std::string(255, 'x'));
  EXPECT_EQ(GetINIString("Options", "Long", "", file, 4), "xxx");
  EXPECT_EQ(GetINIString("Options", "Long", "", file, 0), "");
  EXPECT_EQ(GetINIString("Options", "Blanks", "", file, 256), "a b");
  EXPECT_EQ(GetINIString("Options", "Empty", "dflt", file, 256), "");
  EXPECT_EQ(GetINIString("Options", "NTProcPriority", "1", file, 256), "1");
  EXPECT_EQ(GetJobString("Job", "From", "", file, 256), "/src");
  EXPECT_EQ(GetServiceINIString("Files", "INI", "", dir_.Join("missing.ini"), 256), "");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(IniHandlerTest, LanguageTextsFallBackToGermanWithoutTrailingBlank) {
  std::string lang = dir_.Join("English.lng");
  test::WriteBytes(lang, "[NTService]\r\nt2=installed.\r\n");
  auto text = [&](const texts::LangText& t, const std::string& file) {
    return GetLangString(std::string(t.section), std::string(t.key), texts::German(t), file,
                         texts::kReadSize);
  };
  EXPECT_EQ(text(texts::kInstalled, lang), "installed.");
  EXPECT_EQ(text(texts::kInstalled, dir_.Join("none.lng")), "erfolgreich installiert.");
  EXPECT_EQ(text(texts::kFreeSpace, lang), "Freier Speicher auf Laufwerk");
  EXPECT_EQ(text(texts::kMonitorTitle, lang), "");
  // "t21" starts with a line break and loses only its last blank.
  std::string cut = text(texts::kLogCut, lang);
  EXPECT_TRUE(cut.starts_with("\r\nAchtung - Logdateigr"));
  EXPECT_TRUE(cut.ends_with("reduziert auf"));
}

TEST_F(IniHandlerTest, WritersUseThePathsOfTheProgramFolder) {
  // The service INI names another main INI; the status still goes to the
  // product folder's Quillon.ini.
  std::string service_ini = bin_ + test::Sep() + "QuillonSrv.ini";
  test::WriteBytes(service_ini, "[Files]\r\nINI=" + dir_.Join("Other.ini") + "\r\n");
  modIniHandler::WriteINIString("NTService", "State", "1");
  EXPECT_EQ(test::ReadBytes(product_ + test::Sep() + "Quillon.ini"), "[NTService]\r\nState=1\r\n");
  EXPECT_FALSE(test::Exists(dir_.Join("Other.ini")));

  modIniHandler::WriteServiceINI("Files", "Language", "x.lng");
  EXPECT_EQ(test::ReadBytes(service_ini),
            "[Files]\r\nINI=" + dir_.Join("Other.ini") + "\r\nLanguage=x.lng\r\n");
  EXPECT_EQ(modIniHandler::MainIniPathForWriting(), product_ + test::Sep() + "Quillon.ini");
}

TEST_F(IniHandlerTest, FailingWritesAreSilentAndBadSizesAreReported) {
  windows_.windows = {{"Ravelin"}};
  process_.exe = dir_.Join("gone") + test::Sep() + "bin" + test::Sep() + "QuillonSrv";
  modIniHandler::WriteINIString("NTService", "State", "1");  // folder missing
  EXPECT_TRUE(ui_.boxes.empty());

  EXPECT_EQ(GetJobString("Job", "From", "d", dir_.Join("a.qlj"), -1), "");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_NE(ui_.boxes[0].text.find("#5 (Invalid procedure call or argument) occurred in module "
                                   "modIniHandler, Function GetJobString"),
            std::string::npos);
  // The reader's own name appears in its trace lines.
  bool entered = false;
  for (const auto& [h, text] : windows_.sent) {
    entered |= text.find("->modIniHandler : Function GetJobString : \r\n") != std::string::npos;
  }
  EXPECT_TRUE(entered);
}

#ifndef _WIN32
// On POSIX the ANSI code page is the locale's character set; the C locale's
// ASCII counts as UTF-8.
TEST(GermanTexts, FollowTheCodeSetOfTheLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const char* env = std::getenv("LC_ALL");
  const std::string saved_env = env ? env : "";
  const std::string utf8 = "Logdateigr\xC3\xB6sse \xE2\x82\xAC";  // "Logdateigrösse €"
  for (const auto& [locale, text] : std::initializer_list<std::pair<const char*, std::string>>{
           {"C", utf8}, {"POSIX", utf8}, {"C.UTF-8", utf8}, {"de_DE.UTF-8", utf8},
           {"de_DE.ISO-8859-1", "Logdateigr\xF6sse ?"}}) {
    ::setenv("LC_ALL", locale, 1);
    platform::ApplyRegionalSettings();
    EXPECT_EQ(platform::Utf8ToAnsi(utf8), text) << locale << " (locale-gen it if missing)";
  }
  env ? ::setenv("LC_ALL", saved_env.c_str(), 1) : ::unsetenv("LC_ALL");
  std::setlocale(LC_ALL, saved.c_str());
}
#endif

}  // namespace
}  // namespace qs
