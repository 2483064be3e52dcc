// Path resolution: names resolve against the executable's directory.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <ostream>
#include <string>

#include "support_util.h"
#include "test_util.h"
#include "text_cases.h"
#include "zorvel_int.h"

namespace {

using tc::PathCase;

class PathTable : public testing::TestWithParam<PathCase> {};

TEST_P(PathTable, ResolvesAgainstTheGivenExecutable) {
  const PathCase& c = GetParam();
  char dst[PATH_SIZE];
  memset(dst, '#', sizeof dst);
  EXPECT_EQ(c.result, resolve_path_from(dst, c.src, c.exe));
  EXPECT_STREQ(c.expected, dst);
}

INSTANTIATE_TEST_SUITE_P(Rules, PathTable, testing::ValuesIn(tc::kPathCases));

TEST(ResolvePath, NullNameGivesTheEmptyName) {
  char dst[PATH_SIZE] = "old";
  EXPECT_EQ(0, resolve_path_from(dst, nullptr, "C:\\srv\\bin\\app.exe"));
  EXPECT_STREQ("", dst);
  strcpy(dst, "old");
  EXPECT_EQ(0, resolve_path(dst, nullptr));
  EXPECT_STREQ("", dst);
}

TEST(ResolvePath, UsesTheRealExecutableDirectory) {
  char exe[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(NULL, exe, MAX_PATH), 0u);
  std::string dir = tu::exe_dir();
  std::string parent = dir.substr(0, dir.rfind('\\', dir.size() - 2));
  char dst[PATH_SIZE];
  EXPECT_EQ(0, resolve_path(dst, "x.log"));
  EXPECT_EQ(dir + "x.log", dst);
  EXPECT_EQ(0, resolve_path(dst, ".\\x.log"));
  EXPECT_EQ(dir + "x.log", dst);
  EXPECT_EQ(0, resolve_path(dst, "..\\x.log"));
  EXPECT_EQ(parent + "\\x.log", dst);
  EXPECT_EQ(0, resolve_path(dst, "C:\\x.log"));
  EXPECT_STREQ("C:\\x.log", dst);
}

TEST(ResolvePath, ResolvingTwiceChangesNothing) {
  char once[PATH_SIZE];
  char twice[PATH_SIZE];
  ASSERT_EQ(0, resolve_path(once, ".\\logs\\x.log"));
  ASSERT_EQ(0, resolve_path(twice, once));
  EXPECT_STREQ(once, twice);
}

TEST(ResolvePath, DestinationMayBeTheSource) {
  char buffer[PATH_SIZE] = "..\\x.log";
  EXPECT_EQ(0, resolve_path_from(buffer, buffer, "C:\\srv\\bin\\app.exe"));
  EXPECT_STREQ("C:\\srv\\x.log", buffer);
}

// ------------------------------------------------ lengths, at a dead page

struct LengthCase {
  const char* exe;
  std::string src;
  size_t resolved_length;  // what the name would resolve to
};

// Runs one resolution with the name and a PATH_SIZE destination each ending
// at an inaccessible page; a name that fits must arrive whole, a longer one
// is refused, and nothing may touch the pages.
void check_length(const LengthCase& c) {
  SCOPED_TRACE(c.src.size());
  std::unique_ptr<su::GuardedBuffer> src(su::GuardedBuffer::text(c.src));
  su::GuardedBuffer dst(PATH_SIZE);
  su::FaultWatch watch;
  int result = resolve_path_from(dst.data(), src->data(), c.exe);
  EXPECT_EQ(0, watch.count());
  if (c.resolved_length < PATH_SIZE) {
    EXPECT_EQ(0, result);
    EXPECT_EQ(c.resolved_length, strlen(dst.data()));
  } else {
    EXPECT_EQ(1, result);
    EXPECT_STREQ("", dst.data());
  }
}

TEST(ResolvePath, NamesLongerThanAPathFieldAreRefused) {
  const char* exe = "C:\\srv\\bin\\app.exe";  // directory: 11 characters
  for (size_t n :
       {1u, 247u, 248u, 249u, 258u, 259u, 260u, 511u, 512u, 600u, 5000u}) {
    std::string name(n, 'n');
    check_length({exe, name, 11 + n});
    check_length({exe, "C:" + name, 2 + n});
    check_length({nullptr, name, n});
    check_length({exe, ".\\" + name, 10 + 1 + n});
    check_length({exe, "..\\" + name, 6 + 1 + n});
    check_length({exe, "....\\" + name, 1 + n});
    check_length({exe, std::string(n + 1, '.'), 9999});  // no backslash
  }
}

// Never the name as given, which would land in the working directory.
TEST(ResolvePath, LongExecutablePathsAreUsedWhole) {
  std::string exe = "C:\\" + std::string(300, 'd') + "\\app.exe";
  char dst[PATH_SIZE] = "old";
  EXPECT_EQ(1, resolve_path_from(dst, "x.log", exe.c_str()));
  EXPECT_STREQ("", dst);
  EXPECT_EQ(1, resolve_path_from(dst, ".\\x.log", exe.c_str()));
  EXPECT_STREQ("", dst);
  EXPECT_EQ(0, resolve_path_from(dst, "..\\x.log", exe.c_str()));
  EXPECT_STREQ("C:\\x.log", dst);
}

// ------------------------------------------------ faults inside the call

TEST(ResolvePath, UnreadableNameIsCaught) {
  char dst[PATH_SIZE] = "old";
  su::FaultWatch watch;
  EXPECT_EQ(1, resolve_path_from(dst, su::no_access_page(), "C:\\a.exe"));
  EXPECT_EQ(1, watch.count());
  EXPECT_STREQ("", dst);
}

TEST(ResolvePath, UnwritableDestinationIsCaught) {
  su::FaultWatch watch;
  EXPECT_EQ(1, resolve_path_from(su::no_access_page(), "x.log", "C:\\a.exe"));
  // The failed write and the failed clearing.
  EXPECT_EQ(2, watch.count());
  EXPECT_EQ((ULONG_PTR)su::no_access_page(), watch.last_address());
}

TEST(ResolvePath, UnreadableExecutablePathIsCaught) {
  char dst[PATH_SIZE] = "old";
  su::FaultWatch watch;
  EXPECT_EQ(1, resolve_path_from(dst, "x.log", su::no_access_page()));
  EXPECT_EQ(1, watch.count());
  EXPECT_STREQ("", dst);
}

}  // namespace
