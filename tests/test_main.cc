// The test program's entry. Under Wine a crash can end a process with exit
// code 0, so on Windows an unhandled exception ends it with code 3 instead.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

static LONG WINAPI DieOnCrash(EXCEPTION_POINTERS*) {
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  SetUnhandledExceptionFilter(DieOnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
