#include "platform/posix/profile_text.h"

#include <climits>
#include <cwchar>
#include <type_traits>

namespace qs::platform::posix::profile {
namespace {

template <class U>
unsigned Code(U c) {
  return static_cast<std::make_unsigned_t<U>>(c);
}

bool IsNameBlank(unsigned c) { return IsBlank(c) || c == '\n'; }

// One line of a file, as offsets into its text (in code units).
struct Line {
  enum Kind { kEmpty, kHeader, kEntry, kPlain };
  std::size_t begin = 0, end = 0;  // the line without its line end
  std::size_t next = 0;            // after its line end (CRLF, CR or LF)
  std::size_t trim_begin = 0, trim_end = 0;
  Kind kind = kEmpty;
  // Header: the name between '[' and the last ']'; entry: the name before
  // the first '='; plain line: the whole line, a key without a value.
  // Trimmed, not yet cut at a NUL.
  std::size_t name_begin = 0, name_end = 0;
  std::size_t value_begin = 0;  // entry: the value is [value_begin, trim_end)
};

template <class U>
Line Classify(std::basic_string_view<U> t, std::size_t begin, std::size_t end,
              std::size_t next) {
  Line l;
  l.begin = begin;
  l.end = end;
  l.next = next;
  std::size_t b = begin, e = end;
  while (b < e && IsBlank(Code(t[b]))) ++b;
  while (e > b && IsBlank(Code(t[e - 1]))) --e;
  l.trim_begin = b;
  l.trim_end = e;
  if (b == e) return l;
  if (Code(t[b]) == '[') {
    std::size_t close = e;
    while (close > b + 1 && Code(t[close - 1]) != ']') --close;
    if (close > b + 1) {
      std::size_t nb = b + 1, ne = close - 1;
      while (nb < ne && IsBlank(Code(t[nb]))) ++nb;
      while (ne > nb && IsBlank(Code(t[ne - 1]))) --ne;
      l.kind = Line::kHeader;
      l.name_begin = nb;
      l.name_end = ne;
      return l;
    }
  }
  std::size_t eq = b;
  while (eq < e && Code(t[eq]) != '=') ++eq;
  if (eq == e) {
    l.kind = Line::kPlain;
    l.name_begin = b;
    l.name_end = e;
    return l;
  }
  std::size_t ne = eq;
  while (ne > b && IsBlank(Code(t[ne - 1]))) --ne;
  std::size_t vb = eq + 1;
  while (vb < e && IsBlank(Code(t[vb]))) ++vb;
  l.kind = Line::kEntry;
  l.name_begin = b;
  l.name_end = ne;
  l.value_begin = vb;
  return l;
}

// Calls f(line) for every line of `t`, empty ones included.
template <class U, class F>
void ForEachLine(std::basic_string_view<U> t, F&& f) {
  std::size_t i = 0, n = t.size();
  while (i < n) {
    std::size_t begin = i;
    while (i < n && Code(t[i]) != '\r' && Code(t[i]) != '\n') ++i;
    std::size_t end = i;
    if (i < n) {
      i += (Code(t[i]) == '\r' && i + 1 < n && Code(t[i + 1]) == '\n') ? 2 : 1;
    }
    f(Classify(t, begin, end, i));
  }
}

template <class U>
std::basic_string_view<U> CutAtNul(std::basic_string_view<U> s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (Code(s[i]) == 0) return s.substr(0, i);
  }
  return s;
}

template <class U>
std::basic_string_view<U> Span(std::basic_string_view<U> t, std::size_t b,
                               std::size_t e) {
  return CutAtNul(t.substr(b, e - b));
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

// UTF-16 text in the ANSI code page; '?' for what it cannot spell.
std::string Utf16ToAnsi(std::u16string_view u) {
  std::string out;
  out.reserve(u.size());
  char buf[MB_LEN_MAX];
  for (std::size_t i = 0; i < u.size(); ++i) {
    char32_t cp = u[i];
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
        u[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      out.push_back('?');
      continue;
    }
    std::mbstate_t state{};
    std::size_t n = std::wcrtomb(buf, static_cast<wchar_t>(cp), &state);
    if (n == static_cast<std::size_t>(-1)) {
      out.push_back('?');
    } else {
      out.append(buf, n);
    }
  }
  return out;
}

// ANSI text as UTF-16; bytes that are no character of the code page become
// U+FFFD.
std::u16string AnsiToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    wchar_t wc = 0;
    std::size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
    if (n == 0 || n > s.size() - i) {  // invalid, incomplete or NUL
      out.push_back(u'\uFFFD');
      state = std::mbstate_t{};
      ++i;
      continue;
    }
    AppendCodePoint(out, static_cast<char32_t>(wc));
    i += n;
  }
  return out;
}

