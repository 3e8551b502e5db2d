// CInt, CLng and CDbl of the settings' texts: rounding, range, the texts
// that are not numbers, and a decimal point that does not follow the locale.
#include "config/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/runtime_error.h"
#include "tests/fakes.h"

namespace qs {
namespace {

using test::ErrorOf;

using Row = std::pair<const char*, double>;  // a text, its value or its error number negated

// clang-format off
const Row kLng[] = {
    {"100", 100},        {"  7\t", 7},        {"-3", -3},
    {"2.5", 2},          {"3.5", 4},          {"-2.5", -2},
    {"1.50001", 2},      {"0.05", 0},         {".5", 0},
    {"25E-1", 2},        {"1D2", 100},        {"&HFFFF", 65535},
    {"&HFFFFFFFF", -1},  {"&O17", 15},        {"2147483647", 2147483647},
    {"-2147483648", -2147483648.0},           {"2147483647.5", -6},
    {"&H100000000", -6}, {"1e30", -6},        {"", -13},
    {"abc", -13},        {"1 2", -13},        {"1,5", -13},
    {"1e", -13},         {".", -13},          {"&HG", -13},
};
const Row kInt[] = {
    {"32767", 32767}, {"-32768", -32768}, {"32767.5", -6}, {"32768", -6},
    {"&HFFFF", -1},   {"&H8000", -32768}, {"&H10000", -6}, {"1.5", 2},
};
// Zero tells apart from "not a number": errors are 6 and 13 only.
const Row kDbl[] = {
    {" 0 ", 0},     {"0.0", 0},     {"-0", 0},         {"1e-400", 0},
    {"0.25", 0.25}, {"2D1", 20},    {"&HFFFF", -1},    {"&H10000", 65536},
    {"+.5", 0.5},   {"1e400", -6},  {"", -13},         {"0x0", -13},
    {"1,5", -13},   {"-", -13},     {"nan", -13},      {"inf", -13},
};
// clang-format on

template <class Convert, std::size_t n>
void Check(const char* name, const Row (&rows)[n], Convert convert) {
  for (const auto& [text, value] : rows) {
    double got = 0;
    const std::int32_t err = ErrorOf([&] { got = static_cast<double>(convert(text)); });
    EXPECT_EQ(err ? -err : got, value) << name << "(\"" << text << "\")";
  }
}

TEST(NumberText, RoundHalfToEvenCheckTheRangeAndIgnoreTheLocale) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  // The same in the C locale and in a German one, whose decimal point is a comma.
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    SCOPED_TRACE(locale);
#ifndef _WIN32
    ASSERT_TRUE(std::setlocale(LC_NUMERIC, locale)) << locale << " is missing (locale-gen it)";
#endif
    Check("CLng", kLng, convert::CLng);
    Check("CInt", kInt, convert::CInt);
    Check("CDbl", kDbl, convert::CDbl);
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
}  // namespace qs
