// Profile section reader: counts, delivery up to a capacity, and sections
// that are long, odd or hostile, read from real INI files.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "alloc_util.h"
#include "support_util.h"
#include "test_util.h"
#include "zorvel_int.h"

namespace {

struct Entry {
  std::string key, value;
  DWORD_PTR item;
};

struct Collected {
  std::vector<Entry> entries;
};

int collect(char* key, char* value, DWORD_PTR item, void* context) {
  ((Collected*)context)->entries.push_back({key, value, item});
  return 0;
}

const DWORD_PTR kItems = 1000;
const DWORD kUntouched = 99;

// A profile file in the test's own directory holding text.
std::string profile(const std::string& text) {
  std::string path = tu::fresh_dir() + "p.ini";
  tu::write_file(path, text);
  return path;
}

struct Read {
  int result;
  DWORD capacity;
  DWORD last_index = kUntouched;
  Collected got;
};

Read read(const std::string& file, DWORD capacity, DWORD_PTR items = kItems,
          ProfileEntryFn callback = collect) {
  Read r;
  r.capacity = capacity;
  r.result = read_profile_section(file.c_str(), "logfile", items, &r.capacity,
                                  callback, &r.last_index, &r.got);
  return r;
}

TEST(Profile, DeliversUpToTheCapacityAndCountsAll) {
  Read r =
      read(profile("[logfile]\r\nrotate = events.log,3\r\nother=1\r\n"), 1);
  EXPECT_EQ(2, r.result);
  EXPECT_EQ(2u, r.capacity);
  EXPECT_EQ(0u, r.last_index);
  ASSERT_EQ(1u, r.got.entries.size());
  EXPECT_EQ("rotate", r.got.entries[0].key);
  EXPECT_EQ("events.log,3", r.got.entries[0].value);
  EXPECT_EQ(kItems, r.got.entries[0].item);
}

TEST(Profile, DeliversEveryEntryInOrderWhenAllFit) {
  Read r =
      read(profile("[other]\r\nx=0\r\n[logfile]\r\nc=3\r\na=1\r\nb=2\r\n"), 10);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(3u, r.capacity);
  EXPECT_EQ(2u, r.last_index);
  ASSERT_EQ(3u, r.got.entries.size());
  const char* keys[] = {"c", "a", "b"};
  for (DWORD i = 0; i < 3; ++i) {
    EXPECT_EQ(keys[i], r.got.entries[i].key);
    EXPECT_EQ(kItems + i, r.got.entries[i].item);  // plain addition
  }
}

TEST(Profile, NothingDeliveredForCapacityZeroOrNoItems) {
  std::string file = profile("[logfile]\r\na=1\r\nb=2\r\n");
  for (Read r : {read(file, 0), read(file, 5, 0)}) {
    EXPECT_EQ(2, r.result);
    EXPECT_EQ(2u, r.capacity);
    EXPECT_EQ(kUntouched, r.last_index);
    EXPECT_TRUE(r.got.entries.empty());
  }
}

TEST(Profile, MissingOrEmptySectionGivesOne) {
  std::string dir = tu::fresh_dir();
  tu::write_file(dir + "empty.ini", "[logfile]\r\n[other]\r\nx=1\r\n");
  tu::write_file(dir + "none.ini", "[other]\r\nx=1\r\n");
  for (const char* name : {"empty.ini", "none.ini", "missing.ini"}) {
    SCOPED_TRACE(name);
    Read r = read(dir + name, 5);
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(0u, r.capacity);
    EXPECT_TRUE(r.got.entries.empty());
  }
}

TEST(Profile, NullArgumentsGiveOne) {
  std::string file = profile("[logfile]\r\na=1\r\n");
  Collected got;
  EXPECT_EQ(1, read_profile_section(file.c_str(), "logfile", kItems, nullptr,
                                    collect, nullptr, &got));
  EXPECT_TRUE(got.entries.empty());
  DWORD capacity = 5;
  EXPECT_EQ(1, read_profile_section(nullptr, "logfile", kItems, &capacity,
                                    collect, nullptr, &got));
  EXPECT_EQ(0u, capacity);
  capacity = 5;
  EXPECT_EQ(1, read_profile_section(file.c_str(), nullptr, kItems, &capacity,
                                    collect, nullptr, &got));
  EXPECT_EQ(0u, capacity);
  EXPECT_TRUE(got.entries.empty());
}

TEST(Profile, WithoutCallbackEntriesAreStillCounted) {
  DWORD capacity = 5;
  DWORD last = kUntouched;
  std::string file = profile("[logfile]\r\na=1\r\nb=2\r\n");
  EXPECT_EQ(0, read_profile_section(file.c_str(), "logfile", kItems, &capacity,
                                    nullptr, &last, nullptr));
  EXPECT_EQ(2u, capacity);
  EXPECT_EQ(1u, last);
}

TEST(Profile, EntriesWithoutValueHaveAnEmptyOne) {
  Read r = read(profile("[logfile]\r\na = 1\r\n justkey \r\nkey=\r\n"), 10);
  EXPECT_EQ(0, r.result);
  ASSERT_EQ(3u, r.got.entries.size());
  EXPECT_EQ("justkey", r.got.entries[1].key);
  EXPECT_EQ("", r.got.entries[1].value);  // not the previous entry's "1"
  EXPECT_EQ("key", r.got.entries[2].key);
  EXPECT_EQ("", r.got.entries[2].value);
}

// ------------------------------------------------ long and many entries

// Keys and values that do not fit 511 characters are passed over: counted,
// not delivered.
TEST(ProfileHostile, OverlongKeysAndValuesArePassedOver) {
  struct Case {
    std::string entry;
    bool delivered;
  };
  const Case cases[] = {
      {std::string(511, 'k') + "=v", true},
      {std::string(512, 'k') + "=v", false},
      {"a=" + std::string(511, 'v'), true},
      {"b=" + std::string(512, 'v'), false},
      {std::string(1900, 'n'), false},  // no '=' at all
      {"z=" + std::string(1900, 'v'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry.size());
    su::FaultWatch watch;
    Read r = read(profile("[logfile]\r\n" + c.entry + "\r\nlast=1\r\n"), 10);
    EXPECT_EQ(0, watch.count());
    EXPECT_EQ(c.delivered ? 0 : 2, r.result);
    EXPECT_EQ(2u, r.capacity);
    EXPECT_EQ(1u, r.last_index);
    ASSERT_EQ(c.delivered ? 2u : 1u, r.got.entries.size());
    const Entry& last = r.got.entries.back();
    EXPECT_EQ("last", last.key);
    EXPECT_EQ(kItems + 1, last.item);
    if (c.delivered) {
      EXPECT_EQ(c.entry, r.got.entries[0].key + "=" + r.got.entries[0].value);
    }
  }
}

TEST(ProfileHostile, ManyEntriesAreReadAsFarAsTheAreaHolds) {
  std::string text = "[logfile]\r\n";
  char line[32];
  for (int i = 0; i < 500; ++i) {
    snprintf(line, sizeof line, "e%03d = v%03d\r\n", i, i);
    text += line;
  }
  su::FaultWatch watch;
  Read r = read(profile(text), 1000);
  EXPECT_EQ(0, watch.count());
  EXPECT_EQ(0, r.result);
  // Entries of 9 characters and a terminator in 2048 bytes.
  EXPECT_GT(r.capacity, 150u);
  EXPECT_LE(r.capacity, 205u);
  ASSERT_EQ(r.capacity, r.got.entries.size());
  for (size_t i = 0; i + 1 < r.got.entries.size(); ++i) {
    snprintf(line, sizeof line, "e%03d", (int)i);
    ASSERT_EQ(line, r.got.entries[i].key);
    ASSERT_EQ(kItems + i, r.got.entries[i].item);
  }
}

TEST(ProfileHostile, NamesEndingAtADeadPageAreReadInPlace) {
  std::string path = profile("[logfile]\r\na=1\r\n");
  std::unique_ptr<su::GuardedBuffer> file(su::GuardedBuffer::text(path));
  std::unique_ptr<su::GuardedBuffer> section(
      su::GuardedBuffer::text("logfile"));
  DWORD capacity = 5;
  su::FaultWatch watch;
  EXPECT_EQ(0, read_profile_section(file->data(), section->data(), kItems,
                                    &capacity, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, watch.count());
  EXPECT_EQ(1u, capacity);
}

// ------------------------------------------------ failing callbacks

int throw_on_second(char* key, char*, DWORD_PTR, void*) {
  if (!strcmp(key, "b")) kxraisec(5, "callback gave up");
  return 0;
}

int fault_on_second(char* key, char*, DWORD_PTR, void*) {
  if (!strcmp(key, "b")) *su::no_access_page() = 1;
  return 0;
}

int throw_int(char*, char*, DWORD_PTR, void*) { throw 7; }

TEST(Profile, FailingCallbackGivesOneAndKeepsTheCount) {
  std::string file = profile("[logfile]\r\na=1\r\nb=2\r\nc=3\r\n");
  for (ProfileEntryFn fn : {throw_on_second, fault_on_second, throw_int}) {
    su::FaultWatch watch;
    Read r = read(file, 10, kItems, fn);
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(10u, r.capacity);
    EXPECT_EQ(0u, r.last_index);
    EXPECT_EQ(fn == fault_on_second ? 1 : 0, watch.count());
  }
}

}  // namespace

namespace {

// A guarded read whose callback holds it open until told to go on.
struct HeldRead {
  std::string path;
  HANDLE inside = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE go_on = CreateEventA(NULL, TRUE, FALSE, NULL);
  ~HeldRead() {
    CloseHandle(inside);
    CloseHandle(go_on);
  }
};

int hold_open(char*, char*, DWORD_PTR, void* context) {
  HeldRead* held = (HeldRead*)context;
  SetEvent(held->inside);
  WaitForSingleObject(held->go_on, INFINITE);
  return 0;
}

DWORD WINAPI run_held_read(LPVOID context) {
  HeldRead* held = (HeldRead*)context;
  DWORD capacity = 10;
  return (DWORD)read_profile_section(held->path.c_str(), "logfile", kItems,
                                     &capacity, hold_open, NULL, held);
}

// Behind the guard's handler: lets the test's raised exceptions go on, and
// counts them.
volatile LONG g_passed_on;
LONG CALLBACK pass_on(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->NumberParameters != 1 || record->ExceptionInformation[0] != 0x13)
    return EXCEPTION_CONTINUE_SEARCH;
  InterlockedIncrement(&g_passed_on);
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

// While one thread is inside a guarded read, another thread's exceptions
// reach the guard's handler. It lets them through, its own codes included,
// and allocates nothing for them, even on a thread's first exception.
TEST(ProfileGuard, OtherThreadsExceptionsPassWithoutAllocation) {
  HeldRead held;
  held.path = profile("[logfile]\r\na=1\r\n");
  HANDLE reader = CreateThread(NULL, 0, run_held_read, &held, 0, NULL);
  ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(held.inside, 10000));
  PVOID handler = AddVectoredExceptionHandler(0, pass_on);

  for (DWORD code : {(DWORD)0xE0000013, (DWORD)EXCEPTION_ACCESS_VIOLATION}) {
    g_passed_on = 0;
    long allocations = -1;
    tu::run_thread([&] {
      const ULONG_PTR marker = 0x13;
      au::count_start();
      RaiseException(code, 0, 1, &marker);
      allocations = au::count_stop();
    });
    EXPECT_EQ(1, g_passed_on) << std::hex << code;
    EXPECT_EQ(0, allocations) << std::hex << code;
  }
  // The counting sees an allocation where there is one.
  au::count_start();
  void* volatile block = malloc(16);
  free(block);
  EXPECT_LE(1, au::count_stop());

  RemoveVectoredExceptionHandler(handler);
  SetEvent(held.go_on);
  WaitForSingleObject(reader, INFINITE);
  DWORD result = 99;
  GetExitCodeThread(reader, &result);
  CloseHandle(reader);
  EXPECT_EQ(0u, result);
}
