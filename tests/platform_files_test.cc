// The system's file-system object as the log writers and INI tools rely on
// it; on the real disk, since the system's calls are what is tested.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "logging/mod_size.h"
#include "platform/platform.h"
#include "platform/runtime_error.h"
#include "tests/fakes.h"
#include "tests/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace qs {
namespace {

using test::ErrorOf;

platform::FileSystem& Fs() { return platform::OsFileSystem(); }

TEST(FileSystem, BuildPathPutsExactlyOneSeparator) {
  const std::string s = test::Sep(), xy = "x" + s + "y";
  const std::string rows[][3] = {
      {"x", "y", xy}, {"x" + s, "y", xy}, {"x", s + "y", xy}, {"x" + s, s + "y", xy},
      {"x" + s + s, "y", xy}, {"", "y", "y"}, {"x", "", "x"},
  };
  for (const auto& [a, b, joined] : rows) {
    EXPECT_EQ(Fs().BuildPath(a, b), joined) << a << "+" << b;
  }
  EXPECT_EQ(Fs().GetBaseName("a" + s + "archive.tar.gz"), "archive.tar");
  EXPECT_EQ(Fs().GetBaseName("a" + s + ".hidden"), ".hidden");
}

TEST(FileSystem, MissingFileAndMissingFolderGiveTheirOwnErrors) {
  test::TempDir dir;
  const std::string file = dir.Join("nothing.txt");
  const std::string in_folder = dir.Join("no") + test::Sep() + "nothing.txt";
  const std::function<void(const std::string&)> kCalls[] = {
      [](const std::string& p) { Fs().AppendText(p, ""); },
      [](const std::string& p) { Fs().ReadTail(p, 1); },
      [](const std::string& p) { Fs().DeleteFile(p, false); },
      [](const std::string& p) { Fs().DeleteFile(p, true); },
  };
  for (std::size_t i = 0; i < std::size(kCalls); ++i) {
    EXPECT_EQ(ErrorOf([&] { kCalls[i](file); }), kErrFileNotFound) << i;
    EXPECT_EQ(ErrorOf([&] { kCalls[i](in_folder); }), kErrPathNotFound) << i;
  }
  EXPECT_EQ(ErrorOf([&] { Fs().ReplaceFile(in_folder, "x"); }), kErrPathNotFound);
  EXPECT_EQ(ErrorOf([&] { Fs().CreateTextFile(in_folder, true); }), kErrPathNotFound);
  EXPECT_EQ(Fs().FileLength(in_folder), -1);
}

TEST(FileSystem, TextFilesAreCreatedOnlyWhenAskedAndReadFromTheirTail) {
  test::TempDir dir;
  std::string f = dir.Join("log.txt");
  Fs().CreateTextFile(f, true);
  Fs().AppendText(f, "a\r\n");
  Fs().AppendText(f, "b\r\n");
  EXPECT_EQ(Fs().ReadTail(f, 0), "");
  EXPECT_EQ(Fs().ReadTail(f, 4), "\nb\r\n");
  EXPECT_EQ(Fs().ReadTail(f, 1000), "a\r\nb\r\n");
  EXPECT_EQ(Fs().FileLength(f), 6);
  EXPECT_EQ(ErrorOf([&] { Fs().CreateTextFile(f, false); }), kErrFileExists);
  Fs().CreateTextFile(f, true);
  EXPECT_EQ(Fs().FileLength(f), 0);
  EXPECT_FALSE(Fs().FileExists(dir.path()));
  EXPECT_TRUE(Fs().FolderExists(dir.path()));
}

// A read-only file refuses writes, root's too, but yields to a forced
// delete; a refused replacement leaves no temporary file behind.
TEST(FileSystem, ReadOnlyFilesRefuseWritesUnlessDeletedWithForce) {
  test::TempDir dir;
  const std::string f = dir.Join("Sales_Log.txt");
  test::WriteBytes(f, "keep");
#ifdef _WIN32
  ASSERT_TRUE(::SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_READONLY));
#else
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
#endif
  EXPECT_EQ(ErrorOf([&] { Fs().ReplaceFile(f, "lost"); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { Fs().AppendText(f, "lost"); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { Fs().CreateTextFile(f, true); }), kErrPermission);
  EXPECT_EQ(ErrorOf([&] { Fs().DeleteFile(f, false); }), kErrPermission);
  EXPECT_EQ(test::ReadBytes(f), "keep");
  EXPECT_EQ(test::FolderEntries(dir.path()), std::vector<std::string>{"Sales_Log.txt"});
  Fs().DeleteFile(f, true);
  EXPECT_TRUE(test::FolderEntries(dir.path()).empty());
}

TEST(FileSystem, DiskFreeOfAFolderOrDrive) {
  test::TempDir dir;
#ifndef _WIN32
  EXPECT_GT(modSize::GetDiskFree(Fs(), dir.path()), 0);
  EXPECT_EQ(modSize::GetDiskFree(Fs(), dir.Join("missing")), -1);
#else
  // The drive is made current for the query, and the folder before it
  // current again: the test's drive, and another one (Wine's Z:).
  char before[MAX_PATH] = {}, after[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, before);
  for (std::string drive : {std::string(dir.path(), 0, 2), std::string("Z:")}) {
    EXPECT_GT(modSize::GetDiskFree(Fs(), drive), 0) << drive;
    ::GetCurrentDirectoryA(MAX_PATH, after);
    EXPECT_STREQ(after, before);
  }
#endif
}

}  // namespace
}  // namespace qs
