// The exception report from made-up exception records: the exception line
// in its corner cases, and what the report does to the thread's attachment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "crash_util.h"
#include "import_util.h"
#include "test_util.h"
#include "zorvel_int.h"

namespace {

std::string events_path() { return tu::exe_dir() + "events.log"; }

// Reports a record on a thread of its own; returns that thread's lines.
std::vector<tu::Line> report(EXCEPTION_RECORD* record) {
  size_t from = tu::read_file(events_path()).size();
  CONTEXT context;
  memset(&context, 0, sizeof context);
  tu::set_context_pc(&context, (DWORD_PTR)record->ExceptionAddress);
  EXCEPTION_POINTERS pointers = {record, &context};
  DWORD tid = 0;
  tu::run_thread([&] {
    tid = GetCurrentThreadId();
    exception_report(&pointers, "Test.");
    lib_thread_detach();
  });
  return cr::lines_of(tu::read_file(events_path()).substr(from),
                      (long)GetCurrentProcessId(), (long)tid);
}

}  // namespace

TEST(ExceptionLine, ShowsWhereTheAddressLiesAndTheParameters) {
  void* heap = malloc(16);
  BYTE* base = (BYTE*)GetModuleHandleA(NULL);
  std::string fifteen;
  for (int i = 0; i < 15; ++i) fifteen += ", " + tu::addr_text(0xA0 + i);
  struct Case {
    const char* name;
    void* address;
    DWORD count;
    std::string tail;  // after the address
  } cases[] = {
      {"heap, no parameters", heap, 0, "\t(00:00000000 ), params: "},
      {"image headers, one parameter", base + 0x40, 1,
       "\t(00:00000000 " + tu::exe_path() +
           "), params:  " + tu::addr_text(0xA0)},
      // A damaged count reads no further than the record's fifteen.
      {"count beyond the record", heap, 99,
       "\t(00:00000000 ), params: " + fifteen.substr(1)},
  };
  for (const Case& c : cases) {
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionCode = 0xC0000005;
    record.ExceptionAddress = c.address;
    record.NumberParameters = c.count;
    for (int i = 0; i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
      record.ExceptionInformation[i] = 0xA0 + i;
    std::vector<cr::Frame> frames =
        cr::expect_report(report(&record), "Test.",
                          "Exception 0xC0000005 occured at address " +
                              tu::addr_text((DWORD_PTR)c.address) + c.tail);
    ASSERT_EQ(frames.size(), 1u) << c.name;
    EXPECT_EQ(frames[0].frame, 0u) << c.name;
  }
  free(heap);
}

namespace {

// An exception record with no parameters and a zeroed context.
struct MadeUpException {
  EXCEPTION_RECORD record;
  CONTEXT context;
  EXCEPTION_POINTERS pointers;
  explicit MadeUpException(DWORD code) {
    memset(&record, 0, sizeof record);
    record.ExceptionCode = code;
    memset(&context, 0, sizeof context);
    pointers = {&record, &context};
  }
};

SHORT count_of(Channel channel, LogSlot* slot) {
  if (!slot) return -1;
  return g_tables[channel].counts[slot - g_tables[channel].slots];
}

}  // namespace

// A thread on the report's files keeps its slots; one elsewhere moves to
// them and keeps the report's mark afterwards.
namespace {

struct BusyFile {
  std::string file;
  volatile LONG stop;
};

DWORD WINAPI write_until_stopped(LPVOID p) {
  BusyFile* busy = static_cast<BusyFile*>(p);
  util_init(busy->file.c_str(), nullptr, "BUSY", nullptr);
  for (int n = 0; !busy->stop; ++n) event("other %d", n);
  lib_thread_detach();
  return 0;
}

// Sixty long lines, more than a report buffer holds, then a fault.
int long_body_then_fault(void*) {
  std::string pad(250, 'x');
  for (int i = 0; i < 60; ++i) report_line("line %d %s", i, pad.c_str());
  *(volatile int*)NULL = 1;
  return 0;
}

}  // namespace

// A report too long for its buffer holds the file's lock across its lines:
// no other thread's line comes between them. A fault in it still ends the
// block and gives the lock back.
TEST(ReportBlock, LongReportHoldsTheLockUntilItEndsAfterAFault) {
  BusyFile busy{tu::fresh_dir() + "busy.log", 0};
  HANDLE writer = CreateThread(NULL, 0, write_until_stopped, &busy, 0, NULL);
  DWORD tid = 0;
  tu::run_thread([&] {
    tid = GetCurrentThreadId();
    util_init(busy.file.c_str(), nullptr, "REP", nullptr);
    Sleep(50);
    write_report_block(long_body_then_fault, nullptr);
    event("after");
    lib_thread_detach();
  });
  Sleep(50);
  busy.stop = 1;
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(writer, 30000));
  CloseHandle(writer);

  std::vector<std::string> lines = tu::split_lines(tu::read_file(busy.file));
  std::string own = "(" + std::to_string(GetCurrentProcessId()) + ":" +
                    std::to_string(tid) + ":REP): ";
  size_t first = 0;
  while (first < lines.size() && lines[first].find(own) == std::string::npos)
    ++first;
  ASSERT_LT(first + 61, lines.size());
  for (int i = 0; i <= 60; ++i) {
    const std::string& line = lines[first + i];
    EXPECT_NE(line.find(own), std::string::npos) << line;
    if (i < 60) {
      EXPECT_NE(line.find("line " + std::to_string(i) + " "), std::string::npos)
          << line;
    }
  }
  EXPECT_NE(lines[first + 60].find("*****"), std::string::npos);
  // Lines after the block: the lock was given back.
  EXPECT_NE(lines[first + 61].find(own + "after"), std::string::npos)
      << lines[first + 61];
}

