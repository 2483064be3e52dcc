// The pure text routines, natively: the rule tables the tests under Wine use,
// and the tables of the line's bounded append, its CR LF staging and the
// rotation entry.
#include "text.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "text_cases.h"

namespace {

// scan, without its guard and heap copies: the driver on writable copies.
void scan_copy(const char* src, const char* fmt, ...) {
  std::vector<char> s(src, src + strlen(src) + 1);
  std::vector<char> f(fmt, fmt + strlen(fmt) + 1);
  va_list args;
  va_start(args, fmt);
  scan_fields(s.data(), f.data(), &args);
  va_end(args);
  EXPECT_STREQ(fmt, f.data()) << "the format gets back every byte";
}

TEST(Scan, StoresEachFieldByTheTable) {
  for (const tc::ScanCase& c : tc::kScanCases) {
    SCOPED_TRACE(testing::PrintToString(c));
    tc::Dest dest[3];
    const size_t n = strlen(c.kinds);
    scan_copy(c.src, c.fmt, dest[0].pointer(c.kinds[0]),
              n > 1 ? dest[1].pointer(c.kinds[1]) : nullptr,
              n > 2 ? dest[2].pointer(c.kinds[2]) : nullptr);
    for (size_t i = 0; i < n; ++i)
      EXPECT_EQ(c.expected[i], dest[i].shown(c.kinds[i])) << "field " << i;
  }
}

TEST(Trim, RemovesBlanksAtEitherEnd) {
  for (const tc::TrimCase& c : tc::kTrimCases) {
    std::string left = c.text, right = c.text, both = c.text;
    trim_left(&left[0]);
    trim_right(&right[0]);
    trim(&both[0]);
    EXPECT_STREQ(c.left, left.c_str()) << c.text;
    EXPECT_STREQ(c.right, right.c_str()) << c.text;
    EXPECT_STREQ(c.both, both.c_str()) << c.text;
  }
}

// resolve_path empties dst when the joiner refuses; the joiner itself only
// reports it.
TEST(PathBuild, ResolvesByTheTable) {
  for (const tc::PathCase& c : tc::kPathCases) {
    SCOPED_TRACE(testing::PrintToString(c));
    char dst[PATH_SIZE];
    memset(dst, '#', sizeof dst);
    ASSERT_EQ(c.result, path_build(dst, c.src, c.exe));
    if (c.result == 0) EXPECT_STREQ(c.expected, dst);
  }
}

TEST(PathBuild, RefusesWhatWouldNotFitAndMayWorkInPlace) {
  const std::string exe = "C:\\srv\\bin\\app.exe";
  const std::string dir = "C:\\srv\\bin\\";
  char dst[PATH_SIZE];
  std::string fits(PATH_SIZE - 1 - dir.size(), 'a');
  EXPECT_EQ(0, path_build(dst, fits.c_str(), exe.c_str()));
  EXPECT_EQ(dir + fits, dst);
  EXPECT_EQ(1, path_build(dst, (fits + "a").c_str(), exe.c_str()));
  char same[PATH_SIZE] = "..\\x.log";
  EXPECT_EQ(0, path_build(same, same, exe.c_str()));
  EXPECT_STREQ("C:\\srv\\x.log", same);
}

TEST(BaseName, PartAfterTheLastSeparator) {
  for (const auto& c : tc::kBaseNameCases)
    EXPECT_STREQ(c.name, base_name(c.path)) << c.path;
  EXPECT_STREQ("", base_name(nullptr));
}

int format_at(char* cursor, size_t room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = msg_format_at(cursor, room, format, args);
  va_end(args);
  return n;
}

TEST(FormatAt, BoundedByTheLimitAndTheRoom) {
  for (const tc::AppendCase& c : tc::kAppendCases) {
    SCOPED_TRACE(testing::Message()
                 << "room " << c.room << ", length " << c.length);
    std::string text(c.length, 'a');
    std::vector<char> buffer(c.room + 1, '#');  // one guard byte
    EXPECT_EQ(c.appended, format_at(buffer.data(), c.room, "%s", text.c_str()));
    EXPECT_EQ('#', buffer[c.room]);
    if (c.room == 0) continue;
    const std::string got = buffer.data();
    if (c.overflow)
      EXPECT_EQ("!!! MAX_BUF_SIZE is exceeded", got);
    else
      EXPECT_EQ(text.substr(0, c.appended), got);
  }
}

TEST(Stage, LinesGainTheirCarriageReturnsUpToTheCut) {
  for (const tc::StageCase& c : tc::kStageCases) {
    std::string line = std::string(c.fill_count, c.fill) + c.tail;
    SCOPED_TRACE(testing::Message()
                 << c.fill_count << " of '" << (c.fill == '\n' ? "LF" : "x")
                 << "' and " << strlen(c.tail) << " more");
    std::vector<char> stage(STAGE_SIZE);
    size_t n = msg_stage(line.data(), line.data() + line.size(), stage.data());
    ASSERT_EQ((size_t)c.staged, n);
    const size_t end = strlen(c.staged_end);
    EXPECT_EQ(c.staged_end, std::string(stage.data() + n - end, end));
  }
}

TEST(RotationMatch, ReadsEntriesByTheTable) {
  for (const tc::RotationCase& c : tc::kRotationCases) {
    SCOPED_TRACE(testing::Message()
                 << c.key << "=" << c.value << " for " << c.path);
    bool running = strstr(c.key, "_") != nullptr;
    std::string key = c.key, value = c.value;
    int keep = 99;
    EXPECT_EQ(c.match && !running,
              rotation_match(&key[0], &value[0], c.path, &keep));
    key = c.key, value = c.value;
    unsigned long long limit = 99;
    EXPECT_EQ(
        c.match && running,
        running_rotation_match(&key[0], &value[0], c.path, &keep, &limit));
    EXPECT_EQ(c.match ? c.keep : 99, keep);
    EXPECT_EQ(c.match && running ? c.limit : 99, limit);
  }
}

// The reader delivers at most 511 characters. A value too long for the name
// field is ignored, not read cut short: that would lose its count and keep
// none, and so delete the log.
TEST(RotationMatch, ValueLongerThanTheNameFieldIsIgnored) {
  std::string name(ROTATION_NAME + 100, 'n');
  std::string value = name + ",3";
  int keep = 99;
  EXPECT_FALSE(
      rotation_match(&std::string("rotate")[0], &value[0], "n", &keep));
  EXPECT_EQ(99, keep);
  value = name.substr(0, ROTATION_NAME - 3) + ",3";
  EXPECT_TRUE(rotation_match(&std::string("rotate")[0], &value[0], "n", &keep));
  EXPECT_EQ(3, keep);
}

}  // namespace
