// The profile functions as the service calls them: lookups, buffers, lists
// and writes. Everything goes through the platform's ProfileApi, so the
// same tables run against our own reader and writer on POSIX and against
// the system's functions on Windows and under Wine (rows where Wine differs
// from Windows say so). On the real disk: the files are what is compared.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_support.h"

namespace qs {
namespace {

using namespace std::string_literals;

platform::ProfileApi& Api() { return *platform::Current().profile; }

bool Write(const char* section, const char* key, const char* value, const std::string& file) {
  return Api().WritePrivateProfileString(section, key, value, file.c_str());
}

constexpr char kUntouched = '\x7f';

// A lookup into a buffer of `size` bytes and some more: the count and the
// whole buffer.
std::pair<std::uint32_t, std::string> Get(const char* section, const char* key, const char* def,
                                          const std::string& file, std::uint32_t size = 256) {
  std::string buffer(size + 8, kUntouched);
  const std::uint32_t count =
      Api().GetPrivateProfileString(section, key, def, buffer.data(), size, file.c_str());
  return {count, buffer};
}

// The value a lookup returns, with its NUL.
std::string Value(const char* section, const char* key, const char* def, const std::string& file) {
  const auto [count, buffer] = Get(section, key, def, file);
  return buffer.substr(0, count + 1);
}

std::string U16(std::u16string_view s) {
  std::string out = "\xFF\xFE";
  for (char16_t c : s) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return out;
}

// A file's bytes, the value read or the file's bytes after, and the call's
// arguments (`arg` is the default of a lookup or the value of a write).
struct Row {
  std::string file, want;
  const char *section = "s", *key = "k", *arg = "d";
  bool wine_differs = false;
};

void Check(bool write, const std::vector<Row>& rows) {
  test::TempDir dir;
  for (const Row& r : rows) {
    if (r.wine_differs && test::UnderWine()) continue;
    const std::string path = dir.Join(std::to_string(&r - rows.data()) + ".ini");
    test::WriteBytes(path, r.file);
    SCOPED_TRACE(::testing::Message() << "file <" << r.file << "> [" << r.section << "] "
                                      << (r.key ? r.key : "-") << " " << (r.arg ? r.arg : "-"));
    EXPECT_TRUE(!write || Write(r.section, r.key, r.arg, path));
    EXPECT_EQ(write ? test::ReadBytes(path) : Value(r.section, r.key, r.arg, path),
              write ? r.want : r.want + '\0');
  }
}

// --- Lookups: lines, trimming, headers, entries, quotes, defaults.

TEST(ProfileLookup, FollowsTheLineEntryQuoteAndDefaultRules) {
  Check(false, {
      // Line ends of every kind; the last line needs none.
      {"[s]\nk=v", "v"}, {"[s]\rk=v\r", "v"}, {"[s]\r\n\r\n\n\rk=v\n\r", "v"},
      // Trimming: space, TAB, VT, FF, 0x1A; not NBSP.
      {" \t[s]\t \r\n \x0b\x0c k \t= \x1av \x1a\t\r\n", "v"},
      {"[s]\r\nk=\xA0v\xA0\r\n", "\xA0v\xA0"},
      // Headers: the name up to the last ']', trimmed.
      {"[ s1 ] x\r\nk=1", "1", "s1"}, {"[s2]x]y\r\nk=2", "2", "s2]x"},
      // "[]" is hidden by the lines before the first header, even none.
      {"[]\r\nk=3", "d", ""}, {"[s]\r\n[t\r\nk=4", "4"}, {"[s\r\nk=5", "5", ""},
      // Entries split at the first '='; a line without '=' is a key without
      // a value, and it hides later entries of its name.
      {"[s]\r\nf = = g", "= g", "s", "f"}, {"[s]\r\nk\r\nk=v", "d"},
      {"[s]\r\n=4\r\n", "4", "s", ""},
      // No comments at lookup.
      {"[s]\r\n;k1=v1", "v1", "s", ";k1"}, {"[s]\r\nk=v4 ;comment", "v4 ;comment"},
      // A NUL ends the name or value; the file goes on after the line.
      {"[s]\r\na=x\0y\r\nb=2"s, "x", "s", "a"}, {"[s]\r\na=x\0y\r\nb=2"s, "2", "s", "b"},
      {"[t\0u]\r\nk=v"s, "v", "t"}, {"[s]\r\nk\0junk=v"s, "v"},
      // Requested names are trimmed and match regardless of case.
      {"[SecZ]\r\nKEY=v", "v", " sECz ", "\tkey  "},
      // Only the first section of a name is searched; the first key wins.
      {"[s]\r\na=1\r\n[S]\r\nb=2", "d", "s", "b"}, {"[s]\r\nk=1\r\nK=2", "1"},
      // Bytes 0x80..0xFF of an unmarked file come back unchanged.
      {"[s]\r\nk=\xE4\xF6\xFC\x80\xFF", "\xE4\xF6\xFC\x80\xFF"},
      // UTF-16 LE with its mark is read in the ANSI code page; without
      // the mark it is not recognised.
      {U16(u"[s]\r\nk=a\u4E2Db\r\n"), "a?b"},
      {U16(u"[s]\r\nk=1\r\n[t]\r\nx=\"q\"\r\n"), "q", "t", "x"},
      {"[\0s\0]\0\r\0\n\0k\0=\0v\0"s, "d"},
      // Wine decodes UTF-8 and UTF-16 BE files; Windows reads both as ANSI
      // bytes, so the marks belong to the first line.
      {"\xEF\xBB\xBF[s]\r\nk=v\r\n", "d", "s", "k", "d", true},
      {"\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w", "w", "t", "k", "d", true},
      {"\xEF\xBB\xBFk=v\r\n", "v", "", "\xEF\xBB\xBFk", "d", true},
      {"\xFE\xFF\0[\0s\0]\0\r\0\n\0k\0=\0v"s, "d", "s", "k", "d", true},
      // Quotes: a pair of the same around the whole value goes, once.
      {"[s]\r\nk=\"\"\"\"", "\"\""}, {"[s]\r\nk=\" a \"", " a "},
      {"[s]\r\nk=''", ""}, {"[s]\r\nk=\"", "\""}, {"[s]\r\nk=\"abc'", "\"abc'"},
      {"[s]\r\nk=\"abc\" ;c", "\"abc\" ;c"}, {"[s]\r\nk=  \"abc\"  ", "abc"},
      // An empty value is a value; only a missing key gives the default,
      // without its trailing spaces and quotes.
      {"[s]\r\nk =  ", ""}, {"[s]\r\nk=v", "def\t", "s", "other", "def\t "},
      {"[s]\r\nk=v", " ", "t", "k", "   "}, {"[s]\r\nk=v", "  def", "t", "k", "  def  "},
      {"[s]\r\nk=v", "", "t", "k", nullptr}, {"[s]\r\nk=v", "q", "t", "k", "\"q\"  "},
      {"[s]\r\nk=v", "\"", "t", "k", "\""}, {"", "empty file", "s", "k", "empty file"},
  });
}

// --- Buffers: cut to size-1 bytes, nothing beyond the NUL touched; lists
// of section and key names, each ended by a NUL, plus a final NUL.

TEST(ProfileBuffer, CutsToSizeMinusOneListsNamesAndTouchesNothingElse) {
  test::TempDir dir;
  const std::string f = dir.Join("f.ini"), l = dir.Join("l.ini"), t = dir.Join("t.ini");
  const std::string empty = dir.Join("e.ini"), none = dir.Join("none.ini");
  const std::string x300(300, 'x'), big(39998, 'y');
  test::WriteBytes(f, "[s]\r\nlong=" + x300 + "\r\nabc=abc\r\nq=\"abc\"\r\nbig=" + big + "\r\n");
  test::WriteBytes(l, "top=1\r\n[a]\r\nx=1\r\n;c=2\r\nplain\r\nX=3\r\n[b]\r\n"
                      "[ c ]\r\n;only=comment\r\n[]\r\n[\0x]\r\n[A]\r\ny=1\r\n"s);
  test::WriteBytes(t, "[alpha]\r\n[beta]\r\nk1=1\r\nk2=2\r\n");
  test::WriteBytes(empty, "");
  struct Row {
    const std::string& file;
    const char *section, *key, *def;
    std::uint32_t size, count;
    std::string want;  // the buffer's bytes, up to the last one written
    bool wine_differs = false;
  } rows[] = {
      {f, "s", "long", "", 256, 255, std::string(255, 'x') + '\0'},
      {f, "s", "long", "", 301, 300, x300 + '\0'}, {f, "s", "big", "", 40000, 39998, big + '\0'},
      {f, "s", "abc", "", 2, 1, "a\0"s}, {f, "s", "abc", "", 1, 0, "\0"s},
      {f, "s", "abc", "", 0, 0, ""}, {f, "s", "abc", "", 4, 3, "abc\0"s},
      {f, "s", "q", "", 3, 2, "ab\0"s}, {f, "s", "none", "abcdef", 4, 3, "abc\0"s},
      {f, "s", "none", "ab   ", 2, 1, "a\0"s}, {f, "s", "none", "abc", 0, 0, ""},
      // Wine drops the last character of a quoted text that fills size-1
      // bytes exactly.
      {f, "s", "q", "", 4, 3, "abc\0"s, true}, {f, "s", "none", "'abc'", 4, 3, "abc\0"s, true},
      // Lists of sections (null section) and keys (null key).
      {l, nullptr, nullptr, "d", 64, 8, "a\0b\0c\0A\0\0"s},
      {l, "A", nullptr, "d", 64, 4, "x\0X\0\0"s},
      {l, "", nullptr, "d", 64, 4, "top\0\0"s}, {empty, nullptr, nullptr, "d", 64, 0, "\0"s},
      // An empty section, one of only a comment, a missing one, a missing
      // file: its keys are the default; a missing file has no sections.
      {l, "b", nullptr, "dflt", 64, 4, "dflt\0"s}, {l, "c", nullptr, "dflt", 64, 4, "dflt\0"s},
      {l, "zz", nullptr, "dflt", 64, 4, "dflt\0"s}, {none, "s", nullptr, "dflt", 64, 4, "dflt\0"s},
      {none, nullptr, nullptr, "d", 64, 0, "\0"s},
      // Wine ends a truncated list with one NUL, Windows with two, and Wine
      // takes an exact fit for a truncation.
      {t, nullptr, nullptr, "d", 12, 11, "alpha\0beta\0\0"s, true},
      {t, nullptr, nullptr, "d", 8, 6, "alpha\0\0\0"s, true},
      {t, nullptr, nullptr, "d", 11, 9, "alpha\0bet\0\0"s, true},
      {t, "beta", nullptr, "d", 5, 3, "k1\0\0\0"s, true},
  };
  for (const Row& r : rows) {
    if (r.wine_differs && test::UnderWine()) continue;
    const auto [count, buffer] = Get(r.section, r.key, r.def, r.file, r.size);
    EXPECT_EQ(count, r.count) << (r.key ? r.key : "(list)") << " size " << r.size;
    EXPECT_EQ(buffer, r.want + std::string(buffer.size() - r.want.size(), kUntouched));
  }
}

// --- Writes.

// Files already in the form both writers produce, so that Windows, Wine and
// our writer must agree byte for byte.
TEST(ProfileWrite, ChangesAddsAndDeletesEntries) {
  Check(true, {
      {"[s]\r\nk=old\r\nx=1\r\n", "[s]\r\nk=new\r\nx=1\r\n", "s", "k", "new"},
      {"[Sec]\r\nKey=1\r\n", "[Sec]\r\nKey=2\r\n", " sec ", "KEY", "2"},
      {"[s]\r\nk=Abc\r\n", "[s]\r\nk=abc\r\n", "s", "k", "abc"},
      {"[s]\r\nk=1\r\n", "[s]\r\nk=\r\n", "s", "k", ""},
      {"[s]\r\na=1\r\n[t]\r\nb=2\r\n", "[s]\r\na=1\r\nnew=v\r\n[t]\r\nb=2\r\n", "s", "new", "v"},
      {"[s]\r\n[t]\r\n", "[s]\r\nk=v\r\n[t]\r\n", "s", "k", "v"},
      {"[s]\r\na=1", "[s]\r\na=1\r\nb=2\r\n", "s", "b", "2"},
      {"[s]\r\na=1", "[s]\r\na=1\r\n[t]\r\nk=v\r\n", "t", "k", "v"},
      {"", "[new sec ]\r\nnk =v \"q\" ; x \r\n", "  new sec ", "  nk ", "  v \"q\" ; x "},
      // After the section's last line, comments included.
      {"[s]\r\na=1\r\n;c\r\n[t]\r\n", "[s]\r\na=1\r\n;c\r\nb=2\r\n[t]\r\n", "s", "b", "2"},
      // A key without a value gets one.
      {"[s]\r\nk\r\nk=v\r\n", "[s]\r\nk=new\r\nk=v\r\n", "s", "k", "new"},
      {"[s]\r\nk\r\nk=v\r\n", "[s]\r\nk=v\r\n", "s", "k", nullptr},
      // The section "" is the lines before the first header.
      {"[s]\r\na=1\r\n", "b=2\r\n[s]\r\na=1\r\n", "", "b", "2"},
      {"x=0\r\n[s]\r\na=1\r\n", "x=0\r\nb=2\r\n[s]\r\na=1\r\n", "", "b", "2"},
      {"x=0\r\n;c\r\n[s]\r\na=1\r\n", "[s]\r\na=1\r\n", "", nullptr, nullptr},
      // The first of duplicate sections takes a new value.
      {"[s]\r\na=1\r\n[s]\r\nb=2\r\n", "[s]\r\na=1\r\nb=3\r\n[s]\r\nb=2\r\n", "s", "b", "3"},
      // Deleting: a key, one in a later duplicate, a whole section.
      {"[s]\r\na=1\r\nb=2\r\n", "[s]\r\nb=2\r\n", "s", "A", nullptr},
      {"[s]\r\na=1\r\n[t]\r\n[S]\r\nb=2\r\n", "[s]\r\na=1\r\n[t]\r\n[S]\r\n", "s", "b", nullptr},
      {"[s]\r\na=1\r\n;c\r\n[t]\r\nb=2\r\n", "[t]\r\nb=2\r\n", "S", nullptr, nullptr},
      {"[s]\r\na=1\r\n[s]\r\nb=2\r\n", "[s]\r\nb=2\r\n", "s", nullptr, "ignored"},
      {"[s]\r\na=1\r\n", "[s]\r\na=1\r\n", "t", nullptr, nullptr},
      // UTF-16 LE files stay UTF-16 LE.
      {U16(u"[s]\r\nk=old\r\n"), U16(u"[s]\r\nk=new\r\n"), "s", "k", "new"},
      {U16(u"[s]\r\nk=1\r\n"), U16(u"[s]\r\nk=1\r\n[t]\r\nn=2\r\n"), "t", "n", "2"},
      {U16(u"[s]\r\nk=1\r\n[t]\r\nn=2\r\n"), U16(u"[t]\r\nn=2\r\n"), "s", nullptr, nullptr},
  });
}

TEST(ProfileWrite, KeepsEveryUntouchedByte) {
  if (test::UnderWine()) {
    GTEST_SKIP() << "Wine rewrites the whole file in its own form on every "
                    "change; Windows keeps the bytes it does not change";
  }
  Check(true, {
      {"; head\n\n[s] \n  k = old  \n\n[t]\nz=1", "; head\n\n[s] \n  k = new\n\n[t]\nz=1", "s", "k",
       "new"},
      {"[s]\r\nk=v  \r\n", "[s]\r\nk=w  \r\n", "s", "k", "w  "},
      {"[s]\r\na=1\r\n;c\r\n\r\n[t]\r\nb=2\r\n", "[s]\r\na=1\r\n;c\r\nnew=v\r\n\r\n[t]\r\nb=2\r\n",
       "s", "new", "v"},
      {"[s]\r\n  k \x1a\r\n", "[s]\r\n  k=v\r\n", "s", "k", "v"},
      {"[]\r\nk=1\r\n", "k=2\r\n[]\r\nk=1\r\n", "", "k", "2"},
      {"x\n[s]\n a = 1 \n\n[t]\n b = 2 \n", "x\n[t]\n b = 2 \n", "s", nullptr, nullptr},
      {"[s]\r\na=1\r\n  B = 2 \r\nc=3\r\n", "[s]\r\na=1\r\nc=3\r\n", "s", "b", nullptr},
      {"[s]\r\nk=x\0tail\r\nz=\0\r\n"s, "[s]\r\nk=y\r\nz=\0\r\n"s, "s", "k", "y"},
      {"\xEF\xBB\xBF[s]\r\nk=1\r\n", "\xEF\xBB\xBF[s]\r\nk=1\r\n[s]\r\nk=2\r\n", "s", "k", "2"},
  });
}

// A missing or unnamed file gives the default and is not made by a
// deletion; a missing folder or section name fails; writing what is there
// already leaves the file alone.
TEST(ProfileWrite, MissingFilesFoldersSectionsAndUnchangedValues) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  const std::string f = dir.Join("new.ini"), deep = dir.Join("no") + test::Sep() + "x.ini";
  EXPECT_EQ(Value("s", "k", "fallback ", f), "fallback\0"s);
  EXPECT_EQ(Value("s", "k", "fallback", ""), "fallback\0"s);
  EXPECT_TRUE(Write("s", "k", nullptr, f));
  EXPECT_TRUE(Write("s", nullptr, nullptr, f));
  EXPECT_FALSE(test::Exists(f));
  EXPECT_FALSE(Write("s", "k", "v", deep));