template <class U>
std::basic_string<U> Encode(std::string_view ansi);
template <>
std::string Encode<char>(std::string_view ansi) {
  return std::string(ansi);
}
template <>
std::u16string Encode<char16_t>(std::string_view ansi) {
  return AnsiToUtf16(ansi);
}

std::string ToAnsi(std::string_view s) { return std::string(s); }
std::string ToAnsi(std::u16string_view s) { return Utf16ToAnsi(s); }

// The sections of a file for editing: line ranges into the scanned lines.
// The lines before the first header always form a section "", even when
// there are none, so that it hides any later "[]".
struct SectionLines {
  bool has_header;
  std::size_t first;  // the header line, or 0 for the lines before any
  std::size_t end;    // one past the section's last line
  std::string folded;
};

bool IsKey(const Line& l) {
  return l.kind == Line::kEntry || l.kind == Line::kPlain;
}

template <class U>
bool EditText(std::basic_string<U>& text, const char* section, const char* key,
              const char* value, CaseFold fold) {
  using View = std::basic_string_view<U>;
  View t(text);
  std::vector<Line> lines;
  ForEachLine(t, [&](const Line& l) { lines.push_back(l); });

  std::vector<SectionLines> sections{{false, 0, lines.size(), std::string()}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& l = lines[i];
    if (l.kind == Line::kHeader) {
      sections.back().end = i;
      sections.push_back(
          {true, i, lines.size(),
           Folded(ToAnsi(Span(t, l.name_begin, l.name_end)), fold)});
    }
  }
  auto start_of = [&](const SectionLines& s) {
    return s.has_header ? lines[s.first].begin : std::size_t{0};
  };
  auto end_of = [&](const SectionLines& s) {
    return s.end < lines.size() ? lines[s.end].begin : text.size();
  };
  auto body_begin = [](const SectionLines& s) {
    return s.has_header ? s.first + 1 : s.first;
  };

  const std::string want_section = Folded(TrimmedName(section), fold);
  const SectionLines* first = nullptr;
  for (const SectionLines& s : sections) {
    if (s.folded == want_section) {
      first = &s;
      break;
    }
  }

  if (key == nullptr) {  // delete the section with all its lines
    if (!first) return false;
    std::size_t b = start_of(*first);
    text.erase(b, end_of(*first) - b);
    return true;
  }

  const std::string want_key = Folded(TrimmedName(key), fold);
  auto find_entry = [&](const SectionLines& s) -> const Line* {
    for (std::size_t i = body_begin(s); i < s.end; ++i) {
      const Line& l = lines[i];
      if (IsKey(l) &&
          Folded(ToAnsi(Span(t, l.name_begin, l.name_end)), fold) == want_key) {
        return &l;
      }
    }
    return nullptr;
  };

  const std::basic_string<U> crlf = Encode<U>("\r\n");
  if (value == nullptr) {  // delete one entry, searching every duplicate
    for (const SectionLines& s : sections) {
      if (s.folded != want_section) continue;
      if (const Line* l = find_entry(s)) {
        text.erase(l->begin, l->next - l->begin);
        return true;
      }
    }
    return false;
  }

  const std::basic_string<U> new_value = Encode<U>(WithoutLeadingBlanks(value));
  std::basic_string<U> entry = Encode<U>(WithoutLeadingBlanks(key));
  entry += Encode<U>("=");
  entry += new_value;
  entry += crlf;

  if (!first) {  // a new section at the end, after a line end
    if (!text.empty() && Code(text.back()) != '\r' &&
        Code(text.back()) != '\n') {
      text += crlf;
    }
    text += Encode<U>("[");
    text += Encode<U>(WithoutLeadingBlanks(section));
    text += Encode<U>("]");
    text += crlf;
    text += entry;
    return true;
  }

  if (const Line* l = find_entry(*first)) {
    if (l->kind == Line::kPlain) {  // a key without a value gets one
      text.replace(l->trim_end, l->end - l->trim_end,
                   Encode<U>("=") + new_value);
      return true;
    }
    // Unchanged when the value reads the same, or when the line already
    // holds exactly what would be written (trailing blanks included).
    if (Span(t, l->value_begin, l->trim_end) == View(new_value) ||
        Span(t, l->value_begin, l->end) == View(new_value)) {
      return false;
    }
    text.replace(l->value_begin, l->end - l->value_begin, new_value);
    return true;
  }

  // A new entry after the section's last line that is not blank (comment
  // lines count), or right after its header.
  const Line* after = first->has_header ? &lines[first->first] : nullptr;
  for (std::size_t i = body_begin(*first); i < first->end; ++i) {
    if (lines[i].kind != Line::kEmpty) after = &lines[i];
  }
  std::size_t pos = after ? after->next : 0;
  if (after && after->next == after->end) entry.insert(0, crlf);
  text.insert(pos, entry);
  return true;
}

}  // namespace

