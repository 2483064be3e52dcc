// Exception reports from real structured exceptions: ExcFilter as the
// unhandled-exception filter, ExcFilterI as a handler's filter and
// seh_translator, as a host uses them through the DLL.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>
#include <zorvel.h>

#include "alloc_util.h"
#include "child_util.h"
#include "crash_util.h"
#include "test_util.h"

// Exception parameters as reports print them, in the width of a pointer.
#if defined(_WIN64)
#define P0 "0x0000000000000000"
#define P1 "0x0000000000000001"
#define P16 "0x0000000000000010"
#else
#define P0 "0x00000000"
#define P1 "0x00000001"
#define P16 "0x00000010"
#endif

namespace {

// Faulting code keeps its frames so that the walk passes through callers.
int* volatile g_nowhere;

__attribute__((noinline, optimize("O0"))) void write_nowhere(void) {
  *g_nowhere = 7;
}
__attribute__((noinline, optimize("O0"))) void call_write_nowhere(void) {
  write_nowhere();
}

// A vectored handler hands the real exception pointers of one armed thread
// to a callback, then resumes at a longjmp landing.
jmp_buf g_landing;
DWORD g_armed_thread;
void (*g_on_exception)(EXCEPTION_POINTERS*);
EXCEPTION_RECORD g_record;
CONTEXT g_context;

void land(void) { longjmp(g_landing, 1); }

LONG WINAPI trap_handler(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != g_armed_thread) return EXCEPTION_CONTINUE_SEARCH;
  g_armed_thread = 0;
  g_record = *pointers->ExceptionRecord;
  g_context = *pointers->ContextRecord;
  g_on_exception(pointers);
  tu::resume_in(pointers->ContextRecord, land);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Runs fn on the calling thread with on_exception armed for its exception.
void trap(void (*fn)(void), void (*on_exception)(EXCEPTION_POINTERS*)) {
  PVOID handler = AddVectoredExceptionHandler(1, trap_handler);
  g_on_exception = on_exception;
  if (TU_SETJMP(g_landing) == 0) {
    g_armed_thread = GetCurrentThreadId();
    fn();
  }
  g_armed_thread = 0;
  RemoveVectoredExceptionHandler(handler);
}

long g_filter_result;
void call_filter_i(EXCEPTION_POINTERS* pointers) {
  g_filter_result = ExcFilterI(pointers);
}

std::string events_path() { return tu::exe_dir() + "events.log"; }
std::string errors_path() { return tu::exe_dir() + "errors.log"; }

size_t file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return 0;
  return data.nFileSizeLow;
}

// Lines a thread of this process added to a shared log since from.
std::vector<tu::Line> added_lines(const std::string& path, size_t from,
                                  DWORD tid) {
  std::string text = tu::read_file(path);
  return cr::lines_of(text.substr(from < text.size() ? from : text.size()),
                      (long)GetCurrentProcessId(), (long)tid);
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() &&
         s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void raise_without_parameters(void) { RaiseException(0xE0000042, 0, 0, 0); }
void raise_with_two_parameters(void) {
  const ULONG_PTR params[2] = {1, 0x10};
  RaiseException(0xE0000043, 0, 2, params);
}

}  // namespace

// ------------------------------------------------------------ ExcFilterI

TEST(ExcFilterI, ReportsARealFaultAndReturnsOne) {
  size_t from = file_size(events_path());
  DWORD tid = 0;
  tu::run_thread([&] {
    tid = GetCurrentThreadId();
    g_filter_result = 0;
    trap(call_write_nowhere, call_filter_i);
  });
  EXPECT_EQ(g_filter_result, 1);
  ASSERT_EQ(g_record.ExceptionCode, (DWORD)EXCEPTION_ACCESS_VIOLATION);
  ASSERT_EQ(g_record.NumberParameters, 2u);

  std::vector<cr::Frame> frames = cr::expect_report(
      added_lines(events_path(), from, tid), "SEH exception catched.",
      cr::null_write_line((DWORD_PTR)g_record.ExceptionAddress));
  ASSERT_GE(frames.size(), 2u);
  // The faulting instruction, in this program's code section.
  EXPECT_EQ(frames[0].pc, (DWORD_PTR)g_record.ExceptionAddress);
  EXPECT_EQ(frames[0].frame, tu::context_frame(g_context));
  EXPECT_EQ(frames[0].section, 1u);
  EXPECT_EQ(frames[0].path, tu::exe_path());
  // Then the return into the caller, one frame up.
  DWORD_PTR caller = (DWORD_PTR)&call_write_nowhere;
  EXPECT_GT(frames[1].pc, caller);
  EXPECT_LT(frames[1].pc, caller + 0x40);
  EXPECT_GT(frames[1].frame, frames[0].frame);
}

