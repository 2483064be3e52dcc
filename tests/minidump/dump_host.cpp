// Turns minidumps on, then meets an access violation in dump_crash_inner,
// called by dump_crash_outer, on a worker thread with ExcFilter installed.
// Prints the process and thread ids for the check that reads the dump.
//
// usage: dump_host DIR small|data [plain|heap|stack]
//   plain: the fault as it is
//   heap:  another thread holds the process heap's lock from before the
//          fault until its report is written
//   stack: the fault is a stack overflow, on a thread with a small stack
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <zorvel.h>

// Found in a dump with data segments, not in a small one.
char g_data_marker[] = "zorvel-dump-data-marker";

static int* volatile s_null_pointer;
static HANDLE s_faulting;  // set just before the fault
static HANDLE s_ready;     // heap mode: the faulting thread's buffers exist
static HANDLE s_go;        // heap mode: the heap is held, fault now

// Not leaves, so that every frame keeps its caller.
__declspec(noinline) void dump_crash_inner(int value) {
  SetEvent(s_faulting);
  *s_null_pointer = value;
  event("not reached");
}

__declspec(noinline) void dump_crash_outer(int value) {
  dump_crash_inner(value + 1);
  event("not reached");
}

// Each call takes a page of stack until none is left; the depth never
// reaches the bound.
static volatile int s_depth_bound = 1 << 30;
__declspec(noinline) int dump_recurse(int depth) {
  volatile char page[4096];
  page[0] = (char)depth;
  if (depth == s_depth_bound) return 0;
  return dump_recurse(depth + 1) + page[0];
}

// Under Wine a stack overflow never reaches the unhandled-exception filter
// (the thread just ends), so a vectored handler hands it to ExcFilterI. The
// thread has no stack left to go on: it ends here, as ExcFilter would end it.
static LONG WINAPI on_stack_overflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
    return EXCEPTION_CONTINUE_SEARCH;
  ExcFilterI(pointers);
  TerminateThread(GetCurrentThread(), 1);
  return EXCEPTION_CONTINUE_SEARCH;
}

static DWORD WINAPI fault_thread(LPVOID mode) {
  if (strcmp((const char*)mode, "heap") == 0) {
    // The report takes no heap memory once the thread has its files and
    // buffers; the dump's writer is what may wait for the heap.
    util_init(".\\events.log", ".\\errors.log", "HEAP", NULL);
    event("attached before the heap is held");
    SetEvent(s_ready);
    WaitForSingleObject(s_go, INFINITE);
  }
  if (strcmp((const char*)mode, "stack") == 0) {
    AddVectoredExceptionHandler(1, on_stack_overflow);
    SetEvent(s_faulting);
    return (DWORD)dump_recurse(0);
  }
  dump_crash_outer(6);
  return 0;
}

static DWORD s_fault_tid;
static bool s_report_blocked;

// True once events.log holds the closing rule of the faulting thread's
// report. The heap's holder may use the heap: its lock is its own.
static bool report_closed(void) {
  char tail[64];
  snprintf(tail, sizeof tail, "(%lu:%lu:ECTCH): ****", GetCurrentProcessId(),
           s_fault_tid);
  FILE* f = fopen("events.log", "rb");
  if (!f) return false;
  char line[1024];
  bool closed = false;
  while (fgets(line, sizeof line, f))
    if (strstr(line, tail) && !strstr(line, "report")) closed = true;
  fclose(f);
  return closed;
}

// Holds the heap from before the fault until the report is written, then
// lets the dump's writer have it. A report that waited for the heap would
// never close: after 20 s the holder says so and lets go.
static DWORD WINAPI hold_heap(LPVOID locked) {
  HeapLock(GetProcessHeap());
  SetEvent((HANDLE)locked);
  WaitForSingleObject(s_faulting, INFINITE);
  s_report_blocked = true;
  for (int i = 0; i < 200; ++i) {
    if (report_closed()) {
      s_report_blocked = false;
      break;
    }
    Sleep(100);
  }
  Sleep(500);  // the writer is waiting for the heap by now
  HeapUnlock(GetProcessHeap());
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* mode = argc > 3 ? argv[3] : "plain";
  int kind =
      strcmp(argv[2], "data") == 0 ? ZORVEL_DUMP_WITH_DATA : ZORVEL_DUMP_SMALL;
  try {
    util_set_dump(argv[1], kind);
  } catch (unsigned long code) {
    printf("util_set_dump threw %lu\n", code);
    return 3;
  }
  SetUnhandledExceptionFilter(ExcFilter);
  s_faulting = CreateEventA(NULL, TRUE, FALSE, NULL);
  s_ready = CreateEventA(NULL, TRUE, FALSE, NULL);
  s_go = CreateEventA(NULL, TRUE, FALSE, NULL);
  SIZE_T stack = strcmp(mode, "stack") == 0 ? 256 * 1024 : 0;
  DWORD tid = 0;
  HANDLE thread =
      CreateThread(NULL, stack, fault_thread, (LPVOID)mode,
                   stack ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &tid);
  if (!thread) return 2;
  s_fault_tid = tid;
  HANDLE holder = NULL;
  if (strcmp(mode, "heap") == 0) {
    WaitForSingleObject(s_ready, INFINITE);
    HANDLE locked = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder = CreateThread(NULL, 0, hold_heap, locked, 0, NULL);
    WaitForSingleObject(locked, INFINITE);
    SetEvent(s_go);
  }
  WaitForSingleObject(thread, INFINITE);
  if (holder) WaitForSingleObject(holder, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  printf("pid=%lu tid=%lu exit=%lu marker=%p report_blocked=%d\n",
         GetCurrentProcessId(), tid, code, (void*)g_data_marker,
         s_report_blocked ? 1 : 0);
  fflush(stdout);
  util_set_dump(NULL, ZORVEL_DUMP_SMALL);
  return code == 1 ? 0 : 1;
}
