// The procedure trace and the error trap, against a recording viewer.
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

  // A viewer titled `title` among other windows.
  void OpenViewer(const std::string& title = "Ravelin") {
    windows_.windows = {{"Editor"}, {title}};
  }

  test::FakeWindows windows_;
  test::FakeClock clock_;
  test::FakeProcess process_;
  test::FakeUi ui_;
  platform::ScopedPlatform scoped_{{.clock = &clock_, .process = &process_, .windows = &windows_, .ui = &ui_}};
};

TEST_F(TraceTest, ViewerIsChosenByTitleRulesOnce) {
  struct Row {
    std::vector<std::string> titles;
    int viewer;  // index of the chosen window, -1 for none
  } rows[] = {
      {{"Ravelin"}, 0},
      {{"Ravelin - Trace"}, 0},
      {{"Ravelin -"}, 0},
      {{"ravelin"}, -1},
      {{"RAVELIN - x"}, -1},
      {{"Ravelin-x"}, -1},
      {{"Ravelinx"}, -1},
      {{"Ravelin "}, -1},
      {{" Ravelin"}, -1},
      {{"Notepad", "Ravelin - a", "Ravelin"}, 1},
      {{}, -1},
  };
  for (const Row& row : rows) {
    rav::ResetForTest();
    windows_.windows.clear();
    windows_.sent.clear();
    for (const auto& t : row.titles) windows_.windows.push_back({t});
    rav::TraceEnter("frmMain", "Sub WriteLog", "");
    SCOPED_TRACE(row.titles.empty() ? "(no windows)" : row.titles.back());
    platform::Hwnd expected = row.viewer < 0 ? 0 : static_cast<platform::Hwnd>(row.viewer + 2);
    EXPECT_EQ(rav::g_trace.hViewerWnd, expected);
    EXPECT_TRUE(rav::g_trace.bTrapStarted);
  }
  // The search is never repeated, even when a viewer opens later.
  int walks = windows_.walks;
  OpenViewer();
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(windows_.walks, walks);
}

TEST_F(TraceTest, WithoutViewerNothingIsSentOrChanged) {
  windows_.windows = {{"Editor"}};
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  rav::TraceExit("frmMain", "Sub WriteLog", "");
  EXPECT_TRUE(windows_.sent.empty());
  EXPECT_EQ(rav::g_trace.lTraceCount, 0);
  EXPECT_TRUE(process_.error_modes.empty());
  EXPECT_EQ(clock_.begin_period_calls, 0);
}

// A viewer that refuses (another user's) is passed over: the next one that
// accepts gets the lines, and without one tracing stays off.
TEST_F(TraceTest, RefusingViewerIsPassedOver) {
  windows_.windows = {{"Ravelin - x", 0, false}, {"Ravelin"}};
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(rav::g_trace.hViewerWnd, 3u);
  rav::ResetForTest();
  windows_.sent.clear();
  windows_.windows = {{"Ravelin", 0, false}};
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(rav::g_trace.hViewerWnd, 0u);
  EXPECT_TRUE(windows_.sent.empty());
}

TEST_F(TraceTest, BannerThenNestedLinesWithTabsAndCounts) {
  OpenViewer("Ravelin - test");
  clock_.ticks = 5000;
  rav::TraceEnter("frmMain", "Sub tmrMain_Timer", "");
  clock_.ticks = 5000 + 73120;
  rav::TraceEnter("modIniHandler", "Function GetINIString", "");
  clock_.ticks += 1;
  rav::TraceExit("modIniHandler", "Function GetINIString", "");
  rav::TraceExit("frmMain", "Sub tmrMain_Timer", "");

  std::vector<std::string> expected = {
      "QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12\r\n",
      "[QuillonSrv] [00001] [00000.000] ->frmMain : Sub tmrMain_Timer : \r\n",
      "[QuillonSrv] [00002] [00073.120] ->\tmodIniHandler : Function GetINIString : \r\n",
      "[QuillonSrv] [00003] [00073.121] <-\tmodIniHandler : Function GetINIString : \r\n",
      "[QuillonSrv] [00004] [00073.121] <-frmMain : Sub tmrMain_Timer : \r\n",
  };
  EXPECT_EQ(windows_.Texts(), expected);
  EXPECT_EQ(windows_.sent[0].first, 3u);
  EXPECT_EQ(rav::g_trace.lTraceDepth, 0);
  EXPECT_EQ(process_.error_modes, std::vector<std::uint32_t>{0x8001});
  EXPECT_EQ(clock_.begin_period_calls, 1);
}

TEST_F(TraceTest, CountersStayInRangeAndGrowDigits) {
  OpenViewer();
  rav::TraceExit("frmMain", "Sub WriteLog", "");  // unmatched, at depth 0
  EXPECT_EQ(rav::g_trace.lTraceDepth, 0);
  rav::g_trace.lTraceCount = 99999;
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_NE(windows_.sent.back().second.find("[100000]"), std::string::npos);
  rav::g_trace.lTraceCount = std::numeric_limits<std::int32_t>::max();
  rav::g_trace.lTraceDepth = std::numeric_limits<std::int32_t>::max();
  rav::TraceEnter("frmMain", "Sub WriteLog", "");
  EXPECT_EQ(rav::g_trace.lTraceCount, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(rav::g_trace.lTraceDepth, std::numeric_limits<std::int32_t>::max());
}

TEST(TraceTime, FieldFormat) {
  struct Row {
    std::int64_t ms;
    const char* sep;
    const char* text;
  } rows[] = {
      {0, ".", "00000.000"},
      {5250, ".", "00005.250"},
      {12345, ".", "00012.345"},
      {99999999, ".", "99999.999"},
      {100000000, ".", "100000.000"},
      {-500, ".", "-00000.500"},
      {1500, "x", "00001.500"},  // separator absent: left as formatted
      {std::int64_t{1} << 31, ".", ""},  // does not fit 32 bits
  };
  for (const Row& r : rows) EXPECT_EQ(rav::FormatTraceTime(r.ms, r.sep), r.text) << r.ms;
}

TEST(TraceTime, CommaLocaleStillUsesPoint) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "German_Germany.1252")) {
    GTEST_SKIP() << "no German locale installed";
  }
  EXPECT_EQ(rav::FormatTraceTime(5250, ","), "00005.250");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

