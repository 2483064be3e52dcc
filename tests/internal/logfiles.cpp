// Slot tables, reference counts, rotation settings and directory creation,
// seen from inside the library.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "logfiles_util.h"
#include "test_util.h"
#include "zorvel_int.h"

namespace {

SHORT count_of(Channel ch, int index) { return g_tables[ch].counts[index]; }

int slot_index(Channel ch) {
  LogSlot* slot = ctx_slot(ch);
  return slot ? (int)(slot - g_tables[ch].slots) : -1;
}

// A thread that runs steps on request and detaches as a DLL thread would.
class Thread {
 public:
  Thread() { worker_.run(nothing, nullptr); }
  ~Thread() { end(); }
  template <class F>
  void run(F f) {
    worker_.run([](void* p) { (*static_cast<F*>(p))(); }, &f);
  }
  void end() {
    if (ended_) return;
    run([] { lib_thread_detach(); });
    worker_.end();
    ended_ = true;
  }

 private:
  static void nothing(void*) {}
  lf::Worker worker_;
  bool ended_ = false;
};

TEST(Slots, WorkedSequenceCountsAndReusesSlots) {
  std::string dir = tu::fresh_dir();
  std::string a = dir + "a.log", upper_a = dir + "A.LOG", b = dir + "b.log",
              c = dir + "c.log";
  Thread t1, t2, t3;
  int ia = -1, ib = -1, ic = -1;
  t1.run([&] {
    util_init(a.c_str(), nullptr, nullptr, nullptr);
    ia = slot_index(EVENTS_CHANNEL);
  });
  ASSERT_GE(ia, 1);
  EXPECT_EQ(count_of(EVENTS_CHANNEL, ia), 1);
  t2.run([&] { util_init(upper_a.c_str(), nullptr, nullptr, nullptr); });
  EXPECT_EQ(count_of(EVENTS_CHANNEL, ia), 2);
  t1.run([&] {
    util_init(b.c_str(), nullptr, nullptr, nullptr);
    ib = slot_index(EVENTS_CHANNEL);
  });
  EXPECT_NE(ib, ia);
  EXPECT_EQ(count_of(EVENTS_CHANNEL, ia), 1);
  EXPECT_EQ(count_of(EVENTS_CHANNEL, ib), 1);
  t2.end();
  EXPECT_EQ(count_of(EVENTS_CHANNEL, ia), 0);
  EXPECT_EQ(g_tables[EVENTS_CHANNEL].slots[ia].in_use, 0);
  t3.run([&] {
    util_init(c.c_str(), nullptr, nullptr, nullptr);
    ic = slot_index(EVENTS_CHANNEL);
  });
  EXPECT_EQ(ic, ia);  // the lowest free slot is taken again
  EXPECT_EQ(count_of(EVENTS_CHANNEL, ic), 1);
  EXPECT_EQ(slot_find(EVENTS_CHANNEL, a.c_str()), -1);
  // The errors channel never moved.
  EXPECT_EQ(count_of(ERRORS_CHANNEL, ia), 0);
}

TEST(Slots, StandardStreamSlotIsNeverFoundOrTaken) {
  EXPECT_EQ(slot_find(EVENTS_CHANNEL, ""), -1);
  EXPECT_EQ(slot_find(EVENTS_CHANNEL, nullptr), -1);
  EXPECT_NE(g_tables[EVENTS_CHANNEL].slots[0].in_use, 0);
  EXPECT_NE(g_tables[ERRORS_CHANNEL].slots[0].lock, nullptr);
}

TEST(Slots, FailedOpenFreesTheSlotAndTheTableMutex) {
  std::string dir = tu::fresh_dir();
  std::string sub = dir + "adir";
  CreateDirectoryA(sub.c_str(), NULL);
  // A name the slot could not hold whole is refused, not cut.
  std::string too_long = dir + std::string(PATH_SIZE, 'n');
  Thread t;
  unsigned long code = 0, long_code = 0;
  t.run([&] {
    try {
      slot_open(EVENTS_CHANNEL, sub.c_str(), "");
    } catch (unsigned long thrown) {
      code = thrown;
    }
    try {
      slot_open(EVENTS_CHANNEL, too_long.c_str(), "");
    } catch (unsigned long thrown) {
      long_code = thrown;
    }
  });
  EXPECT_EQ(code, (unsigned long)ERROR_ACCESS_DENIED);
  EXPECT_EQ(long_code, (unsigned long)ERROR_FILENAME_EXCED_RANGE);
  for (int i = 1; i < SLOT_COUNT; ++i)
    EXPECT_EQ(g_tables[EVENTS_CHANNEL].slots[i].in_use, 0) << i;
  // Another thread can take the table mutex at once.
  EXPECT_EQ(WaitForSingleObject(g_tables[EVENTS_CHANNEL].mutex, 0),
            (DWORD)WAIT_OBJECT_0);
  ReleaseMutex(g_tables[EVENTS_CHANNEL].mutex);
}

// Climbing past the drive leaves "\\dir\\climbed.log"; the slot keeps that
// very text, so the next thread finds it instead of opening another slot.
TEST(Slots, NameClimbingPastTheDriveIsFoundAgain) {
  std::string file = tu::fresh_dir() + "climbed.log";
  std::string name = lf::past_the_drive(file);
  Thread t1, t2;
  int i1 = -1, i2 = -1;
  t1.run([&] {
    util_init(name.c_str(), nullptr, nullptr, nullptr);
    i1 = slot_index(EVENTS_CHANNEL);
  });
  t2.run([&] {
    util_init(name.c_str(), nullptr, nullptr, nullptr);
    i2 = slot_index(EVENTS_CHANNEL);
  });
  ASSERT_GE(i1, 1);
  EXPECT_EQ(i2, i1);
  EXPECT_EQ(count_of(EVENTS_CHANNEL, i1), 2);
  EXPECT_STREQ(g_tables[EVENTS_CHANNEL].slots[i1].path, file.substr(2).c_str());
  EXPECT_TRUE(lf::held_open(file));
}

TEST(Slots, SameFileInBothChannelsSharesOneWriteLock) {
  std::string dir = tu::fresh_dir();
  std::string f = dir + "both.log";
  Thread t;
  FileLock *l1 = NULL, *l2 = NULL;
  t.run([&] {
    util_init(f.c_str(), f.c_str(), nullptr, nullptr);
    l1 = ctx_slot(EVENTS_CHANNEL)->lock;
    l2 = ctx_slot(ERRORS_CHANNEL)->lock;
  });
  ASSERT_NE(l1, nullptr);
  EXPECT_EQ(l1, l2);
}

// ------------------------------------------------------------ rotation

struct ConfigCase {
  const char* section;  // profile text after "[logfile]"
  const char* path;     // the slot's path
  bool rotate;
  LONG keep;
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
  *os << "path " << c.path << " with " << c.section;
}

class RotationConfig : public testing::TestWithParam<ConfigCase> {};

TEST_P(RotationConfig, ReadsTheMatchingEntries) {
  const ConfigCase& c = GetParam();
  std::string profile = tu::fresh_dir() + "cfg.ini";
  tu::write_file(profile, std::string("[logfile]\r\n") + c.section);
  LogSlot slot = {};
  slot.rotate = true;
  slot.keep = 99;
  str_copy(slot.path, sizeof slot.path, c.path);
  read_rotation_config(&slot, profile.c_str());
  EXPECT_EQ(slot.rotate, c.rotate);
  EXPECT_EQ(slot.keep, c.keep);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RotationConfig,
    testing::Values(
        ConfigCase{"rotate=events.log,7\r\n", "C:\\srv\\events.log", true, 7},
        ConfigCase{"ROTATE = D:\\other\\EVENTS.LOG , 2\r\n",
                   "C:\\srv\\events.log", true, 2},
        ConfigCase{"rotate=events,3\r\n", "C:\\srv\\events.log", false, 0},
        ConfigCase{"rotate=events.log.old,4\r\n", "C:\\x\\events.log", true, 4},
        ConfigCase{"rotate=a.log,3\r\nrotate=a.log,5\r\n", "C:\\a.log", true,
                   5},
        ConfigCase{"other=a.log,3\r\n", "C:\\a.log", false, 0},
        ConfigCase{"rotate=a.log\r\nrotate=\r\nrotate=,4\r\n", "C:\\a.log",
                   false, 0},
        ConfigCase{"rotate=a.log,abc\r\nrotate=a.log, x3\r\n", "C:\\a.log",
                   false, 0},
        ConfigCase{"rotate=a.log,32768\r\nrotate=a.log,-32769\r\n", "C:\\a.log",
                   false, 0},
        ConfigCase{"rotate=a.log,-32768\r\n", "C:\\a.log", true, -32768},
        // A path without '\' is compared whole.
        ConfigCase{"rotate=dir\\a.log,1\r\n", "a.log", true, 1}));

TEST(RotationConfigInput, MissingOrEmptyProfileMeansNoRotation) {
  LogSlot slot = {};
  str_copy(slot.path, sizeof slot.path, "C:\\a.log");
  const char* profiles[] = {nullptr, "", "C:\\no\\such\\profile.ini"};
  for (const char* profile : profiles) {
    slot.rotate = true;
    slot.keep = 3;
    read_rotation_config(&slot, profile);
    EXPECT_FALSE(slot.rotate);
    EXPECT_EQ(slot.keep, 0);
  }
}

// ------------------------------------------------------------ while open

// The line clock: one millisecond more at every reading, from two seconds
// before midnight of 30 March 2026 (UTC).
volatile LONGLONG g_ticks;
const LONGLONG kMidnightMs = 1774828800000LL;

void ticking_clock(FILETIME* now) {
  LONGLONG ms = kMidnightMs - 2000 + InterlockedIncrement64(&g_ticks);
  ULONGLONG t = ((ULONGLONG)ms + 11644473600000ULL) * 10000;
  now->dwLowDateTime = (DWORD)t;
  now->dwHighDateTime = (DWORD)(t >> 32);
}

struct MidnightWriter {
  std::string file, profile;
  int id;
};

const int kMidnightLines = 1500;

DWORD WINAPI write_through_midnight(LPVOID p) {
  const MidnightWriter* w = static_cast<const MidnightWriter*>(p);
  util_init(w->file.c_str(), nullptr, "M", w->profile.c_str());
  for (int n = 0; n < kMidnightLines; ++n) event("t=%d n=%d", w->id, n);
  lib_thread_detach();
  return 0;
}

// Midnight passes while four threads write: the file rotates once, every
// line lands in one file, and no line of the new day in the copy.
TEST(RotationWhileOpen, MidnightSplitsTheFileAtTheDay) {
  std::string dir = tu::fresh_dir();
  std::string file = dir + "night.log", profile = dir + "night.ini";
  tu::write_file(profile, "[logfile]\r\nrotate_running=night.log,3\r\n");
  _putenv("TZ=UTC0");
  _tzset();
  g_ticks = 0;
  msg_set_clock(ticking_clock);
  MidnightWriter writers[4];
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) {
    writers[i] = {file, profile, i};
    threads[i] =
        CreateThread(NULL, 0, write_through_midnight, &writers[i], 0, NULL);
  }
  WaitForMultipleObjects(4, threads, TRUE, 60000);
  for (HANDLE h : threads) CloseHandle(h);
  msg_set_clock(NULL);
  _putenv("TZ=");
  _tzset();