  EXPECT_TRUE(Write("s", "k", "v", f));
  EXPECT_FALSE(Write(nullptr, "k", "v", f));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=v\r\n");
  const std::string text = "[Opt]\r\nKey=  same\r\nq=\"x\"\r\n";
  test::WriteBytes(f, text);
  const auto old_time = fs::last_write_time(f) - std::chrono::hours(48);
  fs::last_write_time(f, old_time);
  EXPECT_TRUE(Write("opt", "KEY", "same", f));
  EXPECT_TRUE(Write("Opt", "q", "\"x\"", f));
  EXPECT_TRUE(Write("Opt", "no", nullptr, f));
  EXPECT_EQ(fs::last_write_time(f), old_time);
}

// --- The user's profile: only the decimal separator is known.

TEST(ProfileUser, OnlyTheDecimalSeparatorIsKnown) {
  char buf[16];
#ifndef _WIN32
  // The locale's, a German one's comma included.
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  EXPECT_TRUE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) << "locale-gen de_DE.UTF-8";
  EXPECT_EQ(Api().GetProfileString(" INTL", "sdecimal ", "", buf, 16), 1u);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_STREQ(buf, ",");
#endif
  // Anything else is the default, without its trailing blanks and quotes.
  EXPECT_EQ(Api().GetProfileString("QuillonNoSuchApp", "sDecimal", "'.'  ", buf, 16), 1u);
  EXPECT_STREQ(buf, ".");
  EXPECT_EQ(Api().GetProfileString("intl", "sDecimal", "", buf, 1), 0u);
  EXPECT_STREQ(buf, "");
}

