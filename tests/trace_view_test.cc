// How the trace viewers of both systems show what they receive, and their
// options. (The viewer programs themselves run in the trace scenario.)
#include "tools/trace_view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

namespace qs::tools {
namespace {

TEST(TraceView, ShowsLinesPlainRawAndAsTree) {
  const std::string kIni = "modIniHandler : Function GetINIString : ";
  struct Row {
    std::string shown;  // plain: each line with a line feed; received with CR LF
    std::string tree;   // the tree view, "" for the same
    std::string paint;  // the colour it starts with, "" for none
  } rows[] = {
      {"QuillonSrv START RAVELIN 6.60 LITE 12-04-2026,19:36:12\n", "", "\x1b[1m"},
      {"[QuillonSrv] [00001] [00000.002] ->frmMain : Sub RunRTMonitor : \n",
       "[QuillonSrv] [00001] [00000.002] -> frmMain : Sub RunRTMonitor : \n", "\x1b[32m"},
      {"[QuillonSrv] [00002] [00000.003] ->\t\t" + kIni + "\n",
       "[QuillonSrv] [00002] [00000.003] ->     " + kIni + "\n", "\x1b[32m"},
      {"[QuillonSrv] ERROR 53 \"Datei \xFC\" at " + kIni + "0\n", "", "\x1b[31m"},
      {"[QuillonSrv] [00003] [00000.004] <-\t\t" + kIni + "\n",
       "[QuillonSrv] [00003] [00000.004] <-     " + kIni + "\n", "\x1b[34m"},
      {"two\nlines\n", "", ""},
  };
  TraceViewOptions plain, raw, tree;
  raw.raw = tree.tree = true;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.shown);
    std::string received;
    for (char c : r.shown) received += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(RenderTraceText(received, plain, true), r.shown);
    EXPECT_EQ(RenderTraceText(received, raw, true), received);
    const std::string t = r.tree.empty() ? r.shown : r.tree;
    EXPECT_EQ(RenderTraceText(received, tree, false), t);
    EXPECT_EQ(RenderTraceText(received, tree, true),
              r.paint.empty() ? t : r.paint + t.substr(0, t.size() - 1) + "\x1b[0m\n");
  }
  EXPECT_EQ(RenderTraceText("no line end", plain, false), "no line end\n");
  // Control bytes (a C1 one in UTF-8 too) show as codes; tabs indent.
  EXPECT_EQ(RenderTraceText("\x1b[2J\a\rb\x7f\xC2\x9B\xC2\xA0\r\n", plain, false),
            "\\x1B[2J\\x07\\x0Db\\x7F\\x9B\xC2\xA0\n");
  EXPECT_EQ(RenderTraceText("[Q] [1] [0] ->\t\x1b[2J", tree, false), "[Q] [1] [0] ->   \\x1B[2J\n");
}

// The options give the exit code + 1 when the viewer is not to run (help
// 0, a wrong use 2). Colours: as asked, else on a terminal.
TEST(TraceView, OptionsAndColours) {
  struct Row {
    std::vector<const char*> args;
    int result;
    std::tuple<bool, bool, int, std::string> wanted{};  // tree, raw, color, title
  } rows[] = {
      {{}, 0, {false, false, -1, "Ravelin"}},
      {{"--tree", "--no-color", "Ravelin - x"}, 0, {true, false, 0, "Ravelin - x"}},
      {{"--raw", "--colour", "--", "--odd"}, 0, {false, true, 1, "--odd"}},
      {{"--help"}, 1}, {{"--bogus"}, 3}, {{"--tree", "--raw"}, 3}, {{"a", "b"}, 3},
  };
  for (const Row& r : rows) {
    std::vector<char*> argv = {const_cast<char*>("quillon-trace")};
    for (const char* a : r.args) argv.push_back(const_cast<char*>(a));
    TraceViewOptions o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParseTraceViewOptions(static_cast<int>(argv.size()), argv.data(), "", &o), r.result)
        << testing::PrintToString(r.args);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    if (r.result == 0) {
      EXPECT_EQ(std::tie(o.tree, o.raw, o.color, o.title), r.wanted);
    }
    // Colours as asked, else none where the output is no terminal.
    EXPECT_EQ(ColorWanted(o, false), o.color == 1);
  }
}

}  // namespace
}  // namespace qs::tools
