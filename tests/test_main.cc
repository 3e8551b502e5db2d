// The test program's entry. A crash ends it with a non-zero code (under
// Wine a crash can otherwise end a process with 0).
#include <gtest/gtest.h>

#include "platform/platform.h"

int main(int argc, char** argv) {
  qs::platform::ExitOnCrash();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
