// Meets an access violation on a worker thread with ExcFilter installed, so
// that events.log beside this program receives a crash report, and prints
// the process and thread ids that the report carries.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <windows.h>
#include <zorvel.h>

// A store through it stays at any optimization level.
static int* volatile s_null_pointer;

// Not a leaf, so on x86 it keeps its own frame and the frame-pointer walk
// sees its caller.
__declspec(noinline) void tools_fault_here(int value) {
  event("storing %d through a null pointer", value);
  *s_null_pointer = value;  // marker: faulting store
}

__declspec(noinline) void tools_fault_caller() {
  tools_fault_here(7);   // marker: call site
  event("not reached");  // keeps the call above from becoming a jump
}

static DWORD WINAPI fault_thread(LPVOID) {
  tools_fault_caller();
  return 0;
}

int main() {
  SetUnhandledExceptionFilter(ExcFilter);
  DWORD tid = 0;
  HANDLE thread = CreateThread(NULL, 0, fault_thread, NULL, 0, &tid);
  if (!thread) return 2;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  printf("pid=%lu tid=%lu exit=%lu\n", GetCurrentProcessId(), tid, code);
  return code == 1 ? 0 : 1;
}
