// What the library's subsystems share. Everything else is static to its file.
#ifndef ZORVEL_INT_H
#define ZORVEL_INT_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdarg.h>
#include <windows.h>

#include "zorvel.h"

#if defined(_MSC_VER)
#define ZV_THREAD_LOCAL __declspec(thread)
#else
#define ZV_THREAD_LOCAL __thread
#endif

// ---------------------------------------------------------------- sizes
enum {
  SLOT_COUNT = 40,           // slots per channel; slot 0 is the standard stream
  PATH_SIZE = 260,           // a resolved path and its terminator
  MARK_SIZE = 8,             // mark: 7 characters and a terminator
  BANNER_SIZE = 256,         // banner: 255 characters and a terminator
  MESSAGE_SIZE = 4000,       // the thread's line buffer
  APPEND_LIMIT = 2000,       // one formatted append
  STAGE_SIZE = 2000,         // CR LF staging area of one write
  PLACE_FIELD = 300,         // fields of ThreadPlace
  RESOLVED_NAME_SIZE = 2048  // util_init's resolved names
};

// ---------------------------------------------------------------- state
struct LogSlot {
  bool rotate;   // daily rotation configured
  LONG keep;     // numbered copies kept by a rotation
  LONG in_use;   // non-zero while the slot holds an open file
  LONG index;    // own position in the table
  HANDLE file;   // written to; the standard stream for slot 0
  HANDLE mutex;  // serializes writes to file
  char path[PATH_SIZE];
};

struct LogTable {
  LogSlot slots[SLOT_COUNT];
  HANDLE mutex;              // guards search, in_use, index and counts
  SHORT counts[SLOT_COUNT];  // threads attached to each slot
};

enum Channel { EVENTS_CHANNEL = 0, ERRORS_CHANNEL = 1 };

// Thread-local keys, allocated at load in this order.
struct TlsKeys {
  DWORD mark;
  DWORD message;
  DWORD cursor;
  DWORD banner;
  DWORD events_slot;
  DWORD errors_slot;
  DWORD guard;  // the support routines' innermost guard (g++ builds)
};
enum { KEY_COUNT = sizeof(TlsKeys) / sizeof(DWORD) };

struct ThreadPlace {
  int line;
  char file[PLACE_FIELD];
  char module_path[PLACE_FIELD];
  char description[PLACE_FIELD];
};

extern LogTable g_tables[2];  // indexed by Channel
extern TlsKeys g_keys;
extern HMODULE g_module;
extern volatile LONG g_debug_level;

// Ends the process; used where the library cannot go on safely.
void fatal_abort(void);

// Load and unload; DllMain forwards here, test hosts call them directly.
BOOL lib_process_attach(HMODULE module);
void lib_thread_detach(void);
void lib_process_detach(void);

// ---------------------------------------------------------------- thread
char* ctx_mark(void);     // null only if it cannot be allocated
char* ctx_banner(void);   // likewise
char* ctx_message(void);  // likewise
ThreadPlace* ctx_place(void);
LogSlot* ctx_slot(Channel channel);
void ctx_set_slot(Channel channel, LogSlot* slot);
void ctx_set_mark(const char* mark);  // the 7 / cut-to-6 rule
char* module_path(void);
const char* base_name(const char* path);

// Bounded formatting: always terminated; returns the length, or -1 when the
// text was cut.
int str_vformat(char* dst, size_t size, const char* format, va_list args);
int str_format(char* dst, size_t size, const char* format, ...)
    ZORVEL_PRINTF(3, 4);
// Copies at most size - 1 characters and terminates; returns the length.
size_t str_copy(char* dst, size_t size, const char* src);

// ---------------------------------------------------------------- lines
struct TimeValue {
  long seconds;
  unsigned short millis;
};

void msg_reset(void);
int msg_vappend(const char* format, va_list args);
int msg_append(const char* format, ...) ZORVEL_PRINTF(1, 2);
void msg_header(const char* type);
void format_stamp(const TimeValue* t, char* out, size_t size);
void msg_write(LogSlot* slot);
void msg_write_all(void);
void report_line(const char* format, ...) ZORVEL_PRINTF(1, 2);

// ---------------------------------------------------------------- log files
void read_rotation_config(LogSlot* slot, const char* profile);
bool rotate_if_due(LogSlot* slot, const char* profile);
void make_dirs(const char* path);
int slot_find(Channel channel, const char* name);
int slot_open(Channel channel, const char* name, const char* profile);
void slot_addref(Channel channel, int index);
void slot_release(Channel channel);
// Drops the thread's attachment to slot; shared with thread detach.
void slot_drop(Channel channel, LogSlot* slot);
// Table mutex; an abandoned mutex counts as acquired, a failed wait aborts.
void table_lock(Channel channel);
void table_unlock(Channel channel);

// ---------------------------------------------------------------- support
int resolve_path(char* dst, const char* src);
// resolve_path against a given executable path (null: not known).
int resolve_path_from(char* dst, const char* src, const char* exe_path);
int scan(const char* src, const char* fmt, ...);
char* scan_in_place(char* src, const char* fmt, ...);
void trim_left(char* text);
void trim_right(char* text);
void trim(char* text);

typedef int (*ProfileEntryFn)(char* key, char* value, DWORD_PTR item,
                              void* context);
int read_profile_section(const char* file, const char* section, DWORD_PTR items,
                         DWORD* capacity, ProfileEntryFn callback,
                         DWORD* last_index, void* context);

// ---------------------------------------------------------------- memory
void* mem_zalloc(size_t size);
void mem_free(void** block);
void mem_reserve_commit(void** block, size_t size);
void mem_reserve(void** block, size_t size);
void mem_commit(void* address, size_t size);
void mem_decommit(void* address);
void mem_release(void* address);
void mem_grow_heap(void** block, size_t old_count, size_t new_count,
                   size_t element_size);
void mem_grow_virtual(void** block, size_t old_count, size_t new_count,
                      size_t element_size);

// ---------------------------------------------------------------- errors
const char* os_error_text(DWORD code);
int resource_text(DWORD id, char* buffer, int size);

// ---------------------------------------------------------------- crashes
DWORD query_region(const void* address, MEMORY_BASIC_INFORMATION* record,
                   DWORD size);
BOOL logical_address(const void* address, char* path, DWORD size,
                     DWORD* section, DWORD* offset);
void print_call_stack(const CONTEXT* context);
void exception_report(EXCEPTION_POINTERS* pointers, const char* title);

#endif
