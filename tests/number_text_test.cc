// CInt and CLng of the settings' texts: rounding, range, and the texts
// that are not numbers.
#include "config/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <string>

#include "platform/runtime_error.h"
#include "tests/fakes.h"

namespace qs {
namespace {

using test::ErrorOf;

TEST(NumberText, NumbersRoundHalfToEvenAndCheckTheirRange) {
  struct Row {
    const char* text;
    std::int64_t value;  // or the error number, negated
  } lng[] = {
      // clang-format off
      {"100", 100},        {"  7\t", 7},        {"-3", -3},
      {"2.5", 2},          {"3.5", 4},          {"-2.5", -2},
      {"1.50001", 2},      {"0.05", 0},         {".5", 0},
      {"25E-1", 2},        {"1D2", 100},        {"&HFFFF", 65535},
      {"&HFFFFFFFF", -1},  {"&O17", 15},        {"2147483647", 2147483647},
      {"-2147483648", -2147483648LL},           {"2147483647.5", -6},
      {"&H100000000", -6}, {"1e30", -6},        {"", -13},
      {"abc", -13},        {"1 2", -13},        {"1,5", -13},
      {"1e", -13},         {".", -13},          {"&HG", -13},
      // clang-format on
  };
  for (const Row& r : lng) {
    std::int64_t got = 0;
    std::int32_t err = ErrorOf([&] { got = convert::CLng(r.text); });
    EXPECT_EQ(err ? -err : got, r.value) << "CLng(\"" << r.text << "\")";
  }
  Row cint[] = {
      {"32767", 32767}, {"-32768", -32768}, {"32767.5", -6}, {"32768", -6},
      {"&HFFFF", -1},   {"&H8000", -32768}, {"&H10000", -6}, {"1.5", 2},
  };
  for (const Row& r : cint) {
    std::int64_t got = 0;
    std::int32_t err = ErrorOf([&] { got = convert::CInt(r.text); });
    EXPECT_EQ(err ? -err : got, r.value) << "CInt(\"" << r.text << "\")";
  }
}

TEST(NumberText, CDblKeepsFractionsAndTellsZeroApart) {
  struct Row {
    const char* text;
    double value;
    std::int32_t err;
  } rows[] = {
      {" 0 ", 0, 0},    {"0.0", 0, 0},      {"-0", 0, 0},      {"1e-400", 0, 0},
      {"0.25", 0.25, 0}, {"2D1", 20, 0},    {"&HFFFF", -1, 0}, {"&H10000", 65536, 0},
      {"+.5", 0.5, 0},  {"1e400", 0, 6},    {"", 0, 13},       {"0x0", 0, 13},
      {"1,5", 0, 13},   {"-", 0, 13},       {"nan", 0, 13},    {"inf", 0, 13},
  };
  for (const Row& r : rows) {
    double got = -99;
    std::int32_t err = ErrorOf([&] { got = convert::CDbl(r.text); });
    EXPECT_EQ(err, r.err) << "CDbl(\"" << r.text << "\")";
    if (r.err == 0) {
      EXPECT_EQ(got, r.value) << "CDbl(\"" << r.text << "\")";
    }
  }
}

TEST(NumberText, DecimalPointDoesNotFollowTheLocale) {
#ifdef _WIN32
  GTEST_SKIP() << "no German C locale";
#endif
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    FAIL() << "locale de_DE.UTF-8 is not installed (locale-gen it)";
  }
  std::int32_t v = 0, err = ErrorOf([&] { v = convert::CLng("1.5"); });
  double d = 0;
  std::int32_t derr = ErrorOf([&] { d = convert::CDbl("0.25"); });
  std::int32_t comma = ErrorOf([&] { convert::CDbl("0,25"); });
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(derr, 0);
  EXPECT_EQ(d, 0.25);
  EXPECT_EQ(comma, 13);
}

}  // namespace
}  // namespace qs
