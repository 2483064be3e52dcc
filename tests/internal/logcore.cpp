// Internals of the logging core: path helpers, the stamp, destinations
// through hand-attached slots, thread detach, the write locks and a failed
// load.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "alloc_util.h"
#include "core_util.h"
#include "import_util.h"
#include "test_util.h"
#include "text_cases.h"
#include "zorvel_int.h"

namespace {

HANDLE open_log(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

// As the attachment code opens a log file: append-only.
HANDLE open_append(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

bool handle_open(HANDLE h) {
  DWORD flags;
  return GetHandleInformation(h, &flags) != 0;
}

// A slot opened by hand, as the attachment code would: in use, own file and
// write lock, counted in its table.
struct HandSlot {
  Channel channel;
  int index;
  std::string path;

  HandSlot(Channel ch, int i, const std::string& file, SHORT count = 0)
      : channel(ch), index(i), path(file) {
    LogSlot& s = slot();
    memset(&s, 0, sizeof s);
    s.in_use = 1;
    s.index = i;
    s.file = open_append(file);
    s.lock = file_lock_open(s.file, file.c_str());
    str_copy(s.path, sizeof s.path, file.c_str());
    g_tables[channel].counts[index] = count;
  }
  ~HandSlot() {
    LogSlot& s = slot();
    if (s.in_use) {
      CloseHandle(s.file);
      file_lock_close(s.lock);
    }
    memset(&s, 0, sizeof s);
    g_tables[channel].counts[index] = 0;
  }
  LogSlot& slot() { return g_tables[channel].slots[index]; }
  SHORT count() { return g_tables[channel].counts[index]; }
  std::string text() { return tu::read_file(path); }
};

// Points a channel's standard stream slot at a file for the test's length.
struct StreamToFile {
  Channel channel;
  HANDLE saved;
  std::string path;

  StreamToFile(Channel ch, const std::string& file) : channel(ch), path(file) {
    saved = g_tables[ch].slots[0].file;
    g_tables[ch].slots[0].file = open_log(file);
  }
  ~StreamToFile() {
    CloseHandle(g_tables[channel].slots[0].file);
    g_tables[channel].slots[0].file = saved;
  }
  std::string text() { return tu::read_file(path); }
};

}  // namespace

// ---------------------------------------------------------------- helpers

TEST(BaseName, PartAfterTheLastSeparator) {
  for (const auto& c : tc::kBaseNameCases)
    EXPECT_STREQ(c.name, base_name(c.path)) << c.path;
}

TEST(Place, FreshThreadIsEmptyAndLongFilesAreCut) {
  tu::run_thread([] {
    EXPECT_EQ(0, ctx_place()->line);
    EXPECT_STREQ("", ctx_place()->file);
    std::string longer(400, 'f');
    place(longer.c_str(), 77);
    EXPECT_EQ(77, ctx_place()->line);
    EXPECT_EQ(std::string(PLACE_FIELD - 1, 'f'), ctx_place()->file);
    lib_thread_detach();
  });
}

// ---------------------------------------------------------------- stamp

namespace {

LONGLONG g_clock_ms;  // the injected clock: milliseconds since 1970, UTC

void injected_clock(FILETIME* now) {
  ULONGLONG ticks = ((ULONGLONG)g_clock_ms + 11644473600000ULL) * 10000;
  now->dwLowDateTime = (DWORD)ticks;
  now->dwHighDateTime = (DWORD)(ticks >> 32);
}

// The stamp of a line header written at ms, read back from the thread's
// message buffer.
std::string header_stamp(LONGLONG ms) {
  g_clock_ms = ms;
  msg_reset();
  msg_header("V");
  std::string header = (const char*)tls_get(g_keys.message);
  return header.substr(3, 28);  // after "V: "
}

// The same stamp from the runtime's own local time of that second.
std::string runtime_stamp(LONGLONG ms, bool* dst) {
  __time64_t seconds = ms / 1000;
  struct tm* local = _localtime64(&seconds);
  char text[64];
  strftime(text, sizeof text, "%d %b %y (%a) %H:%M:%S", local);
  *dst = local->tm_isdst > 0;
  char millis[8];
  snprintf(millis, sizeof millis, ".%03d", (int)(ms % 1000));
  return std::string(text) + millis;
}

bool dst_at(LONGLONG ms) {
  bool dst;
  runtime_stamp(ms, &dst);
  return dst;
}

// The first second of 2026 at which daylight-saving time starts or ends
// under the runtime's zone rules, in milliseconds; 0 if none.
LONGLONG first_dst_change(void) {
  const LONGLONG hour = 3600 * 1000LL, year_start = 1767225600000LL;
  for (LONGLONG at = year_start; at < year_start + 366 * 24 * hour;
       at += hour) {
    if (dst_at(at) == dst_at(at + hour)) continue;
    LONGLONG lo = at, hi = at + hour;  // the change lies in (lo, hi]
    while (hi - lo > 1000) {
      LONGLONG mid = lo + (hi - lo) / 2000 * 1000;
      (dst_at(mid) == dst_at(lo) ? lo : hi) = mid;
    }
    return hi;
  }
  return 0;
}

}  // namespace

// The stamp is the runtime's local time text of each line's own second,
// also when the zone changes to or from daylight-saving time between two
// lines, and when the clock goes back.
TEST(Stamp, FollowsTheRuntimesZoneAcrossADaylightSavingChange) {
  _putenv("TZ=CET-1CEST");
  _tzset();
  LONGLONG change = first_dst_change();
  tu::run_thread([change] {
    msg_set_clock(injected_clock);
    if (change) {
      LONGLONG times[] = {change - 1001, change - 1, change,
                          change + 999,  change + 1, change - 1};
      bool before, after;
      runtime_stamp(change - 1, &before);
      runtime_stamp(change, &after);
      EXPECT_NE(before, after);
      for (LONGLONG ms : times) {
        bool dst;
        EXPECT_EQ(runtime_stamp(ms, &dst), header_stamp(ms)) << ms;
      }
      // The year's first change springs forward: the hour jumps.
      EXPECT_NE(header_stamp(change - 1).substr(16, 2),
                header_stamp(change).substr(16, 2));
    }
    msg_set_clock(NULL);
    lib_thread_detach();
  });
  _putenv("TZ=");
  _tzset();
  if (!change) GTEST_SKIP() << "the runtime ignores TZ=CET-1CEST";
}

// A line of a new second makes its stamp without the heap, as every other
// line does.
TEST(Stamp, ANewSecondAllocatesNothing) {
  au::install();
  tu::run_thread([] {
    msg_set_clock(injected_clock);
    const LONGLONG start = 1781000000000LL;
    header_stamp(start);
    au::count_start();
    for (int i = 1; i <= 5; ++i) {
      g_clock_ms = start + i * 1000 + i;
      msg_reset();
      msg_header("V");
    }
    EXPECT_EQ(0, au::count_stop());
    bool dst;
    EXPECT_EQ(runtime_stamp(start + 5005, &dst), header_stamp(start + 5005));
    msg_set_clock(NULL);
    lib_thread_detach();
  });
}

// ---------------------------------------------------------------- destinations

TEST(Destinations, EachCallWritesItsOwnSet) {
  std::string dir = tu::fresh_dir();
  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  StreamToFile err(ERRORS_CHANNEL, dir + "stderr.txt");
  HandSlot events(EVENTS_CHANNEL, 3, dir + "events.log", 1);
  HandSlot errors(ERRORS_CHANNEL, 4, dir + "errors.log", 1);
  tu::run_thread([&] {
    ctx_set_slot(EVENTS_CHANNEL, &events.slot());
    ctx_set_slot(ERRORS_CHANNEL, &errors.slot());
    event("v");
    devent(0, "d");
    warning("w");
    error("e");
    report_line("f");
    ctx_set_slot(EVENTS_CHANNEL, NULL);
    ctx_set_slot(ERRORS_CHANNEL, NULL);
    lib_thread_detach();
  });
  std::string running = "Running " + tu::exe_path() + ": ";
  std::string w = "W|" + running + "Warning: w",
              e = "E|" + running + "Error: e";
  EXPECT_EQ((std::vector<std::string>{"V|v", "0|d", w, e, "F|f"}),
            cu::typed_rests(events.text()));
  EXPECT_EQ((std::vector<std::string>{w, e}), cu::typed_rests(errors.text()));
  EXPECT_EQ((std::vector<std::string>{"V|v", "0|d", w, e}),
            cu::typed_rests(out.text()));
  EXPECT_EQ((std::vector<std::string>{w, e}), cu::typed_rests(err.text()));
}

TEST(Destinations, ReportLineWithoutEventsSlotWritesNothing) {
  std::string dir = tu::fresh_dir();
  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  StreamToFile err(ERRORS_CHANNEL, dir + "stderr.txt");
  HandSlot errors(ERRORS_CHANNEL, 4, dir + "errors.log", 1);
  tu::run_thread([&] {
    ctx_set_slot(ERRORS_CHANNEL, &errors.slot());
    report_line("frame %d", 1);
    ctx_set_slot(ERRORS_CHANNEL, NULL);
    lib_thread_detach();
  });
  EXPECT_EQ("", out.text());
  EXPECT_EQ("", err.text());
  EXPECT_EQ("", errors.text());
}

TEST(Destinations, LinesGoToTheEndOfAnExistingFile) {
  std::string dir = tu::fresh_dir();
  tu::write_file(dir + "events.log", "old line\r\n");
  HandSlot events(EVENTS_CHANNEL, 5, dir + "events.log", 1);
  tu::run_thread([&] {
    ctx_set_slot(EVENTS_CHANNEL, &events.slot());
    report_line("new");
    ctx_set_slot(EVENTS_CHANNEL, NULL);
    lib_thread_detach();
  });
  std::vector<std::string> lines = tu::split_lines(events.text());
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("old line", lines[0]);
  EXPECT_EQ((std::vector<std::string>{"F|new"}),
            cu::typed_rests(events.text()));
}

namespace {

// SetFilePointer as Windows documents it: without a place for the high
// part, a move whose result does not fit in 32 bits fails and leaves the
// position where it was. Wine's own lets it through.
DWORD WINAPI documented_set_file_pointer(HANDLE file, LONG distance,
                                         PLONG distance_high, DWORD method) {
  LARGE_INTEGER move, saved, now;
  move.QuadPart = distance_high
                      ? (LONGLONG)(((ULONGLONG)(DWORD)*distance_high << 32) |
                                   (DWORD)distance)
                      : (LONGLONG)distance;
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(file, zero, &saved, FILE_CURRENT) ||
      !SetFilePointerEx(file, move, &now, method))
    return INVALID_SET_FILE_POINTER;
  if (!distance_high && now.QuadPart > 0xFFFFFFFFLL) {
    SetFilePointerEx(file, saved, NULL, FILE_BEGIN);
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high) *distance_high = (LONG)now.HighPart;
  SetLastError(NO_ERROR);
  return now.LowPart;
}

}  // namespace

// A file already past 4 GiB (sparse where the file system allows) gets the
// line at its true end, not at the handle's last position.
TEST(Destinations, LinesGoToTheEndOfAFilePastFourGiB) {
  std::string dir = tu::fresh_dir();
  std::string path = dir + "big.log";
  const LONGLONG old_size = 0x100000000LL + 100;
  HANDLE file = open_log(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  LARGE_INTEGER end;
  end.QuadPart = old_size;
  ASSERT_TRUE(SetFilePointerEx(file, end, NULL, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(file));
  CloseHandle(file);

  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  void* real = iu::patch_import("kernel32.dll", "SetFilePointer",
                                (void*)documented_set_file_pointer);
  ASSERT_NE(nullptr, real);
  tu::run_thread([&] {
    util_init(path.c_str(), NULL, NULL, NULL);
    event("past four GiB");
    lib_thread_detach();
  });
  iu::patch_import("kernel32.dll", "SetFilePointer", real);

  file = CreateFileA(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  LARGE_INTEGER size;
  GetFileSizeEx(file, &size);
  char head[100] = {1};
  DWORD got = 0;
  ReadFile(file, head, sizeof head, &got, NULL);
  char tail[200] = {};
  SetFilePointerEx(file, end, NULL, FILE_BEGIN);
  ReadFile(file, tail, sizeof tail - 1, &got, NULL);
  CloseHandle(file);
  DeleteFileA(path.c_str());

  EXPECT_EQ(std::string(100, '\0'), std::string(head, sizeof head));
  EXPECT_EQ((std::vector<std::string>{"V|past four GiB"}),
            cu::typed_rests(std::string(tail, got)));
  EXPECT_EQ(old_size + (LONGLONG)got, size.QuadPart);
  EXPECT_FALSE(tu::file_exists(path));
}

// ---------------------------------------------------------------- detach

TEST(ThreadDetach, DropsCountsAndClosesAtZero) {
  std::string dir = tu::fresh_dir();
  HandSlot events(EVENTS_CHANNEL, 7, dir + "events.log", 2);
  HandSlot errors(ERRORS_CHANNEL, 7, dir + "errors.log", 1);
  HANDLE events_file = events.slot().file;
  HANDLE errors_file = errors.slot().file;

  auto attached_thread = [&](bool with_errors) {
    tu::run_thread([&] {
      ctx_set_slot(EVENTS_CHANNEL, &events.slot());
      if (with_errors) ctx_set_slot(ERRORS_CHANNEL, &errors.slot());
      event("attached");
      lib_thread_detach();
      EXPECT_EQ(nullptr, ctx_slot(EVENTS_CHANNEL));
      EXPECT_EQ(nullptr, ctx_slot(ERRORS_CHANNEL));
    });
  };

  attached_thread(true);
  // events: one attachment left, so the file stays open.
  EXPECT_EQ(1, events.count());
  EXPECT_EQ(1, events.slot().in_use);
  EXPECT_TRUE(handle_open(events_file));
  // errors: the last attachment went, so the file is closed and the slot free.
  EXPECT_EQ(0, errors.count());
  EXPECT_EQ(0, errors.slot().in_use);
  EXPECT_FALSE(handle_open(errors_file));

  attached_thread(false);
  EXPECT_EQ(0, events.count());
  EXPECT_EQ(0, events.slot().in_use);
  EXPECT_FALSE(handle_open(events_file));
  EXPECT_EQ(2u, cu::library_lines(events.text()).size());
}

TEST(ThreadDetach, UnattachedThreadOnlyFreesItsBuffers) {
  std::string dir = tu::fresh_dir();
  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  HandSlot other(EVENTS_CHANNEL, 9, dir + "events.log", 1);
  tu::run_thread([] {
    util_set_mark("M");
    setbanner("b");
    event("logged");
    EXPECT_NE(nullptr, TlsGetValue(g_keys.message));
    lib_thread_detach();
    EXPECT_EQ(nullptr, TlsGetValue(g_keys.mark));
    EXPECT_EQ(nullptr, TlsGetValue(g_keys.message));
    EXPECT_EQ(nullptr, TlsGetValue(g_keys.banner));
    EXPECT_EQ(nullptr, TlsGetValue(g_keys.cursor));
  });
  EXPECT_EQ(1, other.count());
  EXPECT_EQ(1, other.slot().in_use);
  for (int ch = EVENTS_CHANNEL; ch <= ERRORS_CHANNEL; ++ch)
    EXPECT_EQ(0, g_tables[ch].counts[0]);
}

static DWORD WINAPI call_entry(LPVOID p) {
  (*static_cast<const std::function<void()>*>(p))();
  return 0;
}

// Runs fn on a thread and reports whether it finished within the time.
static bool finishes_within(DWORD millis, const std::function<void()>& fn) {
  HANDLE h = CreateThread(NULL, 0, call_entry, (LPVOID)&fn, 0, NULL);
  bool done = WaitForSingleObject(h, millis) == WAIT_OBJECT_0;
  // A call stuck on a lock cannot be ended cleanly.
  if (!done) TerminateThread(h, 1);
  CloseHandle(h);
  return done;
}

static void write_line(const char* text) {
  msg_reset();
  msg_header("V");
  msg_append("%s\n", text);
  msg_write(&g_tables[EVENTS_CHANNEL].slots[0]);
}

TEST(ThreadDetach, GivesBackAStandardStreamLockStillHeld) {
  std::string dir = tu::fresh_dir();
  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  HANDLE detached = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE finish = CreateEventA(NULL, TRUE, FALSE, NULL);
  // The thread stays alive after its detach, as it does while the loader
  // runs the detach, so only the detach's release can free the lock.
  std::function<void()> owner_body = [&] {
    file_lock_acquire(g_tables[EVENTS_CHANNEL].slots[0].lock);
    lib_thread_detach();
    SetEvent(detached);
    WaitForSingleObject(finish, INFINITE);
  };
  HANDLE owner = CreateThread(NULL, 0, call_entry, &owner_body, 0, NULL);
  WaitForSingleObject(detached, INFINITE);
  EXPECT_TRUE(finishes_within(5000, [] {
    write_line("after detach");
    lib_thread_detach();
  }));
  SetEvent(finish);
  WaitForSingleObject(owner, INFINITE);
  CloseHandle(owner);
  CloseHandle(detached);
  CloseHandle(finish);
  EXPECT_EQ((std::vector<std::string>{"V|after detach"}),
            cu::typed_rests(out.text()));
}

TEST(WriteLock, LeftByADeadWriterDoesNotBlockLaterWriters) {
  std::string dir = tu::fresh_dir();
  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  // Ends holding the lock, without any detach.
  tu::run_thread(
      [] { file_lock_acquire(g_tables[EVENTS_CHANNEL].slots[0].lock); });
  // The next writer lives on after its write; had it kept the lock it took
  // over, every later writer would wait for it.
  HANDLE written = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE finish = CreateEventA(NULL, TRUE, FALSE, NULL);
  std::function<void()> first = [&] {
    write_line("first");
    SetEvent(written);
    WaitForSingleObject(finish, INFINITE);
    lib_thread_detach();
  };
  HANDLE first_thread = CreateThread(NULL, 0, call_entry, &first, 0, NULL);
  WaitForSingleObject(written, INFINITE);
  EXPECT_TRUE(finishes_within(5000, [] {
    write_line("second");
    lib_thread_detach();
  }));
  SetEvent(finish);
  WaitForSingleObject(first_thread, INFINITE);
  CloseHandle(first_thread);
  CloseHandle(written);
  CloseHandle(finish);
  EXPECT_EQ((std::vector<std::string>{"V|first", "V|second"}),
            cu::typed_rests(out.text()));
}

// ---------------------------------------------------------------- concurrency

TEST(WriteLock, ThreadsSharingASlotWriteWholeLines) {
  const int kThreads = 4, kLines = 250;
  std::string dir = tu::fresh_dir();
  StreamToFile out(EVENTS_CHANNEL, dir + "stdout.txt");
  HandSlot shared(EVENTS_CHANNEL, 11, dir + "shared.log", kThreads);
  std::function<void()> bodies[kThreads];
  HANDLE threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    bodies[i] = [&shared, i] {
      ctx_set_slot(EVENTS_CHANNEL, &shared.slot());
      std::string text(400, (char)('a' + i));
      for (int n = 0; n < kLines; ++n) report_line("%d %s", n, text.c_str());
      lib_thread_detach();
    };
    threads[i] = CreateThread(NULL, 0, call_entry, &bodies[i], 0, NULL);
  }
  WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
  for (HANDLE h : threads) CloseHandle(h);

  // The last detach closed the file.
  EXPECT_EQ(0, shared.slot().in_use);
  std::string text = shared.text();
  std::vector<std::string> all = tu::split_lines(text);
  std::vector<std::string> lines = cu::typed_rests(text);
  ASSERT_EQ((size_t)(kThreads * kLines), all.size());
  ASSERT_EQ(all.size(), lines.size());
  int next[kThreads] = {};
  for (const std::string& line : lines) {
    size_t letter = line.find(' ') + 1;
    int id = line[letter] - 'a';
    ASSERT_TRUE(id >= 0 && id < kThreads) << line;
    EXPECT_EQ("F|" + std::to_string(next[id]++) + " " +
                  std::string(400, (char)('a' + id)),
              line);
  }
}

// ---------------------------------------------------------------- load

namespace {

// Stand-ins for the load's CreateMutexA and TlsAlloc: the n-th call of one
// fails (0: none), and what the others return is kept.
typedef HANDLE(WINAPI* CreateMutexFn)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
typedef DWORD(WINAPI* TlsAllocFn)(void);
CreateMutexFn g_create_mutex;
TlsAllocFn g_tls_alloc;
int g_mutex_calls, g_key_calls, g_failing_mutex, g_failing_key;
std::vector<HANDLE> g_made_mutexes;
std::vector<DWORD> g_taken_keys;

HANDLE WINAPI failing_create_mutex(LPSECURITY_ATTRIBUTES attributes, BOOL owned,
                                   LPCSTR name) {
  if (++g_mutex_calls == g_failing_mutex) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
  }
  HANDLE mutex = g_create_mutex(attributes, owned, name);
  g_made_mutexes.push_back(mutex);
  return mutex;
}

DWORD WINAPI failing_tls_alloc(void) {
  if (++g_key_calls == g_failing_key) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
  }
  DWORD key = g_tls_alloc();
  g_taken_keys.push_back(key);
  return key;
}

}  // namespace

// A load that fails at a later step closes the mutexes it made and gives
// back the keys it took. The program's own load is put back after each.
TEST(Load, FailedStepLeavesNoMutexOrKeyBehind) {
  const int key_count = (int)(sizeof(TlsKeys) / sizeof(DWORD));
  static LogTable saved_tables[2];
  memcpy(saved_tables, g_tables, sizeof g_tables);
  const TlsKeys saved_keys = g_keys;
  const HMODULE saved_module = g_module;
  g_create_mutex = (CreateMutexFn)iu::patch_import(
      "kernel32.dll", "CreateMutexA", (void*)failing_create_mutex);
  g_tls_alloc = (TlsAllocFn)iu::patch_import("kernel32.dll", "TlsAlloc",
                                             (void*)failing_tls_alloc);
  ASSERT_NE(nullptr, g_create_mutex);
  ASSERT_NE(nullptr, g_tls_alloc);

  struct Case {
    int failing_mutex, failing_key;
  };
  // The two table mutexes are the only mutexes a load makes.
  std::vector<Case> cases = {{1, 0}, {2, 0}};
  for (int k = 1; k <= key_count; ++k) cases.push_back({0, k});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "mutex " << c.failing_mutex << ", key " << c.failing_key);
    g_mutex_calls = g_key_calls = 0;
    g_failing_mutex = c.failing_mutex;
    g_failing_key = c.failing_key;
    g_made_mutexes.clear();
    g_taken_keys.clear();

    EXPECT_FALSE(lib_process_attach(GetModuleHandleA(NULL)));

    EXPECT_LE(1u, g_made_mutexes.size());
    for (HANDLE mutex : g_made_mutexes) EXPECT_FALSE(handle_open(mutex));
    const DWORD* key = &g_keys.mark;
    for (int i = 0; i < key_count; ++i)
      EXPECT_EQ((DWORD)TLS_OUT_OF_INDEXES, key[i]) << i;
    // Keys given back are the lowest free ones again.
    std::vector<DWORD> fresh;
    for (size_t i = 0; i < g_taken_keys.size(); ++i)
      fresh.push_back(g_tls_alloc());
    for (DWORD fresh_key : fresh) TlsFree(fresh_key);
    std::sort(fresh.begin(), fresh.end());
    std::sort(g_taken_keys.begin(), g_taken_keys.end());
    EXPECT_EQ(g_taken_keys, fresh);

    memcpy(g_tables, saved_tables, sizeof g_tables);
    g_keys = saved_keys;
    g_module = saved_module;
  }
  iu::patch_import("kernel32.dll", "CreateMutexA", (void*)g_create_mutex);
  iu::patch_import("kernel32.dll", "TlsAlloc", (void*)g_tls_alloc);
}