  EXPECT_FALSE(tu::file_exists(file + ".2"));  // one rotation
  std::map<std::string, int> seen;
  int new_day_lines = 0;
  for (const std::string& name : {file + ".1", file}) {
    bool copy = name != file;
    std::vector<std::string> lines = lf::lines_with(name, "t=");
    EXPECT_FALSE(lines.empty()) << name;
    for (const std::string& line : lines) {
      bool new_day = line.find(" 30 Mar 26 ") != std::string::npos;
      EXPECT_TRUE(new_day || line.find(" 29 Mar 26 ") != std::string::npos)
          << line;
      if (copy) {
        EXPECT_FALSE(new_day) << line;
      }
      new_day_lines += new_day;
      ++seen[line.substr(line.find("t="))];
    }
  }
  EXPECT_EQ(seen.size(), 4u * kMidnightLines);
  for (const auto& s : seen) EXPECT_EQ(s.second, 1) << s.first;
  EXPECT_GT(new_day_lines, 0);
}

TEST(MakeDirs, CreatesOnlyTheMissingDirectories) {
  std::string dir = tu::fresh_dir();
  make_dirs((dir + "a\\b\\c\\file.log").c_str());
  EXPECT_TRUE(tu::file_exists(dir + "a\\b\\c"));
  EXPECT_FALSE(tu::file_exists(dir + "a\\b\\c\\file.log"));
  // A file standing where a directory should be stops the walk quietly.
  tu::write_file(dir + "plain", "x");
  make_dirs((dir + "plain\\sub\\f.log").c_str());
  EXPECT_FALSE(tu::file_exists(dir + "plain\\sub"));
  make_dirs("nobackslash.log");  // nothing to create, nothing happens
}

}  // namespace
