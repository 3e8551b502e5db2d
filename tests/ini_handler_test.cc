// modIniHandler over an in-memory disk: what each reader passes on, the
// paths the writers compute and the single lines they write, the German
// fallbacks, and the trap of each reader.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "config/ini_handler.h"
#include "config/texts.h"
#include "errortrap/ravelin.h"
#include "tests/fakes.h"
#include "tests/mem_profile.h"
#include "tests/test_support.h"

namespace qs {
namespace {

namespace ini = modIniHandler;

// A product folder "/opt/Quillon Pro" with its "bin" folder as the program
// folder (FakeProcess's).
class IniHandlerTest : public testing::Test {
 protected:
  IniHandlerTest() { modRavelinLITE::ResetForTest(); }
  ~IniHandlerTest() override { modRavelinLITE::ResetForTest(); }

  test::MemFileSystem disk_;
  test::MemProfile profile_{disk_};
  test::FakeProcess process_;
  test::FakeUi ui_;
  platform::ScopedPlatform scoped_{{.profile = &profile_, .process = &process_, .ui = &ui_}};
};

TEST_F(IniHandlerTest, ReadersPassTheirSizeAndTheKeysDefaults) {
  const std::string file = "/q.ini";
  disk_.AddFile(file,
                "[Options]\r\nLong=" + std::string(300, 'x') + "\r\n[NTService]\r\nt2=installed.");
  EXPECT_EQ(ini::GetINIString("Options", "Long", "", file, 256), std::string(255, 'x'));
  EXPECT_EQ(ini::GetINIString("Options", "Long", "", file, 0), "");
  EXPECT_EQ(ini::GetJobString(texts::kOptWriteLog, file), "0");
  EXPECT_EQ(ini::GetServiceINIString(texts::kOptLogSize, file), "100");
  // The German texts where a language file lacks one.
  EXPECT_EQ(texts::Lookup(texts::kInstalled, file), "installed.");
  EXPECT_EQ(texts::Lookup(texts::kInstalled, "/none.lng"), "erfolgreich installiert.");
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(IniHandlerTest, WritersUseTheProgramFolderAndWriteSingleLines) {
  // The service INI names another main INI; the status still goes to the
  // product folder's Quillon.ini.
  const std::string service_ini = "/opt/Quillon Pro/bin" + test::Sep() + "QuillonSrv.ini";
  disk_.AddFile(service_ini, "[Files]\r\nINI=/elsewhere/Other.ini\r\n");
  ini::WriteINIString("NTService", "LastMsg", "x\r\n[JobWin]\r\nNoDiskSizeCheck=1");
  ini::WriteServiceINI("Files\n", "Language", "x.lng");
  // A write the platform refuses goes unnoticed.
  profile_.write_result = false;
  ini::WriteINIString("NTService", "State", "1");
  EXPECT_EQ(profile_.writes,
            (std::vector<test::MemProfile::Write>{
                {"/opt/Quillon Pro/Quillon.ini", "NTService", "LastMsg",
                 "x  [JobWin]  NoDiskSizeCheck=1"},
                {service_ini, "Files ", "Language", "x.lng"},
                {"/opt/Quillon Pro/Quillon.ini", "NTService", "State", "1"}}));
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(IniHandlerTest, BadSizesAreReportedByTheReadersTrap) {
  EXPECT_EQ(ini::GetJobString("Job", "From", "d", "/a.qlj", -1), "");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_NE(ui_.boxes[0].text.find("#5 (Invalid procedure call or argument) occurred in module "
                                   "modIniHandler, Function GetJobString"),
            std::string::npos);
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
