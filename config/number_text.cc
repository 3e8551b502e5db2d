#include "config/number_text.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "platform/runtime_error.h"

namespace qs::convert {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// More integer digits than this cannot fit any result type.
constexpr std::size_t kMaxIntegerDigits = 19;

// "&H..." or "&O...": the digits as an unsigned pattern of `bits` bits,
// returned as the signed value of that width.
std::int64_t ParseRadix(std::string_view digits, unsigned radix,
                        unsigned bits) {
  if (digits.empty()) throw RuntimeError(kErrTypeMismatch);
  const std::uint64_t max_pattern = (std::uint64_t{1} << bits) - 1;
  std::uint64_t v = 0;
  bool overflow = false;
  for (char c : digits) {
    unsigned d;
    if (IsDigit(c)) {
      d = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      throw RuntimeError(kErrTypeMismatch);
    }
    if (d >= radix) throw RuntimeError(kErrTypeMismatch);
    v = v * radix + d;
    if (v > max_pattern) overflow = true;  // keep checking the characters
    v &= max_pattern;
  }
  if (overflow) throw RuntimeError(kErrOverflow);
  const std::uint64_t sign_bit = std::uint64_t{1} << (bits - 1);
  return (v & sign_bit) ? static_cast<std::int64_t>(v) -
                              static_cast<std::int64_t>(max_pattern) - 1
                        : static_cast<std::int64_t>(v);
}

// A decimal number rounded half to even, checked against [lo, hi]. Worked on
// the digits themselves, so that 2.5 is exactly a half and rounding never
// depends on binary fractions.
std::int64_t ParseDecimal(std::string_view body, std::int64_t lo,
                          std::int64_t hi) {
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  std::string_view int_digits, frac_digits;
  std::size_t i = 0;
  while (i < body.size() && IsDigit(body[i])) ++i;
  int_digits = body.substr(0, i);
  if (i < body.size() && body[i] == '.') {
    std::size_t start = ++i;
    while (i < body.size() && IsDigit(body[i])) ++i;
    frac_digits = body.substr(start, i - start);
  }
  if (int_digits.empty() && frac_digits.empty()) {
    throw RuntimeError(kErrTypeMismatch);
  }
  long exponent = 0;
  if (i < body.size() &&
      (body[i] == 'E' || body[i] == 'e' || body[i] == 'D' || body[i] == 'd')) {
    ++i;
    bool exp_negative = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
      exp_negative = body[i] == '-';
      ++i;
    }
    std::size_t start = i;
    while (i < body.size() && IsDigit(body[i])) {
      if (exponent < 100000) exponent = exponent * 10 + (body[i] - '0');
      ++i;
    }
    if (i == start) throw RuntimeError(kErrTypeMismatch);
    if (exp_negative) exponent = -exponent;
  }
  if (i != body.size()) throw RuntimeError(kErrTypeMismatch);

  // All digits in one row; the decimal point stands after `point` of them.
  std::string digits;
  digits.reserve(int_digits.size() + frac_digits.size());
  digits.append(int_digits).append(frac_digits);
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  long point = static_cast<long>(int_digits.size()) + exponent -
               static_cast<long>(first);
  digits.erase(0, first);
  const long n = static_cast<long>(digits.size());

  if (point > static_cast<long>(kMaxIntegerDigits)) {
    throw RuntimeError(kErrOverflow);
  }
  std::uint64_t whole = 0;
  for (long k = 0; k < point; ++k) {
    whole = whole * 10 + (k < n ? static_cast<unsigned>(digits[k] - '0') : 0);
  }
  // The fraction: its first digit and whether anything follows it.
  int first_frac = 0;
  bool rest_nonzero = false;
  if (point >= 0) {
    if (point < n) first_frac = digits[point] - '0';
    for (long k = point + 1; k < n && !rest_nonzero; ++k) {
      rest_nonzero = digits[k] != '0';
    }
  } else {
    // Every digit lies below the first fractional place: less than a half.
    first_frac = 0;
    rest_nonzero = true;
  }
  if (first_frac > 5 || (first_frac == 5 && (rest_nonzero || whole % 2 == 1))) {
    ++whole;
  }
  const std::uint64_t limit = negative
                                  ? static_cast<std::uint64_t>(-(lo + 1)) + 1
                                  : static_cast<std::uint64_t>(hi);
  if (whole > limit) throw RuntimeError(kErrOverflow);
  return negative ? -static_cast<std::int64_t>(whole)
                  : static_cast<std::int64_t>(whole);
}

