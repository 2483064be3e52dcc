// Minidumps beside the crash report, when the host turns them on.
//
// The faulting thread may hold the heap or the loader lock and may have
// little stack left, so it writes nothing itself: it copies its exception
// into memory set aside here, wakes a writer thread started at turn-on, and
// waits for it, bounded. dbghelp and advapi32 are loaded at turn-on, never
// imported, so a host that leaves dumps off never loads them.
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
typedef BOOL(WINAPI* OpenTokenFn)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* TokenInfoFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID,
                                  DWORD, PDWORD);

enum {
  DUMP_NAME_SIZE = 512,      // a dump's full name; CreateFileA takes 259
  DUMP_NAME_TRIES = 100,     // "-2" to "-99" after a name already taken
  WRITER_STACK = 1 << 20,    // the writer's stack, reserved at turn-on
  DEFAULT_WAIT_MS = 60000,   // how long a faulting thread waits for its dump
  REPORT_STACK = 32 * 1024,  // stack a thread needs to write a report itself
  // A DACL of three entries that allow, each with a SID of any size.
  ACCESS_LIST_SIZE = sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) -
                                        sizeof(DWORD) + SECURITY_MAX_SID_SIZE),
  TOKEN_USER_SIZE = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE
};

// How the writer's work ended.
enum DumpStep {
  DUMP_WRITTEN,
  DUMP_NOT_CREATED,
  DUMP_NOT_WRITTEN,
  DUMP_WRITER_FAULTED
};

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
  HANDLE handle;        // file while the writer writes it
  // The faulting thread stopped waiting: its stack may be gone.
  volatile LONG stack_gone;
  DumpStep step;
  DWORD error;  // the exception code for DUMP_WRITER_FAULTED
};

// Who may open the dump files and their directory: the process's user,
// SYSTEM and Administrators; no entry inherited from the parent. Built once,
// at the first turn-on.
struct DumpAccess {
  SECURITY_ATTRIBUTES attributes;
  SECURITY_DESCRIPTOR descriptor;
  DWORD acl[ACCESS_LIST_SIZE / sizeof(DWORD) + 1];
};

// Everything the dumps need, set aside with the library's image so that a
// fault takes no memory; all zero at load, which is also SRWLOCK_INIT. The
// setter lock serializes turning on and off and the writer's replacement;
// the busy mutex guards the settings and lets one request in at a time.
static struct DumpState {
  SRWLOCK setter;
  HANDLE busy;
  HANDLE wake;        // auto-reset: a request is ready
  HANDLE idle;        // manual-reset: the writer is not working
  HANDLE stack_lock;  // held by the writer while it walks a faulting stack
  HANDLE writer;
  DWORD writer_id;
  // The writer serving a request: the running one, or one stopped while it
  // finishes a dump.
  volatile DWORD serving_id;
  HANDLE quit;  // the running writer's own: set to end it
  HMODULE dbghelp;
  WriteDumpFn write_dump;
  volatile LONG on;
  DWORD wait_ms;
  char directory[PATH_SIZE];
  char stem[PATH_SIZE];
  MINIDUMP_TYPE type;
  DumpAccess access;
  DumpRequest request;
} s_dump;

// The running writer's quit event, on the writer's own thread: a writer that
// ends at a fault of its own closes it there.
static ZV_THREAD_LOCAL HANDLE t_quit;

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

// A mutex of the dumps; an abandoned one counts as taken.
static bool mutex_take(HANDLE mutex, DWORD wait_ms) {
  DWORD r = WaitForSingleObject(mutex, wait_ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

// Milliseconds from now until deadline, a GetTickCount time; 0 once past.
static DWORD time_left(DWORD deadline) {
  LONG left = (LONG)(deadline - GetTickCount());
  return left > 0 ? (DWORD)left : 0;
}

// ------------------------------------------------------------ writer

// Creates the dump directory, when missing, with the dumps' access list; its
// missing parents as log directories are made. A directory that exists
// keeps its own list.
static void dump_make_directory(const char* directory) {
  char path[PATH_SIZE];
  str_copy(path, sizeof path, directory);
  size_t length = strlen(path);
  if (length > 1 && path[length - 1] == '\\') path[length - 1] = 0;
  make_dirs(path);
  CreateDirectoryA(path, &s_dump.access.attributes);
}

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
    if (n == 1) dump_make_directory(r->directory);
    HANDLE file = CreateFileA(r->file, GENERIC_READ | GENERIC_WRITE, 0,
                              &s_dump.access.attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, NULL);
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
  r->handle = file;
  BOOL written = s_dump.write_dump(GetCurrentProcess(), GetCurrentProcessId(),
                                   file, r->type, &info, NULL, &filter);
  DWORD error = written ? 0 : GetLastError();
  if (written && !dump_has_header(file)) {
    written = FALSE;
    error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  }
  r->handle = NULL;
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
    case DUMP_WRITER_FAULTED:
      report_line(
          "Minidump not written: the dump writer faulted (exception "
          "0x%08lX)",
          r->error);
      break;
  }
}