// Lines written after a report carry its mark and go to its files; the
// thread's own files get nothing more.
TEST(ExcFilterI, LeavesTheThreadOnTheReportFiles) {
  std::string dir = tu::fresh_dir();
  std::string own_events = dir + "own_events.log";
  std::string own_errors = dir + "own_errors.log";
  size_t events_from = file_size(events_path());
  size_t errors_from = file_size(errors_path());
  DWORD tid = 0;
  tu::run_thread([&] {
    tid = GetCurrentThreadId();
    util_init(own_events.c_str(), own_errors.c_str(), "MINE", NULL);
    event("before the fault");
    trap(call_write_nowhere, call_filter_i);
    event("event after the fault");
    error("error after the fault");
  });

  std::vector<tu::Line> events = added_lines(events_path(), events_from, tid);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back().type, "E");
  EXPECT_EQ(events.back().mark, "ECTCH");
  events.pop_back();
  EXPECT_EQ(events.back().type, "V");
  EXPECT_EQ(events.back().mark, "ECTCH");
  EXPECT_EQ(events.back().rest, "event after the fault");
  events.pop_back();
  cr::expect_report(events, "SEH exception catched.",
                    cr::null_write_line((DWORD_PTR)g_record.ExceptionAddress));

  // errors.log: the error line only, none of the report.
  std::vector<tu::Line> errors = added_lines(errors_path(), errors_from, tid);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].type, "E");
  EXPECT_EQ(errors[0].mark, "ECTCH");

  std::string own = tu::read_file(own_events);
  EXPECT_NE(own.find("before the fault"), std::string::npos);
  EXPECT_EQ(own.find("after the fault"), std::string::npos);
  EXPECT_EQ(tu::read_file(own_errors).find("after the fault"),
            std::string::npos);
}

namespace {

// A thread that keeps the report's files open, then holds the process
// heap's lock while another thread faults.
struct HeapHolder {
  HANDLE attached, lock, locked, release, quit, thread;
  long allocations;
};
HeapHolder g_holder;

DWORD WINAPI hold_heap(LPVOID) {
  util_init(".\\events.log", ".\\errors.log", "HOLD", NULL);
  SetEvent(g_holder.attached);
  WaitForSingleObject(g_holder.lock, INFINITE);
  HeapLock(GetProcessHeap());
  SetEvent(g_holder.locked);
  WaitForSingleObject(g_holder.release, INFINITE);
  HeapUnlock(GetProcessHeap());
  WaitForSingleObject(g_holder.quit, INFINITE);
  return 0;
}

void fault_with_the_heap_locked(void) {
  SetEvent(g_holder.lock);
  WaitForSingleObject(g_holder.locked, INFINITE);
  call_write_nowhere();
}

void report_counting(EXCEPTION_POINTERS* pointers) {
  au::count_start();
  ExcFilterI(pointers);
  g_holder.allocations = au::count_stop();
  SetEvent(g_holder.release);
}

DWORD WINAPI fault_off_the_report_files(LPVOID dir) {
  std::string own = *(const std::string*)dir;
  util_init((own + "own_events.log").c_str(), (own + "own_errors.log").c_str(),
            "MINE", NULL);
  event("before the fault");  // the thread's buffers exist from here on
  trap(fault_with_the_heap_locked, report_counting);
  return 0;
}

}  // namespace

