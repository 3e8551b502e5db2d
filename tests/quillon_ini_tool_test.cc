// quillon-ini as scripts use it: exact bytes out, changes in place.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace qs {
namespace {

struct ToolRun {
  int status;
  std::string out;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

ToolRun Tool(const std::vector<std::string>& args) {
  std::string cmd = Quote(QS_QUILLON_INI);
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " 2>/dev/null";
  ToolRun r{-1, {}};
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST(QuillonIniTool, GetWritesExactlyTheReadersBytes) {
  test::TempDir dir;
  std::string f = dir.Join("Quillon.ini");
  test::WriteBytes(f, "[Options]\r\nLogSize=  250\r\nPath=\"C:\\a b\"\r\n");
  EXPECT_EQ(Tool({"get", f, "Options", "LogSize"}).out, "250");
  EXPECT_EQ(Tool({"get", f, "options", "PATH"}).out, "C:\\a b");
  EXPECT_EQ(Tool({"get", f, "Options", "Missing", "dflt  "}).out, "dflt");
  EXPECT_EQ(Tool({"get", f, "Options", "LogSize", "", "3"}).out, "25");
  ToolRun missing = Tool({"get", dir.Join("none.ini"), "Options", "LogSize", "100"});
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.out, "100");
}

TEST(QuillonIniTool, SetChangesOneLineAndBadArgumentsFail) {
  test::TempDir dir;
  std::string f = dir.Join("Quillon.ini");
  test::WriteBytes(f, "; product settings\n[Options]\nWriteLog=0\n\n[ErrWin]\nShowDate=1\n");
  EXPECT_EQ(Tool({"set", f, "Options", "WriteLog", "1"}).status, 0);
  EXPECT_EQ(test::ReadBytes(f), "; product settings\n[Options]\nWriteLog=1\n\n[ErrWin]\nShowDate=1\n");
  EXPECT_EQ(Tool({"set", dir.Join("no") + "/x.ini", "A", "B", "C"}).status, 1);
  // A line break in any text would make a line of the caller's choosing.
  EXPECT_EQ(Tool({"set", f, "Options", "WriteLog", "1\n[JobWin]\nNoDiskSizeCheck=1"}).status, 2);
  EXPECT_EQ(Tool({"set", f, "Options\r", "WriteLog", "1"}).status, 2);
  EXPECT_EQ(Tool({"get", f, "Options", "WriteLog", "", "abc"}).status, 2);
  EXPECT_EQ(Tool({"get", f, "Options", "WriteLog", "", "40000"}).status, 2);
  EXPECT_EQ(Tool({"frobnicate"}).status, 2);
  EXPECT_EQ(Tool({"get", f}).status, 2);
}

}  // namespace
}  // namespace qs
#endif
