// What a thread without log files sees of its lines on standard output and
// standard error: header layout, texts, bounds and destinations. Each check
// runs a DISABLED_ body of this program in a child with both streams
// captured.
#include <gtest/gtest.h>
#include <stdio.h>
#include <zorvel.h>

#include <string>
#include <vector>

#include "core_util.h"
#include "test_util.h"

namespace {

tu::Line parse(const std::string& text) {
  tu::Line line;
  EXPECT_TRUE(tu::parse_line(text, &line)) << text;
  return line;
}

std::vector<tu::Line> parse_all(const std::vector<std::string>& texts) {
  std::vector<tu::Line> lines;
  for (const std::string& text : texts) lines.push_back(parse(text));
  return lines;
}

std::vector<std::string> types_of(const std::vector<tu::Line>& lines) {
  std::vector<std::string> types;
  for (const tu::Line& line : lines) types.push_back(line.type);
  return types;
}

std::vector<std::string> rests_of(const std::vector<tu::Line>& lines) {
  std::vector<std::string> rests;
  for (const tu::Line& line : lines) rests.push_back(line.rest);
  return rests;
}

// Start of the first byte of the library line whose text starts with text.
size_t find_line(const std::string& out, const std::string& text) {
  size_t at = out.find("): " + text);
  if (at == std::string::npos) return at;
  size_t start = out.rfind("\r\n", at);
  return start == std::string::npos ? 0 : start + 2;
}

std::string running(const char* word) {
  return "Running " + tu::exe_path() + ": " + word + ": ";
}

}  // namespace

// ---------------------------------------------------------------- header

TEST(LineChild, DISABLED_Ids) {
  event("ids %lu %lu", GetCurrentProcessId(), GetCurrentThreadId());
  tu::run_thread([] {
    event("ids %lu %lu", GetCurrentProcessId(), GetCurrentThreadId());
  });
}

TEST(LineHeader, CarriesStampProcessAndThreadOfTheWriter) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_Ids");
  ASSERT_EQ(0u, c.code) << c.out;
  std::vector<std::string> texts = cu::library_lines(c.out);
  ASSERT_EQ(2u, texts.size()) << c.out;
  unsigned long tids[2] = {0, 0};
  for (size_t i = 0; i < texts.size(); ++i) {
    tu::Line line = parse(texts[i]);
    EXPECT_EQ("V", line.type);
    EXPECT_FALSE(line.has_mark);
    EXPECT_EQ(texts[i], cu::rebuild_line(line));
    unsigned long pid = 0, tid = 0;
    ASSERT_EQ(2, sscanf(line.rest.c_str(), "ids %lu %lu", &pid, &tid))
        << line.rest;
    EXPECT_EQ((long)pid, line.pid);
    EXPECT_EQ((long)tid, line.tid);
    tids[i] = tid;

    SYSTEMTIME stamp;
    ASSERT_TRUE(cu::parse_stamp(line.stamp, &stamp)) << line.stamp;
    // The stamp is local time: it falls inside the child's run.
    EXPECT_GE(cu::millis_between(c.before, stamp), -1000) << line.stamp;
    EXPECT_GE(cu::millis_between(stamp, c.after), -1000) << line.stamp;
  }
  EXPECT_NE(tids[0], tids[1]);
  EXPECT_EQ("", c.err);
}

TEST(LineChild, DISABLED_MarkAndBanner) {
  util_set_mark("NET");
  setbanner("[b] ");
  event("with mark");
  util_set_mark("");
  event("without mark");
  setbanner(std::string(300, 'b').c_str());
  event("long banner");
}

TEST(LineHeader, MarkInParenthesesAndBannerBeforeTheText) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_MarkAndBanner");
  std::vector<std::string> texts = cu::library_lines(c.out);
  ASSERT_EQ(3u, texts.size()) << c.out;
  std::vector<tu::Line> lines = parse_all(texts);

  EXPECT_TRUE(lines[0].has_mark);
  EXPECT_EQ("NET", lines[0].mark);
  EXPECT_EQ("[b] with mark", lines[0].rest);
  EXPECT_EQ(texts[0], cu::rebuild_line(lines[0]));

  // An empty mark gives the two-field form.
  EXPECT_FALSE(lines[1].has_mark);
  EXPECT_EQ(texts[1], cu::rebuild_line(lines[1]));
  EXPECT_NE(std::string::npos, texts[1].find("): [b] without mark"));

  // The banner field holds 255 characters; a longer banner is cut there.
  EXPECT_EQ(std::string(255, 'b') + "long banner", lines[2].rest);
}

