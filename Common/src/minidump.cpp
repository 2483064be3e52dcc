// Minidumps beside the crash report, when the host turns them on.
//
// The faulting thread may hold the heap or the loader lock and may have
// little stack left, so it writes nothing itself: it copies its exception
// into memory set aside here, wakes a writer thread started at turn-on, and
// waits for it, bounded. dbghelp is loaded at turn-on, never imported, so a
// host that leaves dumps off never loads it.
#include <string.h>

#include "zorvel_int.h"

#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4091)  // dbghelp.h's typedefs of unnamed enums
#endif
#include <dbghelp.h>
#if defined(_MSC_VER)
#pragma warning(pop)
#endif

typedef BOOL(WINAPI* WriteDumpFn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                  PMINIDUMP_EXCEPTION_INFORMATION,
                                  PMINIDUMP_USER_STREAM_INFORMATION,
                                  PMINIDUMP_CALLBACK_INFORMATION);

enum {
  DUMP_NAME_SIZE = 512,     // a dump's full name; CreateFileA takes 259
  DUMP_NAME_TRIES = 100,    // "-2" to "-99" after a name already taken
  WRITER_STACK = 1 << 20,   // the writer's stack, reserved at turn-on
  DEFAULT_WAIT_MS = 60000,  // how long a faulting thread waits for its dump
  REPORT_STACK = 32 * 1024  // stack a thread needs to write a report itself
};

// How the writer's work ended.
enum DumpStep { DUMP_WRITTEN, DUMP_NOT_CREATED, DUMP_NOT_WRITTEN };

// One fault's request, filled by the faulting thread while it holds the
// busy mutex and read by the writer; the writer's answer follows.
struct DumpRequest {
  EXCEPTION_RECORD record;
  CONTEXT context;
  EXCEPTION_POINTERS pointers;
  DWORD thread_id;
  NT_TIB stack;       // the faulting thread's stack bounds
  const char* title;  // not null: the writer writes the report too
  char banner[BANNER_SIZE];
  MINIDUMP_TYPE type;
  char directory[PATH_SIZE];
  char stem[PATH_SIZE];  // the executable's name without its extension
  char file[DUMP_NAME_SIZE];
  volatile LONG named;  // file holds the dump's name
  DumpStep step;
  DWORD error;
};

// Everything the dumps need, set aside with the library's image so that a
// fault takes no memory; all zero at load, which is also SRWLOCK_INIT. The
// setter lock serializes turning on and off; the busy mutex guards the
// settings and lets one request in at a time.
static struct DumpState {
  SRWLOCK setter;
  HANDLE busy;
  HANDLE wake;  // auto-reset: a request is ready
  HANDLE idle;  // manual-reset: the writer is not working
  HANDLE writer;
  DWORD writer_id;
  HANDLE quit;  // the running writer's own: set to end it
  HMODULE dbghelp;
  WriteDumpFn write_dump;
  volatile LONG on;
  DWORD wait_ms;
  char directory[PATH_SIZE];
  char stem[PATH_SIZE];
  MINIDUMP_TYPE type;
  DumpRequest request;
} s_dump;

// Holds the setter lock for a scope, on every way out.
class SetterLock {
 public:
  SetterLock() { AcquireSRWLockExclusive(&s_dump.setter); }
  ~SetterLock() { ReleaseSRWLockExclusive(&s_dump.setter); }
  SetterLock(const SetterLock&) = delete;
  SetterLock& operator=(const SetterLock&) = delete;
};

static void throw_error(DWORD code) {
  throw static_cast<unsigned long>(code ? code : ERROR_GEN_FAILURE);
}

static void throw_last_error(void) { throw_error(GetLastError()); }

// ------------------------------------------------------------ writer

