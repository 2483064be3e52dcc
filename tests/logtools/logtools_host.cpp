// Writes real log lines for the lnav and syslog-ng tests, into events.log and
// errors.log beside this program.
//
//   logtools_host lines   every line type: V, debug digits (also '/' for
//                         level -1), W, E, O, S, a text with embedded line
//                         breaks, a line without mark, and two crash reports
//                         (ExcFilterI from a vectored handler, then ExcFilter)
//   logtools_host after   attaches again with the rotation profile, so a
//                         file dated before today is rotated, and writes
//                         "after rotation <n>" lines
//   logtools_host busy    8 threads write "busy <n>" lines to events.log;
//                         once each has written, 3 others fault at once
//                         and end in ExcFilter; then "crashed <tids>"
//
// Prints "ids pid=<pid> main=<tid> crash=<tid>" last on standard output.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winsock2.h>
#include <zorvel.h>

namespace {

const char kEvents[] = ".\\events.log";
const char kErrors[] = ".\\errors.log";
const char kProfile[] = ".\\logtools.ini";
const int kAfterLines = 5;
const int kWriters = 8;
const int kFaulters = 3;

int* volatile g_nowhere;

__attribute__((noinline)) void store_nowhere(int value) {
  event("about to store through a null pointer");
  *g_nowhere = value;
}

LONG CALLBACK report_faults(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
    ExcFilterI(pointers);
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI crash_thread(LPVOID) {
  util_init(kEvents, kErrors, "CRASH", kProfile);
  store_nowhere(42);
  event("not reached");
  return 0;
}

// The crash thread's id, or 0 when it did not end through ExcFilter.
DWORD run_crash_thread() {
  PVOID handler = AddVectoredExceptionHandler(1, report_faults);
  SetUnhandledExceptionFilter(ExcFilter);
  DWORD tid = 0;
  HANDLE thread = CreateThread(NULL, 0, crash_thread, NULL, 0, &tid);
  if (!thread) return 0;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(handler);
  return code == 1 ? tid : 0;
}

void write_every_type() {
  SetDebugLevel(3);
  util_init(kEvents, kErrors, "NET", kProfile);
  setbanner("[listener] ");
  event("client %d connected from %s", 7, "10.0.0.5");
  devent(0, "level 0 debug event");
  devent(3, "level 3 debug event: %d bytes queued", 512);
  devent(4, "level 4: not written at debug level 3");
  devent(-1, "level -1 debug event");
  warning("queue %s is %d%% full", "in", 85);
  error("client %d sent a bad frame", 7);
  place("C:\\src\\net\\listener.cpp", 120);
  HANDLE h = CreateFileA("C:\\no\\such\\dir\\port.cfg", GENERIC_READ, 0, NULL,
                         OPEN_EXISTING, 0, 0);
  if (h == INVALID_HANDLE_VALUE) {
    oserrori("cannot open port file. ");
  } else {
    CloseHandle(h);
  }
  place("C:\\src\\net\\listener.cpp", 131);
  WSASetLastError(WSAECONNREFUSED);
  socerrori("connect to port %d failed.", 1);
  event("three lines:\nsecond line\nthird line");
  setbanner("");
  util_set_mark("");
  event("no mark, no banner");
  util_set_mark("MAIN");
}

void write_after_rotation() {
  util_init(kEvents, kErrors, "MAIN", kProfile);
  for (int i = 1; i <= kAfterLines; ++i) event("after rotation %d", i);
}

HANDLE g_busy;  // set once every writer has written a line
volatile LONG g_writing;
volatile LONG g_stop;

DWORD WINAPI busy_writer(LPVOID) {
  util_init(kEvents, kErrors, "BUSY", kProfile);
  for (int n = 1; !InterlockedCompareExchange(&g_stop, 0, 0); ++n) {
    event("busy %d", n);
    if (n == 1 && InterlockedIncrement(&g_writing) == kWriters)
      SetEvent(g_busy);
  }
  return 0;
}

DWORD WINAPI busy_faulter(LPVOID) {
  util_init(kEvents, kErrors, "CRASH", kProfile);
  WaitForSingleObject(g_busy, INFINITE);
  store_nowhere(7);
  return 0;
}

HANDLE start(LPTHREAD_START_ROUTINE routine, DWORD* tid) {
  return CreateThread(NULL, 0, routine, NULL, 0, tid);
}

// The writers keep on until every faulting thread has ended, so each report
// lands among their lines. False unless all faulters ended through
// ExcFilter.
bool write_busy_file() {
  util_init(kEvents, kErrors, "MAIN", kProfile);
  SetUnhandledExceptionFilter(ExcFilter);
  g_busy = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE writers[kWriters], faulters[kFaulters];
  DWORD tids[kFaulters];
  for (int i = 0; i < kWriters; ++i) writers[i] = start(busy_writer, NULL);
  for (int i = 0; i < kFaulters; ++i)
    faulters[i] = start(busy_faulter, &tids[i]);
  DWORD ended = WaitForMultipleObjects(kFaulters, faulters, TRUE, 60000);
  InterlockedExchange(&g_stop, 1);
  WaitForMultipleObjects(kWriters, writers, TRUE, INFINITE);
  bool all = ended == WAIT_OBJECT_0;
  for (int i = 0; i < kFaulters; ++i) {
    DWORD code = 0;
    all = all && GetExitCodeThread(faulters[i], &code) && code == 1;
    CloseHandle(faulters[i]);
  }
  for (int i = 0; i < kWriters; ++i) CloseHandle(writers[i]);
  event("crashed %lu %lu %lu", tids[0], tids[1], tids[2]);
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  DWORD crash_tid = 0;
  if (strcmp(mode, "lines") == 0) {
    write_every_type();
    crash_tid = run_crash_thread();
    event("the crash thread ended with exit code 1: %s",
          crash_tid ? "yes" : "no");
    if (!crash_tid) return 1;
  } else if (strcmp(mode, "after") == 0) {
    write_after_rotation();
  } else if (strcmp(mode, "busy") == 0) {
    if (!write_busy_file()) return 1;
  } else {
    fprintf(stderr, "usage: logtools_host lines|after|busy\n");
    return 2;
  }
  printf("ids pid=%lu main=%lu crash=%lu\n", GetCurrentProcessId(),
         GetCurrentThreadId(), crash_tid);
  fflush(stdout);
  return 0;
}