// The writer walks the faulting thread's stack only under the stack lock,
// and only while that thread still waits: true when it may, and then it
// gives the lock back after the walk.
static bool dump_borrow_stack(const DumpRequest* r) {
  mutex_take(s_dump.stack_lock, INFINITE);
  if (!r->stack_gone) return true;
  ReleaseMutex(s_dump.stack_lock);
  return false;
}

// The faulting thread stops waiting, and its stack may soon be freed: a walk
// that has begun is waited out, and none begins after.
static void dump_take_back_stack(DumpRequest* r) {
  mutex_take(s_dump.stack_lock, INFINITE);
  InterlockedExchange(&r->stack_gone, 1);
  ReleaseMutex(s_dump.stack_lock);
}

static int dump_report_body(void* arg) {
  DumpRequest* r = (DumpRequest*)arg;
  report_head(&r->pointers, r->title);
  bool walk = dump_borrow_stack(r);
  print_call_stack_guarded(&r->context, walk ? &r->stack : NULL);
  if (walk) ReleaseMutex(s_dump.stack_lock);
  return 0;
}

// The report of a thread that has no stack left for it, written here under
// that thread's id and banner, then the dump and its line; all of it to
// standard error when events.log cannot be attached.
static void dump_report_for(DumpRequest* r) {
  msg_set_thread_id(r->thread_id);
  setbanner(r->banner);
  bool lent = report_attach();
  write_report_block(dump_report_body, r);
  dump_write(r);
  dump_report_answer(r);
  report_return_loan(lent);
  msg_set_thread_id(0);
}

