// The procedure trace and the error trap, against a recording viewer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>

#include "errortrap/ravelin.h"
#include "tests/fakes.h"

namespace qs {
namespace {

namespace rav = modRavelinLITE;

class TraceTest : public testing::Test {
 protected:
  void SetUp() override { rav::ResetForTest(); }
  void TearDown() override { rav::ResetForTest(); }

  test::FakeWindows windows_;
  test::FakeClock clock_;
  test::FakeProcess process_;
  test::FakeUi ui_;
  platform::ScopedPlatform scoped_{
      {.clock = &clock_, .process = &process_, .windows = &windows_, .ui = &ui_}};
};

// The first window titled as a viewer that accepts is the viewer ("!": one
// that refuses, as another user's does), unless a second's worth of others
// comes before it. Without one nothing is sent and nothing of the process
// changes.
TEST_F(TraceTest, ViewerIsChosenByTitleRulesOnce) {
  std::vector<std::string> squatters(100, "!Ravelin - squatter");
  squatters.push_back("Ravelin");
  struct Row {
    std::vector<std::string> titles;
    int viewer;  // index of the chosen window, -1 for none
  } rows[] = {
      {{"Ravelin - Trace"}, 0}, {{"Ravelin -"}, 0},  {{"ravelin"}, -1},
      {{"RAVELIN - x"}, -1},    {{"Ravelin-x"}, -1}, {{"Ravelinx"}, -1},
      {{"Notepad", "Ravelin - a", "Ravelin"}, 1},    {{"!Ravelin - x", "Ravelin"}, 1},
      {{"Ravelin "}, -1},       {{" Ravelin"}, -1},  {{"!Ravelin"}, -1},
      {squatters, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.titles));
    rav::ResetForTest();
    windows_ = {};
    windows_.on_attach = [&] { clock_.ticks += 10; };
    process_.error_modes.clear();
    clock_.begin_period_calls = 0;
    for (const auto& t : row.titles) {
      windows_.windows.push_back({.title = t.substr(t[0] == '!'), .attachable = t[0] != '!'});
    }
    rav::TraceEnter("frmMain", "Sub WriteLog", "");
    const bool found = row.viewer >= 0;
    EXPECT_EQ(rav::g_trace.hViewerWnd, found ? static_cast<platform::Hwnd>(row.viewer + 2) : 0);
    EXPECT_EQ(windows_.sent.size(), found ? 2u : 0u);  // banner, entry
    EXPECT_EQ(process_.error_modes.size(), found ? 1u : 0u);
    EXPECT_EQ(clock_.begin_period_calls, found ? 1 : 0);
  }
  // The search is never repeated, even when a viewer opens later.
  const int walks = windows_.walks;
  windows_.windows = {{"Ravelin"}};
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(windows_.walks, walks);
  EXPECT_TRUE(windows_.sent.empty());
}

TEST_F(TraceTest, BannerThenNestedLinesWithTabsAndCounts) {
  windows_.windows = {{"Editor"}, {"Ravelin - test"}};
  clock_.ticks = 5000;
  rav::TraceEnter("frmMain", "Sub tmrMain_Timer", "");
  clock_.ticks = 5000 + 73120;
  rav::TraceEnter("modIniHandler", "Function GetINIString", "");
  clock_.ticks += 1;
  rav::TraceExit("modIniHandler", "Function GetINIString", "");
  rav::TraceExit("frmMain", "Sub tmrMain_Timer", "");
  rav::TraceExit("frmMain", "Sub WriteLog", "");  // unmatched: the depth stays at 0
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(windows_.Texts(),
            (std::vector<std::string>{
                "QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12\r\n",
                "[QuillonSrv] [00001] [00000.000] ->frmMain : Sub tmrMain_Timer : \r\n",
                "[QuillonSrv] [00002] [00073.120] ->\tmodIniHandler : Function GetINIString : \r\n",
                "[QuillonSrv] [00003] [00073.121] <-\tmodIniHandler : Function GetINIString : \r\n",
                "[QuillonSrv] [00004] [00073.121] <-frmMain : Sub tmrMain_Timer : \r\n",
                "[QuillonSrv] [00005] [00073.121] <-frmMain : Sub WriteLog : \r\n",
                "[QuillonSrv] [00006] [00073.121] ->frmMain : Sub WriteLog : \r\n",
                "[QuillonSrv] [00007] [00073.121] ->\tfrmMain : Sub WriteLog : \r\n"}));
  EXPECT_EQ(windows_.sent[0].first, 3u);
  EXPECT_EQ(process_.error_modes, std::vector<std::uint32_t>{0x8001});

  // The count grows a digit past 99999 and stops at the largest value.
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  rav::g_trace.lTraceCount = 99999;
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(windows_.sent.back().second.substr(0, 22), "[QuillonSrv] [100000] ");
  rav::g_trace.lTraceCount = rav::g_trace.lTraceDepth = kMax;
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(rav::g_trace.lTraceCount, kMax);
  EXPECT_EQ(rav::g_trace.lTraceDepth, kMax);
}

TEST(TraceTime, FieldFormat) {
  struct Row { std::int64_t ms; const char* sep; const char* text; } rows[] = {
      {5250, ".", "00005.250"},
      {99999999, ".", "99999.999"},
      {100000000, ".", "100000.000"},
      {-500, ".", "-00000.500"},
      {1500, "x", "00001.500"},          // separator absent: left as formatted
      {std::int64_t{1} << 31, ".", ""},  // does not fit 32 bits
  };
  for (const Row& r : rows) EXPECT_EQ(rav::FormatTraceTime(r.ms, r.sep), r.text) << r.ms;

  // A locale whose numbers take a comma still gives a point (a real locale).
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") &&
      !std::setlocale(LC_NUMERIC, "German_Germany.1252")) {
    GTEST_SKIP() << "no German locale installed";
  }
  EXPECT_EQ(rav::FormatTraceTime(5250, ","), "00005.250");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

// The function returns what its result held; the report follows the exit.
TEST_F(TraceTest, TrapReportsEveryExceptionToViewerAndBoxAndReturnsThePartialResult) {
  windows_.windows = {{"Ravelin"}};
  process_.exe = "/opt/Apps/QuillonSrv";
  std::string result;
  Traced("modIniHandler", "Function GetINIString", [&] {
    result = "half";
    throw RuntimeError(kErrFileNotFound);
  });
  EXPECT_EQ(result, "half");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text,
            "Ravelin reports /opt/Apps/QuillonSrv program error #53 (File not found) "
            "occurred in module modIniHandler, Function GetINIString, line 0.");
  EXPECT_EQ(ui_.boxes[0].title, "Unexpected Error");
  EXPECT_EQ(ui_.boxes[0].type, 0x12u);
  const std::string at = "modIniHandler : Function GetINIString : ";
  EXPECT_EQ(windows_.Texts(),
            (std::vector<std::string>{"QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12\r\n",
                                      "[QuillonSrv] [00001] [00000.000] ->" + at + "\r\n",
                                      "[QuillonSrv] ERROR 53 \"File not found\" at " + at + "0\r\n",
                                      "[QuillonSrv] [00002] [00000.000] <-" + at + "\r\n"}));
  EXPECT_EQ(rav::Err().Number, 0);  // cleared by the report

