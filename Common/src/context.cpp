// Thread context: the thread-local keys, each thread's mark, banner, message
// buffer, write cursor, slots and place record, and the exported calls that
// set them.
#include <stdlib.h>
#include <string.h>

#include "zorvel_int.h"

TlsKeys g_keys = {TLS_OUT_OF_INDEXES, TLS_OUT_OF_INDEXES, TLS_OUT_OF_INDEXES,
                  TLS_OUT_OF_INDEXES, TLS_OUT_OF_INDEXES, TLS_OUT_OF_INDEXES,
                  TLS_OUT_OF_INDEXES, TLS_OUT_OF_INDEXES};

// The thread's place record. MSVC keeps it in the image's static TLS, set up
// with the thread: touching it allocates nothing. MinGW's __thread is emulated:
// the thread's first touch allocates the record on the heap, once. The calls
// that touch it are place, warning, error, oserrori, socerrori, the kxraise
// family and util_init when it warns or refuses a name, as a crash report's
// attach may.
static ZV_THREAD_LOCAL ThreadPlace t_place;

// Shared empty mark for a thread whose mark buffer could not be allocated.
static char s_no_mark[MARK_SIZE];

// TlsGetValue clears the last error on success; the context calls run
// between a failed call and its report (place, then oserrori), so they keep it.
void* tls_get(DWORD key) {
  LastErrorKeeper keep;
  return TlsGetValue(key);
}

// The keys are taken all at once, in the order of TlsKeys, so that a failed
// load can give back whichever were taken.
bool ctx_keys_alloc(void) {
  DWORD* key = &g_keys.mark;
  bool all = true;
  for (int i = 0; i < KEY_COUNT; ++i) {
    key[i] = TlsAlloc();
    if (key[i] == TLS_OUT_OF_INDEXES) all = false;
  }
  return all;
}

void ctx_keys_free(void) {
  DWORD* key = &g_keys.mark;
  for (int i = 0; i < KEY_COUNT; ++i) {
    if (key[i] != TLS_OUT_OF_INDEXES) TlsFree(key[i]);
    key[i] = TLS_OUT_OF_INDEXES;
  }
}

static void free_thread_buffer(DWORD key) {
  void* buffer = tls_get(key);
  if (buffer) {
    free(buffer);
    TlsSetValue(key, NULL);
  }
}

void ctx_free_buffers(void) {
  free_thread_buffer(g_keys.mark);
  free_thread_buffer(g_keys.message);
  free_thread_buffer(g_keys.banner);
  TlsSetValue(g_keys.cursor, NULL);
}

// Returns the thread's buffer under key, allocating it empty on first use.
// Null when it cannot be allocated: callers then skip what needs it.
static char* ctx_buffer(DWORD key, size_t size) {
  char* buffer = (char*)tls_get(key);
  if (!buffer) {
    LastErrorKeeper keep;
    buffer = (char*)malloc(size);
    if (buffer) {
      buffer[0] = 0;
      TlsSetValue(key, buffer);
    }
  }
  return buffer;
}

char* ctx_mark(void) { return ctx_buffer(g_keys.mark, MARK_SIZE); }
char* ctx_banner(void) { return ctx_buffer(g_keys.banner, BANNER_SIZE); }
char* ctx_message(void) { return ctx_buffer(g_keys.message, MESSAGE_SIZE); }
ThreadPlace* ctx_place(void) { return &t_place; }

static DWORD slot_key(Channel channel) {
  return channel == EVENTS_CHANNEL ? g_keys.events_slot : g_keys.errors_slot;
}

LogSlot* ctx_slot(Channel channel) {
  return (LogSlot*)tls_get(slot_key(channel));
}

void ctx_set_slot(Channel channel, LogSlot* slot) {
  TlsSetValue(slot_key(channel), slot);
}

void ctx_set_mark(const char* mark) {
  char* buffer = ctx_mark();
  if (!buffer || !mark) return;
  // A long mark keeps six characters, not seven.
  size_t length = strlen(mark);
  str_copy(buffer, length < MARK_SIZE ? MARK_SIZE : 7, mark);
}

// The file functions' code page: the one the A calls convert names with.
static UINT file_code_page(void) {
  return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

// GetModuleFileNameA converts through a heap buffer under Wine; the wide
// call fills the caller's buffer. The name is converted as the A call
// would.
DWORD module_file_name(HMODULE module, char* path, DWORD size) {
  if (size == 0) return 0;
  path[0] = 0;
  WCHAR wide[PATH_SIZE];
  DWORD n = GetModuleFileNameW(module, wide, PATH_SIZE);
  if (n == 0) return 0;
  bool cut = n >= PATH_SIZE;
  if (cut) n = PATH_SIZE - 1;  // older systems leave a cut name unterminated
  wide[n] = 0;
  char narrow[2 * PATH_SIZE];  // a double-byte code page: two per character
  if (WideCharToMultiByte(file_code_page(), 0, wide, -1, narrow, sizeof narrow,
                          NULL, NULL) <= 0)
    return 0;
  size_t length = str_copy(path, size, narrow);
  return cut || narrow[length] ? size : (DWORD)length;
}

// The executable's path, whole whatever its length: names resolve against
// its directory. Read once at load, so that resolving a name never asks the
// loader (GetModuleFileName takes the loader lock, which a thread ending
// holds while it waits for a table mutex).
enum {
  LONGEST_PATH = 32768,             // UTF-16 units of the longest system path
  EXE_PATH_ROOM = 3 * LONGEST_PATH  // up to three bytes a unit (UTF-8)
};
static char s_exe_path[EXE_PATH_ROOM];

void ctx_read_exe_path(void) {
  s_exe_path[0] = 0;
  HANDLE heap = GetProcessHeap();
  WCHAR* wide = (WCHAR*)HeapAlloc(heap, 0, LONGEST_PATH * sizeof(WCHAR));
  if (!wide) return;
  DWORD n = GetModuleFileNameW(NULL, wide, LONGEST_PATH);
  if (n > 0 && n < LONGEST_PATH) {
    wide[n] = 0;
    if (WideCharToMultiByte(file_code_page(), 0, wide, -1, s_exe_path,
                            sizeof s_exe_path, NULL, NULL) <= 0)
      s_exe_path[0] = 0;
  }
  HeapFree(heap, 0, wide);
}

const char* exe_path(void) { return s_exe_path[0] ? s_exe_path : NULL; }

// The executable's path for the lines' "Running" text, cut to the field.
char* module_path(void) {
  char* path = t_place.module_path;
  if (!path[0]) str_copy(path, PLACE_FIELD, s_exe_path);
  return path;
}

// Exported context calls.

char* __cdecl getsmark(void) {
  char* mark = ctx_mark();
  return mark ? mark : s_no_mark;
}

void __cdecl util_set_mark(const char* mark) { ctx_set_mark(mark); }

void __cdecl setbanner(const char* banner) {
  char* buffer = ctx_banner();
  if (buffer && banner) str_copy(buffer, BANNER_SIZE, banner);
}

void __cdecl place(const char* file, int line) {
  // The thread's first touch of its place record may clear the last error,
  // which a following kxraiseos or oserrori reports.
  LastErrorKeeper keep;
  t_place.line = line;
  str_copy(t_place.file, PLACE_FIELD, file ? file : "");
}

void __cdecl seterror(unsigned long code) { SetLastError(code | 0x20000000); }