TEST(ReportAttachment, MovesTheThreadToTheReportFilesOrKeepsThem) {
  std::string dir = tu::fresh_dir();
  MadeUpException made_up(0xE0000001);
  EXCEPTION_POINTERS& pointers = made_up.pointers;

  tu::run_thread([&] {
    util_init(".\\events.log", ".\\errors.log", "SAME", NULL);
    LogSlot* events = ctx_slot(EVENTS_CHANNEL);
    LogSlot* errors = ctx_slot(ERRORS_CHANNEL);
    SHORT events_count = count_of(EVENTS_CHANNEL, events);
    SHORT errors_count = count_of(ERRORS_CHANNEL, errors);
    exception_report(&pointers, "Test.");
    EXPECT_EQ(ctx_slot(EVENTS_CHANNEL), events);
    EXPECT_EQ(ctx_slot(ERRORS_CHANNEL), errors);
    EXPECT_EQ(count_of(EVENTS_CHANNEL, events), events_count);
    EXPECT_EQ(count_of(ERRORS_CHANNEL, errors), errors_count);
    EXPECT_STREQ(getsmark(), "ECTCH");
    lib_thread_detach();
  });

  tu::run_thread([&] {
    util_init((dir + "own_events.log").c_str(),
              (dir + "own_errors.log").c_str(), "OWN", NULL);
    exception_report(&pointers, "Test.");
    EXPECT_EQ(_stricmp(ctx_slot(EVENTS_CHANNEL)->path, events_path().c_str()),
              0);
    EXPECT_EQ(_stricmp(ctx_slot(ERRORS_CHANNEL)->path,
                       (tu::exe_dir() + "errors.log").c_str()),
              0);
    EXPECT_STREQ(getsmark(), "ECTCH");
    lib_thread_detach();
  });
}

namespace {

// Holds every free named slot of the events table, as attached threads
// would, so that a report cannot attach to events.log; lets them go after.
struct FullEventsTable {
  std::vector<LogSlot*> held;

  explicit FullEventsTable(const std::string& dir) {
    tu::run_thread([&] {
      for (int i = 1;; ++i) {
        std::string name = dir + "held" + std::to_string(i) + ".log";
        int index = slot_open(EVENTS_CHANNEL, name.c_str(), NULL);
        if (index < 0) break;
        slot_addref(EVENTS_CHANNEL, index);
        held.push_back(&g_tables[EVENTS_CHANNEL].slots[index]);
      }
      ctx_set_slot(EVENTS_CHANNEL, NULL);
    });
  }
  ~FullEventsTable() {
    for (LogSlot* slot : held) slot_drop(EVENTS_CHANNEL, slot);
  }
};

// Standard error's slot writes to a file while it lives.
struct StderrToFile {
  HANDLE saved;
  std::string path;