template <class T>
T Convert(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) throw RuntimeError(kErrTypeMismatch);
  constexpr unsigned kBits = sizeof(T) * 8;
  if (text.size() >= 2 && text[0] == '&') {
    if (text[1] == 'H' || text[1] == 'h') {
      return static_cast<T>(ParseRadix(text.substr(2), 16, kBits));
    }
    if (text[1] == 'O' || text[1] == 'o') {
      return static_cast<T>(ParseRadix(text.substr(2), 8, kBits));
    }
    throw RuntimeError(kErrTypeMismatch);
  }
  return static_cast<T>(ParseDecimal(text, std::numeric_limits<T>::min(),
                                     std::numeric_limits<T>::max()));
}

}  // namespace

std::int32_t CLng(std::string_view text) { return Convert<std::int32_t>(text); }
std::int16_t CInt(std::string_view text) { return Convert<std::int16_t>(text); }

double CDbl(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) throw RuntimeError(kErrTypeMismatch);
  if (text.size() >= 2 && text[0] == '&') {
    // Up to four hexadecimal or six octal digits are a 16-bit pattern, more
    // a 32-bit one.
    const bool hex = text[1] == 'H' || text[1] == 'h';
    if (!hex && text[1] != 'O' && text[1] != 'o') {
      throw RuntimeError(kErrTypeMismatch);
    }
    std::string_view digits = text.substr(2);
    const unsigned bits = digits.size() <= (hex ? 4u : 6u) ? 16 : 32;
    return static_cast<double>(ParseRadix(digits, hex ? 16 : 8, bits));
  }
  // Check the grammar, then let strtod do the sums.
  std::string plain(text);
  std::size_t i = 0;
  if (plain[i] == '+' || plain[i] == '-') ++i;
  const std::size_t mantissa = i;
  while (i < plain.size() && IsDigit(plain[i])) ++i;
  if (i < plain.size() && plain[i] == '.') ++i;
  while (i < plain.size() && IsDigit(plain[i])) ++i;
  if (i == mantissa || (i == mantissa + 1 && plain[mantissa] == '.')) {
    throw RuntimeError(kErrTypeMismatch);
  }
  if (i < plain.size() && (plain[i] == 'E' || plain[i] == 'e' ||
                           plain[i] == 'D' || plain[i] == 'd')) {
    plain[i++] = 'e';
    if (i < plain.size() && (plain[i] == '+' || plain[i] == '-')) ++i;
    const std::size_t exp_start = i;
    while (i < plain.size() && IsDigit(plain[i])) ++i;
    if (i == exp_start) throw RuntimeError(kErrTypeMismatch);
  }
  if (i != plain.size()) throw RuntimeError(kErrTypeMismatch);
  // strtod reads the locale's decimal sign; the text always has ".".
  const std::lconv* lc = std::localeconv();
  const char* point = lc && lc->decimal_point && *lc->decimal_point ? lc->decimal_point : ".";
  if (std::string_view(point) != ".") {
    const std::size_t at = plain.find('.');
    if (at != std::string::npos) plain.replace(at, 1, point);
  }
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(plain.c_str(), &end);
  if (end != plain.c_str() + plain.size()) throw RuntimeError(kErrTypeMismatch);
  // Too small to tell from zero is zero (or nearly); too large an overflow.
  if (errno == ERANGE && (value == HUGE_VAL || value == -HUGE_VAL)) {
    throw RuntimeError(kErrOverflow);
  }
  return value;
}

}  // namespace qs::convert
