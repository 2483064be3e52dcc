// Support routines: path resolution against the executable's directory, the
// format-driven field scanner with its trimming routines, and the profile
// section reader. Each public routine runs its work under guard_run, so a
// thrown object or a processor fault inside it becomes a result of 1.
#include <float.h>
#include <locale.h>
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include "zorvel_int.h"

// ============================================================ guard

typedef int (*GuardWork)(void* arg);

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

static int guard_run(GuardWork work, void* arg) {
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

static int guard_run(GuardWork work, void* arg) {
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

// ============================================================ trimming

static bool is_blank(char c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

void trim_left(char* text) {
  char* first = text;
  while (is_blank(*first)) ++first;
  if (first != text) memmove(text, first, strlen(first) + 1);
}

void trim_right(char* text) {
  size_t n = strlen(text);
  while (n > 0 && is_blank(text[n - 1])) text[--n] = 0;
}

void trim(char* text) {
  trim_right(text);
  trim_left(text);
}

// ============================================================ field scanner

struct FieldSpec {
  int type;           // type letter; 0 when the format ended before one
  int width;          // 0: none
  int has_precision;  // a '.' was written
  int precision;
  char separator;  // ends the field in the source; 0: none
};

static const char s_type_letters[] = "CScdfhs";

// Decimal value of [begin, end) as atoi reads it. The end character is
// stood in for by a terminator while reading; end may be the terminator.
static int read_number(char* begin, char* end) {
  char saved = *end;
  *end = 0;
  int value = atoi(begin);
  *end = saved;
  return value;
}

// First character of text that is in set, or the terminator.
static char* find_any(char* text, const char* set) {
  while (*text && !strchr(set, *text)) ++text;
  return text;
}

// Width: the number before the first '.' or type letter. A signed width
// would place a field's end before its start; it counts as none.
static char* read_width(char* pos, FieldSpec* conv) {
  char* stop = find_any(pos, ".CScdfhs");
  conv->width = read_number(pos, stop);
  if (conv->width < 0) conv->width = 0;
  return stop;
}

// Precision: after a '.', the number up to the type letter. A negative one
// would cut before the decimal point's place; it counts as none.
static char* read_precision(char* pos, FieldSpec* conv) {
  if (*pos == '.') {
    conv->has_precision = 1;
    ++pos;
  }
  char* stop = find_any(pos, s_type_letters);
  if (conv->has_precision) {
    conv->precision = read_number(pos, stop);
    if (conv->precision < 0) conv->has_precision = conv->precision = 0;
  }
  return stop;
}

// Reads the conversion that starts after a '%'. Returns the position of the
// separator character, where the search for the next '%' resumes; when the
// format ends before a type letter, the position of its terminator.
static char* parse_spec(char* pos, FieldSpec* conv) {
  pos = read_precision(read_width(pos, conv), conv);
  conv->type = (signed char)*pos;
  if (!*pos) return pos;
  ++pos;
  conv->separator = *pos;
  if (pos[0] == '%' && pos[1] != '%') conv->separator = 0;
  return pos;
}

// Text of the next conversion: the character after the next '%', or null.
static char* next_spec(char* fmt) {
  char* percent = strchr(fmt, '%');
  return percent ? percent + 1 : NULL;
}

// Cuts a floating text precision places after its decimal point (the point
// itself is place 0), unless the cut would fall at or past the end.
static char* cut_precision(char* field, int precision) {
  const lconv* conv = localeconv();
  char* point = NULL;
  if (conv && conv->decimal_point && conv->decimal_point[0])
    point = strchr(field, conv->decimal_point[0]);
  if (!point && conv && conv->mon_decimal_point && conv->mon_decimal_point[0])
    point = strchr(field, conv->mon_decimal_point[0]);
  if (!point || (size_t)precision >= strlen(point)) return NULL;
  return point + precision;
}

static double read_float(char* field, const FieldSpec* conv) {
  char* cut = conv->has_precision ? cut_precision(field, conv->precision) : 0;
  if (!cut) return atof(field);
  char saved = *cut;
  *cut = 0;
  double value = atof(field);
  *cut = saved;
  return value;
}

static void store_text(char* dst, const char* field, size_t length,
                       const FieldSpec* conv) {
  if (conv->width != 0 && (size_t)conv->width < length) {
    memcpy(dst, field, conv->width);  // exactly width, no terminator
    return;
  }
  memcpy(dst, field, length + 1);
}

// Converts the terminated field into dst by the conversion's type letter.
static void convert_field(char* field, size_t length, void* dst,
                          const FieldSpec* conv) {
  switch (conv->type) {
    case 'C':
    case 'c':
      *(char*)dst = field[0];
      break;
    case 'S':
    case 's':
      store_text((char*)dst, field, length, conv);
      break;
    case 'd':
      *(int*)dst = atoi(field);
      break;
    case 'h':
      *(short*)dst = (short)(atoi(field) & 0xFFFF);
      break;
    case 'f':
      *(double*)dst = read_float(field, conv);
      break;
    default:
      break;
  }
}

// Converts one field at src into dst. Returns where the next field starts,
// or null when the expected separator is missing (the scan ends).
static char* scan_field(char* src, void* dst, const FieldSpec* conv) {
  char* found = NULL;
  if (conv->separator) {
    trim_left(src);
    found = strchr(src, conv->separator);
  }
  size_t remaining = strlen(src);
  size_t length = found ? (size_t)(found - src) : remaining;
  if (!found && conv->width != 0 && (size_t)conv->width <= remaining)
    length = conv->width;
  char* end = src + length;
  char saved = *end;
  *end = 0;
  convert_field(src, length, dst, conv);
  *end = saved;
  if (found) return found + 1;
  return conv->separator ? NULL : end;
}

// The driver: one conversion per step, one destination per conversion. A
// null destination stores nothing and leaves the source where it is.
static void scan_fields(char* src, char* fmt, va_list* args) {
  while (src && *src && fmt && *fmt) {
    char* spec_text = next_spec(fmt);
    if (!spec_text) return;
    FieldSpec conv = {0, 0, 0, 0, 0};
    fmt = parse_spec(spec_text, &conv);
    // A '%' without a type letter ends the format; it takes no destination.
    if (conv.type == 0) return;
    void* dst = va_arg(*args, void*);
    if (dst) src = scan_field(src, dst, &conv);
  }
}

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

enum { PATH_AREA = 512 };

struct PathWork {
  char* dst;
  const char* src;
  const char* exe;  // null when the executable's path is not known
};

// Joins the first head_length characters of head and all of tail into dst.
// Refuses (returns 1) a name that would not fit a PATH_SIZE field.
static int path_join(char* dst, const char* head, size_t head_length,
                     const char* tail) {
  size_t tail_length = strlen(tail);
  if (head_length + tail_length >= PATH_SIZE) return 1;
  // Built apart from dst, which may be the source itself.
  char result[PATH_AREA];
  memcpy(result, head, head_length);
  memcpy(result + head_length, tail, tail_length + 1);
  memcpy(dst, result, head_length + tail_length + 1);
  return 0;
}

// A plain name goes after the executable's directory (its last backslash
// kept); without a known executable it is used as given.
static int path_plain(const PathWork* work) {
  if (!work->exe) return path_join(work->dst, "", 0, work->src);
  const char* slash = strrchr(work->exe, '\\');
  size_t dir_length = slash ? (size_t)(slash - work->exe) + 1 : 0;
  return path_join(work->dst, work->exe, dir_length, work->src);
}

// A dotted name: each leading dot climbs one backslash of the executable's
// path, counted from its end. The name's text after the dots up to its first
// backslash is dropped; a name with no backslash there names no file and is
// refused.
static int path_dotted(const PathWork* work) {
  const char* src = work->src;
  if (!work->exe) return 1;
  int i = (int)strlen(work->exe) - 1;
  size_t j = 0;
  while (i >= 0 && src[j] == '.') {
    if (work->exe[i] == '\\') ++j;
    --i;
  }
  while (src[j] && src[j] != '\\') ++j;
  if (!src[j]) return 1;
  return path_join(work->dst, work->exe, (size_t)(i + 1), src + j);
}

// An executable path is usable when it fits a path field; a longer one
// would have been cut by the system and names the wrong directory.
static const char* path_usable_exe(const char* exe) {
  if (!exe) return NULL;
  for (size_t n = 0; n < PATH_SIZE; ++n)
    if (!exe[n]) return exe;
  return NULL;
}

static int path_work(void* arg) {
  PathWork* work = (PathWork*)arg;
  const char* src = work->src;
  if (!src || !src[0]) {
    work->dst[0] = 0;
    return 0;
  }
  if (src[1] == ':') return path_join(work->dst, "", 0, src);
  work->exe = path_usable_exe(work->exe);
  if (src[0] != '.') return path_plain(work);
  return path_dotted(work);
}

static int path_clear(void* dst) {
  *(char*)dst = 0;
  return 0;
}

// Resolves src against the directory of the executable whose full path is
// exe_path (null: not known). On any failure dst holds the empty name and
// the result is 1; dst never receives more than PATH_SIZE bytes.
int resolve_path_from(char* dst, const char* src, const char* exe_path) {
  PathWork work = {dst, src, exe_path};
  if (guard_run(path_work, &work) == 0) return 0;
  guard_run(path_clear, dst);
  return 1;
}

int resolve_path(char* dst, const char* src) {
  char exe[PATH_AREA];
  memset(exe, 0, sizeof exe);
  DWORD n = module_file_name(NULL, exe, PATH_SIZE);
  // A count of PATH_SIZE means the path was cut.
  return resolve_path_from(dst, src, n > 0 && n < PATH_SIZE ? exe : NULL);
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