  explicit StderrToFile(const std::string& file) : path(file) {
    saved = g_tables[ERRORS_CHANNEL].slots[0].file;
    g_tables[ERRORS_CHANNEL].slots[0].file =
        CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, NULL);
  }
  ~StderrToFile() {
    CloseHandle(g_tables[ERRORS_CHANNEL].slots[0].file);
    g_tables[ERRORS_CHANNEL].slots[0].file = saved;
  }
};

// The report's region query runs g_inside once, on g_inside_thread: a way
// into the middle of a report.
typedef SIZE_T(WINAPI* VirtualQueryFn)(LPCVOID, PMEMORY_BASIC_INFORMATION,
                                       SIZE_T);
VirtualQueryFn g_virtual_query;
std::function<void()> g_inside;
DWORD g_inside_thread;

SIZE_T WINAPI query_after_inside(LPCVOID address,
                                 PMEMORY_BASIC_INFORMATION record,
                                 SIZE_T size) {
  if (g_inside && GetCurrentThreadId() == g_inside_thread) {
    std::function<void()> inside = g_inside;
    g_inside = nullptr;
    inside();
  }
  return g_virtual_query(address, record, size);
}

std::vector<SHORT> all_counts() {
  std::vector<SHORT> counts;
  for (const LogTable& table : g_tables)
    counts.insert(counts.end(), table.counts, table.counts + SLOT_COUNT);
  return counts;
}

}  // namespace

// With the events table full, a report lends standard error's slot as the
// thread's events slot. A second report, or an attach, inside it drops that
// slot: no table counts it, and the outer report hands back only its own
// loan.
TEST(ReportAttachment, LentStandardErrorIsNeverCountedNorTakenBack) {
  std::string dir = tu::fresh_dir();
  FullEventsTable full(dir);
  ASSERT_FALSE(full.held.empty());
  StderrToFile err(dir + "stderr.txt");
  LogSlot* stream = &g_tables[ERRORS_CHANNEL].slots[0];
  FileLock* stream_lock = stream->lock;
  g_virtual_query = (VirtualQueryFn)iu::patch_import(
      "kernel32.dll", "VirtualQuery", (void*)query_after_inside);
  ASSERT_NE(nullptr, g_virtual_query);

  MadeUpException made_up(0xE0000001);
  EXCEPTION_POINTERS& pointers = made_up.pointers;
  LogSlot* held = full.held[0];
  struct Case {
    const char* name;
    std::function<void()> inside;
    LogSlot* events_after;  // the thread's events slot after the report
  } cases[] = {
      {"report in the report", [&] { exception_report(&pointers, "Inner."); },
       nullptr},
      {"attach in the report", [&] { util_init(held->path, NULL, NULL, NULL); },
       held},
  };
  for (const Case& c : cases) {
    std::vector<SHORT> counts = all_counts();
    LogSlot* events_after = stream;
    tu::run_thread([&] {
      g_inside_thread = GetCurrentThreadId();
      g_inside = c.inside;
      exception_report(&pointers, "Outer.");
      events_after = ctx_slot(EVENTS_CHANNEL);
      lib_thread_detach();
    });
    EXPECT_EQ(nullptr, g_inside) << c.name;
    EXPECT_EQ(c.events_after, events_after) << c.name;
    EXPECT_EQ(counts, all_counts()) << c.name;
    EXPECT_EQ(1, stream->in_use) << c.name;
    EXPECT_EQ(stream_lock, stream->lock) << c.name;
  }
  iu::patch_import("kernel32.dll", "VirtualQuery", (void*)g_virtual_query);

  // Both outer reports and the inner one started on standard error; a report
  // is written as one block, so the inner one comes first.
  std::vector<std::string> titles;
  for (const tu::Line& line :
       cr::lines_of(tu::read_file(err.path), (long)GetCurrentProcessId(), 0))
    if (line.rest.find(" Exception report: ") != std::string::npos)
      titles.push_back(line.rest);
  EXPECT_EQ((std::vector<std::string>{cr::title_line("Inner."),
                                      cr::title_line("Outer."),
                                      cr::title_line("Outer.")}),
            titles);
}

// ------------------------------------------------------------ minidumps

