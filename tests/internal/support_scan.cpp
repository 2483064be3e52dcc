// Field scanner and trimming: the conversion rules as a table, then hostile
// formats and sources that end at inaccessible pages.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support_util.h"
#include "text_cases.h"
#include "zorvel_int.h"

namespace {

using tc::Dest;
using tc::kUntouched;
using tc::ScanCase;

class ScanTable : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, StoresEachField) {
  const ScanCase& c = GetParam();
  Dest dest[3];
  const size_t n = strlen(c.kinds);
  EXPECT_EQ(0, scan(c.src, c.fmt, dest[0].pointer(c.kinds[0]),
                    n > 1 ? dest[1].pointer(c.kinds[1]) : nullptr,
                    n > 2 ? dest[2].pointer(c.kinds[2]) : nullptr));
  for (size_t i = 0; i < n; ++i)
    EXPECT_EQ(c.expected[i], dest[i].shown(c.kinds[i])) << "field " << i;
}

TEST_P(ScanTable, InPlaceStoresTheSame) {
  const ScanCase& c = GetParam();
  Dest dest[3];
  const size_t n = strlen(c.kinds);
  std::vector<char> src(c.src, c.src + strlen(c.src) + 1);
  EXPECT_EQ(src.data(),
            scan_in_place(src.data(), c.fmt, dest[0].pointer(c.kinds[0]),
                          n > 1 ? dest[1].pointer(c.kinds[1]) : nullptr,
                          n > 2 ? dest[2].pointer(c.kinds[2]) : nullptr));
  for (size_t i = 0; i < n; ++i)
    EXPECT_EQ(c.expected[i], dest[i].shown(c.kinds[i])) << "field " << i;
}

INSTANTIATE_TEST_SUITE_P(Rules, ScanTable, testing::ValuesIn(tc::kScanCases));

TEST(Scan, NullSourceOrFormatFails) {
  Dest dest;
  EXPECT_EQ(1, scan(nullptr, "%s", dest.text));
  EXPECT_EQ(1, scan("abc", nullptr, dest.text));
  EXPECT_STREQ(kUntouched, dest.text);
  EXPECT_EQ(nullptr, scan_in_place(nullptr, "%s", dest.text));
  char src[] = "abc";
  EXPECT_EQ(src, scan_in_place(src, nullptr, dest.text));
  EXPECT_STREQ(kUntouched, dest.text);
}

TEST(Scan, InPlaceShiftsOnlyTrimmedText) {
  char key[16] = {};
  char value[16] = {};
  char src[] = "  a=  b";
  scan_in_place(src, "%s=%s", key, value);
  EXPECT_STREQ("a=  b", src);  // the first field's blanks went for good
  EXPECT_STREQ("a", key);
  EXPECT_STREQ("  b", value);
  char number[] = "3.14159,x";
  double f = 0;
  scan_in_place(number, "%.2f,%s", &f, value);
  EXPECT_STREQ("3.14159,x", number);  // temporary terminators put back
  EXPECT_EQ(3.1, f);
}

TEST(Scan, FaultsAreCaughtAndEarlierFieldsKept) {
  char key[16] = {};
  su::FaultWatch watch;
  EXPECT_EQ(1, scan("a,b", "%s,%s", key, su::no_access_page()));
  EXPECT_STREQ("a", key);
  EXPECT_EQ(1, scan(su::no_access_page(), "%s", key));
  EXPECT_EQ(1, scan("a", su::no_access_page(), key));
  EXPECT_EQ(3, watch.count());
  // The thread's guard is gone: later scans work normally.
  EXPECT_EQ(0, scan("z", "%s", key));
  EXPECT_STREQ("z", key);
}

// ------------------------------------------------ trimming

TEST(Trim, RemovesBlanksAtEitherEnd) {
  for (const tc::TrimCase& c : tc::kTrimCases) {
    for (bool at_start : {false, true}) {
      SCOPED_TRACE(c.text);
      std::unique_ptr<su::GuardedBuffer> left(
          su::GuardedBuffer::text(c.text, at_start));
      std::unique_ptr<su::GuardedBuffer> right(
          su::GuardedBuffer::text(c.text, at_start));
      std::unique_ptr<su::GuardedBuffer> both(
          su::GuardedBuffer::text(c.text, at_start));
      trim_left(left->data());
      trim_right(right->data());
      trim(both->data());
      EXPECT_STREQ(c.left, left->data());
      EXPECT_STREQ(c.right, right->data());
      EXPECT_STREQ(c.both, both->data());
    }
  }
}

