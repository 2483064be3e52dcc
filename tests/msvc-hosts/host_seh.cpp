// Structured exceptions in a Visual Studio host, built /EHa: seh_translator
// turns a fault into CSEHError, ExcFilterI reports and returns to the
// handler, ExcFilter reports and ends the faulting thread only.
#include <process.h>
#include <windows.h>
#include <zorvel.h>

#include "check.h"

// Wine's eh.h declares the hook without its leading underscore; the runtime
// exports it as Visual Studio's header names it.
typedef void(__cdecl* TranslatorFn)(unsigned int, EXCEPTION_POINTERS*);
extern "C" __declspec(dllimport) TranslatorFn
    __cdecl _set_se_translator(TranslatorFn translator);

static int* volatile s_null;
void fault_write(void);  // fault.cpp

static __declspec(noinline) void write_null(void) { *s_null = 1; }

// clang's /EHa keeps a try only where it cannot prove that the body never
// throws: around a call through a pointer or into another file, not around
// a faulting store in the block or a call of a store it can see.
static void (*volatile s_opaque_write)(void) = write_null;

// ------------------------------------------------------------ events.log

static char s_log[64 * 1024];

// events.log beside the exe, read whole (the reports go there).
static const char* read_events(void) {
  s_log[0] = 0;
  HANDLE file = CreateFileA("events.log", GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return s_log;
  DWORD n = 0;
  ReadFile(file, s_log, sizeof s_log - 1, &n, NULL);
  s_log[n] = 0;
  CloseHandle(file);
  return s_log;
}

static int count_of(const char* text, const char* piece) {
  int n = 0;
  for (const char* p = strstr(text, piece); p; p = strstr(p + 1, piece)) ++n;
  return n;
}

// The reports written so far with a title and the fault's exception line.
static void check_reports(const char* title, int count) {
  const char* log = read_events();
  char line[256];
  _snprintf(line, sizeof line, "************** %s Exception report:", title);
  line[sizeof line - 1] = 0;
  CHECK_EQ(count_of(log, line), count);
  CHECK_EQ(count_of(log, "Exception 0xC0000005 occured at address 0x"),
           count_of(log, "Exception report:"));
  CHECK_EQ(count_of(log, "Call stack (begin)"),
           count_of(log, "Call stack (end)"));
  // The fault's place names this program: the frame walk found it.
  char exe[MAX_PATH];
  GetModuleFileNameA(NULL, exe, sizeof exe);
  CHECK(strstr(log, exe) != NULL);
  CHECK(strstr(log, "(") && strstr(log, ":ECTCH): "));
}

// ------------------------------------------------------------ translator

static void check_seh_error(const CSEHError& e) {
  CHECK_EQ(e.code, EXCEPTION_ACCESS_VIOLATION);
  CHECK(strncmp(e.message, "Exception 0xC0000005 occured at address 0x", 42) ==
        0);
  // Parameters: a write (1) to address 0.
  CHECK(strstr(e.message, ". Parameters: 0x") != NULL);
  CHECK_TEXT(e.file, "");
  CHECK_EQ(e.line, 0);
}

static bool translate_opaque(void) {
  try {
    s_opaque_write();
  } catch (const CSEHError& e) {
    check_seh_error(e);
    return true;
  }
  return false;
}

static bool translate_direct(void) {
  try {
    fault_write();
  } catch (CSEHError e) {
    check_seh_error(e);
    return true;
  }
  return false;
}

static bool translate_to_base(void) {
  try {
    s_opaque_write();
  } catch (const CError& e) {
    return e.code == EXCEPTION_ACCESS_VIOLATION;
  }
  return false;
}

static void translator(void) {
  DeleteFileA("events.log");
  _set_se_translator(seh_translator);
  CHECK(translate_opaque());
  CHECK(translate_direct());
  CHECK(translate_to_base());
  _set_se_translator(NULL);
  // seh_translator reports through ExcFilterI before it throws.
  check_reports("SEH exception catched.", 3);
}

// ------------------------------------------------------------ filters

static int fault_in_handler(void) {
  __try {
    write_null();
  } __except (ExcFilterI(GetExceptionInformation())) {
    return 1;
  }
  return 0;
}

static unsigned __stdcall faulting_thread(void*) {
  util_init("thread-events.log", "", "WORK", NULL);
  write_null();
  return 0;  // not reached: ExcFilter ends the thread
}

static void filters(void) {
  DeleteFileA("events.log");
  CHECK_EQ(fault_in_handler(), 1);
  CHECK_EQ(fault_in_handler(), 1);
  check_reports("SEH exception catched.", 2);

  SetUnhandledExceptionFilter(ExcFilter);
  HANDLE thread =
      (HANDLE)_beginthreadex(NULL, 0, faulting_thread, NULL, 0, NULL);
  REQUIRE(thread != NULL);
  CHECK_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  CHECK_EQ(code, 1);  // _endthreadex(1) from ExcFilter
  check_reports("Unhandled exception filter.", 1);
  // The process goes on: the library still writes for this thread.
  util_init("host-events.log", "", "MAIN", NULL);
  event("after the thread's fault");
  CHECK(GetFileAttributesA("host-events.log") != INVALID_FILE_ATTRIBUTES);
}

static const CheckGroup s_groups[] = {
    {"translator", translator},
    {"filters", filters},
};

int main(int argc, char** argv) {
  return run_group(s_groups, sizeof s_groups / sizeof s_groups[0], argc, argv);
}