namespace {

// A report's lines and the line after its closing rule, if any.
struct DumpedReport {
  std::vector<tu::Line> report;
  std::string dump_line;
  DWORD tid = 0;
};

// Reports a made-up exception on a thread of its own, which runs before
// first.
DumpedReport report_with_dump(EXCEPTION_POINTERS* pointers,
                              const std::function<void(DWORD)>& before) {
  size_t from = tu::read_file(events_path()).size();
  DumpedReport result;
  tu::run_thread([&] {
    result.tid = GetCurrentThreadId();
    if (before) before(result.tid);
    exception_report(pointers, "Test.");
    lib_thread_detach();
  });
  result.report = cr::lines_of(tu::read_file(events_path()).substr(from),
                               (long)GetCurrentProcessId(), (long)result.tid);
  if (!result.report.empty() &&
      result.report.back().rest.compare(0, 8, "Minidump") == 0) {
    result.dump_line = result.report.back().rest;
    result.report.pop_back();
  }
  return result;
}

// What a dump of thread tid is called at local time t, without ".dmp".
std::string dump_stem(const std::string& dir, DWORD tid, const SYSTEMTIME& t) {
  return dir + cr::fmt("\\itest_crash_report-%lu-%lu-%04u%02u%02u-%02u%02u%02u",
                       GetCurrentProcessId(), tid, t.wYear, t.wMonth, t.wDay,
                       t.wHour, t.wMinute, t.wSecond);
}

// Takes the names a dump of thread tid would get in the coming seconds.
void take_coming_names(const std::string& dir, DWORD tid) {
  CreateDirectoryA(dir.c_str(), NULL);
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME at;
  SystemTimeToFileTime(&now, &at);
  for (int s = 0; s < 10; ++s) {
    ULARGE_INTEGER t;
    t.LowPart = at.dwLowDateTime;
    t.HighPart = at.dwHighDateTime;
    t.QuadPart += (ULONGLONG)s * 10000000;
    FILETIME next = {t.LowPart, t.HighPart};
    SYSTEMTIME st;
    FileTimeToSystemTime(&next, &st);
    tu::write_file(dump_stem(dir, tid, st) + ".dmp", "taken");
  }
}

bool starts_with(const std::string& s, const std::string& head) {
  return s.compare(0, head.size(), head) == 0;
}
bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() &&
         s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// With dumps on, one more line follows the closing rule: the dump's name, a
// name of its own where the first is taken, or why there is none. Off
// again, the report is as it was.
TEST(Minidump, LineAfterTheReportNamesTheDumpOrWhyNone) {
  std::string dir = tu::fresh_dir();
  tu::write_file(dir + "a-file", "");
  MadeUpException made_up(0xE0000001);
  const std::string written = "Minidump written: ";
  struct Case {
    const char* name;
    std::string directory;
    bool take_names;
    std::string head_after_stem;  // the line is its head, the stem, this
    std::string tail;
  } cases[] = {
      {"missing directories made", dir + "new\\dumps", false, written, ".dmp"},
      {"name taken", dir + "taken", true, written, "-2.dmp"},
      {"directory is a file", dir + "a-file\\dumps", false,
       "Minidump not written: cannot create ", ".dmp (error 3)"},
  };
  for (const Case& c : cases) {
    DumpedReport result;
    util_set_dump(c.directory.c_str(), ZORVEL_DUMP_SMALL);
    result = report_with_dump(&made_up.pointers, [&](DWORD tid) {
      if (c.take_names) take_coming_names(c.directory, tid);
    });
    util_set_dump(NULL, ZORVEL_DUMP_SMALL);
    cr::expect_report(result.report, "Test.", "");
    std::string stem_head =
        c.directory + cr::fmt("\\itest_crash_report-%lu-%lu-",
                              GetCurrentProcessId(), result.tid);
    const std::string& line = result.dump_line;
    EXPECT_TRUE(starts_with(line, c.head_after_stem + stem_head))
        << c.name << ": " << line;
    EXPECT_TRUE(ends_with(line, c.tail)) << c.name << ": " << line;
    // yyyymmdd-hhmmss between the thread id and the tail
    size_t stamp = c.head_after_stem.size() + stem_head.size();
    EXPECT_EQ(line.size(), stamp + 15 + c.tail.size())
        << c.name << ": " << line;
    if (starts_with(line, written)) {
      std::string file = line.substr(written.size());
      EXPECT_EQ(tu::read_file(file).substr(0, 4), "MDMP") << c.name;
    }
  }
  DumpedReport off = report_with_dump(&made_up.pointers, nullptr);
  cr::expect_report(off.report, "Test.", "");
  EXPECT_EQ(off.dump_line, "");
}

// Bad arguments throw as util_init does, and leave dumps as they were.
TEST(Minidump, TurningOnThrowsForABadKindOrName) {
  struct Case {
    const char* name;
    std::string directory;
    int kind;
    unsigned long code;
  } cases[] = {
      {"unknown kind", "dumps", 2, ERROR_INVALID_PARAMETER},
      {"name too long", std::string(300, 'd'), ZORVEL_DUMP_SMALL,
       ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Case& c : cases) {
    unsigned long thrown = 0;
    try {
      util_set_dump(c.directory.c_str(), c.kind);
    } catch (unsigned long code) {
      thrown = code;
    }
    EXPECT_EQ(thrown, c.code) << c.name;
  }
  MadeUpException made_up(0xE0000001);
  EXPECT_EQ(report_with_dump(&made_up.pointers, nullptr).dump_line, "");
}

namespace {

// Holds the process heap's lock from its construction until release.
struct HeapHeld {
  HANDLE locked, release, thread;
  HeapHeld() {
    locked = CreateEventA(NULL, TRUE, FALSE, NULL);
    release = CreateEventA(NULL, TRUE, FALSE, NULL);
    thread = CreateThread(NULL, 0, hold, this, 0, NULL);
    WaitForSingleObject(locked, INFINITE);
  }
  ~HeapHeld() {
    for (HANDLE h : {locked, release, thread}) CloseHandle(h);
  }
  void let_go() {
    SetEvent(release);
    WaitForSingleObject(thread, INFINITE);
  }
  static DWORD WINAPI hold(LPVOID p) {
    HeapHeld* self = (HeapHeld*)p;
    HeapLock(GetProcessHeap());
    SetEvent(self->locked);
    WaitForSingleObject(self->release, INFINITE);
    HeapUnlock(GetProcessHeap());
    return 0;
  }
};

}  // namespace

// The writer needs the heap; while another thread holds it, the faulting
// thread waits no longer than its limit, and says so.
TEST(Minidump, FaultingThreadWaitsForTheWriterOnlyUpToItsLimit) {
  std::string dir = tu::fresh_dir();
  MadeUpException made_up(0xE0000001);
  util_set_dump((dir + "dumps").c_str(), ZORVEL_DUMP_SMALL);
  dump_set_wait(500);
  size_t from = tu::read_file(events_path()).size();
  DWORD tid = 0;
  tu::run_thread([&] {
    tid = GetCurrentThreadId();
    util_init(".\\events.log", ".\\errors.log", "HEAP", NULL);
    event("attached before the heap is held");
    HeapHeld held;
    exception_report(&made_up.pointers, "Test.");
    held.let_go();
    lib_thread_detach();
  });
  util_set_dump(NULL, ZORVEL_DUMP_SMALL);
  std::vector<tu::Line> lines;
  for (const tu::Line& line :
       cr::lines_of(tu::read_file(events_path()).substr(from),
                    (long)GetCurrentProcessId(), (long)tid))
    if (line.type == "F") lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  std::string last = lines.back().rest;
  lines.pop_back();
  cr::expect_report(lines, "Test.", "");
  EXPECT_TRUE(starts_with(last, "Minidump not finished within 500 ms: "))
      << last;
}

namespace {

// The writer held where it creates a dump: each request waits at the gate
// while it is shut, then the creation fails with error 5, so that no dump
// takes seconds to write.
typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD,
                                      LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
CreateFileAFn g_create_file;
HANDLE g_at_gate;  // auto-reset: a request reached the gate
HANDLE g_gate;     // auto-reset: lets one request through
volatile LONG g_gate_open;

HANDLE WINAPI create_at_gate(LPCSTR name, DWORD access, DWORD share,
                             LPSECURITY_ATTRIBUTES security, DWORD how,
                             DWORD flags, HANDLE model) {
  size_t length = strlen(name);
  if (length < 4 || _stricmp(name + length - 4, ".dmp") != 0)
    return g_create_file(name, access, share, security, how, flags, model);
  SetEvent(g_at_gate);
  if (!g_gate_open) WaitForSingleObject(g_gate, INFINITE);
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

// Dumps on in a fresh directory with the gate in place, and off again.
struct GatedDumps {
  std::string dir;
  GatedDumps(DWORD wait_ms, bool open) : dir(tu::fresh_dir() + "dumps") {
    g_at_gate = CreateEventA(NULL, FALSE, FALSE, NULL);
    g_gate = CreateEventA(NULL, FALSE, FALSE, NULL);
    g_gate_open = open;
    g_create_file = (CreateFileAFn)iu::patch_import(
        "kernel32.dll", "CreateFileA", (void*)create_at_gate);
    util_set_dump(dir.c_str(), ZORVEL_DUMP_SMALL);
    dump_set_wait(wait_ms);
  }
  ~GatedDumps() {
    g_gate_open = 1;
    SetEvent(g_gate);
    util_set_dump(NULL, ZORVEL_DUMP_SMALL);
    // The writer ends once out of the gate.
    Sleep(200);
    iu::patch_import("kernel32.dll", "CreateFileA", (void*)g_create_file);
    CloseHandle(g_at_gate);
    CloseHandle(g_gate);
  }
};

// Runs fn on a thread of its own until join.
struct Concurrent {
  std::function<void()> fn;
  HANDLE thread;
  DWORD tid = 0;
  explicit Concurrent(std::function<void()> f) : fn(std::move(f)) {
    thread = CreateThread(NULL, 0, run, this, 0, &tid);
  }
  ~Concurrent() { join(); }
  void join() {
    if (!thread) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    thread = NULL;
  }
  static DWORD WINAPI run(LPVOID p) {
    ((Concurrent*)p)->fn();
    lib_thread_detach();
    return 0;
  }
};

// The F lines of thread tid in events.log from byte from on.
std::vector<tu::Line> f_lines_of(size_t from, DWORD tid) {
  std::vector<tu::Line> lines;
  for (const tu::Line& line :
       cr::lines_of(tu::read_file(events_path()).substr(from),
                    (long)GetCurrentProcessId(), (long)tid))
    if (line.type == "F") lines.push_back(line);
  return lines;
}

// Waits up to 30 s for a minidump line of thread tid, the report's last.
std::vector<tu::Line> report_ending_in_dump_line(size_t from, DWORD tid) {
  std::vector<tu::Line> lines;
  for (int i = 0; i < 300; ++i) {
    lines = f_lines_of(from, tid);
    if (!lines.empty() && starts_with(lines.back().rest, "Minidump")) break;
    Sleep(100);
  }
  return lines;
}

// Waits of thread g_timed_thread with a finite, non-zero limit: the limit
// and how long each took.
typedef DWORD(WINAPI* WaitFn)(HANDLE, DWORD);
WaitFn g_wait;
DWORD g_timed_thread;
HANDLE g_timed_waiting;  // set as that thread begins such a wait
struct TimedWait {
  DWORD limit, took;
};
std::vector<TimedWait> g_timed_waits;

DWORD WINAPI timed_wait(HANDLE handle, DWORD limit) {
  if (GetCurrentThreadId() != g_timed_thread || limit == 0 || limit == INFINITE)
    return g_wait(handle, limit);
  SetEvent(g_timed_waiting);
  DWORD start = GetTickCount();
  DWORD result = g_wait(handle, limit);
  g_timed_waits.push_back({limit, GetTickCount() - start});
  return result;
}

}  // namespace

// A thread that waits for another thread's dump and then for its own has
// one deadline for both: the second wait gets what the first left.
TEST(Minidump, OneDeadlineForTheBusyWriterAndTheOwnDump) {
  const DWORD limit = 3000, first_wait = 1000;
  GatedDumps dumps(limit, false);
  MadeUpException made_up(0xE0000001);
  size_t from = tu::read_file(events_path()).size();
  g_timed_waiting = CreateEventA(NULL, FALSE, FALSE, NULL);
  g_timed_waits.clear();
  g_wait = (WaitFn)iu::patch_import("kernel32.dll", "WaitForSingleObject",
                                    (void*)timed_wait);
  Concurrent first([&] { exception_report(&made_up.pointers, "First."); });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_at_gate, 30000));
  Concurrent second([&] {
    g_timed_thread = GetCurrentThreadId();
    exception_report(&made_up.pointers, "Second.");
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_timed_waiting, 30000));
  Sleep(first_wait);
  SetEvent(g_gate);  // the first dump fails at once, the second waits
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_at_gate, 30000));
  second.join();
  SetEvent(g_gate);
  first.join();
  iu::patch_import("kernel32.dll", "WaitForSingleObject", (void*)g_wait);
  CloseHandle(g_timed_waiting);

  ASSERT_EQ(2u, g_timed_waits.size());
  EXPECT_EQ(limit, g_timed_waits[0].limit);
  EXPECT_GE(g_timed_waits[0].took, first_wait);
  // A tick of slack: the library reads the clock on its own.
  EXPECT_LE(g_timed_waits[1].limit + g_timed_waits[0].took, limit + 20)
      << g_timed_waits[1].limit;
  std::vector<tu::Line> lines = f_lines_of(from, second.tid);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(starts_with(
      lines.back().rest,
      cr::fmt("Minidump not finished within %lu ms: ", (unsigned long)limit)))
      << lines.back().rest;
}

