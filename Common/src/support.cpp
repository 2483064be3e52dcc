// Support routines: path resolution against the executable's directory, the
// format-driven field scanner, and the profile section reader. Each public
// routine runs its work under guard_run, so a thrown object or a processor
// fault inside it becomes a result of 1. The pure parts they guard (the
// scanner's driver, trimming, the path joiner) are in text.cpp.
#include <float.h>
#include <setjmp.h>
#include <string.h>

#include "zorvel_int.h"

// ============================================================ guard

// Hardware faults that the guard turns into a failure. Software exceptions
// (debug output, thread naming, breakpoints) pass through untouched, and a
// stack overflow is left alone: the thread has no room to resume in.
static bool guard_is_fault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
      return true;
    default:
      return false;
  }
}

static int guard_catch_throw(GuardWork work, void* arg) {
  try {
    return work(arg);
  } catch (...) {
    return 1;
  }
}

#if defined(_MSC_VER)

int guard_run(GuardWork work, void* arg) {
  __try {
    return guard_catch_throw(work, arg);
  } __except (guard_is_fault(GetExceptionCode()) ? EXCEPTION_EXECUTE_HANDLER
                                                 : EXCEPTION_CONTINUE_SEARCH) {
    _clearfp();
    return 1;
  }
}

#else

// g++ has no __try. A vectored handler sends a fault on a guarded thread to
// guard_land, which jumps back to guard_run. It is appended behind the
// handlers the host registered before the library was loaded.
struct GuardFrame {
  jmp_buf landing;
  GuardFrame* outer;  // the enclosing guard of this thread
  volatile LONG fired;
};

// The thread's innermost guard lives under a TLS index: the handler reads it
// inside exception dispatch, where reading must not allocate.
static GuardFrame* guard_frame(void) {
  return (GuardFrame*)tls_get(g_keys.guard);
}

static void guard_land(void) { longjmp(guard_frame()->landing, 1); }

// Resumes the faulting thread as if guard_land had been called from below
// the faulting spot, on a stack aligned as at a function's entry. It never
// returns, so its return slot stays unwritten.
#if defined(_WIN64)
// Room below the faulting stack pointer for guard_land's home area.
enum { LANDING_ROOM = 128 };
static void guard_redirect(CONTEXT* context) {
  context->Rsp = ((context->Rsp - LANDING_ROOM) & ~(DWORD64)15) - 8;
  context->Rip = (DWORD64)guard_land;
}
// guard_land has no unwind information to unwind through: a null frame
// makes longjmp restore the registers without unwinding.
#define guard_setjmp(landing) _setjmp((landing), NULL)
#else
static void guard_redirect(CONTEXT* context) {
  context->Esp = (context->Esp & ~(DWORD)15) - 4;
  context->Eip = (DWORD)(DWORD_PTR)guard_land;
}
#define guard_setjmp(landing) setjmp(landing)
#endif

