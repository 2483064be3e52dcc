// The calling thread's context as a host sees it: mark, debug level, the
// error code helpers, the recorded place and the thread's own state.
#include <gtest/gtest.h>
#include <psapi.h>
#include <zorvel.h>

#include <functional>
#include <string>
#include <vector>

#include "core_util.h"
#include "test_util.h"

namespace {

// Restores the library-wide debug level after a test that changes it.
class DebugLevel : public testing::Test {
 protected:
  void SetUp() override { saved_ = SetDebugLevel(-1); }
  void TearDown() override { SetDebugLevel(saved_); }
  int saved_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- mark

TEST(Mark, FreshThreadHasAnEmptyMarkInOneBuffer) {
  tu::run_thread([] {
    char* first = getsmark();
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("", first);
    util_set_mark("NET");
    EXPECT_EQ(first, getsmark());
    EXPECT_STREQ("NET", first);
  });
}

TEST(Mark, LengthRule) {
  static const struct {
    const char* given;
    const char* kept;
  } kCases[] = {
      {"NET", "NET"},
      {"ABCDEFG", "ABCDEFG"},              // 7: whole
      {"ABCDEFGH", "ABCDEF"},              // 8: first six, not seven
      {"ABCDEFGHIJKLMNOPQRST", "ABCDEF"},  // 20: first six
      {"", ""},                            // clears
  };
  tu::run_thread([] {
    for (const auto& c : kCases) {
      util_set_mark("OLD");
      std::string given = c.given;
      util_set_mark(given.c_str());
      EXPECT_STREQ(c.kept, getsmark()) << c.given;
      EXPECT_EQ(c.given, given);  // the caller's text is left alone
    }
  });
}

TEST(Mark, EachThreadHasItsOwn) {
  util_set_mark("MAIN");
  tu::run_thread([] {
    EXPECT_STREQ("", getsmark());
    util_set_mark("T1");
    EXPECT_STREQ("T1", getsmark());
  });
  EXPECT_STREQ("MAIN", getsmark());
  util_set_mark("");
}

// ---------------------------------------------------------------- debug level

TEST_F(DebugLevel, SetReturnsThePreviousLevelAndMinusOneOnlyQueries) {
  EXPECT_EQ(0, SetDebugLevel(-1));  // 0 from load
  EXPECT_EQ(0, SetDebugLevel(3));
  EXPECT_EQ(3, SetDebugLevel(-1));
  EXPECT_EQ(3, SetDebugLevel(-7));
  EXPECT_EQ(3, SetDebugLevel(0));
  EXPECT_EQ(0, SetDebugLevel(-1));
}

TEST(ContextChild, DISABLED_Devent) {
  devent(0, "level 0 at 0");
  devent(1, "level 1 at 0");
  SetDebugLevel(2);
  devent(1, "level 1 at 2");
  devent(2, "level 2 at 2");
  devent(3, "level 3 at 2");
  devent(9, "level 9 at 2");
  SetDebugLevel(9);
  devent(9, "level 9 at 9");
}

TEST(Devent, WrittenOnlyUpToTheDebugLevel) {
  cu::Capture c = cu::capture_child("ContextChild.DISABLED_Devent");
  EXPECT_EQ((std::vector<std::string>{"0|level 0 at 0", "1|level 1 at 2",
                                      "2|level 2 at 2", "9|level 9 at 9"}),
            cu::typed_rests(c.out))
      << c.out;
  EXPECT_EQ("", c.err);
}

// ---------------------------------------------------------------- last error

TEST(Seterror, SetsTheApplicationBit) {
  static const struct {
    unsigned long given, expected;
  } kCases[] = {{5, 0x20000005},
                {0, 0x20000000},
                {0x20000005, 0x20000005},
                {0xC0000005, 0xE0000005}};
  for (const auto& c : kCases) {
    SetLastError(1);
    seterror(c.given);
    EXPECT_EQ(c.expected, GetLastError()) << c.given;
  }
}

TEST(LastError, EveryCallLeavesTheCallersCode) {
  // Hosts call these between a failed call and its report.
  static const struct {
    const char* name;
    void (*call)();
  } kCalls[] = {
      {"event", [] { event("x"); }},
      {"devent written", [] { devent(0, "x"); }},
      {"devent filtered", [] { devent(9, "x"); }},
      {"warning", [] { warning("x"); }},
      {"error", [] { error("x"); }},
      {"getsmark", [] { getsmark(); }},
      {"util_set_mark", [] { util_set_mark("M"); }},
      {"setbanner", [] { setbanner(""); }},
      {"place", [] { place("f.cpp", 1); }},
      {"SetDebugLevel", [] { SetDebugLevel(-1); }},
  };
  for (const auto& c : kCalls) {
    // A fresh thread: the first call also allocates the thread's buffers.
    DWORD seen = 0;
    tu::run_thread([&] {
      SetLastError(ERROR_FILE_NOT_FOUND);
      c.call();
      seen = GetLastError();
    });
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, seen) << c.name;
  }
}

// ---------------------------------------------------------------- place

TEST(ContextChild, DISABLED_Place) {
  SetLastError(2);
  oserrori("before");
  place("C:\\src\\net\\listener.cpp", 120);
  SetLastError(2);
  oserrori("after");
  tu::run_thread([] {
    SetLastError(2);
    oserrori("other thread");
  });
}

TEST(Place, EmptyUntilRecordedAndKeptPerThread) {
  cu::Capture c = cu::capture_child("ContextChild.DISABLED_Place");
  std::string running = "Running " + tu::exe_path() + ": ";
  std::vector<std::string> lines = cu::typed_rests(c.out);
  ASSERT_EQ(3u, lines.size()) << c.out;
  EXPECT_EQ(0u, lines[0].find("O|" + running + "( at 0)before")) << lines[0];
  EXPECT_EQ(0u, lines[1].find("O|" + running + "(listener.cpp at 120)after"))
      << lines[1];
  EXPECT_EQ(0u, lines[2].find("O|" + running + "( at 0)other thread"))
      << lines[2];
}

// ---------------------------------------------------------------- lifetime

static SIZE_T private_bytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;
}

static DWORD WINAPI short_lived(LPVOID) {
  util_set_mark("SHORT");
  setbanner("b ");
  event("short-lived thread");
  return 0;
}

static void run_short_lived(int count) {
  for (int i = 0; i < count; ++i) {
    HANDLE h = CreateThread(NULL, 0, short_lived, NULL, 0, NULL);
    ASSERT_NE(nullptr, h);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
}

TEST(ContextChild, DISABLED_ShortLivedThreads) {
  run_short_lived(50);  // let the heap settle
  SIZE_T before = private_bytes();
  run_short_lived(400);
  SIZE_T after = private_bytes();
  // Each thread takes over 4 KB of buffers: kept, they would add 1.7 MB.
  EXPECT_LT(after, before + 1024 * 1024)
      << "before " << before << " after " << after;
}

TEST(Lifetime, ShortLivedThreadsGiveTheirBuffersBack) {
  cu::Capture c = cu::capture_child("ContextChild.DISABLED_ShortLivedThreads");
  EXPECT_EQ(0u, c.code) << c.out.substr(
      c.out.size() > 3000 ? c.out.size() - 3000 : 0);
  EXPECT_EQ(450u, cu::library_lines(c.out).size());
}