// ---------------------------------------------------------------- types

TEST(LineChild, DISABLED_EveryCall) {
  event("event %d", 1);
  devent(0, "debug %d", 0);
  SetDebugLevel(7);
  devent(7, "debug %d", 7);
  warning("warning %s", "w");
  error("error %s", "e");
}

TEST(LineTypes, LetterPerCallAndDestinationsPerCall) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_EveryCall");
  ASSERT_EQ(0u, c.code) << c.out;
  std::vector<tu::Line> out = parse_all(cu::library_lines(c.out));
  std::vector<tu::Line> err = parse_all(cu::library_lines(c.err));

  // Events and debug events reach standard output only; warnings and
  // errors reach both streams.
  EXPECT_EQ((std::vector<std::string>{"V", "0", "7", "W", "E"}), types_of(out));
  EXPECT_EQ((std::vector<std::string>{"W", "E"}), types_of(err));
  EXPECT_EQ((std::vector<std::string>{"event 1", "debug 0", "debug 7",
                                      running("Warning") + "warning w",
                                      running("Error") + "error e"}),
            rests_of(out));
  ASSERT_EQ(2u, err.size());
  EXPECT_EQ(out[3].rest, err[0].rest);
  EXPECT_EQ(out[4].rest, err[1].rest);
  // Nothing but the library's lines reaches standard error, each with CR LF.
  EXPECT_EQ(2u, tu::split_lines(c.err).size());
  EXPECT_EQ("\r\n", c.err.substr(c.err.size() - 2));
}

TEST(LineChild, DISABLED_WarningWithBanner) {
  util_set_mark("NET");
  setbanner("B> ");
  warning("disk %d%% full", 90);
  error("lost %s", "peer");
}

TEST(LineTypes, WarningAndErrorNameTheExecutableAfterTheBanner) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_WarningWithBanner");
  std::vector<tu::Line> err = parse_all(cu::library_lines(c.err));
  ASSERT_EQ(2u, err.size()) << c.err;
  EXPECT_EQ("B> " + running("Warning") + "disk 90% full", err[0].rest);
  EXPECT_EQ("B> " + running("Error") + "lost peer", err[1].rest);
  EXPECT_EQ("NET", err[1].mark);
}

// ---------------------------------------------------------------- bounds

TEST(LineChild, DISABLED_Overflow) {
  std::string big(2100, 'x');
  event("%s", big.c_str());
  warning("%s", big.c_str());
  event("%s", std::string(1500, 'y').c_str());
  event("%s", std::string(1999, 'z').c_str());  // the longest text that fits
  event("%s", std::string(2000, 'z').c_str());
  event("after");
}

TEST(LineBounds, TextOverTheAppendLimitIsReplacedByTheNotice) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_Overflow");
  std::vector<tu::Line> out = parse_all(cu::library_lines(c.out));
  ASSERT_EQ(6u, out.size()) << c.out;
  EXPECT_EQ("!!! MAX_BUF_SIZE is exceeded", out[0].rest);
  // Earlier appends of the same line stay.
  EXPECT_EQ(running("Warning") + "!!! MAX_BUF_SIZE is exceeded", out[1].rest);
  EXPECT_EQ(std::string(1500, 'y'), out[2].rest);
  // 1999 characters are kept (the staging bound then cuts the line).
  EXPECT_EQ(std::string(out[3].rest.size(), 'z'), out[3].rest);
  EXPECT_GT(out[3].rest.size(), 1900u);
  EXPECT_EQ("!!! MAX_BUF_SIZE is exceeded", out[4].rest);
  EXPECT_EQ("after", out[5].rest);
}

TEST(LineChild, DISABLED_EmbeddedLf) { event("first\nsecond\n\nthird"); }

TEST(LineBounds, EmbeddedLfBecomesCrLf) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_EmbeddedLf");
  size_t start = find_line(c.out, "first");
  ASSERT_NE(std::string::npos, start) << c.out;
  size_t end = c.out.find("third\r\n", start);
  ASSERT_NE(std::string::npos, end) << c.out;
  std::string block = c.out.substr(start, end + 7 - start);
  EXPECT_NE(std::string::npos,
            block.find("): first\r\nsecond\r\n\r\nthird\r\n"))
      << block;
  EXPECT_EQ(std::string::npos, block.find("\r\r"));
}

