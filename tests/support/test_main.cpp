// Entry of the test programs that use zorvel.dll.
#include <gtest/gtest.h>

#include "test_util.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  tu::wait_for_thread_starts();
  return result;
}
