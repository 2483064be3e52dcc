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

bool handle_open(HANDLE h) {
  DWORD flags;
  return GetHandleInformation(h, &flags) != 0;
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
  HANDLE stream_mutex = stream->mutex;
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
    EXPECT_EQ(stream_mutex, stream->mutex) << c.name;
    EXPECT_TRUE(handle_open(stream_mutex)) << c.name;
  }
  iu::patch_import("kernel32.dll", "VirtualQuery", (void*)g_virtual_query);

  // Both outer reports and the inner one started on standard error.
  std::vector<std::string> titles;
  for (const tu::Line& line :
       cr::lines_of(tu::read_file(err.path), (long)GetCurrentProcessId(), 0))
    if (line.rest.find(" Exception report: ") != std::string::npos)
      titles.push_back(line.rest);
  EXPECT_EQ((std::vector<std::string>{cr::title_line("Outer."),
                                      cr::title_line("Inner."),
                                      cr::title_line("Outer.")}),
            titles);
}
