// CInt, CLng and CDbl of a text, as the settings of the INI files are turned into
// numbers ("LogSize", "NTProcPriority").
//
// Accepted: blanks and tabs around the number; an optional sign; decimal
// digits with an optional "." and fraction and an optional exponent
// ("1.5", ".5", "2e3", "1D2"); or "&H" with hexadecimal digits and "&O" with
// octal digits. A fraction is rounded to the nearest whole number, a half to
// the even one (2.5 -> 2, 3.5 -> 4, -2.5 -> -2). The decimal sign is always
// ".", whatever the regional settings say, so an INI file reads the same on
// every machine; thousands separators are not accepted.
//
// Hexadecimal and octal digits give the bit pattern of the result type:
// CInt("&HFFFF") is -1 and CLng("&HFFFFFFFF") is -1, CLng("&HFFFF") 65535.
//
// A text that is not a number raises run-time error 13 (Type mismatch), a
// number outside the result type's range error 6 (Overflow).
#pragma once

#include <cstdint>
#include <string_view>

namespace qs::convert {

std::int32_t CLng(std::string_view text);
std::int16_t CInt(std::string_view text);
// CDbl: the same texts as a floating-point number, without rounding; "&H"
// and "&O" with up to four hexadecimal (six octal) digits are 16-bit
// patterns, longer ones 32-bit. Error 13 for no number, 6 beyond the range.
double CDbl(std::string_view text);

}  // namespace qs::convert