// Called for every exception of every thread while any guard is on: the
// code is checked before the thread's state is looked at.
static LONG CALLBACK guard_handler(EXCEPTION_POINTERS* pointers) {
  if (!guard_is_fault(pointers->ExceptionRecord->ExceptionCode))
    return EXCEPTION_CONTINUE_SEARCH;
  GuardFrame* frame = guard_frame();
  if (!frame || frame->fired) return EXCEPTION_CONTINUE_SEARCH;
  // A second fault (in the landing itself) is not ours to swallow.
  frame->fired = 1;
  guard_redirect(pointers->ContextRecord);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The handler stays registered from load to unload: adding and removing
// one takes heap memory, and a crash report resolves its names through a
// guard, maybe with the heap damaged or locked. Until it is registered,
// each guarded call adds its own for its length.
static PVOID s_guard_handler;

void guard_install(void) {
  if (!s_guard_handler)
    s_guard_handler = AddVectoredExceptionHandler(0, guard_handler);
}

void guard_uninstall(void) {
  if (s_guard_handler) RemoveVectoredExceptionHandler(s_guard_handler);
  s_guard_handler = NULL;
}

int guard_run(GuardWork work, void* arg) {
  GuardFrame frame;
  frame.outer = guard_frame();
  frame.fired = 0;
  PVOID const handler =
      s_guard_handler ? NULL : AddVectoredExceptionHandler(0, guard_handler);
  volatile int result = 1;
  if (guard_setjmp(frame.landing) == 0) {
    TlsSetValue(g_keys.guard, &frame);
    result = guard_catch_throw(work, arg);
  } else {
    _clearfp();
  }
  TlsSetValue(g_keys.guard, frame.outer);
  if (handler) RemoveVectoredExceptionHandler(handler);
  return result;
}

#endif

#if defined(_MSC_VER)
// __try needs no handler of its own.
void guard_install(void) {}
void guard_uninstall(void) {}
#endif

// ============================================================ field scanner

struct ScanWork {
  const char* src;
  char* in_place;  // the source to scan itself, for scan_in_place
  const char* fmt;
  va_list* args;
  char* volatile src_copy;
  char* volatile fmt_copy;
};

static char* copy_text(const char* text) {
  size_t length = strlen(text);
  char* copy = (char*)mem_zalloc(length + 1);
  memcpy(copy, text, length);
  return copy;
}

static int scan_work(void* arg) {
  ScanWork* work = (ScanWork*)arg;
  char* src = work->in_place;
  if (!src) src = work->src_copy = copy_text(work->src);
  work->fmt_copy = copy_text(work->fmt);
  scan_fields(src, work->fmt_copy, work->args);
  return 0;
}

static int scan_run(ScanWork* work) {
  int result = guard_run(scan_work, work);
  mem_free((void**)&work->src_copy);
  mem_free((void**)&work->fmt_copy);
  return result;
}

int scan(const char* src, const char* fmt, ...) {
  if (!src || !fmt) return 1;
  va_list args;
  va_start(args, fmt);
  ScanWork work = {src, NULL, fmt, &args, NULL, NULL};
  int result = scan_run(&work);
  va_end(args);
  return result;
}

char* scan_in_place(char* src, const char* fmt, ...) {
  if (!src || !fmt) return src;
  va_list args;
  va_start(args, fmt);
  ScanWork work = {NULL, src, fmt, &args, NULL, NULL};
  scan_run(&work);
  va_end(args);
  return src;
}

// ============================================================ paths

struct PathWork {
  char* dst;
  const char* src;
  const char* exe;  // null when the executable's path is not known
};

static int path_work(void* arg) {
  PathWork* work = (PathWork*)arg;
  return path_build(work->dst, work->src, work->exe);
}

static int path_clear(void* dst) {
  *(char*)dst = 0;
  return 0;
}

// Resolves src against the directory of the executable whose full path is
// exe (null: not known). On any failure dst holds the empty name and
// the result is 1; dst never receives more than PATH_SIZE bytes.
int resolve_path_from(char* dst, const char* src, const char* exe) {
  PathWork work = {dst, src, exe};
  if (guard_run(path_work, &work) == 0) return 0;
  guard_run(path_clear, dst);
  return 1;
}

int resolve_path(char* dst, const char* src) {
  return resolve_path_from(dst, src, exe_path());
}

// ============================================================ profile

enum {
  SECTION_SIZE = 2048,  // the section as the profile service returns it
  ENTRY_FIELD = 512     // a key or a value and its terminator
};

struct ProfileWork {
  char* text;  // SECTION_SIZE bytes, as read
  DWORD_PTR items;
  DWORD limit;  // entries that may be delivered
  ProfileEntryFn callback;
  DWORD* last_index;
  void* context;
  DWORD count;  // entries walked so far
  char key[ENTRY_FIELD];
  char value[ENTRY_FIELD];
};

// Splits one entry into the key and value areas, both trimmed. An entry
// whose key or value does not fit its area is refused (false). The scan
// goes through areas as long as the whole section, so no entry overflows
// them, and they are cleared for each entry so that a missing value is
// empty rather than the previous entry's.
static bool profile_split(const char* entry, ProfileWork* work) {
  char key[SECTION_SIZE];
  char value[SECTION_SIZE];
  key[0] = value[0] = 0;
  scan(entry, "%s=%s", key, value);
  trim(key);
  trim(value);
  if (strlen(key) >= ENTRY_FIELD || strlen(value) >= ENTRY_FIELD) return false;
  strcpy(work->key, key);
  strcpy(work->value, value);
  return true;
}

// Walks the entries up to the empty one that ends the list, never past the
// end of the area. Returns 0 when every entry was delivered, else 2.
static int profile_walk(void* arg) {
  ProfileWork* work = (ProfileWork*)arg;
  const char* text = work->text;
  const char* end_of_area = text + SECTION_SIZE;
  int result = 0;
  while (text < end_of_area && *text) {
    const char* end =
        (const char*)memchr(text, 0, (size_t)(end_of_area - text));
    if (!end) break;  // an unterminated last entry is not an entry
    DWORD index = work->count;
    if (index < work->limit && work->items != 0 && profile_split(text, work)) {
      if (work->callback)
        work->callback(work->key, work->value, work->items + index,
                       work->context);
      if (work->last_index) *work->last_index = index;
    } else {
      result = 2;
    }
    work->count = index + 1;
    text = end + 1;
  }
  return result;
}

int read_profile_section(const char* file, const char* section, DWORD_PTR items,
                         DWORD* capacity, ProfileEntryFn callback,
                         DWORD* last_index, void* context) {
  char text[SECTION_SIZE];
  memset(text, 0, sizeof text);
  // A missing name would make the service read win.ini or list sections.
  if (file && section)
    GetPrivateProfileSectionA(section, text, SECTION_SIZE, file);
  if (!text[0] || !capacity) {
    if (capacity) *capacity = 0;
    return 1;
  }
  ProfileWork work;
  memset(&work, 0, sizeof work);
  work.text = text;
  work.items = items;
  work.limit = *capacity;
  work.callback = callback;
  work.last_index = last_index;
  work.context = context;
  int result = guard_run(profile_walk, &work);
  if (result == 1) {
    if (last_index) *last_index = 0;
    return 1;
  }
  *capacity = work.count;
  return result;
}