// The writer thread: one request per wake, until its quit event is set. It
// holds a reference on the library, so the library stays loaded while the
// writer can run.
static DWORD WINAPI dump_writer_main(LPVOID quit) {
  t_quit = (HANDLE)quit;
  // The thread's line buffers, taken now rather than at a fault.
  ctx_message();
  ctx_banner();
  ctx_mark();
  HANDLE waits[2] = {(HANDLE)quit, s_dump.wake};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) ==
         WAIT_OBJECT_0 + 1) {
    s_dump.serving_id = GetCurrentThreadId();
    if (s_dump.request.title)
      dump_report_for(&s_dump.request);
    else
      dump_write(&s_dump.request);
    s_dump.serving_id = 0;
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

// Appends to acl an entry that allows sid all access to a file or directory,
// inherited by what a directory holds.
static void acl_allow(ACL* acl, const void* sid) {
  const SID* s = (const SID*)sid;
  WORD sid_size = (WORD)(8 + 4 * s->SubAuthorityCount);
  ACCESS_ALLOWED_ACE* ace = (ACCESS_ALLOWED_ACE*)((BYTE*)acl + acl->AclSize);
  ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
  ace->Header.AceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  ace->Header.AceSize =
      (WORD)(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid_size);
  ace->Mask = FILE_ALL_ACCESS;
  memcpy(&ace->SidStart, sid, sid_size);
  acl->AclSize = (WORD)(acl->AclSize + ace->Header.AceSize);
  ++acl->AceCount;
}

// A SID of the NT authority, S-1-5-first or S-1-5-first-second.
static void nt_sid(DWORD* sid, DWORD first, DWORD second) {
  static const BYTE header[8] = {SID_REVISION, 0, 0, 0, 0, 0, 0, 5};
  memcpy(sid, header, sizeof header);
  ((SID*)sid)->SubAuthorityCount = second ? 2 : 1;
  sid[2] = first;
  sid[3] = second;
}

// The process's user, from its token, into user; throws the OS error.
static void process_user(DWORD* user, size_t size) {
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (!advapi) throw_last_error();
  OpenTokenFn open_token =
      (OpenTokenFn)(void*)GetProcAddress(advapi, "OpenProcessToken");
  TokenInfoFn token_info =
      (TokenInfoFn)(void*)GetProcAddress(advapi, "GetTokenInformation");
  HANDLE token = NULL;
  if (!open_token || !token_info ||
      !open_token(GetCurrentProcess(), TOKEN_QUERY, &token))
    throw_last_error();
  DWORD info[TOKEN_USER_SIZE / sizeof(DWORD) + 1];
  DWORD got = 0;
  BOOL ok = token_info(token, TokenUser, info, sizeof info, &got);
  DWORD code = GetLastError();
  CloseHandle(token);
  if (!ok) throw_error(code);
  const SID* sid = (const SID*)((const TOKEN_USER*)info)->User.Sid;
  size_t sid_size = 8 + 4 * (size_t)sid->SubAuthorityCount;
  if (sid_size > size) throw_error(ERROR_INSUFFICIENT_BUFFER);
  memcpy(user, sid, sid_size);
}

static void dump_build_access(void) {
  DumpAccess* a = &s_dump.access;
  if (a->attributes.lpSecurityDescriptor) return;
  DWORD user[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
  process_user(user, sizeof user);
  DWORD system[4], administrators[4];
  nt_sid(system, SECURITY_LOCAL_SYSTEM_RID, 0);
  nt_sid(administrators, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
  ACL* acl = (ACL*)a->acl;
  memset(a->acl, 0, sizeof a->acl);
  acl->AclRevision = ACL_REVISION;
  acl->AclSize = sizeof(ACL);
  acl_allow(acl, user);
  acl_allow(acl, system);
  acl_allow(acl, administrators);
  SECURITY_DESCRIPTOR* d = &a->descriptor;
  memset(d, 0, sizeof *d);
  d->Revision = SECURITY_DESCRIPTOR_REVISION;
  d->Control = SE_DACL_PRESENT | SE_DACL_PROTECTED;
  d->Dacl = acl;
  a->attributes.nLength = sizeof a->attributes;
  a->attributes.bInheritHandle = FALSE;
  a->attributes.lpSecurityDescriptor = d;
}

static void dump_make_events(void) {
  if (!s_dump.busy) s_dump.busy = CreateMutexA(NULL, FALSE, NULL);
  if (!s_dump.busy) throw_last_error();
  if (!s_dump.wake) s_dump.wake = CreateEventA(NULL, FALSE, FALSE, NULL);
  if (!s_dump.wake) throw_last_error();
  if (!s_dump.idle) s_dump.idle = CreateEventA(NULL, TRUE, TRUE, NULL);
  if (!s_dump.idle) throw_last_error();
  if (!s_dump.stack_lock) s_dump.stack_lock = CreateMutexA(NULL, FALSE, NULL);
  if (!s_dump.stack_lock) throw_last_error();
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
  dump_build_access();
  dump_make_events();
  dump_start_writer();
  if (!s_dump.wait_ms) s_dump.wait_ms = DEFAULT_WAIT_MS;
  mutex_take(s_dump.busy, INFINITE);
  str_copy(s_dump.directory, sizeof s_dump.directory, resolved);
  str_copy(s_dump.stem, sizeof s_dump.stem, stem);
  s_dump.type =
      kind == ZORVEL_DUMP_WITH_DATA ? MiniDumpWithDataSegs : MiniDumpNormal;
  InterlockedExchange(&s_dump.on, 1);
  ReleaseMutex(s_dump.busy);
}

static void dump_turn_off(void) {
  if (s_dump.busy) {
    mutex_take(s_dump.busy, INFINITE);
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
  r->handle = NULL;
  InterlockedExchange(&r->stack_gone, 0);
}

// Wakes the writer for the filled request and waits for it until deadline;
// true when it finished.
static bool dump_run_request(DWORD deadline) {
  ResetEvent(s_dump.idle);
  SetEvent(s_dump.wake);
  return WaitForSingleObject(s_dump.idle, time_left(deadline)) == WAIT_OBJECT_0;
}

// True on a writer thread: the running one or the one serving a request.
static bool on_writer(void) {
  DWORD me = GetCurrentThreadId();
  return me == s_dump.writer_id || me == s_dump.serving_id;
}

// Hands the request to the writer and waits for it until deadline; writes
// the F line of the outcome. Runs with the busy mutex held.
static void dump_hand_over(const EXCEPTION_POINTERS* pointers, DWORD deadline) {
  if (WaitForSingleObject(s_dump.idle, 0) != WAIT_OBJECT_0) {
    report_line(
        "Minidump not written: the writer is still busy with an earlier "
        "dump");
    return;
  }
  dump_fill_request(pointers, NULL);
  const DumpRequest* r = &s_dump.request;
  if (dump_run_request(deadline)) {
    dump_report_answer(r);
    return;
  }
  bool named = InterlockedCompareExchange((LONG*)&r->named, 0, 0) != 0;
  report_line("Minidump not finished within %lu ms: %s", s_dump.wait_ms,
              named ? r->file : "no file created yet");
}

// Gives the writer's place to a new writer thread, unless dumps were turned
// off or this thread lost the place meanwhile.
static void dump_replace_writer(void) {
  SetterLock lock;
  if (s_dump.writer_id != GetCurrentThreadId()) return;
  CloseHandle(s_dump.writer);
  s_dump.writer = NULL;
  s_dump.writer_id = 0;
  s_dump.quit = NULL;  // this thread's own, closed as it ends
  if (!s_dump.on) return;
  try {
    dump_start_writer();
  } catch (unsigned long) {
    // No writer: the next faults wait out their limit.
  }
}

// A writer met a fault of its own, and its report is written. The request
// it was serving is answered (its partial file deleted), a new writer takes
// its place, and it ends as a writer ends.
static void dump_writer_faulted(const EXCEPTION_POINTERS* pointers) {
  report_line("Minidump not written: the fault is the dump writer's own");
  ReleaseMutex(s_dump.stack_lock);  // when it faulted in a walk
  DumpRequest* r = &s_dump.request;
  if (s_dump.serving_id == GetCurrentThreadId()) {
    s_dump.serving_id = 0;
    if (r->handle) {
      CloseHandle(r->handle);
      DeleteFileA(r->file);
    }
    r->step = DUMP_WRITER_FAULTED;
    r->error = pointers->ExceptionRecord->ExceptionCode;
    SetEvent(s_dump.idle);
  }
  dump_replace_writer();
  CloseHandle(t_quit);
  FreeLibraryAndExitThread(g_module, 1);
}

// Bytes of stack below the caller before its reservation ends.
static DWORD_PTR stack_left(void) {
  MEMORY_BASIC_INFORMATION region = {};  // its own address is what is asked
  if (VirtualQuery(&region, &region, sizeof region) != sizeof region)
    return (DWORD_PTR)-1;
  return (DWORD_PTR)&region - (DWORD_PTR)region.AllocationBase;
}

bool dump_report_elsewhere(const EXCEPTION_POINTERS* pointers,
                           const char* title) {
  if (on_writer()) {
    // It may have faulted while it reported for another thread.
    msg_set_thread_id(0);
    setbanner("");
    return false;
  }
  if (!InterlockedCompareExchange(&s_dump.on, 0, 0)) return false;
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW &&
      stack_left() >= REPORT_STACK)
    return false;
  // One deadline for the busy mutex and the request.
  DWORD wait_ms = s_dump.wait_ms;
  DWORD deadline = GetTickCount() + wait_ms;
  if (!mutex_take(s_dump.busy, wait_ms)) return false;
  bool handed =
      s_dump.on && WaitForSingleObject(s_dump.idle, 0) == WAIT_OBJECT_0;
  if (handed) {
    dump_fill_request(pointers, title);
    if (!dump_run_request(deadline)) dump_take_back_stack(&s_dump.request);
  }
  ReleaseMutex(s_dump.busy);
  return handed;
}

void dump_after_report(const EXCEPTION_POINTERS* pointers) {
  if (on_writer()) dump_writer_faulted(pointers);
  if (!InterlockedCompareExchange(&s_dump.on, 0, 0)) return;
  // One deadline for the busy mutex and the request.
  DWORD wait_ms = s_dump.wait_ms;
  DWORD deadline = GetTickCount() + wait_ms;
  if (!mutex_take(s_dump.busy, wait_ms)) {
    report_line(
        "Minidump not written: another thread's dump did not finish in "
        "time");
    return;
  }
  // Dumps may have been turned off while this thread waited.
  if (s_dump.on) dump_hand_over(pointers, deadline);
  ReleaseMutex(s_dump.busy);
}
