// One scenario that a MinGW-w64 host with the MinGW DLL and a clang-cl host
// with the MSVC-ABI DLL both run; compare_abi.py checks that they leave the
// same files. Plain C++ and Windows calls only, so that both compilers build
// it: every line type, attach and re-attach, a rotation at opening and
// rotations by size while open, a caught raise and a crash report.
// A lean windows.h leaves out winsock.h, which winsock2.h replaces.
#define WIN32_LEAN_AND_MEAN
#include <process.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winsock2.h>
#include <zorvel.h>

// A file dated two days back, so that the profile rotates it at its opening.
static void write_old_file(const char* name) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, "old line\r\n", 10, &written, NULL);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t;
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart -= 2ull * 24 * 3600 * 10000000;
  FILETIME old;
  old.dwLowDateTime = t.LowPart;
  old.dwHighDateTime = t.HighPart;
  SetFileTime(file, &old, &old, &old);
  CloseHandle(file);
}

static void write_profile(const char* name) {
  HANDLE file =
      CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  const char text[] =
      "[logfile]\r\nrotate = scen-events.log,2\r\n"
      "rotate_running = scen-size.log,5,1100\r\n";
  DWORD written = 0;
  WriteFile(file, text, sizeof text - 1, &written, NULL);
  CloseHandle(file);
}

static void every_line_type(void) {
  SetDebugLevel(1);
  event("event %d of %s", 1, "scenario");
  devent(0, "debug level 0");
  devent(1, "debug level %d", 1);
  devent(2, "suppressed");
  warning("warning %s", "text");
  error("error %d", 7);
  SetLastError(ERROR_FILE_NOT_FOUND);
  oserrori("opening %s", "cfg");
  WSASetLastError(WSAECONNREFUSED);
  socerrori("connect %d", 9);
  setbanner("[banner] ");
  event("with a banner");
  util_set_mark("TOOLONGMARK");
  event("with a cut mark");
  util_set_mark("");
  setbanner("");
  event("without mark and banner");
}

// Lines of about 260 bytes against a limit of 1100: four to a file, however
// many digits the ids take.
static void lines_past_a_size(void) {
  char pad[201];
  memset(pad, 'x', 200);
  pad[200] = 0;
  for (int i = 0; i < 12; ++i) event("size line %02d %s", i, pad);
}

static void caught_raise(void) {
  try {
    place("scenario.cpp", 77);
    kxraisec(0x20000005, "raised %d", 42);
  } catch (const CError& e) {
    warning("caught %lu %s at %d: %s", e.code, e.file, e.line, e.message);
  }
}

static int* volatile s_null;

// Not a leaf: GCC gives a leaf no frame even with frame pointers kept, and
// the i686 report would then lose the caller that clang-cl's keeps.
static __declspec(noinline) void fault(void) {
  *s_null = 1;
  SetLastError(0);
}

static unsigned __stdcall faulting_thread(void*) {
  util_init("scen-events.log", "scen-errors.log", "WORK", NULL);
  event("worker before the fault");
  fault();
  return 0;
}

int main() {
  char ini[MAX_PATH];
  DWORD n = GetFullPathNameA("scen.ini", sizeof ini, ini, NULL);
  if (n == 0 || n >= sizeof ini) return 2;
  write_old_file("scen-events.log");
  write_profile(ini);
  SetUnhandledExceptionFilter(ExcFilter);
  try {
    util_init("scen-events.log", "scen-errors.log", "SCEN", ini);
    every_line_type();
    util_init("scen-other.log", "", "OTHER", NULL);
    event("on the other file");
    util_init("scen-size.log", "", "SIZE", ini);
    lines_past_a_size();
    util_init("scen-events.log", "scen-errors.log", "SCEN", NULL);
    event("back on the first");
    caught_raise();
  } catch (unsigned long code) {
    printf("attach failed: %lu\n", code);
    return 1;
  }
  HANDLE thread =
      (HANDLE)_beginthreadex(NULL, 0, faulting_thread, NULL, 0, NULL);
  if (!thread) return 3;
  WaitForSingleObject(thread, 30000);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  event("worker ended with %lu", code);
  return 0;
}