// ------------------------------------------------ hostile inputs

// A small deterministic generator, so a failure can be replayed.
struct Random {
  unsigned state;
  unsigned next(unsigned bound) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % bound;
  }
};

const char kFormatAlphabet[] = "%%%%sdhcfCS.,=;:0123456789-+ alq";
const char kSourceBias[] = ",=;:%.-+ 0123456789\t\r\n";
enum { kMaxConversions = 8 };

std::string random_format(Random* rng) {
  std::string fmt;
  int conversions = 0;
  for (unsigned n = rng->next(40); n > 0; --n) {
    char c = kFormatAlphabet[rng->next(sizeof kFormatAlphabet - 1)];
    if (c == '%' && ++conversions > kMaxConversions) continue;
    fmt += c;
  }
  return fmt;
}

std::string random_source(Random* rng) {
  std::string src;
  for (unsigned n = rng->next(300); n > 0; --n) {
    if (rng->next(3) == 0)
      src += kSourceBias[rng->next(sizeof kSourceBias - 1)];
    else
      src += (char)(1 + rng->next(255));
  }
  return src;
}

typedef std::unique_ptr<su::GuardedBuffer> Buffer;

// Destinations large enough for any field of the source, each ending at an
// inaccessible page.
std::vector<Buffer> destinations(size_t source_length) {
  std::vector<Buffer> out;
  for (int i = 0; i < kMaxConversions; ++i) {
    out.emplace_back(
        new su::GuardedBuffer(source_length + 1 < 8 ? 8 : source_length + 1));
    memset(out.back()->data(), 0, out.back()->size());
  }
  return out;
}

int scan_into(const char* src, const char* fmt, std::vector<Buffer>& d) {
  return scan(src, fmt, d[0]->data(), d[1]->data(), d[2]->data(), d[3]->data(),
              d[4]->data(), d[5]->data(), d[6]->data(), d[7]->data());
}

char* scan_in_place_into(char* src, const char* fmt, std::vector<Buffer>& d) {
  return scan_in_place(src, fmt, d[0]->data(), d[1]->data(), d[2]->data(),
                       d[3]->data(), d[4]->data(), d[5]->data(), d[6]->data(),
                       d[7]->data());
}

TEST(ScanHostile, RandomFormatsAndSourcesStayInTheirBuffers) {
  Random rng = {20261208u};
  su::FaultWatch watch;
  for (int round = 0; round < 4000; ++round) {
    const bool at_start = round % 2 == 1;
    std::string fmt_text = random_format(&rng);
    std::string src_text = random_source(&rng);
    SCOPED_TRACE(testing::Message()
                 << "round " << round << " format \"" << fmt_text << "\"");
    Buffer fmt(su::GuardedBuffer::text(fmt_text, at_start));
    Buffer src(su::GuardedBuffer::text(src_text, at_start));
    Buffer in_place(su::GuardedBuffer::text(src_text, at_start));
    std::vector<Buffer> by_copy = destinations(src_text.size());
    std::vector<Buffer> by_place = destinations(src_text.size());
    ASSERT_EQ(0, scan_into(src->data(), fmt->data(), by_copy));
    ASSERT_EQ(in_place->data(),
              scan_in_place_into(in_place->data(), fmt->data(), by_place));
    ASSERT_EQ(0, watch.count()) << "fault at " << (void*)watch.last_address();
    ASSERT_EQ(src_text, src->data());  // scan leaves its source alone
    for (int i = 0; i < kMaxConversions; ++i)
      ASSERT_EQ(0, memcmp(by_copy[i]->data(), by_place[i]->data(),
                          by_copy[i]->size()))
          << "destination " << i;
  }
}

TEST(ScanHostile, FieldsNeverEndBeforeTheirStart) {
  // Each source starts right after an inaccessible page.
  const char* formats[] = {"%-3s",          "%-9999s,%s",   "%.-5f",
                           "%-1c",          "%%-2s",        "%-2147483648s",
                           "%.2147483647f", "%99999999999s"};
  su::FaultWatch watch;
  for (const char* f : formats) {
    SCOPED_TRACE(f);
    Buffer fmt(su::GuardedBuffer::text(f, true));
    Buffer src(su::GuardedBuffer::text("1.25,x", true));
    std::vector<Buffer> d = destinations(8);
    EXPECT_EQ(0, scan_into(src->data(), fmt->data(), d));
    EXPECT_EQ(0, watch.count());
  }
}

}  // namespace