namespace {

// The writer's region queries of g_held_address wait at g_held_gate, once,
// on any thread but g_reporter: a way to hold it inside the report it
// writes for a thread with no stack left.
void* g_held_address;
DWORD g_reporter;
HANDLE g_held_at, g_held_gate;

SIZE_T WINAPI query_held(LPCVOID address, PMEMORY_BASIC_INFORMATION record,
                         SIZE_T size) {
  if (address && address == g_held_address &&
      GetCurrentThreadId() != g_reporter) {
    g_held_address = NULL;
    SetEvent(g_held_at);
    WaitForSingleObject(g_held_gate, INFINITE);
  }
  return g_virtual_query(address, record, size);
}

__declspec(noinline) void overflow_site(void) { event("not reached"); }

}  // namespace

// The writer walks the stack of a thread that has none left for its report
// only while that thread waits: once its wait ran out before the walk, the
// report holds the fault's frame alone; a thread whose wait runs out during
// the walk waits for its end.
TEST(Minidump, WriterWalksAStackOnlyWhileItsThreadWaits) {
  const DWORD limit = 500;
  GatedDumps dumps(limit, true);
  g_virtual_query = (VirtualQueryFn)iu::patch_import(
      "kernel32.dll", "VirtualQuery", (void*)query_held);
  ASSERT_NE(nullptr, g_virtual_query);
  g_held_at = CreateEventA(NULL, FALSE, FALSE, NULL);
  g_held_gate = CreateEventA(NULL, FALSE, FALSE, NULL);
  HANDLE returned = CreateEventA(NULL, FALSE, FALSE, NULL);
  HANDLE may_end = CreateEventA(NULL, FALSE, FALSE, NULL);
  struct Case {
    const char* name;
    bool in_walk;  // held at the first frame, else at the exception line
  } cases[] = {{"ran out before the walk", false},
               {"ran out in the walk", true}};
  for (const Case& c : cases) {
    size_t from = tu::read_file(events_path()).size();
    MadeUpException made_up(EXCEPTION_STACK_OVERFLOW);
    made_up.record.ExceptionAddress = (void*)&overflow_site;
    Concurrent faulting([&] {
      g_reporter = GetCurrentThreadId();
      // The frames this context names stay until may_end.
      RtlCaptureContext(&made_up.context);
      g_held_address = c.in_walk ? (void*)tu::context_pc(made_up.context)
                                 : made_up.record.ExceptionAddress;
      exception_report(&made_up.pointers, "Test.");
      SetEvent(returned);
      WaitForSingleObject(may_end, INFINITE);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_held_at, 30000)) << c.name;
    DWORD early = WaitForSingleObject(returned, limit + 2000);
    SetEvent(g_held_gate);
    if (c.in_walk) {
      EXPECT_EQ((DWORD)WAIT_TIMEOUT, early) << c.name;
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(returned, 30000)) << c.name;
    } else {
      EXPECT_EQ(WAIT_OBJECT_0, early) << c.name;
    }
    std::vector<tu::Line> lines =
        report_ending_in_dump_line(from, faulting.tid);
    SetEvent(may_end);
    faulting.join();
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_TRUE(
        starts_with(lines.back().rest, "Minidump not written: cannot create "))
        << c.name << ": " << lines.back().rest;
    lines.pop_back();
    std::vector<cr::Frame> frames = cr::expect_report(lines, "Test.", "");
    if (c.in_walk)
      EXPECT_GE(frames.size(), 2u) << c.name;
    else
      EXPECT_EQ(frames.size(), 1u) << c.name;
  }
  iu::patch_import("kernel32.dll", "VirtualQuery", (void*)g_virtual_query);
  for (HANDLE h : {g_held_at, g_held_gate, returned, may_end}) CloseHandle(h);
}