class TrapTest : public TraceTest {};

std::string FailAfterAssigning(std::string partial) {
  std::string result;
  Traced("modIniHandler", "Function GetINIString", [&] {
    result = partial;
    throw RuntimeError(kErrFileNotFound);
  });
  return result;
}

TEST_F(TrapTest, FunctionReturnsWhatItsResultHeldAndReportFollowsExit) {
  OpenViewer();
  process_.exe = "/opt/Apps/QuillonSrv";
  EXPECT_EQ(FailAfterAssigning("half"), "half");
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text,
            "Ravelin reports /opt/Apps/QuillonSrv program error #53 (File not found) "
            "occurred in module modIniHandler, Function GetINIString, line 0.");
  EXPECT_EQ(ui_.boxes[0].title, "Unexpected Error");
  EXPECT_EQ(ui_.boxes[0].type, 0x12u);
  auto texts = windows_.Texts();
  ASSERT_EQ(texts.size(), 4u);  // banner, entry, error, exit
  EXPECT_EQ(texts[2],
            "[QuillonSrv] ERROR 53 \"File not found\" at modIniHandler : Function GetINIString : 0\r\n");
  EXPECT_EQ(texts[3].substr(0, 24), "[QuillonSrv] [00002] [00");
  EXPECT_NE(texts[3].find("] <-modIniHandler : Function GetINIString : \r\n"), std::string::npos);
  EXPECT_EQ(rav::Err().Number, 0);  // cleared by the report
  EXPECT_EQ(rav::g_trace.lTraceDepth, 0);
}

TEST_F(TrapTest, EveryKindOfExceptionBecomesARuntimeError) {
  struct Row {
    std::function<void()> raise;
    std::int32_t number;
    const char* description;
  } rows[] = {
      {[] { throw RuntimeError(kErrPathNotFound); }, 76, "Path not found"},
      {[] { throw std::bad_alloc(); }, 7, "Out of memory"},
      {[] { std::vector<int>().at(3); }, 9, "Subscript out of range"},
      {[] { throw std::overflow_error("x"); }, 6, "Overflow"},
      {[] { (void)std::stoi("abc"); }, 13, "Type mismatch"},
      {[] { throw 42; }, 51, "Internal error"},
  };
  for (const Row& r : rows) {
    ui_.boxes.clear();
    bool went_on = false;
    Traced("frmMain", "Sub WriteLog", [&] { r.raise(); });
    went_on = true;
    EXPECT_TRUE(went_on);
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_NE(ui_.boxes[0].text.find("program error #" + std::to_string(r.number) + " (" +
                                     r.description + ")"),
              std::string::npos)
        << ui_.boxes[0].text;
  }
}

TEST_F(TrapTest, WithoutViewerTheBoxIsStillShown) {
  Traced("frmMain", "Sub WriteLog", [] { throw RuntimeError(kErrPermission); });
  EXPECT_TRUE(windows_.sent.empty());
  EXPECT_EQ(ui_.boxes.size(), 1u);
}

TEST(ErrorMessage, EndingNamesTheRemoteComponent) {
  struct Row {
    const char* source;
    const char* description;
    const char* ending;
  } rows[] = {
      {"QuillonSrv", "File not found", "line 0."},
      {"1C:\\Apps\\Comp.dll!x!y", "File not found",
       "line 0. This error was generated remotely by C:\\Apps\\Comp.dll, a component of "
       "C:\\Apps\\QuillonSrv.exe."},
      {"  2/opt/comp.so!z", "File not found",
       "line 0. This error was generated remotely by  2/opt/comp.so, a component of "
       "C:\\Apps\\QuillonSrv.exe."},
      {"0C:\\Apps\\Comp.dll!x", "File not found", "line 0."},
      {"7 no bang", "File not found", "line 0."},
      {"", "File not found", "line 0."},
  };
  for (const Row& r : rows) {
    rav::ErrObject err;
    err.Number = 53;
    err.Description = r.description;
    err.Source = r.source;
    std::string msg = rav::BuildErrorMessage("C:\\Apps\\QuillonSrv.exe", err, "modIniHandler",
                                             "Function GetINIString");
    EXPECT_TRUE(msg.ends_with(r.ending)) << r.source << " -> " << msg;
    EXPECT_TRUE(msg.starts_with("Ravelin reports C:\\Apps\\QuillonSrv.exe program error #53 "
                                "(File not found) occurred in module modIniHandler, Function "
                                "GetINIString, line 0"));
  }
}

TEST(ErrorMessage, ViewerLineKeepsQuotesOfTheDescription) {
  rav::ErrObject err;
  err.Number = 75;
  err.Description = "say \"hi\"";
  EXPECT_EQ(rav::BuildViewerErrorLine("QuillonSrv", err, "frmMain", "Sub WriteLogFile"),
            "[QuillonSrv] ERROR 75 \"say \"hi\"\" at frmMain : Sub WriteLogFile : 0\r\n");
}

}  // namespace
}  // namespace qs
