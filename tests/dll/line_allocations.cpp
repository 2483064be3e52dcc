// A thread's lines allocate nothing on the heap after its first call.
#include <gtest/gtest.h>

#include "alloc_util.h"
#include "child_util.h"
#include "test_util.h"
#include "zorvel.h"

static const int kLines = 40;

// Each writing call, once to let the thread create its buffers, then
// kLines times while allocations are counted. oserrori and socerrori are
// left out: the system's FormatMessageA, which looks up their description,
// allocates inside itself on every call under Wine.
TEST(LineAllocationsChild, DISABLED_EveryCall) {
  std::string dir = tu::fresh_dir();
  util_init((dir + "events.log").c_str(), (dir + "errors.log").c_str(), "NET",
            NULL);
  setbanner("b: ");
  place("C:\\src\\listener.cpp", 120);
  SetDebugLevel(1);
  void (*const calls[])(int) = {
      [](int i) { event("event %d", i); },
      [](int i) { devent(1, "written %d", i); },
      [](int i) { devent(2, "suppressed %d", i); },
      [](int i) { warning("warning %d", i); },
      [](int i) { error("error %d", i); },
  };
  for (auto call : calls) call(0);
  for (size_t c = 0; c < sizeof calls / sizeof calls[0]; ++c) {
    au::count_start();
    for (int i = 0; i < kLines; ++i) calls[c](i);
    EXPECT_EQ(0, au::count_stop()) << "call " << c;
  }
  // The counting itself sees what the calls would allocate.
  au::count_start();
  void* volatile block = malloc(16);
  free(block);
  EXPECT_LE(1, au::count_stop());
}

TEST(LineAllocations, NoneAfterTheThreadsFirstLine) {
  std::string dir = tu::fresh_dir();
  EXPECT_EQ(0u, ch::run_child("LineAllocationsChild.DISABLED_EveryCall",
                              dir + "out.txt", dir + "err.txt"))
      << tu::read_file(dir + "out.txt");
}