// The dump's name in the request's directory: executable, process, thread
// and local time; "-2" and on when a name is taken. Creates the missing
// directories first. INVALID_HANDLE_VALUE with the last error on failure.
static HANDLE dump_create_file(DumpRequest* r) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  size_t length = strlen(r->directory);
  const char* separator =
      length && r->directory[length - 1] == '\\' ? "" : "\\";
  char base[DUMP_NAME_SIZE];
  str_format(base, sizeof base, "%s%s%s-%lu-%lu-%04u%02u%02u-%02u%02u%02u",
             r->directory, separator, r->stem, GetCurrentProcessId(),
             r->thread_id, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
  for (int n = 1; n < DUMP_NAME_TRIES; ++n) {
    if (n == 1)
      str_format(r->file, sizeof r->file, "%s.dmp", base);
    else
      str_format(r->file, sizeof r->file, "%s-%d.dmp", base, n);
    InterlockedExchange(&r->named, 1);
    if (n == 1) make_dirs(r->file);
    HANDLE file = CreateFileA(r->file, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
      return file;
  }
  return INVALID_HANDLE_VALUE;
}

// Wine's MiniDumpWriteDump answers TRUE also when its writes failed: the
// file must begin with the dump's signature.
static bool dump_has_header(HANDLE file) {
  char signature[4] = {0};
  DWORD got = 0;
  SetLastError(0);
  return SetFilePointer(file, 0, NULL, FILE_BEGIN) == 0 &&
         ReadFile(file, signature, sizeof signature, &got, NULL) &&
         got == sizeof signature && memcmp(signature, "MDMP", 4) == 0;
}

// Leaves the writer's own stack out of the dump: it holds dbghelp at work,
// nothing of the fault, and would be the bulk of a small dump.
static BOOL CALLBACK dump_filter(PVOID, const PMINIDUMP_CALLBACK_INPUT input,
                                 PMINIDUMP_CALLBACK_OUTPUT output) {
  switch (input->CallbackType) {
    case ThreadCallback:
    case ThreadExCallback:
      if (input->Thread.ThreadId == GetCurrentThreadId())
        output->ThreadWriteFlags &= ~ThreadWriteStack;
      return TRUE;
    case IncludeThreadCallback:
    case IncludeModuleCallback:
    case ModuleCallback:
      return TRUE;
    default:
      return FALSE;
  }
}

// Writes the request's dump; a file the writer could not fill is deleted.
static void dump_write(DumpRequest* r) {
  r->step = DUMP_NOT_CREATED;
  r->error = 0;
  HANDLE file = dump_create_file(r);
  if (file == INVALID_HANDLE_VALUE) {
    r->error = GetLastError();
    return;
  }
  MINIDUMP_EXCEPTION_INFORMATION info;
  info.ThreadId = r->thread_id;
  info.ExceptionPointers = &r->pointers;
  info.ClientPointers = FALSE;
  MINIDUMP_CALLBACK_INFORMATION filter = {dump_filter, NULL};
  BOOL written = s_dump.write_dump(GetCurrentProcess(), GetCurrentProcessId(),
                                   file, r->type, &info, NULL, &filter);
  DWORD error = written ? 0 : GetLastError();
  if (written && !dump_has_header(file)) {
    written = FALSE;
    error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  }
  CloseHandle(file);
  if (written) {
    r->step = DUMP_WRITTEN;
    return;
  }
  DeleteFileA(r->file);
  r->step = DUMP_NOT_WRITTEN;
  r->error = error;
}

// The F line of a request the writer answered.
static void dump_report_answer(const DumpRequest* r) {
  switch (r->step) {
    case DUMP_WRITTEN:
      report_line("Minidump written: %s", r->file);
      break;
    case DUMP_NOT_CREATED:
      report_line("Minidump not written: cannot create %s (error %lu)", r->file,
                  r->error);
      break;
    case DUMP_NOT_WRITTEN:
      report_line(
          "Minidump not written: MiniDumpWriteDump failed for %s "
          "(error 0x%08lX)",
          r->file, r->error);
      break;
  }
}

// The report of a thread that has no stack left for it, written here under
// that thread's id and banner, then the dump and its line.
static void dump_report_for(DumpRequest* r) {
  msg_set_thread_id(r->thread_id);
  setbanner(r->banner);
  write_report(&r->pointers, r->title, &r->stack);
  dump_write(r);
  dump_report_answer(r);
  msg_set_thread_id(0);
}

// The writer thread: one request per wake, until its quit event is set. It
// holds a reference on the library, so the library stays loaded while the
// writer can run.
static DWORD WINAPI dump_writer_main(LPVOID quit) {
  // The thread's line buffers, taken now rather than at a fault.
  ctx_message();
  ctx_banner();
  ctx_mark();
  HANDLE waits[2] = {(HANDLE)quit, s_dump.wake};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) ==
         WAIT_OBJECT_0 + 1) {
    if (s_dump.request.title)
      dump_report_for(&s_dump.request);
    else
      dump_write(&s_dump.request);
    SetEvent(s_dump.idle);
  }
  CloseHandle((HANDLE)quit);
  FreeLibraryAndExitThread(g_module, 0);
}