  // Every kind of exception becomes a runtime error.
  struct Row { std::function<void()> raise; std::string number_and_description; } rows[] = {
      {[] { throw std::bad_alloc(); }, "7 (Out of memory)"},
      {[] { std::vector<int>().at(3); }, "9 (Subscript out of range)"},
      {[] { throw std::overflow_error("x"); }, "6 (Overflow)"},
      {[] { (void)std::stoi("abc"); }, "13 (Type mismatch)"},
      {[] { throw 42; }, "51 (Internal error)"},
  };
  for (const Row& r : rows) {
    Traced("frmMain", "Sub WriteLog", r.raise);
    EXPECT_THAT(ui_.boxes.back().text,
                testing::HasSubstr("program error #" + r.number_and_description));
  }
}

TEST(ErrorMessage, EndingNamesTheRemoteComponentAndQuotesStay) {
  const std::string start =
      "Ravelin reports C:\\Apps\\QuillonSrv.exe program error #53 (File not found) occurred in "
      "module modIniHandler, Function GetINIString, line 0";
  const std::string remote = ". This error was generated remotely by ";
  struct Row {
    const char* source;
    std::string ending;
  } rows[] = {
      {"QuillonSrv", "."},
      {"1C:\\Apps\\Comp.dll!x!y",
       remote + "C:\\Apps\\Comp.dll, a component of C:\\Apps\\QuillonSrv.exe."},
      {"  2/opt/comp.so!z", remote + " 2/opt/comp.so, a component of C:\\Apps\\QuillonSrv.exe."},
      {"0C:\\Apps\\Comp.dll!x", "."},
      {"7 no bang", "."},
      {"", "."},
  };
  for (const Row& r : rows) {
    rav::ErrObject err{.Number = 53, .Description = "File not found", .Source = r.source};
    EXPECT_EQ(rav::BuildErrorMessage("C:\\Apps\\QuillonSrv.exe", err, "modIniHandler",
                                     "Function GetINIString"),
              start + r.ending);
  }
  rav::ErrObject err{.Number = 75, .Description = "say \"hi\"", .Source = ""};
  EXPECT_EQ(rav::BuildViewerErrorLine("QuillonSrv", err, "frmMain", "Sub WriteLogFile"),
            "[QuillonSrv] ERROR 75 \"say \"hi\"\" at frmMain : Sub WriteLogFile : 0\r\n");
}

}  // namespace
}  // namespace qs