// A fault may come from a damaged heap: the report takes no heap memory, so
// it ends even while another thread holds the process heap's lock. The
// faulting thread moves onto report files that another thread has open.
TEST(ExcFilterI, TakesNoHeapMemoryWhileAnotherThreadHoldsTheHeap) {
  au::install();
  std::string dir = tu::fresh_dir();
  HANDLE* events[] = {&g_holder.attached, &g_holder.lock, &g_holder.locked,
                      &g_holder.release, &g_holder.quit};
  for (HANDLE* e : events) *e = CreateEventA(NULL, TRUE, FALSE, NULL);
  g_holder.allocations = -1;
  g_holder.thread = CreateThread(NULL, 0, hold_heap, NULL, 0, NULL);
  ASSERT_EQ(WaitForSingleObject(g_holder.attached, 30000),
            (DWORD)WAIT_OBJECT_0);
  size_t from = file_size(events_path());
  DWORD tid = 0;
  HANDLE faulting =
      CreateThread(NULL, 0, fault_off_the_report_files, &dir, 0, &tid);
  bool blocked = WaitForSingleObject(faulting, 20000) == WAIT_TIMEOUT;
  SetEvent(g_holder.release);  // a blocked report goes on from here
  WaitForSingleObject(faulting, INFINITE);
  SetEvent(g_holder.quit);
  WaitForSingleObject(g_holder.thread, INFINITE);
  for (HANDLE h : {faulting, g_holder.thread}) CloseHandle(h);
  for (HANDLE* e : events) CloseHandle(*e);

  EXPECT_FALSE(blocked) << "the report waited for the heap";
  EXPECT_EQ(g_holder.allocations, 0);
  cr::expect_report(added_lines(events_path(), from, tid),
                    "SEH exception catched.",
                    cr::null_write_line((DWORD_PTR)g_record.ExceptionAddress));
}

// ------------------------------------------------------------ seh_translator

namespace {

struct Translated {
  bool thrown = false, as_seh = false;
  unsigned long code = 0;
  std::string message, file;
  int line = -1;
};
Translated g_translated;

// Translates inside the handler, as the runtime would on the faulting
// thread, and catches what comes out by base class.
void call_translator(EXCEPTION_POINTERS* pointers) {
  g_translated = Translated();
  try {
    try {
      seh_translator(0x1234, pointers);
    } catch (const CSEHError&) {
      g_translated.as_seh = true;
      throw;
    }
  } catch (CError e) {
    g_translated.thrown = true;
    g_translated.code = e.code;
    g_translated.message = e.message;
    g_translated.file = e.file;
    g_translated.line = e.line;
  }
}

}  // namespace

TEST(SehTranslator, ThrowsTheRecordsCodeAndMessage) {
  struct Case {
    void (*fault)(void);
    DWORD code;
    const char* code_text;
    const char* parameters;
    const char* report_tail;  // of the report's exception line
  } cases[] = {
      {raise_without_parameters, 0xE0000042, "0xE0000042", "", "), params: "},
      {raise_with_two_parameters, 0xE0000043, "0xE0000043", " " P1 " " P16,
       "), params:  " P1 ", " P16},
      {call_write_nowhere, EXCEPTION_ACCESS_VIOLATION, "0xC0000005",
       " " P1 " " P0, "), params:  " P1 ", " P0},
  };
  for (const Case& c : cases) {
    size_t from = file_size(events_path());
    DWORD tid = 0;
    tu::run_thread([&] {
      tid = GetCurrentThreadId();
      trap(c.fault, call_translator);
    });
    ASSERT_TRUE(g_translated.thrown) << c.code_text;
    EXPECT_TRUE(g_translated.as_seh);
    EXPECT_EQ(g_translated.code, c.code);
    const std::string at = std::string("Exception ") + c.code_text +
                           " occured at address " +
                           tu::addr_text((DWORD_PTR)g_record.ExceptionAddress);
    EXPECT_EQ(g_translated.message, at + ". Parameters:" + c.parameters + ".");
    EXPECT_EQ(g_translated.file, "");
    EXPECT_EQ(g_translated.line, 0);
    // A raised exception's address lies in the system's code: only the
    // access violation's whole line is known here.
    std::vector<tu::Line> lines = added_lines(events_path(), from, tid);
    cr::expect_report(
        lines, "SEH exception catched.",
        c.fault == call_write_nowhere
            ? cr::null_write_line((DWORD_PTR)g_record.ExceptionAddress)
            : "");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rest.compare(0, at.size() + 2, at + "\t("), 0)
        << lines[1].rest;
    EXPECT_TRUE(ends_with(lines[1].rest, c.report_tail)) << lines[1].rest;
  }
}

// ------------------------------------------------------------ ExcFilter