// ------------------------------------------------------------ turning on

// Loads dbghelp once for the process's lifetime.
static void dump_load_dbghelp(void) {
  if (s_dump.write_dump) return;
  if (!s_dump.dbghelp) s_dump.dbghelp = LoadLibraryA("dbghelp.dll");
  if (!s_dump.dbghelp) throw_last_error();
  s_dump.write_dump =
      (WriteDumpFn)(void*)GetProcAddress(s_dump.dbghelp, "MiniDumpWriteDump");
  if (!s_dump.write_dump) throw_last_error();
  // Wine's dbghelp loads it at its first dump, which would need the loader
  // lock at a fault; kept loaded from here on.
  LoadLibraryA("version.dll");
}

static void dump_make_events(void) {
  if (!s_dump.busy) s_dump.busy = CreateMutexA(NULL, FALSE, NULL);
  if (!s_dump.busy) throw_last_error();
  if (!s_dump.wake) s_dump.wake = CreateEventA(NULL, FALSE, FALSE, NULL);
  if (!s_dump.wake) throw_last_error();
  if (!s_dump.idle) s_dump.idle = CreateEventA(NULL, TRUE, TRUE, NULL);
  if (!s_dump.idle) throw_last_error();
}

// Starts the writer when none runs. Its reference on the library is taken
// here, before it can run, and given back by the writer as it ends.
static void dump_start_writer(void) {
  if (s_dump.writer) return;
  HANDLE quit = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!quit) throw_last_error();
  HMODULE self = NULL;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          (LPCSTR)(void*)&dump_writer_main, &self)) {
    DWORD code = GetLastError();
    CloseHandle(quit);
    throw_error(code);
  }
  DWORD id = 0;
  HANDLE writer = CreateThread(NULL, WRITER_STACK, dump_writer_main, quit,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (!writer) {
    DWORD code = GetLastError();
    FreeLibrary(self);
    CloseHandle(quit);
    throw_error(code);
  }
  s_dump.writer = writer;
  s_dump.writer_id = id;
  s_dump.quit = quit;
}

// Ends the running writer, if any; it finishes a dump it has begun.
static void dump_stop_writer(void) {
  if (!s_dump.writer) return;
  SetEvent(s_dump.quit);
  CloseHandle(s_dump.writer);
  s_dump.writer = NULL;
  s_dump.writer_id = 0;
  s_dump.quit = NULL;  // the writer closes it
}