CaseFold FoldForCodeset(std::string_view codeset) {
  std::string n;
  for (char c : codeset) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) n.push_back(c);
  }
  if (n == "UTF8") return CaseFold::kUtf8;
  if (n == "CP1252" || n == "WINDOWS1252") return CaseFold::kCp1252;
  if (n == "ISO88591" || n == "ISO885915" || n == "LATIN1" || n == "LATIN9") {
    return CaseFold::kLatin1;
  }
  return CaseFold::kAscii;
}

std::string Folded(std::string_view name, CaseFold fold) {
  std::string out(name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c + 0x20);
    } else if (c < 0x80 || fold == CaseFold::kAscii) {
      continue;
    } else if (fold == CaseFold::kUtf8) {
      if (c == 0xC3 && i + 1 < out.size()) {
        unsigned char d = static_cast<unsigned char>(out[i + 1]);
        if (d >= 0x80 && d <= 0x9E && d != 0x97) {
          out[i + 1] = static_cast<char>(d + 0x20);
        }
        ++i;
      }
    } else if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
      out[i] = static_cast<char>(c + 0x20);
    } else if (fold == CaseFold::kCp1252) {
      if (c == 0x8A || c == 0x8C || c == 0x8E) {
        out[i] = static_cast<char>(c + 0x10);
      } else if (c == 0x9F) {
        out[i] = static_cast<char>(0xFF);
      }
    }
  }
  return out;
}

std::string_view TrimmedName(std::string_view name) {
  while (!name.empty() &&
         IsNameBlank(static_cast<unsigned char>(name.front()))) {
    name.remove_prefix(1);
  }
  while (!name.empty() &&
         IsNameBlank(static_cast<unsigned char>(name.back()))) {
    name.remove_suffix(1);
  }
  return name;
}

std::string_view WithoutLeadingBlanks(std::string_view text) {
  while (!text.empty() &&
         IsNameBlank(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  return text;
}

std::string_view WithoutQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool IsUtf16Le(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

namespace {

std::u16string Utf16Units(std::string_view bytes) {
  std::u16string u((bytes.size() - 2) / 2, u'\0');
  for (std::size_t i = 0; i < u.size(); ++i) {
    u[i] = static_cast<char16_t>(
        static_cast<unsigned char>(bytes[2 + 2 * i]) |
        (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
  }
  return u;
}

}  // namespace

std::string DecodeToAnsi(std::string_view bytes) {
  if (!IsUtf16Le(bytes)) return std::string(bytes);
  return Utf16ToAnsi(Utf16Units(bytes));
}

const ParsedProfile::Section* ParsedProfile::Find(
    const std::string& folded) const {
  auto it = first_section.find(folded);
  return it == first_section.end() ? nullptr : &sections[it->second];
}

ParsedProfile Parse(std::string_view text, CaseFold fold) {
  ParsedProfile p;
  p.sections.emplace_back();
  p.first_section.emplace(std::string(), 0);
  ForEachLine(text, [&](const Line& l) {
    if (l.kind == Line::kEmpty) return;
    std::string_view name = Span(text, l.name_begin, l.name_end);
    if (l.kind == Line::kHeader) {
      p.first_section.emplace(Folded(name, fold), p.sections.size());
      p.sections.push_back({std::string(name), {}, {}});
      return;
    }
    ParsedProfile::Section& s = p.sections.back();
    if (l.kind == Line::kPlain) {
      s.values.emplace(Folded(name, fold),
                       ParsedProfile::Section::Value{false, std::string()});
      return;
    }
    s.key_names.emplace_back(name);
    s.values.emplace(
        Folded(name, fold),
        ParsedProfile::Section::Value{
            true,
            std::string(WithoutQuotes(Span(text, l.value_begin, l.trim_end)))});
  });
  return p;
}

bool Edit(std::string& bytes, const char* section, const char* key,
          const char* value, CaseFold fold) {
  if (!IsUtf16Le(bytes)) return EditText(bytes, section, key, value, fold);
  // An odd last byte is no unit; it stays at the end.
  std::u16string units = Utf16Units(bytes);
  if (!EditText(units, section, key, value, fold)) return false;
  std::string out = bytes.substr(0, 2);
  out.reserve(2 + units.size() * 2 + 1);
  for (char16_t u : units) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  if (bytes.size() % 2) out.push_back(bytes.back());
  bytes.swap(out);
  return true;
}

}  // namespace qs::platform::posix::profile
