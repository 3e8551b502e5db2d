// The text of profile (INI) files on POSIX: how a file is split into lines,
// sections and entries, how names are compared, and how one write changes
// the file's bytes. No file access happens here; profile_posix.cc reads and
// replaces the files and caches what Parse() returns.
//
// The rules are those of the Windows profile functions, so that a file that
// the product's Windows programs share reads and changes the same way here:
//   - lines end at CR, LF or CRLF; each line is trimmed of the blanks below;
//   - a trimmed line starting with '[' and holding a ']' is a header, its
//     name the text up to the last ']';
//   - an entry splits at the first '='; a line without '=' is a key
//     without a value;
//   - there is no comment syntax at lookup; key lists skip names that start
//     with ';';
//   - a NUL ends a name or value (the line itself goes on to its line end);
//   - lines before the first header belong to the section "", which is
//     there even when no line is, and hides a later "[]".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qs::platform::posix::profile {

// Which letters compare equal regardless of case. ASCII always; the
// Latin-1 letters too when the ANSI code page (the locale's character set)
// can spell them.
enum class CaseFold {
  kAscii,   // any other character set, the C locale among them
  kLatin1,  // ISO-8859-1 and -15: single bytes 0xC0..0xDE
  kCp1252,  // as kLatin1, plus the letter pairs at 0x8A..0x9F
  kUtf8,    // UTF-8: the two-byte forms of U+00C0..U+00DE
};

// The fold for a character set name as nl_langinfo(CODESET) spells it.
CaseFold FoldForCodeset(std::string_view codeset);

// `name` with every letter that has a lower-case partner lowered.
std::string Folded(std::string_view name, CaseFold fold);

// Space, TAB, VT, FF, CR and 0x1A: what lines lose at both ends.
inline bool IsBlank(unsigned c) {
  return c == ' ' || c == '\t' || c == 0x0B || c == 0x0C || c == '\r' ||
         c == 0x1A;
}

// A requested section or key name trimmed at both ends (LF counts as blank
// here too).
std::string_view TrimmedName(std::string_view name);
// A written value or new name without its leading blanks.
std::string_view WithoutLeadingBlanks(std::string_view text);

// A value of two or more characters that starts with ' or " and ends with
// the same character loses that pair, once.
std::string_view WithoutQuotes(std::string_view value);

// True for a file that starts with the UTF-16 LE mark FF FE.
bool IsUtf16Le(std::string_view bytes);

// The file's text in the ANSI code page: UTF-16 LE is converted (characters
// the code page lacks become '?'); every other file is taken as ANSI bytes,
// a UTF-8 mark and FE FF included, which stay part of the first line.
std::string DecodeToAnsi(std::string_view bytes);

// One file, ready for lookups. Names and values are ANSI text cut at their
// first NUL; values have their quotes already removed.
struct ParsedProfile {
  struct Section {
    std::string name;
    // Names of the entries (lines with '='), in file order, duplicates
    // included, for key lists.
    std::vector<std::string> key_names;
    // Folded key name -> value of its first line. A line without '=' is a
    // key without a value: it hides later entries of its name.
    struct Value {
      bool present;
      std::string text;
    };
    std::unordered_map<std::string, Value> values;
  };
  // In file order, duplicates included (only the first is ever searched).
  // The first is always the section "" of the lines before any header.
  std::vector<Section> sections;
  // Folded section name -> index of its first section.
  std::unordered_map<std::string, std::size_t> first_section;

  // The first section whose folded name is `folded`, or null.
  const Section* Find(const std::string& folded) const;
};

ParsedProfile Parse(std::string_view ansi_text, CaseFold fold);

// Applies one WritePrivateProfileString call to the bytes of a file (empty
// for a file that does not exist yet): `key` null deletes the first section
// named `section`; `value` null deletes the first entry named `key` in the
// sections of that name; otherwise the entry is replaced in place, added
// after the last entry of the first such section, or appended with a new
// section at the end. Every byte outside the changed line stays as it was.
// A UTF-16 LE file is edited in UTF-16 LE. Returns false when the bytes did
// not change (the value was already there, or nothing was to delete).
bool Edit(std::string& bytes, const char* section, const char* key,
          const char* value, CaseFold fold);

}  // namespace qs::platform::posix::profile