// The busy mutex; an abandoned one counts as taken.
static bool dump_lock(DWORD wait_ms) {
  DWORD r = WaitForSingleObject(s_dump.busy, wait_ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

// The executable's name without directory and extension.
static void exe_stem(char* stem, size_t size) {
  str_copy(stem, size, base_name(module_path()));
  char* dot = strrchr(stem, '.');
  if (dot && dot != stem) *dot = 0;
}

static void dump_turn_on(const char* directory, int kind) {
  char resolved[RESOLVED_NAME_SIZE];
  resolve_name(resolved, directory);
  char stem[PATH_SIZE];
  exe_stem(stem, sizeof stem);
  dump_load_dbghelp();
  dump_make_events();
  dump_start_writer();
  if (!s_dump.wait_ms) s_dump.wait_ms = DEFAULT_WAIT_MS;
  dump_lock(INFINITE);
  str_copy(s_dump.directory, sizeof s_dump.directory, resolved);
  str_copy(s_dump.stem, sizeof s_dump.stem, stem);
  s_dump.type =
      kind == ZORVEL_DUMP_WITH_DATA ? MiniDumpWithDataSegs : MiniDumpNormal;
  InterlockedExchange(&s_dump.on, 1);
  ReleaseMutex(s_dump.busy);
}

static void dump_turn_off(void) {
  if (s_dump.busy) {
    dump_lock(INFINITE);
    InterlockedExchange(&s_dump.on, 0);
    s_dump.directory[0] = 0;
    ReleaseMutex(s_dump.busy);
  }
  dump_stop_writer();
}

void __cdecl util_set_dump(const char* directory, int kind) {
  if (kind != ZORVEL_DUMP_SMALL && kind != ZORVEL_DUMP_WITH_DATA)
    throw static_cast<unsigned long>(ERROR_INVALID_PARAMETER);
  SetterLock lock;
  if (directory && directory[0])
    dump_turn_on(directory, kind);
  else
    dump_turn_off();
}

void dump_set_wait(DWORD wait_ms) { s_dump.wait_ms = wait_ms; }

// ------------------------------------------------------------ at a fault

// Copies the thread's banner without taking its buffer into being.
static void copy_banner(char* out, size_t size) {
  const char* banner = (const char*)tls_get(g_keys.banner);
  str_copy(out, size, banner ? banner : "");
}

// Copies the exception into the request: the record without its chain,
// which may lie anywhere, and the context. With a title the writer writes
// the report too, under this thread's banner.
static void dump_fill_request(const EXCEPTION_POINTERS* pointers,
                              const char* title) {
  DumpRequest* r = &s_dump.request;
  r->record = *pointers->ExceptionRecord;
  r->record.ExceptionRecord = NULL;
  if (r->record.NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS)
    r->record.NumberParameters = EXCEPTION_MAXIMUM_PARAMETERS;
  r->context = *pointers->ContextRecord;
  r->pointers.ExceptionRecord = &r->record;
  r->pointers.ContextRecord = &r->context;
  r->thread_id = GetCurrentThreadId();
  const NT_TIB* tib = thread_tib();
  r->stack.StackBase = tib->StackBase;
  r->stack.StackLimit = tib->StackLimit;
  r->title = title;
  if (title) copy_banner(r->banner, sizeof r->banner);
  r->type = s_dump.type;
  str_copy(r->directory, sizeof r->directory, s_dump.directory);
  str_copy(r->stem, sizeof r->stem, s_dump.stem);
  r->file[0] = 0;
  InterlockedExchange(&r->named, 0);
}

// Wakes the writer for the filled request and waits for it, bounded; true
// when it finished.
static bool dump_run_request(void) {
  ResetEvent(s_dump.idle);
  SetEvent(s_dump.wake);
  return WaitForSingleObject(s_dump.idle, s_dump.wait_ms) == WAIT_OBJECT_0;
}

// Hands the request to the writer and waits for it, bounded; writes the F
// line of the outcome. Runs with the busy mutex held.
static void dump_hand_over(const EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() == s_dump.writer_id) {
    report_line("Minidump not written: the fault is the dump writer's own");
    return;
  }
  if (WaitForSingleObject(s_dump.idle, 0) != WAIT_OBJECT_0) {
    report_line(
        "Minidump not written: the writer is still busy with an earlier "
        "dump");
    return;
  }
  dump_fill_request(pointers, NULL);
  const DumpRequest* r = &s_dump.request;
  if (dump_run_request()) {
    dump_report_answer(r);
    return;
  }
  bool named = InterlockedCompareExchange((LONG*)&r->named, 0, 0) != 0;
  report_line("Minidump not finished within %lu ms: %s", s_dump.wait_ms,
              named ? r->file : "no file created yet");
}

// Bytes of stack below the caller before its reservation ends.
static DWORD_PTR stack_left(void) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(&region, &region, sizeof region) != sizeof region)
    return (DWORD_PTR)-1;
  return (DWORD_PTR)&region - (DWORD_PTR)region.AllocationBase;
}

bool dump_report_elsewhere(const EXCEPTION_POINTERS* pointers,
                           const char* title) {
  if (!InterlockedCompareExchange(&s_dump.on, 0, 0)) return false;
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW &&
      stack_left() >= REPORT_STACK)
    return false;
  if (GetCurrentThreadId() == s_dump.writer_id) return false;
  if (!dump_lock(s_dump.wait_ms)) return false;
  bool handed =
      s_dump.on && WaitForSingleObject(s_dump.idle, 0) == WAIT_OBJECT_0;
  if (handed) {
    dump_fill_request(pointers, title);
    dump_run_request();
  }
  ReleaseMutex(s_dump.busy);
  return handed;
}

void dump_after_report(const EXCEPTION_POINTERS* pointers) {
  if (!InterlockedCompareExchange(&s_dump.on, 0, 0)) return;
  if (!dump_lock(s_dump.wait_ms)) {
    report_line(
        "Minidump not written: another thread's dump did not finish in "
        "time");
    return;
  }
  // Dumps may have been turned off while this thread waited.
  if (s_dump.on) dump_hand_over(pointers);
  ReleaseMutex(s_dump.busy);
}
