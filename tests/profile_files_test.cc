// The profile functions as the service calls them: lookups, buffers, lists,
// writes and freshness. Everything goes through the platform's ProfileApi, so
// the same cases run against our own reader and writer on POSIX and against
// the system's functions on Windows (and under Wine, which differs from
// Windows in a few places; those cases say so).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#endif

namespace qs {
namespace {

using namespace std::string_literals;

bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

platform::ProfileApi& Api() { return *platform::Current().profile; }

bool Write(const char* section, const char* key, const char* value,
           const std::string& file) {
  return Api().WritePrivateProfileString(section, key, value, file.c_str());
}

constexpr char kUntouched = '\x7f';

struct Got {
  std::string text;  // the first `count` bytes of the buffer
  std::uint32_t count;
  std::vector<char> buffer;
};

Got Get(const char* section, const char* key, const char* def,
        const std::string& file, std::uint32_t size = 256) {
  Got g{"", 0, std::vector<char>(size + 8, kUntouched)};
  g.count = Api().GetPrivateProfileString(section, key, def, g.buffer.data(),
                                          size, file.c_str());
  g.text.assign(g.buffer.data(), std::min<std::size_t>(g.count, size));
  return g;
}

// A single value: its text, the NUL after it, and nothing else touched.
void ExpectValue(const Got& g, const std::string& want,
                 std::uint32_t size = 256) {
  EXPECT_EQ(g.text, want);
  EXPECT_EQ(g.count, want.size());
  if (size != 0) {
    EXPECT_EQ(g.buffer[g.count], '\0');
  }
  for (std::size_t i = size == 0 ? 0 : g.count + 1; i < g.buffer.size(); ++i) {
    ASSERT_EQ(g.buffer[i], kUntouched) << "byte " << i << " was written";
  }
}

std::string U16(std::u16string_view s) {
  std::string out = "\xFF\xFE";
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// --- Lookups: lines, trimming, headers, entries, quotes, defaults.

// A file's bytes, a call's arguments (`arg` is the default of a lookup or
// the value of a write) and the value read or the file's bytes after.
struct Row {
  std::string file;
  const char *section, *key, *arg;
  std::string want;
  bool wine_differs = false;
};

void Check(bool write, const std::vector<Row>& rows) {
  test::TempDir dir;
  int n = 0;
  for (const Row& r : rows) {
    if (r.wine_differs && RunningUnderWine()) continue;
    std::string path = dir.Join(std::to_string(n++) + ".ini");
    test::WriteBytes(path, r.file);
    SCOPED_TRACE(::testing::Message()
                 << "file <" << r.file << "> [" << r.section << "] "
                 << r.key << " " << (r.arg ? r.arg : "(null)"));
    if (!write) {
      ExpectValue(Get(r.section, r.key, r.arg, path), r.want);
    } else {
      EXPECT_TRUE(Write(r.section, r.key, r.arg, path));
      EXPECT_EQ(test::ReadBytes(path), r.want);
    }
  }
}

TEST(ProfileLookup, FollowsTheLineAndEntryRules) {
  Check(false, {
      // Line ends of every kind; the last line needs none.
      {"[s]\nk=v", "s", "k", "d", "v"}, {"[s]\rk=v\r", "s", "k", "d", "v"},
      {"[s]\r\n\r\n\n\rk=v\n\r", "s", "k", "d", "v"},
      // Trimming: space, TAB, VT, FF, 0x1A; not NBSP.
      {" \t[s]\t \r\n \x0b\x0c k \t= \x1av \x1a\t\r\n", "s", "k", "d", "v"},
      {"[s]\r\nk=\xA0v\xA0\r\n", "s", "k", "d", "\xA0v\xA0"},
      // Headers: the name up to the last ']', trimmed.
      {"[ s1 ] x\r\nk=1", "s1", "k", "d", "1"},
      {"[s2]x]y\r\nk=2", "s2]x", "k", "d", "2"},
      // "[]" is hidden by the lines before the first header, even none.
      {"[]\r\nk=3", "", "k", "d", "d"},
      {"[s]\r\n[t\r\nk=4", "s", "k", "d", "4"},
      {"[s\r\nk=5", "", "k", "d", "5"},
      // Entries split at the first '='; a line without '=' is a key without
      // a value, and it hides later entries of its name.
      {"[s]\r\nf = = g", "s", "f", "d", "= g"},
      {"[s]\r\nk\r\nk=v", "s", "k", "d", "d"},
      {"[s]\r\n=4\r\n", "s", "", "d", "4"},
      // No comments at lookup.
      {"[s]\r\n;k1=v1", "s", ";k1", "d", "v1"},
      {"[s]\r\nk=v4 ;comment", "s", "k", "d", "v4 ;comment"},
      // Lines before the first header are the section "".
      {"k0=top\r\n[s]\r\nk=v", "", "k0", "d", "top"},
      {"k0=top\r\n[s]\r\nk=v", "s", "k0", "d", "d"},
      // A NUL ends the name or value; the file goes on after the line.
      {"[s]\r\na=x\0y\r\nb=2"s, "s", "a", "d", "x"},
      {"[s]\r\na=x\0y\r\nb=2"s, "s", "b", "d", "2"},
      {"[t\0u]\r\nk=v"s, "t", "k", "d", "v"},
      {"[s]\r\nk\0junk=v"s, "s", "k", "d", "v"},
      // Requested names are trimmed and match regardless of case.
      {"[Sec]\r\nKEY=v", " sEC ", "\tkey  ", "d", "v"},
      // Only the first section of a name is searched; the first key wins.
      {"[s]\r\na=1\r\n[S]\r\nb=2", "s", "b", "d", "d"},
      {"[s]\r\nk=1\r\nK=2", "s", "k", "d", "1"},
      // Bytes 0x80..0xFF of an unmarked file come back unchanged.
      {"[s]\r\nk=\xE4\xF6\xFC\x80\xFF", "s", "k", "d", "\xE4\xF6\xFC\x80\xFF"},
      // UTF-16 LE with its mark is read in the ANSI code page; without
      // the mark it is not recognised.
      {U16(u"[s]\r\nk=a\u4E2Db\r\n"), "s", "k", "d", "a?b"},
      {U16(u"[s]\r\nk=1\r\n[t]\r\nx=\"q\"\r\n"), "t", "x", "d", "q"},
      {"[\0s\0]\0\r\0\n\0k\0=\0v\0"s, "s", "k", "d", "d"},
      // Wine decodes UTF-8 and UTF-16 BE files; Windows reads both as ANSI
      // bytes, so the marks belong to the first line.
      {"\xEF\xBB\xBF[s]\r\nk=v\r\n", "s", "k", "d", "d", true},
      {"\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w", "t", "k", "d", "w", true},
      {"\xEF\xBB\xBFk=v\r\n", "", "\xEF\xBB\xBFk", "d", "v", true},
      {"\xFE\xFF\0[\0s\0]\0\r\0\n\0k\0=\0v"s, "s", "k", "d", "d", true},
  });
}

TEST(ProfileLookup, QuotesEmptyValuesAndDefaults) {
  Check(false, {
      {"[s]\r\nk=\"\"\"\"", "s", "k", "d", "\"\""},
      {"[s]\r\nk=\" a \"", "s", "k", "d", " a "},
      {"[s]\r\nk=''", "s", "k", "d", ""}, {"[s]\r\nk=\"", "s", "k", "d", "\""},
      {"[s]\r\nk=\"abc'", "s", "k", "d", "\"abc'"},
      {"[s]\r\nk=\"abc\" ;c", "s", "k", "d", "\"abc\" ;c"},
      {"[s]\r\nk=  \"abc\"  ", "s", "k", "d", "abc"},
      // An empty value is a value; only a missing key gives the default,
      // without its trailing spaces and quotes.
      {"[s]\r\nk =  ", "s", "k", "d", ""},
      {"[s]\r\nk=v", "s", "other", "def\t ", "def\t"},
      {"[s]\r\nk=v", "t", "k", "   ", " "},
      {"[s]\r\nk=v", "t", "k", "  def  ", "  def"},
      {"[s]\r\nk=v", "t", "k", nullptr, ""},
      {"[s]\r\nk=v", "t", "k", "\"q\"  ", "q"},
      {"[s]\r\nk=v", "t", "k", "\"", "\""},
      {"", "s", "k", "empty file", "empty file"},
  });
}

// --- Buffers: cut to size-1 bytes, nothing beyond the NUL touched.

TEST(ProfileBuffer, CutsToSizeMinusOneAndTouchesNothingElse) {
  test::TempDir dir;
  std::string f = dir.Join("b.ini");
  const std::string x300(300, 'x');
  const std::string big(39998, 'y');
  test::WriteBytes(f, "[s]\r\nlong=" + x300 + "\r\nabc=abc\r\nq=\"abc\"\r\n" +
                          "big=" + big + "\r\n");
  const bool wine = RunningUnderWine();
  struct Row {
    const char *key, *def;
    std::uint32_t size;
    std::string want;
    bool wine_differs = false;
  } rows[] = {
      {"long", "", 256, std::string(255, 'x')}, {"long", "", 301, x300},
      {"abc", "", 2, "a"}, {"abc", "", 1, ""},
      {"abc", "", 0, ""}, {"abc", "", 4, "abc"},
      {"q", "", 3, "ab"}, {"missing", "abcdef", 4, "abc"},
      {"missing", "ab   ", 2, "a"}, {"missing", "abc", 0, ""},
      {"big", "", 40000, big},
      // Wine drops the last character of a quoted text that fills size-1
      // bytes exactly.
      {"q", "", 4, "abc", true}, {"missing", "'abc'", 4, "abc", true},
  };
  for (const Row& r : rows) {
    if (r.wine_differs && wine) continue;
    SCOPED_TRACE(::testing::Message() << r.key << " size " << r.size);
    ExpectValue(Get("s", r.key, r.def, f, r.size), r.want, r.size);
  }
  // A missing or unnamed file gives the default; a list of sections is
  // never the default.
  const std::string none = dir.Join("none.ini");
  ExpectValue(Get("s", "k", "fallback ", none), "fallback");
  ExpectValue(Get("s", "k", "x", dir.Join("no") + test::Sep() + "x.ini"), "x");
  ExpectValue(Get("s", "k", "fallback", ""), "fallback");
  ExpectValue(Get(nullptr, nullptr, "fallback", none), "");
  ExpectValue(Get("s", nullptr, "fallback", none), "fallback");
}

// --- Lists of section and key names: each ended by a NUL, plus a final NUL.

TEST(ProfileList, NamesEachEndedByNulPlusFinalNul) {
  test::TempDir dir;
  std::string f = dir.Join("l.ini");
  test::WriteBytes(f,
                   "top=1\r\n[a]\r\nx=1\r\n;c=2\r\nplain\r\nX=3\r\n[b]\r\n"
                   "[ c ]\r\n;only=comment\r\n[]\r\n[\0x]\r\n[A]\r\ny=1\r\n"s);
  std::string t = dir.Join("t.ini");
  test::WriteBytes(t, "[alpha]\r\n[beta]\r\nk1=1\r\nk2=2\r\n");
  std::string empty = dir.Join("e.ini");
  test::WriteBytes(empty, "");
  const bool wine = RunningUnderWine();
  struct Row {
    const std::string& file;
    const char* section;
    std::uint32_t size, count;
    std::string want;  // including the final NUL
    bool wine_differs = false;
  } rows[] = {
      {f, nullptr, 64, 8, "a\0b\0c\0A\0\0"s}, {f, "A", 64, 4, "x\0X\0\0"s},
      {f, "", 64, 4, "top\0\0"s},
      {f, "b", 64, 4, "dflt\0"s},  // empty section
      {f, "c", 64, 4, "dflt\0"s},  // only a comment
      {f, "zz", 64, 4, "dflt\0"s}, {empty, nullptr, 64, 0, "\0"s},
      // Wine ends a truncated list with one NUL, Windows with two, and Wine
      // takes an exact fit for a truncation.
      {t, nullptr, 12, 11, "alpha\0beta\0\0"s, true},
      {t, nullptr, 8, 6, "alpha\0\0\0"s, true},
      {t, nullptr, 11, 9, "alpha\0bet\0\0"s, true},
      {t, "beta", 5, 3, "k1\0\0\0"s, true},
  };
  for (const Row& r : rows) {
    if (r.wine_differs && wine) continue;
    SCOPED_TRACE(::testing::Message()
                 << (r.section ? r.section : "(null)") << " size " << r.size);
    Got g = Get(r.section, nullptr, "dflt", r.file, r.size);
    EXPECT_EQ(g.count, r.count);
    EXPECT_EQ(std::string(g.buffer.data(), r.want.size()), r.want);
  }
}

// --- Writes.

// Files already in the form both writers produce, so that Windows, Wine and
// our writer must agree byte for byte.
TEST(ProfileWrite, ChangesAddsAndDeletesEntries) {
  Check(true, {
      {"[s]\r\nk=old\r\nx=1\r\n", "s", "k", "new", "[s]\r\nk=new\r\nx=1\r\n"},
      {"[Sec]\r\nKey=1\r\n", " sec ", "KEY", "2", "[Sec]\r\nKey=2\r\n"},
      {"[s]\r\nk=Abc\r\n", "s", "k", "abc", "[s]\r\nk=abc\r\n"},
      {"[s]\r\nk=1\r\n", "s", "k", "", "[s]\r\nk=\r\n"},
      {"[s]\r\na=1\r\n[t]\r\nb=2\r\n", "s", "new", "v",
       "[s]\r\na=1\r\nnew=v\r\n[t]\r\nb=2\r\n"},
      {"[s]\r\n[t]\r\n", "s", "k", "v", "[s]\r\nk=v\r\n[t]\r\n"},
      {"[s]\r\na=1", "s", "b", "2", "[s]\r\na=1\r\nb=2\r\n"},
      {"[s]\r\na=1", "t", "k", "v", "[s]\r\na=1\r\n[t]\r\nk=v\r\n"},
      {"", "  new sec ", "  nk ", "  v \"q\" ; x ",
       "[new sec ]\r\nnk =v \"q\" ; x \r\n"},
      // After the section's last line, comments included.
      {"[s]\r\na=1\r\n;c\r\n[t]\r\n", "s", "b", "2",
       "[s]\r\na=1\r\n;c\r\nb=2\r\n[t]\r\n"},
      // A key without a value gets one.
      {"[s]\r\nk\r\nk=v\r\n", "s", "k", "new", "[s]\r\nk=new\r\nk=v\r\n"},
      {"[s]\r\nk\r\nk=v\r\n", "s", "k", nullptr, "[s]\r\nk=v\r\n"},
      // The section "" is the lines before the first header.
      {"[s]\r\na=1\r\n", "", "b", "2", "b=2\r\n[s]\r\na=1\r\n"},
      {"x=0\r\n[s]\r\na=1\r\n", "", "b", "2", "x=0\r\nb=2\r\n[s]\r\na=1\r\n"},
      {"x=0\r\n;c\r\n[s]\r\na=1\r\n", "", nullptr, nullptr, "[s]\r\na=1\r\n"},
      // The first of duplicate sections takes a new value.
      {"[s]\r\na=1\r\n[s]\r\nb=2\r\n", "s", "b", "3",
       "[s]\r\na=1\r\nb=3\r\n[s]\r\nb=2\r\n"},
      // Deleting: a key, one in a later duplicate, a whole section.
      {"[s]\r\na=1\r\nb=2\r\n", "s", "A", nullptr, "[s]\r\nb=2\r\n"},
      {"[s]\r\na=1\r\n[t]\r\n[S]\r\nb=2\r\n", "s", "b", nullptr,
       "[s]\r\na=1\r\n[t]\r\n[S]\r\n"},
      {"[s]\r\na=1\r\n;c\r\n[t]\r\nb=2\r\n", "S", nullptr, nullptr,
       "[t]\r\nb=2\r\n"},
      {"[s]\r\na=1\r\n[s]\r\nb=2\r\n", "s", nullptr, "ignored",
       "[s]\r\nb=2\r\n"},
      {"[s]\r\na=1\r\n", "t", nullptr, nullptr, "[s]\r\na=1\r\n"},
      // UTF-16 LE files stay UTF-16 LE.
      {U16(u"[s]\r\nk=old\r\n"), "s", "k", "new", U16(u"[s]\r\nk=new\r\n")},
      {U16(u"[s]\r\nk=1\r\n"), "t", "n", "2",
       U16(u"[s]\r\nk=1\r\n[t]\r\nn=2\r\n")},
      {U16(u"[s]\r\nk=1\r\n[t]\r\nn=2\r\n"), "s", nullptr, nullptr,
       U16(u"[t]\r\nn=2\r\n")},
  });
}

TEST(ProfileWrite, KeepsEveryUntouchedByte) {
  if (RunningUnderWine()) {
    GTEST_SKIP() << "Wine rewrites the whole file in its own form on every "
                    "change; Windows keeps the bytes it does not change";
  }
  Check(true, {
      {"; head\n\n[s] \n  k = old  \n\n[t]\nz=1", "s", "k", "new",
       "; head\n\n[s] \n  k = new\n\n[t]\nz=1"},
      {"[s]\r\nk=v  \r\n", "s", "k", "w  ", "[s]\r\nk=w  \r\n"},
      {"[s]\r\na=1\r\n;c\r\n\r\n[t]\r\nb=2\r\n", "s", "new", "v",
       "[s]\r\na=1\r\n;c\r\nnew=v\r\n\r\n[t]\r\nb=2\r\n"},
      {"[s]\r\n  k \x1a\r\n", "s", "k", "v", "[s]\r\n  k=v\r\n"},
      {"[]\r\nk=1\r\n", "", "k", "2", "k=2\r\n[]\r\nk=1\r\n"},
      {"x\n[s]\n a = 1 \n\n[t]\n b = 2 \n", "s", nullptr, nullptr,
       "x\n[t]\n b = 2 \n"},
      {"[s]\r\na=1\r\n  B = 2 \r\nc=3\r\n", "s", "b", nullptr,
       "[s]\r\na=1\r\nc=3\r\n"},
      {"[s]\r\nk=x\0tail\r\nz=\0\r\n"s, "s", "k", "y",
       "[s]\r\nk=y\r\nz=\0\r\n"s},
      {"\xEF\xBB\xBF[s]\r\nk=1\r\n", "s", "k", "2",
       "\xEF\xBB\xBF[s]\r\nk=1\r\n[s]\r\nk=2\r\n"},
  });
}

// Deleting from a missing file creates nothing; a missing folder or section
// name fails; writing what is there already leaves the file alone.
TEST(ProfileWrite, MissingFilesFoldersSectionsAndUnchangedValues) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  std::string f = dir.Join("new.ini");
  EXPECT_TRUE(Write("s", "k", nullptr, f));
  EXPECT_TRUE(Write("s", nullptr, nullptr, f));
  EXPECT_FALSE(test::Exists(f));
  std::string deep = dir.Join("no") + test::Sep() + "x.ini";
  EXPECT_FALSE(Write("s", "k", "v", deep));
  EXPECT_FALSE(test::Exists(deep));

  EXPECT_TRUE(Write("s", "k", "v", f));
  EXPECT_FALSE(Write(nullptr, "k", "v", f));
  EXPECT_FALSE(Write(nullptr, nullptr, nullptr, f));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=v\r\n");
  const std::string text = "[Opt]\r\nKey=  same\r\nq=\"x\"\r\n";
  test::WriteBytes(f, text);
  const auto old_time = fs::last_write_time(f) - std::chrono::hours(48);
  fs::last_write_time(f, old_time);
  EXPECT_TRUE(Write("opt", "KEY", "same", f));
  EXPECT_TRUE(Write("Opt", "q", "\"x\"", f));
  EXPECT_TRUE(Write("Opt", "no", nullptr, f));
  EXPECT_EQ(test::ReadBytes(f), text);
  EXPECT_EQ(fs::last_write_time(f), old_time);
}

// --- Freshness: a lookup sees every change on disk, whoever made it.

TEST(ProfileFreshness, EveryChangeOnDiskIsSeenAtTheNextLookup) {
  test::TempDir dir;
  std::string f = dir.Join("f.ini");
  // Same size, same folder, straight after one another: only the content
  // tells the versions apart.
  for (int i = 0; i < 40; ++i) {
    std::string v = std::to_string(1000 + i);
    test::WriteBytes(f, "[s]\r\nk=" + v + "\r\n");
    ASSERT_EQ(Get("s", "k", "d", f).text, v) << "round " << i;
  }
  // Written by us under another name of the file.
  std::string alias = dir.path() + test::Sep() + "." + test::Sep() + "f.ini";
  for (const char* v : {"1", "2"}) {
    ASSERT_TRUE(Write("s", "k", v, alias));
    EXPECT_EQ(Get("s", "k", "d", f).text, v);
  }
  // Replaced by another file, and removed.
  std::string other = dir.Join("other.ini");
  test::WriteBytes(other, "[s]\r\nk=renamed\r\n");
  std::filesystem::rename(other, f);
  EXPECT_EQ(Get("s", "k", "d", alias).text, "renamed");
  std::filesystem::remove(f);
  EXPECT_EQ(Get("s", "k", "gone", f).text, "gone");

  // More files than any cache would hold, each changed after it was read;
  // old enough that their time stamps alone tell every later change.
  auto name = [&](int i) { return dir.Join("m" + std::to_string(i) + ".ini"); };
  auto put = [&](char v) {
    for (int i = 0; i < 40; ++i) {
      test::WriteBytes(name(i), "[s]\r\nk="s + v + std::to_string(i) + "\r\n");
    }
  };
  put('a');
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  for (int i = 0; i < 80; ++i) {
    EXPECT_EQ(Get("s", "k", "d", name(i % 40)).text,
              "a" + std::to_string(i % 40));
  }
  put('b');
  for (int i = 39; i >= 0; --i) {
    EXPECT_EQ(Get("s", "k", "d", name(i)).text, "b" + std::to_string(i));
  }
}

// --- The user's profile: only the decimal separator is known.

TEST(ProfileUser, OnlyTheDecimalSeparatorIsKnown) {
  char buf[16];
  std::uint32_t n = Api().GetProfileString("intl", "sDecimal", ".", buf, 16);
  ASSERT_EQ(n, std::strlen(buf));
  EXPECT_GE(n, 1u);
#ifndef _WIN32
  EXPECT_STREQ(buf, std::localeconv()->decimal_point);
  Api().GetProfileString("INTL", "sdecimal", "", buf, 16);
  EXPECT_STREQ(buf, std::localeconv()->decimal_point);
  EXPECT_EQ(Api().GetProfileString("intl", "sThousand", "x  ", buf, 16), 1u);
  EXPECT_STREQ(buf, "x");
#endif
  Api().GetProfileString("QuillonNoSuchApp", "sDecimal", "'.'", buf, 16);
  EXPECT_STREQ(buf, ".");
  EXPECT_EQ(Api().GetProfileString("intl", "sDecimal", "", buf, 2), 1u);
  EXPECT_EQ(buf[1], '\0');
  EXPECT_EQ(Api().GetProfileString("intl", "sDecimal", "", buf, 1), 0u);
  EXPECT_STREQ(buf, "");
}

#ifndef _WIN32
// --- POSIX only: the ANSI code page is the locale's character set, and files
// are replaced atomically.

class ScopedCtype {
 public:
  explicit ScopedCtype(const char* name)
      : saved_(std::setlocale(LC_CTYPE, nullptr)),
        ok_(std::setlocale(LC_CTYPE, name) != nullptr) {}
  ~ScopedCtype() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_;
};

TEST(ProfileLocale, LettersFoldAsTheCharacterSetAllows) {
  const std::string uber = "\xC3\x9C" "ber", arger = "\xC3\x84" "rger";
  const std::string lower_uber = "\xC3\xBC" "ber";
  const std::string lower_arger = "\xC3\xA4" "rger";
  test::TempDir dir;
  std::string f = dir.Join("l.ini");
  test::WriteBytes(f, "[" + uber + "]\r\n" + arger + "=1\r\n\xC3\x97=x\r\n");
  std::string u16 = dir.Join("u.ini");
  test::WriteBytes(u16, U16(u"[s]\r\nk=\u00E4\u4E2D\r\n"));
  {
    ScopedCtype c("C");
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(Get(lower_uber.c_str(), lower_arger.c_str(), "d", f).text, "d");
    EXPECT_EQ(Get(uber.c_str(), arger.c_str(), "d", f).text, "1");
    EXPECT_EQ(Get("s", "k", "d", u16).text, "??");
  }
  ScopedCtype c("C.UTF-8");
  if (!c.ok()) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(Get("\xC3\xBC" "BER", "\xC3\xA4RGER", "d", f).text, "1");
  EXPECT_EQ(Get(lower_uber.c_str(), "\xC3\xB7", "d", f).text, "d");  // ÷, ×
  EXPECT_EQ(Get("s", "k", "d", u16).text, "\xC3\xA4\xE4\xB8\xAD");
  ASSERT_TRUE(Write("S", "n", "\xC3\xB6", u16));
  EXPECT_EQ(test::ReadBytes(u16),
            U16(u"[s]\r\nk=\u00E4\u4E2D\r\nn=\u00F6\r\n"));
  ASSERT_TRUE(Write("\xC3\x9C" "BER", lower_arger.c_str(), "2", f));
  EXPECT_EQ(test::ReadBytes(f),
            "[" + uber + "]\r\n" + arger + "=2\r\n\xC3\x97=x\r\n");
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ProfileReplace, AtomicWithModeOwnerAndLinksKeptOrNothingAtAll) {
  test::TempDir dir;
  std::string f = dir.Join("p.ini");
  test::WriteBytes(f, "[s]\r\nk=1\r\n");
  ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(f.c_str(), 4321, 4322), 0);
  }
  struct stat before, after;
  ASSERT_EQ(::stat(f.c_str(), &before), 0);
  ASSERT_TRUE(Write("s", "k", "2", f));
  ASSERT_EQ(::stat(f.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not replaced";
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"p.ini"});

