// quillon-ini as scripts use it, run as a program on a real file: exact
// bytes out, changes in place, and the exit codes of a failed write (1) and
// of a wrong command line (2).
#ifndef _WIN32
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/run_tool.h"
#include "tests/test_support.h"

namespace qs {
namespace {

TEST(QuillonIniTool, GetWritesTheReadersBytesSetChangesOneLine) {
  test::TempDir dir;
  const std::string f = dir.Join("Quillon.ini");
  test::WriteBytes(f, "; settings\n[Options]\nLogSize=  250\nPath=\"C:\\a b\"\n\n[ErrWin]\n");
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;
  } rows[] = {
      {{"get", f, "Options", "Path"}, 0, "C:\\a b"},
      {{"get", f, "Options", "LogSize", "", "3"}, 0, "25"},
      {{"get", dir.Join("none.ini"), "Options", "LogSize", "100"}, 0, "100"},
      {{"set", f, "Options", "LogSize", "1"}, 0, ""},
      {{"set", dir.Join("no") + "/x.ini", "A", "B", "C"}, 1, ""},
      // A line break in any text would make a line of the caller's choosing.
      {{"set", f, "Options", "LogSize", "1\n[JobWin]\nNoDiskSizeCheck=1"}, 2, ""},
      {{"set", f, "Options\r", "LogSize", "1"}, 2, ""},
      {{"get", f, "Options", "LogSize", "", "abc"}, 2, ""},
      {{"get", f, "Options", "LogSize", "", "40000"}, 2, ""}, {{"frobnicate"}, 2, ""},
      {{"get", f}, 2, ""},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(test::RunTool({QS_QUILLON_INI}, r.args, "2>/dev/null"), std::pair(r.status, r.out))
        << r.args[0] << " " << r.args.back();
  }
  EXPECT_EQ(test::ReadBytes(f),
            "; settings\n[Options]\nLogSize=  1\nPath=\"C:\\a b\"\n\n[ErrWin]\n");
}

}  // namespace
}  // namespace qs
#endif
