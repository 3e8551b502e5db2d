// The profile functions as the service calls them: lookups, buffers, lists,
// encodings, writes and freshness. Everything goes through the platform's
// ProfileApi, so the same cases run against our own reader and writer on
// POSIX and against the system's functions on Windows (and under Wine, which
// differs from Windows in a few places; those cases say so).
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
#include <unistd.h>
#endif

namespace qs {
namespace {

using namespace std::string_literals;

bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

platform::ProfileApi& Api() { return *platform::Current().profile; }

constexpr char kUntouched = '\x7f';

struct Got {
  std::string text;  // the first `count` bytes of the buffer
  std::uint32_t count;
  std::vector<char> buffer;
};

Got Get(const char* section, const char* key, const char* def,
        const std::string& file, std::uint32_t size = 256) {
  Got g;
  g.buffer.assign(size + 8, kUntouched);
  g.count = Api().GetPrivateProfileString(section, key, def, g.buffer.data(),
                                          size, file.c_str());
  g.text.assign(g.buffer.data(), std::min<std::size_t>(g.count, size));
  return g;
}

// A single value: its text, the NUL after it, and nothing else touched.
void ExpectValue(const Got& g, const std::string& want, std::uint32_t size) {
  EXPECT_EQ(g.text, want);
  EXPECT_EQ(g.count, want.size());
  std::size_t first_untouched = size == 0 ? 0 : g.count + 1;
  if (size != 0) {
    EXPECT_EQ(g.buffer[g.count], '\0');
  }
  for (std::size_t i = first_untouched; i < g.buffer.size(); ++i) {
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

// ---------------------------------------------------------------------------
// Lookups: lines, trimming, headers, entries, quotes, defaults.

struct LookupRow {
  std::string file;
  const char* section;
  const char* key;
  const char* def;
  std::string want;
};

void CheckLookups(const std::vector<LookupRow>& rows) {
  test::TempDir dir;
  int n = 0;
  for (const LookupRow& r : rows) {
    std::string path = dir.Join("t" + std::to_string(n++) + ".ini");
    test::WriteBytes(path, r.file);
    SCOPED_TRACE(::testing::Message()
                 << "file <" << r.file << "> [" << r.section << "] "
                 << (r.key ? r.key : "(null)"));
    ExpectValue(Get(r.section, r.key, r.def, path), r.want, 256);
  }
}

TEST(ProfileLookup, FollowsTheLineAndEntryRules) {
  CheckLookups({
      // Line ends of every kind; the last line needs none.
      {"[s]\r\nk=v\r\n", "s", "k", "d", "v"},
      {"[s]\nk=v", "s", "k", "d", "v"},
      {"[s]\rk=v\r", "s", "k", "d", "v"},
      {"[s]\n\rk=v\n\r", "s", "k", "d", "v"},
      {"[s]\r\n\r\n\n\rk=v", "s", "k", "d", "v"},
      // Trimming: space, TAB, VT, FF, 0x1A; not NBSP.
      {" \t[s]\t \r\n \x0b\x0c k \t= \x1av \x1a\t\r\n", "s", "k", "d", "v"},
      {"[s]\r\nk=\xA0v\xA0\r\n", "s", "k", "d", "\xA0v\xA0"},
      // Headers: the name up to the last ']', trimmed.
      {"[ s1 ]\r\nk=1", "s1", "k", "d", "1"},
      {"[s1] x\r\nk=1", "s1", "k", "d", "1"},
      {"[s2]x]y\r\nk=2", "s2]x", "k", "d", "2"},
      // "[]" is hidden by the lines before the first header, even none.
      {"[]\r\nk=3", "", "k", "d", "d"},
      {"[s]\r\n[t\r\nk=4", "s", "k", "d", "4"},
      {"[s\r\nk=5", "", "k", "d", "5"},
      // Entries split at the first '='; a line without '=' is a key without
      // a value, and it hides later entries of its name.
      {"[s]\r\na=b=c", "s", "a", "d", "b=c"},
      {"[s]\r\nf = = g", "s", "f", "d", "= g"},
      {"[s]\r\nk\r\nk=v", "s", "k", "d", "d"},
      {"[s]\r\n=4\r\n", "s", "", "d", "4"},
      {"[s]\r\nk\r\n", "s", "k", "d", "d"},
      // No comments at lookup.
      {"[s]\r\n;k1=v1", "s", ";k1", "d", "v1"},
      {"[s]\r\n#k2=v2", "s", "#k2", "d", "v2"},
      {"[s]\r\nk=v4 ;comment", "s", "k", "d", "v4 ;comment"},
      // Lines before the first header are the section "".
      {"k0=top\r\n[s]\r\nk=v", "", "k0", "d", "top"},
      {"k0=top\r\n[s]\r\nk=v", "s", "k0", "d", "d"},
      // A NUL ends the name or value; the file goes on after the line.
      {"[s]\r\na=x\0y"s, "s", "a", "d", "x"},
      {"[t\0u]\r\nk=v"s, "t", "k", "d", "v"},
      {"[s]\r\nk\0junk=v"s, "s", "k", "d", "v"},
      {"[s]\r\na=x\0y\r\nb=2"s, "s", "b", "d", "2"},
      // Requested names are trimmed and match regardless of case.
      {"[Sec]\r\nKEY=v", " sEC ", "\tkey  ", "d", "v"},
      // Only the first section of a name is searched; the first key wins.
      {"[s]\r\na=1\r\n[S]\r\nb=2", "s", "b", "d", "d"},
      {"[s]\r\nk=1\r\nK=2", "s", "k", "d", "1"},
      // Bytes 0x80..0xFF of an unmarked file come back unchanged.
      {"[s]\r\nk=\xE4\xF6\xFC\x80\xFF", "s", "k", "d", "\xE4\xF6\xFC\x80\xFF"},
      // UTF-16 without its mark is not recognised.
      {"[\0s\0]\0\r\0\n\0k\0=\0v\0"s, "s", "k", "d", "d"},
  });
}

TEST(ProfileLookup, QuotesEmptyValuesAndDefaults) {
  CheckLookups({
      {"[s]\r\nk=\"abc\"", "s", "k", "d", "abc"},
      {"[s]\r\nk=\"'x'\"", "s", "k", "d", "'x'"},
      {"[s]\r\nk=\"\"\"\"", "s", "k", "d", "\"\""},
      {"[s]\r\nk=\" a \"", "s", "k", "d", " a "},
      {"[s]\r\nk='b'", "s", "k", "d", "b"},
      {"[s]\r\nk=''", "s", "k", "d", ""},
      {"[s]\r\nk=\"", "s", "k", "d", "\""},
      {"[s]\r\nk=\"abc'", "s", "k", "d", "\"abc'"},
      {"[s]\r\nk=\"abc", "s", "k", "d", "\"abc"},
      {"[s]\r\nk=\"abc\" ;c", "s", "k", "d", "\"abc\" ;c"},
      {"[s]\r\nk=  \"abc\"  ", "s", "k", "d", "abc"},
      // An empty value is a value; only a missing key gives the default.
      {"[s]\r\nk=", "s", "k", "d", ""},
      {"[s]\r\nk =  ", "s", "k", "d", ""},
      {"[s]\r\nk=v", "s", "other", "def  ", "def"},
      {"[s]\r\nk=v", "t", "k", "   ", " "},
      {"[s]\r\nk=v", "t", "k", "def\t ", "def\t"},
      {"[s]\r\nk=v", "t", "k", "  def  ", "  def"},
      {"[s]\r\nk=v", "t", "k", nullptr, ""},
      {"[s]\r\nk=v", "t", "k", "\"q\"  ", "q"},
      {"[s]\r\nk=v", "t", "k", "\"", "\""},
      {"", "s", "k", "empty file", "empty file"},
  });
}

TEST(ProfileLookup, MissingOrUnnamedFileGivesTheDefault) {
  test::TempDir dir;
  ExpectValue(Get("s", "k", "fallback ", dir.Join("none.ini")), "fallback",
              256);
  ExpectValue(Get("s", "k", "fallback", dir.Join("no") + test::Sep() + "x.ini"),
              "fallback", 256);
  ExpectValue(Get("s", "k", "fallback", ""), "fallback", 256);
  // A list of sections is never the default: empty for a missing file.
  ExpectValue(Get(nullptr, nullptr, "fallback", dir.Join("none.ini")), "", 256);
  ExpectValue(Get("s", nullptr, "fallback", dir.Join("none.ini")), "fallback",
              256);
}

// Marks that Windows and Wine read differently.
TEST(ProfileLookup, ByteOrderMarks) {
  test::TempDir dir;
  std::string f = dir.Join("m.ini");
  test::WriteBytes(f, U16(u"[s]\r\nk=a\u4E2Db\r\n[t]\r\nx=\"q\"\r\n"));
  ExpectValue(Get("s", "k", "d", f), "a?b", 256);
  ExpectValue(Get("t", "x", "d", f), "q", 256);

  if (RunningUnderWine()) {
    GTEST_SKIP() << "Wine decodes UTF-8 and UTF-16 BE files; Windows reads "
                    "both as ANSI bytes";
  }
  test::WriteBytes(f, "\xEF\xBB\xBF[s]\r\nk=v\r\n[t]\r\nk=w\r\n");
  ExpectValue(Get("s", "k", "d", f), "d", 256);
  ExpectValue(Get("t", "k", "d", f), "w", 256);
  test::WriteBytes(f, "\xEF\xBB\xBFk=v\r\n");
  ExpectValue(Get("", "\xEF\xBB\xBFk", "d", f), "v", 256);
  test::WriteBytes(f, "\xFE\xFF\0[\0s\0]\0\r\0\n\0k\0=\0v"s);
  ExpectValue(Get("s", "k", "d", f), "d", 256);
}

// ---------------------------------------------------------------------------
// Buffers.

TEST(ProfileBuffer, CutsToSizeMinusOneAndTouchesNothingElse) {
  test::TempDir dir;
  std::string f = dir.Join("b.ini");
  const std::string x300(300, 'x');
  const std::string big(39998, 'y');
  test::WriteBytes(f, "[s]\r\nlong=" + x300 + "\r\nabc=abc\r\nq=\"abc\"\r\n" +
                          "big=" + big + "\r\n");
  struct Row {
    const char* key;
    const char* def;
    std::uint32_t size;
    std::string want;
  } rows[] = {
      {"long", "", 256, std::string(255, 'x')},
      {"long", "", 301, x300},
      {"abc", "", 2, "a"},
      {"abc", "", 1, ""},
      {"abc", "", 0, ""},
      {"abc", "", 5, "abc"},
      {"abc", "", 4, "abc"},
      {"missing", "abc", 4, "abc"},
      {"q", "", 6, "abc"},
      {"q", "", 3, "ab"},
      {"missing", "abcdef", 4, "abc"},
      {"missing", "ab   ", 2, "a"},
      {"missing", "abc", 0, ""},
      {"big", "", 40000, big},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.key << " size " << r.size);
    ExpectValue(Get("s", r.key, r.def, f, r.size), r.want, r.size);
  }
}

TEST(ProfileBuffer, ExactFitKeepsTheLastCharacter) {
  if (RunningUnderWine()) {
    GTEST_SKIP() << "Wine drops the last character of a quoted text that "
                    "fills size-1 bytes exactly";
  }
  test::TempDir dir;
  std::string f = dir.Join("b.ini");
  test::WriteBytes(f, "[s]\r\nq=\"abc\"\r\n");
  ExpectValue(Get("s", "q", "", f, 4), "abc", 4);
  ExpectValue(Get("s", "none", "'abc'", f, 4), "abc", 4);
}

// ---------------------------------------------------------------------------
// Lists of section and key names.

TEST(ProfileList, NamesEachEndedByNulPlusFinalNul) {
  test::TempDir dir;
  std::string f = dir.Join("l.ini");
  test::WriteBytes(f,
                   "top=1\r\n[a]\r\nx=1\r\n;c=2\r\nplain\r\nX=3\r\n[b]\r\n"
                   "[ c ]\r\n;only=comment\r\n[]\r\n[\0x]\r\n[A]\r\ny=1\r\n"s);
  std::string empty = dir.Join("e.ini");
  test::WriteBytes(empty, "");
  struct Row {
    const char* section;
    std::string want;  // including the final NUL
  } rows[] = {
      {nullptr, "a\0b\0c\0A\0\0"s},
      {"A", "x\0X\0\0"s},
      {"", "top\0\0"s},
      {"b", "dflt\0"s},  // empty section
      {"c", "dflt\0"s},  // only a comment
      {"zz", "dflt\0"s},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.section ? r.section : "(null)");
    Got g = Get(r.section, nullptr, "dflt", f, 64);
    EXPECT_EQ(g.count, r.want.size() - 1);
    EXPECT_EQ(std::string(g.buffer.data(), r.want.size()), r.want);
  }
  Got g = Get(nullptr, nullptr, "dflt", empty, 64);
  EXPECT_EQ(g.count, 0u);
  EXPECT_EQ(g.buffer[0], '\0');
}

TEST(ProfileList, TruncatedListEndsWithTwoNuls) {
  if (RunningUnderWine()) {
    GTEST_SKIP() << "Wine ends a truncated list with one NUL, Windows with two";
  }
  test::TempDir dir;
  std::string f = dir.Join("l.ini");
  test::WriteBytes(f, "[alpha]\r\n[beta]\r\nk1=1\r\nk2=2\r\n");
  Got g = Get(nullptr, nullptr, "", f, 8);
  EXPECT_EQ(g.count, 6u);
  EXPECT_EQ(std::string(g.buffer.data(), 8), "alpha\0\0\0"s);
  g = Get(nullptr, nullptr, "", f, 11);  // one byte short
  EXPECT_EQ(g.count, 9u);
  EXPECT_EQ(std::string(g.buffer.data(), 11), "alpha\0bet\0\0"s);
  g = Get(nullptr, nullptr, "", f, 12);  // fits
  EXPECT_EQ(g.count, 11u);
  EXPECT_EQ(std::string(g.buffer.data(), 12), "alpha\0beta\0\0"s);
  g = Get("beta", nullptr, "", f, 5);
  EXPECT_EQ(g.count, 3u);
  EXPECT_EQ(std::string(g.buffer.data(), 5), "k1\0\0\0"s);
}

// ---------------------------------------------------------------------------
// Writes.

struct WriteRow {
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

void CheckWrites(const std::vector<WriteRow>& rows) {
  test::TempDir dir;
  int n = 0;
  for (const WriteRow& r : rows) {
    std::string path = dir.Join("w" + std::to_string(n++) + ".ini");
    test::WriteBytes(path, r.before);
    SCOPED_TRACE(::testing::Message()
                 << "file <" << r.before << "> [" << r.section << "] "
                 << (r.key ? r.key : "(null)") << "="
                 << (r.value ? r.value : "(null)"));
    EXPECT_TRUE(Api().WritePrivateProfileString(r.section, r.key, r.value,
                                                path.c_str()));
    EXPECT_EQ(test::ReadBytes(path), r.after);
  }
}

// Files already in the form both writers produce, so that Windows, Wine and
// our writer must agree byte for byte.
TEST(ProfileWrite, ChangesAddsAndDeletesEntries) {
  CheckWrites({
      {"[s]\r\nk=old\r\nx=1\r\n", "s", "k", "new", "[s]\r\nk=new\r\nx=1\r\n"},
      {"[Sec]\r\nKey=1\r\n", " sec ", "KEY", "2", "[Sec]\r\nKey=2\r\n"},
      {"[s]\r\nk=Abc\r\n", "s", "k", "abc", "[s]\r\nk=abc\r\n"},
      {"[s]\r\nk=1\r\n", "s", "k", "", "[s]\r\nk=\r\n"},
      {"[s]\r\na=1\r\n[t]\r\nb=2\r\n", "s", "new", "v",
       "[s]\r\na=1\r\nnew=v\r\n[t]\r\nb=2\r\n"},
      {"[s]\r\n[t]\r\n", "s", "k", "v", "[s]\r\nk=v\r\n[t]\r\n"},
      {"[s]\r\na=1", "s", "b", "2", "[s]\r\na=1\r\nb=2\r\n"},
      {"[s]\r\na=1\r\n", "t", "k", "v", "[s]\r\na=1\r\n[t]\r\nk=v\r\n"},
      {"[s]\r\na=1", "t", "k", "v", "[s]\r\na=1\r\n[t]\r\nk=v\r\n"},
      {"", "  new sec ", "  nk ", "  v \"q\" ; x ",
       "[new sec ]\r\nnk =v \"q\" ; x \r\n"},
      {"[s]\r\n", "s", "k", "x\r\nb=c", "[s]\r\nk=x\r\nb=c\r\n"},
      {"[s]\r\n", "s", "k", "\n x", "[s]\r\nk=x\r\n"},
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
      {"[s]\r\na=1\r\n", "s", "zz", nullptr, "[s]\r\na=1\r\n"},
      {"[s]\r\na=1\r\n;c\r\n[t]\r\nb=2\r\n", "S", nullptr, nullptr,
       "[t]\r\nb=2\r\n"},
      {"[s]\r\na=1\r\n[s]\r\nb=2\r\n", "s", nullptr, "ignored",
       "[s]\r\nb=2\r\n"},
      {"[s]\r\na=1\r\n", "t", nullptr, nullptr, "[s]\r\na=1\r\n"},
      // UTF-16 LE files stay UTF-16 LE.
      {U16(u"[s]\r\nk=old\r\n"), "s", "k", "new", U16(u"[s]\r\nk=new\r\n")},
      {U16(u"[s]\r\nk=1\r\n"), "s", "n", "2", U16(u"[s]\r\nk=1\r\nn=2\r\n")},
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
  CheckWrites({
      {"; head\n\n[s] \n  k = old  \n\n[t]\nz=1", "s", "k", "new",
       "; head\n\n[s] \n  k = new\n\n[t]\nz=1"},
      {"[s]\r\nk=v  \r\n", "s", "k", "w  ", "[s]\r\nk=w  \r\n"},
      {"[s]\na=1\nb=2\n", "s", "a", "9", "[s]\na=9\nb=2\n"},
      {"[s]\r\na=1\r\n;c\r\n\r\n[t]\r\nb=2\r\n", "s", "new", "v",
       "[s]\r\na=1\r\n;c\r\nnew=v\r\n\r\n[t]\r\nb=2\r\n"},
      {"[s]\r\n  k \x1a\r\n", "s", "k", "v", "[s]\r\n  k=v\r\n"},
      {"[]\r\nk=1\r\n", "", "k", "2", "k=2\r\n[]\r\nk=1\r\n"},
      {"[s]\r\na=1\r\n\r\n", "t", "k", "v", "[s]\r\na=1\r\n\r\n[t]\r\nk=v\r\n"},
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

TEST(ProfileWrite, MissingFilesFoldersAndSections) {
  test::TempDir dir;
  std::string f = dir.Join("new.ini");
  // Deleting from a file that does not exist creates nothing.
  EXPECT_TRUE(Api().WritePrivateProfileString("s", "k", nullptr, f.c_str()));
  EXPECT_TRUE(
      Api().WritePrivateProfileString("s", nullptr, nullptr, f.c_str()));
  EXPECT_FALSE(test::Exists(f));

  EXPECT_TRUE(Api().WritePrivateProfileString("s", "k", "v", f.c_str()));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=v\r\n");

  EXPECT_FALSE(Api().WritePrivateProfileString(nullptr, "k", "v", f.c_str()));
  EXPECT_FALSE(
      Api().WritePrivateProfileString(nullptr, nullptr, nullptr, f.c_str()));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=v\r\n");

  std::string deep = dir.Join("no") + test::Sep() + "x.ini";
  EXPECT_FALSE(Api().WritePrivateProfileString("s", "k", "v", deep.c_str()));
  EXPECT_FALSE(test::Exists(deep));
}

TEST(ProfileWrite, UnchangedValueLeavesTheFileAlone) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  std::string f = dir.Join("u.ini");
  const std::string text = "[Opt]\r\nKey=  same\r\nq=\"x\"\r\n";
  test::WriteBytes(f, text);
  const auto old_time = fs::last_write_time(f) - std::chrono::hours(48);
  fs::last_write_time(f, old_time);
  EXPECT_TRUE(Api().WritePrivateProfileString("opt", "KEY", "same", f.c_str()));
  EXPECT_TRUE(Api().WritePrivateProfileString("Opt", "q", "\"x\"", f.c_str()));
  EXPECT_TRUE(Api().WritePrivateProfileString("Opt", "no", nullptr, f.c_str()));
  EXPECT_EQ(test::ReadBytes(f), text);
  EXPECT_EQ(fs::last_write_time(f), old_time);
}

TEST(ProfileWrite, WhatIsWrittenReadsBack) {
  test::TempDir dir;
  std::string f = dir.Join("r.ini");
  struct Row {
    const char* section;
    const char* key;
    const char* value;
    std::string read;
  } rows[] = {
      {"NTService", "State", "1", "1"},
      {"NTService", "LastMsg", "erfolgreich installiert.",
       "erfolgreich installiert."},
      {"ntservice", "state", "0", "0"},
      {"Files", "INI", "  C:\\Quillon Pro\\Quillon.ini  ",
       "C:\\Quillon Pro\\Quillon.ini"},
      {"Files", "Quoted", "\"a b\"", "a b"},
      {"Files", "Empty", "", ""},
      {"Other", "k", "v", "v"},
  };
  for (const Row& r : rows) {
    ASSERT_TRUE(
        Api().WritePrivateProfileString(r.section, r.key, r.value, f.c_str()));
    ExpectValue(Get(r.section, r.key, "d", f), r.read, 256);
  }
  ExpectValue(Get("NTService", "State", "d", f), "0", 256);
  ASSERT_TRUE(
      Api().WritePrivateProfileString("files", nullptr, nullptr, f.c_str()));
  ExpectValue(Get("Files", "INI", "gone", f), "gone", 256);
  ExpectValue(Get("Other", "k", "d", f), "v", 256);
}

// ---------------------------------------------------------------------------
// Freshness: a lookup sees every change on disk, whoever made it.

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
  // Replaced by another file, and removed.
  std::string other = dir.Join("other.ini");
  test::WriteBytes(other, "[s]\r\nk=renamed\r\n");
  std::filesystem::rename(other, f);
  EXPECT_EQ(Get("s", "k", "d", f).text, "renamed");
  std::filesystem::remove(f);
  EXPECT_EQ(Get("s", "k", "gone", f).text, "gone");

  // More files than any cache would hold, each changed after it was read.
  std::vector<std::string> files;
  for (int i = 0; i < 40; ++i) {
    files.push_back(dir.Join("m" + std::to_string(i) + ".ini"));
    test::WriteBytes(files.back(), "[s]\r\nk=a" + std::to_string(i) + "\r\n");
  }
  // Old enough now that their time stamps alone tell every later change.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(Get("s", "k", "d", files[i]).text, "a" + std::to_string(i));
    }
  }
  for (int i = 0; i < 40; ++i) {
    test::WriteBytes(files[i], "[s]\r\nk=b" + std::to_string(i) + "\r\n");
  }
  for (int i = 39; i >= 0; --i) {
    EXPECT_EQ(Get("s", "k", "d", files[i]).text, "b" + std::to_string(i));
  }
}

TEST(ProfileFreshness, WritesAreSeenUnderAnyNameOfTheFile) {
  test::TempDir dir;
  std::string f = dir.Join("a.ini");
  std::string alias = dir.path() + test::Sep() + "." + test::Sep() + "a.ini";
  test::WriteBytes(f, "[s]\r\nk=1\r\n");
  EXPECT_EQ(Get("s", "k", "d", alias).text, "1");
  EXPECT_EQ(Get("s", "k", "d", f).text, "1");
  for (const char* v : {"2", "3", "4"}) {
    ASSERT_TRUE(Api().WritePrivateProfileString("s", "k", v, f.c_str()));
    EXPECT_EQ(Get("s", "k", "d", alias).text, v);
    EXPECT_EQ(Get("s", "k", "d", f).text, v);
  }
}

// ---------------------------------------------------------------------------
// The user's profile.

TEST(ProfileUser, OnlyTheDecimalSeparatorIsKnown) {
  char buf[16];
  std::uint32_t n = Api().GetProfileString("intl", "sDecimal", ".", buf, 16);
  ASSERT_EQ(n, std::strlen(buf));
  EXPECT_GE(n, 1u);
#ifndef _WIN32
  EXPECT_STREQ(buf, std::localeconv()->decimal_point);
  n = Api().GetProfileString("INTL", "sdecimal", "", buf, 16);
  EXPECT_STREQ(buf, std::localeconv()->decimal_point);
  n = Api().GetProfileString("intl", "sThousand", "x  ", buf, 16);
  EXPECT_STREQ(buf, "x");
  EXPECT_EQ(n, 1u);
#endif
  n = Api().GetProfileString("QuillonNoSuchApp", "sDecimal", "'.'", buf, 16);
  EXPECT_STREQ(buf, ".");
  EXPECT_EQ(Api().GetProfileString("intl", "sDecimal", "", buf, 1), 0u);
  EXPECT_STREQ(buf, "");
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// POSIX only: the ANSI code page is the locale's character set, and files
// are replaced atomically.

class ScopedCtype {
 public:
  explicit ScopedCtype(const char* name)
      : saved_(std::setlocale(LC_CTYPE, nullptr)) {
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~ScopedCtype() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_;
};

TEST(ProfileLocale, LettersFoldAsTheCharacterSetAllows) {
  test::TempDir dir;
  std::string f = dir.Join("l.ini");
  test::WriteBytes(f,
                   "[\xC3\x9C"
                   "ber]\r\n\xC3\x84rger=1\r\n\xC3\x97=times\r\n");
  std::string u16 = dir.Join("u.ini");
  test::WriteBytes(u16, U16(u"[s]\r\nk=\u00E4\u4E2D\r\n"));
  {
    ScopedCtype c("C");
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(Get("\xC3\xBC"
                  "ber",
                  "\xC3\xA4rger", "d", f)
                  .text,
              "d");
    EXPECT_EQ(Get("\xC3\x9C"
                  "ber",
                  "\xC3\x84rger", "d", f)
                  .text,
              "1");
    EXPECT_EQ(Get("s", "k", "d", u16).text, "??");
  }
  {
    ScopedCtype c("C.UTF-8");
    if (!c.ok()) GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(Get("\xC3\xBC"
                  "BER",
                  "\xC3\xA4RGER", "d", f)
                  .text,
              "1");
    EXPECT_EQ(Get("\xC3\xBC"
                  "ber",
                  "\xC3\xB7", "d", f)
                  .text,
              "d");  // ÷ is no ×
    EXPECT_EQ(Get("s", "k", "d", u16).text, "\xC3\xA4\xE4\xB8\xAD");
    ASSERT_TRUE(
        Api().WritePrivateProfileString("S", "n", "\xC3\xB6", u16.c_str()));
    EXPECT_EQ(test::ReadBytes(u16),
              U16(u"[s]\r\nk=\u00E4\u4E2D\r\nn=\u00F6\r\n"));
    ASSERT_TRUE(
        Api().WritePrivateProfileString("\xC3\x9C"
                                        "BER",
                                        "\xC3\xA4rger", "2", f.c_str()));
    EXPECT_EQ(test::ReadBytes(f),
              "[\xC3\x9C"
              "ber]\r\n\xC3\x84rger=2\r\n\xC3\x97=times\r\n");
  }
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ProfileReplace, AtomicWithModeOwnerAndLinksKept) {
  test::TempDir dir;
  std::string f = dir.Join("p.ini");
  test::WriteBytes(f, "[s]\r\nk=1\r\n");
  ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(f.c_str(), 4321, 4322), 0);
  }
  struct stat before, after;
  ASSERT_EQ(::stat(f.c_str(), &before), 0);
  ASSERT_TRUE(Api().WritePrivateProfileString("s", "k", "2", f.c_str()));
  ASSERT_EQ(::stat(f.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "written in place, not replaced";
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"p.ini"});

  // A link is followed: the target changes, the link stays a link.
  std::string link = dir.Join("link.ini");
  ASSERT_EQ(::symlink("p.ini", link.c_str()), 0);
  ASSERT_TRUE(Api().WritePrivateProfileString("s", "k", "3", link.c_str()));
  struct stat lst;
  ASSERT_EQ(::lstat(link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=3\r\n");
  EXPECT_EQ(Get("s", "k", "d", link).text, "3");
}

TEST(ProfileReplace, ReadOnlyFileFailsAndLeavesNoTrace) {
  test::TempDir dir;
  std::string f = dir.Join("ro.ini");
  test::WriteBytes(f, "[s]\r\nk=1\r\n");
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  EXPECT_FALSE(Api().WritePrivateProfileString("s", "k", "2", f.c_str()));
  EXPECT_FALSE(
      Api().WritePrivateProfileString("s", nullptr, nullptr, f.c_str()));
  EXPECT_EQ(test::ReadBytes(f), "[s]\r\nk=1\r\n");
  EXPECT_EQ(Get("s", "k", "d", f).text, "1");
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"ro.ini"});
}
#endif

}  // namespace
}  // namespace qs
