// Entry of the internal test programs: the library's objects are linked in,
// so the test program plays the loader's part.
#include <gtest/gtest.h>

#include "test_util.h"
#include "zorvel_int.h"

int main(int argc, char** argv) {
  if (!lib_process_attach(GetModuleHandleA(NULL))) return 2;
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  tu::wait_for_thread_starts();
  lib_process_detach();
  return result;
}