  // A link is followed: the target changes, the link stays a link.
  std::string link = dir.Join("link.ini");
  ASSERT_EQ(::symlink("p.ini", link.c_str()), 0);
  ASSERT_TRUE(Write("s", "k", "3", link));
  struct stat lst;
  ASSERT_EQ(::lstat(link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=3\r\n");

  // A read-only file: the write fails and leaves no trace.
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  EXPECT_FALSE(Write("s", "k", "4", f));
  EXPECT_FALSE(Write("s", nullptr, nullptr, link));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=3\r\n");
  EXPECT_EQ(Listing(dir.path()),
            (std::vector<std::string>{"link.ini", "p.ini"}));
}

// Runs `change` in a child process and returns once it has exited.
void ByAnotherProcess(const std::function<void()>& change) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    change();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Runs `steps` below `root`: "put F" writes the new version to F, "rm F"
// removes F, "mv A B" renames A to B, "ln A B" links the file A as B, and
// "sym T L" makes L a link to the folder T.
void RunSteps(const std::string& root, const std::string& steps) {
  namespace fs = std::filesystem;
  std::istringstream in(steps);
  for (std::string op, a, b; in >> op >> a;) {
    const std::string pa = root + "/" + a;
    if (op == "put") {
      fs::create_directories(fs::path(pa).parent_path());
      test::WriteBytes(pa, "[s]\r\nk=new\r\n");
    } else if (op == "rm") {
      fs::remove(pa);
    } else if (in >> b) {
      const std::string pb = root + "/" + b;
      fs::create_directories(fs::path(pb).parent_path());
      if (op == "mv") fs::rename(pa, pb);
      if (op == "ln") fs::create_hard_link(pa, pb);
      if (op == "sym") fs::create_directory_symlink(a, pb);
    }
  }
}

// A file read once and again is then changed by another program; the next
// lookup sees the change, however it was made. The files are old enough
// that nothing but the change itself tells the versions apart.
TEST(ProfileFreshness, OtherProgramsChangesAreSeenAtTheNextLookup) {
  struct Case {
    const char *what, *file, *prepare, *change, *want;
  } cases[] = {
      {"written in place", "sub/f.ini", "", "put sub/f.ini", "new"},
      {"replaced by a rename", "sub/f.ini", "put sub/f.tmp",
       "mv sub/f.tmp sub/f.ini", "new"},
      {"deleted", "sub/f.ini", "", "rm sub/f.ini", "d"},
      {"folder renamed away", "sub/f.ini", "", "mv sub gone", "d"},
      {"another folder renamed into its place", "sub/f.ini", "put next/f.ini",
       "mv sub old mv next sub", "new"},
      {"written under its second name", "sub/f.ini",
       "ln sub/f.ini other/g.ini", "put other/g.ini", "new"},
      {"linked folder pointed elsewhere", "link/f.ini",
       "put next/f.ini sym sub link", "sym next link2 mv link2 link", "new"},
  };
  test::TempDir dir;
  auto root = [&](const Case& c) { return dir.Join(c.what); };
  for (const Case& c : cases) {
    std::filesystem::create_directories(root(c) + "/sub");
    test::WriteBytes(root(c) + "/sub/f.ini", "[s]\r\nk=old\r\n");
    RunSteps(root(c), c.prepare);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string f = root(c) + "/" + c.file;
    ASSERT_EQ(Get("s", "k", "d", f).text, "old");
    ASSERT_EQ(Get("s", "k", "d", f).text, "old");
    ByAnotherProcess([&] { RunSteps(root(c), c.change); });
    EXPECT_EQ(Get("s", "k", "d", f).text, c.want);
  }
}

TEST(ProfileFreshness, ABatchReadsAsOfOneMomentAndTheNextLookupSeesChanges) {
  test::TempDir dir;
  const std::string f = dir.Join("f.ini");
  test::WriteBytes(f, "[s]\r\nk=old\r\n");
  ASSERT_EQ(Get("s", "k", "d", f).text, "old");
  {
    platform::ProfileBatch line;
    ASSERT_EQ(Get("s", "k", "d", f).text, "old");
    ByAnotherProcess([&] { test::WriteBytes(f, "[s]\r\nk=new\r\n"); });
    {
      platform::ProfileBatch nested;
      EXPECT_EQ(Get("s", "k", "d", f).text, "old");
    }
    EXPECT_EQ(Get("s", "k", "d", f).text, "old");
  }
  EXPECT_EQ(Get("s", "k", "d", f).text, "new");
  // The service's own writes count at once, in a batch too.
  platform::ProfileBatch line;
  ASSERT_TRUE(Write("s", "k", "own", f));
  EXPECT_EQ(Get("s", "k", "d", f).text, "own");
}
#endif

}  // namespace
}  // namespace qs