namespace {

// What a child tells its parent, one "key value" per line of its output.
std::string child_value(const std::string& out, const std::string& key) {
  for (const std::string& line : tu::split_lines(tu::read_file(out)))
    if (line.compare(0, key.size() + 1, key + " ") == 0)
      return line.substr(key.size() + 1);
  return "";
}

std::string g_exception_line;

// Notes the exception line a report should show, then hands over.
LONG WINAPI note_then_exc_filter(EXCEPTION_POINTERS* pointers) {
  g_exception_line = cr::null_write_line(
      (DWORD_PTR)pointers->ExceptionRecord->ExceptionAddress);
  return ExcFilter(pointers);
}

DWORD WINAPI faulting_thread(LPVOID start) {
  if (start) WaitForSingleObject((HANDLE)start, INFINITE);
  call_write_nowhere();
  return 0;
}

}  // namespace

TEST(ExcFilter, DISABLED_ChildOneFault) {
  SetUnhandledExceptionFilter(note_then_exc_filter);
  DWORD tid = 0;
  HANDLE thread = CreateThread(NULL, 0, faulting_thread, NULL, 0, &tid);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  printf("pid %lu\ntid %lu\nexit %lu\nline %s\nwent on\n",
         GetCurrentProcessId(), tid, code, g_exception_line.c_str());
  fflush(stdout);
}

TEST(ExcFilter, EndsOnlyTheFaultingThread) {
  std::string dir = tu::fresh_dir();
  std::string out = dir + "out.txt", err = dir + "err.txt";
  size_t from = file_size(events_path());
  size_t errors_from = file_size(errors_path());
  EXPECT_EQ(ch::run_child("ExcFilter.DISABLED_ChildOneFault", out, err), 0u);
  EXPECT_EQ(child_value(out, "exit"), "1");
  EXPECT_NE(tu::read_file(out).find("went on"), std::string::npos);

  long pid = atol(child_value(out, "pid").c_str());
  long tid = atol(child_value(out, "tid").c_str());
  ASSERT_NE(pid, 0);
  std::string text = tu::read_file(events_path()).substr(from);
  std::vector<cr::Frame> frames = cr::expect_report(
      cr::lines_of(text, pid, tid), "Unhandled exception filter.",
      child_value(out, "line"));
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].section, 1u);
  EXPECT_EQ(frames[0].path, tu::exe_path());

  // Neither the errors file nor the standard streams carry the report.
  EXPECT_TRUE(
      cr::lines_of(tu::read_file(errors_path()).substr(errors_from), pid, tid)
          .empty());
  EXPECT_EQ(tu::read_file(out).find("Exception report"), std::string::npos);
  EXPECT_EQ(tu::read_file(err).find("Exception report"), std::string::npos);
}

TEST(ExcFilter, DISABLED_ChildFaultsAtOnce) {
  SetUnhandledExceptionFilter(ExcFilter);
  HANDLE start = CreateEventA(NULL, TRUE, FALSE, NULL);
  const int kThreads = 6;
  HANDLE threads[kThreads];
  DWORD tids[kThreads];
  for (int i = 0; i < kThreads; ++i)
    threads[i] = CreateThread(NULL, 0, faulting_thread, start, 0, &tids[i]);
  SetEvent(start);
  WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
  printf("pid %lu\n", GetCurrentProcessId());
  for (int i = 0; i < kThreads; ++i) {
    DWORD code = 0;
    GetExitCodeThread(threads[i], &code);
    printf("thread%d %lu %lu\n", i, tids[i], code);
    CloseHandle(threads[i]);
  }
  fflush(stdout);
}

TEST(ExcFilter, ThreadsFaultingAtOnceWriteWholeReports) {
  std::string dir = tu::fresh_dir();
  std::string out = dir + "out.txt";
  size_t from = file_size(events_path());
  EXPECT_EQ(ch::run_child("ExcFilter.DISABLED_ChildFaultsAtOnce", out, ""), 0u);
  long pid = atol(child_value(out, "pid").c_str());
  ASSERT_NE(pid, 0);
  std::string text = tu::read_file(events_path()).substr(from);
  std::string first_exception_line;
  for (int i = 0; i < 6; ++i) {
    unsigned long tid = 0, code = 0;
    std::string value = child_value(out, cr::fmt("thread%d", i));
    ASSERT_EQ(sscanf(value.c_str(), "%lu %lu", &tid, &code), 2) << i;
    EXPECT_EQ(code, 1u) << i;
    std::vector<tu::Line> lines = cr::lines_of(text, pid, (long)tid);
    ASSERT_GE(lines.size(), 2u) << i;
    // Every thread met the same instruction.
    if (i == 0) first_exception_line = lines[1].rest;
    cr::expect_report(lines, "Unhandled exception filter.",
                      first_exception_line);
  }
  EXPECT_EQ(first_exception_line.compare(
                0, 42, "Exception 0xC0000005 occured at address 0x"),
            0)
      << first_exception_line;
  EXPECT_NE(first_exception_line.find("\t(01:"), std::string::npos);
  EXPECT_TRUE(ends_with(first_exception_line, "), params:  " P1 ", " P0));
  // Lines of the reports interleave, but each one is whole.
  size_t parsed = 0, total = 0;
  for (const std::string& line : tu::split_lines(text)) {
    tu::Line l;
    if (line.find(cr::fmt("(%ld:", pid)) == std::string::npos) continue;
    ++total;
    if (tu::parse_line(line, &l) && l.pid == pid) ++parsed;
  }
  EXPECT_EQ(parsed, total);
  EXPECT_GE(total, 6u * 7u);
}