#ifndef _WIN32
// On POSIX the ANSI code page is the locale's character set: letters
// beyond ASCII fold as it allows, and UTF-16 files are read and written in
// it.
TEST(ProfileLocale, LettersFoldAsTheCharacterSetAllows) {
  const char *U = "\xC3\x9C" "ber", *A = "\xC3\x84" "rger";  // Über, Ärger
  const char *u = "\xC3\xBC" "ber", *a = "\xC3\xA4" "rger";  // über, ärger
  const std::string f = "[" + std::string(U) + "]\r\n" + A + "=1\r\n\xC3\x97=x\r\n";  // ×
  const std::string u16 = U16(u"[s]\r\nk=\u00E4\u4E2D\r\n");
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  ASSERT_TRUE(std::setlocale(LC_CTYPE, "C"));
  Check(false, {{f, "d", u, a}, {f, "1", U, A}, {u16, "??"}});
  ASSERT_TRUE(std::setlocale(LC_CTYPE, "C.UTF-8")) << "no C.UTF-8 locale";
  Check(false, {{f, "1", "\xC3\xBC" "BER", "\xC3\xA4RGER"}, {f, "d", u, "\xC3\xB7"},  // ÷
                {u16, "\xC3\xA4\xE4\xB8\xAD"}});
  const std::string f2 = "[" + std::string(U) + "]\r\n" + A + "=2\r\n\xC3\x97=x\r\n";
  Check(true, {{u16, U16(u"[s]\r\nk=\u00E4\u4E2D\r\nn=\u00F6\r\n"), "S", "n", "\xC3\xB6"},
               {f, f2, "\xC3\x9C" "BER", a, "2"}});
  std::setlocale(LC_CTYPE, saved.c_str());
}
#endif

}  // namespace
}  // namespace qs