TEST(LineChild, DISABLED_LongLines) {
  event("%s", std::string(1990, 'x').c_str());
  event("after x");
  // Three shifts of the CR LF pairs against the cut: one of them puts a CR
  // on the last byte that the cut keeps.
  for (int shift = 0; shift < 3; ++shift) {
    std::string text =
        "pairs" + std::to_string(shift) + std::string(shift, '-');
    for (int i = 0; i < 980; ++i) text += "a\n";
    event("%s", text.c_str());
    event("after %d", shift);
  }
}

// Bytes from start up to the start of the library line with text next.
static std::string block_before(const std::string& out, size_t start,
                                const std::string& next) {
  size_t end = find_line(out, next);
  if (start == std::string::npos || end == std::string::npos || end < start)
    return "";
  return out.substr(start, end - start);
}

static bool every_cr_before_lf(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) return false;
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) return false;
  }
  return true;
}

TEST(LineBounds, OverlongLineIsCutAndStillEndsWithCrLf) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_LongLines");

  // Header plus 1990 characters exceeds the 1998-byte staging bound: the
  // text is cut to leave room for CR LF inside the bound.
  std::string cut = block_before(c.out, find_line(c.out, "xxx"), "after x");
  ASSERT_FALSE(cut.empty()) << c.out;
  EXPECT_EQ(1998u, cut.size());
  EXPECT_EQ(cut.size() - 2, cut.find("\r\n"));
  EXPECT_EQ("x\r\n", cut.substr(cut.size() - 3));

  // With every LF doubled the cut never separates CR from its LF.
  for (int shift = 0; shift < 3; ++shift) {
    std::string n = std::to_string(shift);
    std::string pairs =
        block_before(c.out, find_line(c.out, "pairs" + n), "after " + n);
    ASSERT_FALSE(pairs.empty()) << c.out;
    EXPECT_LE(pairs.size(), 1998u);
    EXPECT_GE(pairs.size(), 1995u);
    EXPECT_EQ("a\r\n", pairs.substr(pairs.size() - 3));
    EXPECT_TRUE(every_cr_before_lf(pairs)) << shift;
  }

  // The lines after the cut ones are whole lines of their own.
  std::vector<tu::Line> out = parse_all(cu::library_lines(c.out));
  ASSERT_EQ(8u, out.size()) << c.out;
  EXPECT_EQ("after x", out[1].rest);
  EXPECT_EQ("after 2", out[7].rest);
}

// ---------------------------------------------------------------- threads

static const int kWriters = 4;
static const int kLinesEach = 100;

static std::string writer_text(int writer, int i) {
  return "w" + std::to_string(writer) + " " + std::to_string(i) + " " +
         std::string(300, (char)('a' + writer));
}

static DWORD WINAPI writer_thread(LPVOID p) {
  int writer = (int)(INT_PTR)p;
  for (int i = 0; i < kLinesEach; ++i)
    event("%s", writer_text(writer, i).c_str());
  return 0;
}

TEST(LineChild, DISABLED_ConcurrentWriters) {
  HANDLE threads[kWriters];
  for (int w = 0; w < kWriters; ++w)
    threads[w] =
        CreateThread(NULL, 0, writer_thread, (LPVOID)(INT_PTR)w, 0, NULL);
  WaitForMultipleObjects(kWriters, threads, TRUE, INFINITE);
  for (HANDLE h : threads) CloseHandle(h);
}

TEST(LineThreads, ConcurrentWritersGiveWholeLinesOnStandardOutput) {
  cu::Capture c = cu::capture_child("LineChild.DISABLED_ConcurrentWriters");
  std::vector<tu::Line> out = parse_all(cu::library_lines(c.out));
  ASSERT_EQ((size_t)(kWriters * kLinesEach), out.size())
      << c.out.substr(0, 2000);
  int next[kWriters] = {};
  for (const tu::Line& line : out) {
    int writer = line.rest.size() > 1 ? line.rest[1] - '0' : -1;
    ASSERT_TRUE(writer >= 0 && writer < kWriters) << line.rest;
    // Each writer's lines arrive whole and in its own order.
    EXPECT_EQ(writer_text(writer, next[writer]), line.rest);
    ++next[writer];
  }
}