// ------------------------------------------------------------ attach failure

namespace {

struct Holder {
  std::string events, errors;
  HANDLE ready, release;
};

DWORD WINAPI hold_slots(LPVOID p) {
  Holder* holder = static_cast<Holder*>(p);
  util_init(holder->events.c_str(), holder->errors.c_str(), NULL, NULL);
  SetEvent(holder->ready);
  WaitForSingleObject(holder->release, INFINITE);
  return 0;
}

std::vector<tu::Line> of_type(const std::vector<tu::Line>& lines,
                              const std::string& type) {
  std::vector<tu::Line> result;
  for (const tu::Line& line : lines)
    if (line.type == type) result.push_back(line);
  return result;
}

}  // namespace

// Every named slot of both channels is taken, so the report's files cannot
// be attached: the report goes to standard error instead of being lost.
TEST(ExceptionReport, DISABLED_ChildTablesFull) {
  std::string dir = tu::fresh_dir();
  const int kHolders = 39;
  Holder holders[kHolders];
  HANDLE threads[kHolders];
  HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
  for (int i = 0; i < kHolders; ++i) {
    holders[i].events = dir + cr::fmt("e%d.log", i);
    holders[i].errors = dir + cr::fmt("r%d.log", i);
    holders[i].ready = CreateEventA(NULL, TRUE, FALSE, NULL);
    holders[i].release = release;
    threads[i] = CreateThread(NULL, 0, hold_slots, &holders[i], 0, NULL);
    WaitForSingleObject(holders[i].ready, INFINITE);
  }
  DWORD tid = 0;
  tu::run_thread([&] {
    tid = GetCurrentThreadId();
    g_filter_result = 0;
    trap(call_write_nowhere, call_filter_i);
    event("after the report");
  });
  printf("pid %lu\ntid %lu\nresult %ld\nline %s\n", GetCurrentProcessId(), tid,
         g_filter_result,
         cr::null_write_line((DWORD_PTR)g_record.ExceptionAddress).c_str());
  fflush(stdout);
  SetEvent(release);
  WaitForMultipleObjects(kHolders, threads, TRUE, INFINITE);
}

TEST(ExceptionReport, GoesToStandardErrorWhenItsFilesCannotBeAttached) {
  std::string dir = tu::fresh_dir();
  std::string out = dir + "out.txt", err = dir + "err.txt";
  size_t from = file_size(events_path());
  EXPECT_EQ(ch::run_child("ExceptionReport.DISABLED_ChildTablesFull", out, err),
            0u);
  long pid = atol(child_value(out, "pid").c_str());
  long tid = atol(child_value(out, "tid").c_str());
  ASSERT_NE(pid, 0);
  EXPECT_EQ(child_value(out, "result"), "1");
  // The attachment's own warnings go there too; the report is what is F.
  cr::expect_report(of_type(cr::lines_of(tu::read_file(err), pid, tid), "F"),
                    "SEH exception catched.", child_value(out, "line"));
  EXPECT_TRUE(cr::lines_of(tu::read_file(events_path()).substr(from), pid, tid)
                  .empty());
  // Standard error was only lent for the report: the next event goes to
  // standard output alone, with the report's mark.
  std::vector<tu::Line> later =
      of_type(cr::lines_of(tu::read_file(out), pid, tid), "V");
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].rest, "after the report");
  EXPECT_EQ(later[0].mark, "ECTCH");
}
