// The exception report from made-up exception records: the exception line
// in its corner cases, and what the report does to the thread's attachment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "crash_util.h"
#include "test_util.h"
#include "zorvel_int.h"

namespace {

std::string events_path() { return tu::exe_dir() + "events.log"; }

std::string exe_path() {
  char path[MAX_PATH];
  path[GetModuleFileNameA(NULL, path, sizeof path)] = 0;
  return path;
}

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
  return cu::lines_of(tu::read_file(events_path()).substr(from),
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
    std::string place, params;
  } cases[] = {
      {"heap, no parameters", heap, 0, "00:00000000 ", ""},
      {"image headers, one parameter", base + 0x40, 1,
       "00:00000000 " + exe_path(), " " + tu::addr_text(0xA0)},
      // A damaged count reads no further than the record's fifteen.
      {"count beyond the record", heap, 99, "00:00000000 ", fifteen.substr(1)},
  };
  for (const Case& c : cases) {
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionCode = 0xC0000005;
    record.ExceptionAddress = c.address;
    record.NumberParameters = c.count;
    for (int i = 0; i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
      record.ExceptionInformation[i] = 0xA0 + i;
    std::vector<cu::Frame> frames = cu::expect_report(
        report(&record), "Test.",
        cu::fmt("Exception 0xC0000005 occured at address %s\t(%s), "
                "params: %s",
                tu::addr_text((DWORD_PTR)c.address).c_str(), c.place.c_str(),
                c.params.c_str()));
    ASSERT_EQ(frames.size(), 1u) << c.name;
    EXPECT_EQ(frames[0].frame, 0u) << c.name;
  }
  free(heap);
}

namespace {

SHORT count_of(Channel channel, LogSlot* slot) {
  if (!slot) return -1;
  return g_tables[channel].counts[slot - g_tables[channel].slots];
}

}  // namespace

// A thread on the report's files keeps its slots; one elsewhere moves to
// them and keeps the report's mark afterwards.
TEST(ReportAttachment, MovesTheThreadToTheReportFilesOrKeepsThem) {
  std::string dir = tu::fresh_dir();
  EXCEPTION_RECORD record;
  memset(&record, 0, sizeof record);
  record.ExceptionCode = 0xE0000001;
  CONTEXT context;
  memset(&context, 0, sizeof context);
  EXCEPTION_POINTERS pointers = {&record, &context};

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
