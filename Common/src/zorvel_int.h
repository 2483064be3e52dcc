// What the library's subsystems share. Everything else is static to its file.
#ifndef ZORVEL_INT_H
#define ZORVEL_INT_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdarg.h>
#include <windows.h>

#include "text.h"
#include "zorvel.h"

#if defined(_MSC_VER)
#define ZV_THREAD_LOCAL __declspec(thread)
#else
#define ZV_THREAD_LOCAL __thread
#endif
// Keeps a function's stack frame its own.
#define ZV_NOINLINE __declspec(noinline)

// ---------------------------------------------------------------- sizes
// The sizes of paths, lines and their staging are in text.h.
enum {
  SLOT_COUNT = 40,           // slots per channel; slot 0 is the standard stream
  MARK_SIZE = 8,             // mark: 7 characters and a terminator
  BANNER_SIZE = 256,         // banner: 255 characters and a terminator
  PLACE_FIELD = 300,         // fields of ThreadPlace
  RESOLVED_NAME_SIZE = 2048  // util_init's resolved names
};

// ---------------------------------------------------------------- state
struct FileLock;  // filelock.cpp

struct LogSlot {
  bool rotate;     // daily rotation configured
  LONG keep;       // numbered copies kept by a rotation
  LONG in_use;     // non-zero while the slot holds an open file
  LONG index;      // own position in the table
  HANDLE file;     // the standard stream of slot 0; null for a named file,
                   // which is written through its lock's handle
  FileLock* lock;  // serializes writes to the file, across processes too
  char path[PATH_SIZE];
  // Rotation while the file is open; read with rotate and keep, then used
  // only under the lock.
  bool running;       // configured
  LONG running_keep;  // numbered copies
  ULONGLONG limit;    // size in bytes that starts a rotation; 0 none
  DWORD retry_tick;   // a rotation that failed is not tried again before
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
  DWORD block;  // the thread's open LineBlock
};
enum { KEY_COUNT = sizeof(TlsKeys) / sizeof(DWORD) };

struct ThreadPlace {
  int line;
  char file[PLACE_FIELD];
  char module_path[PLACE_FIELD];
  char description[PLACE_FIELD];
};

// ================================================================ logcore.cpp
// Library state and lifecycle, line composition and the reporting calls.

extern LogTable g_tables[2];  // indexed by Channel
extern volatile LONG g_debug_level;

// Ends the process; used where the library cannot go on safely.
void fatal_abort(void);

// Load and unload; DllMain forwards here, test hosts call them directly.
// Attach returns FALSE, with nothing left behind, when a table mutex or a
// key cannot be had.
BOOL lib_process_attach(HMODULE module);
// Gives back the write locks the thread still holds, its slots (under the
// table mutexes) and its buffers.
void lib_thread_detach(void);
void lib_process_detach(void);

// Table mutex of a channel. An abandoned mutex counts as acquired; a wait or
// release that fails aborts. Recursive: a holder may lock again.
void table_lock(Channel channel);
void table_unlock(Channel channel);

// Holds a channel's table mutex for its scope, on every way out.
class TableLock {
 public:
  explicit TableLock(Channel channel) : channel_(channel) {
    table_lock(channel);
  }
  ~TableLock() { table_unlock(channel_); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  Channel channel_;
};

// Drops one thread's reference on slot, closing its file and lock at zero;
// takes the table mutex itself. A slot that is not a named slot of the
// channel's table (a standard stream, lent or not) is left alone.
void slot_drop(Channel channel, LogSlot* slot);

// The thread's line: rewinds the cursor to its message buffer; appends at
// most APPEND_LIMIT - 1 characters within the buffer and returns how many
// (an append too long for its limit is replaced by the overflow text); the
// header of a line of the given type.
void msg_reset(void);
int msg_vappend(const char* format, va_list args);
int msg_append(const char* format, ...) ZORVEL_PRINTF(1, 2);
void msg_header(const char* type);

struct TimeValue {
  long seconds;
  unsigned short millis;
};
// "01 Jun 05 (Wed) 13:14:37.045" into out, bounded by size.
void format_stamp(const TimeValue* t, char* out, size_t size);
// The clock of the line stamps (null: the system's); the internal tests
// inject their own. The stamp's text is kept for one second of this clock.
typedef void (*StampClock)(FILETIME* now);
void msg_set_clock(StampClock clock);
// The stamp of a line written at t, as msg_header writes it.
void msg_stamp(const TimeValue* t, char* out, size_t size);

// Writes the thread's line at the end of slot's file under the slot's write
// lock, LF as CR LF; a null slot is skipped. Never fails its caller.
void msg_write(LogSlot* slot);
// Lines of the thread's events slot written between begin and end go to the
// file as one block, in one write when they fit buffer (size may be 0);
// else the slot's lock is taken at the first that does not fit and held to
// the end. No heap is used.
struct LineBlock {
  LogSlot* slot;
  char* text;
  DWORD size, used;
  bool held;      // the slot's lock, taken for the line that did not fit
  HANDLE target;  // where the lines go while it is held
  LineBlock* outer;
};
void msg_block_begin(LineBlock* block, char* buffer, DWORD size);
void msg_block_end(LineBlock* block);
// The local date (yyyymmdd) of the line clock's present moment.
LONG msg_local_day(void);
// To the thread's events and errors slots, standard output and error.
void msg_write_all(void);
// One F line to the thread's events slot only; keeps the last error.
void report_line(const char* format, ...) ZORVEL_PRINTF(1, 2);
// Line headers of the calling thread name thread tid instead of itself
// (0: itself again), for the dump writer reporting for a faulting thread;
// one such thread at a time.
void msg_set_thread_id(DWORD tid);

// ================================================================ filelock.cpp
// The write lock of a log file across threads and processes, and of each
// standard stream; the contract is at the top of filelock.cpp.

// Looks up WaitOnAddress; at load.
void file_lock_init(void);
// The lock of a channel's standard stream: in process memory only.
FileLock* file_lock_stream(Channel channel, HANDLE stream);
// The lock of an open log file, shared by every slot and process on the same
// file, with its own handle of the file; null, with the last error set, when
// every record is taken or the handle cannot be duplicated. A file whose
// named objects cannot be had falls back to a byte-range lock (one warning
// line).
FileLock* file_lock_open(HANDLE file, const char* path);
// Drops one slot's use of lock; the last closes it.
void file_lock_close(FileLock* lock);
// The name of a file's shared block into out: from its identity on its
// volume (true), else from its full path (false).
bool file_lock_name(HANDLE file, const char* path, char* out, size_t size);
// Waits without a time limit for a live owner, takes over from a dead one
// (within 1 s) and falls back when another process's owner keeps the lock
// past 1 s. A null lock is nothing.
void file_lock_acquire(FileLock* lock);
void file_lock_release(FileLock* lock);
// Releases lock if the calling thread holds it (a thread that ends).
void file_lock_release_if_owner(FileLock* lock);
// A standard stream on a disk file: a writer moves to its end first.
bool file_lock_seeks(const FileLock* lock);
// Writes to lock's file in this process go under the byte-range lock.
bool file_lock_fell_back(const FileLock* lock);
// Writes the warning line of each file that fell back since the last call.
void file_lock_report_fallbacks(void);
// The handle writes to a named file go through; null for a standard stream,
// and for a file deleted while open until its name can be opened again.
HANDLE file_lock_file(const FileLock* lock);
// Whether lock is a named file's rather than a standard stream's.
bool file_lock_named(const FileLock* lock);
// The rest is for the holder of the lock.
// Whether the file is no longer the one its name opens: a writer in some
// process moved it away (free to see), or, looked at once a second, the
// name opens another file or none, or the file was deleted.
bool file_lock_stale(FileLock* lock);
// Closes the lock's handle of a file deleted while open, so that the file
// can go and a fresh one be made under its name; writes are dropped until
// then, as the deleted file would have dropped them.
void file_lock_let_go_if_doomed(FileLock* lock);
// The name cannot be opened now: the mark of a move is not acted on again,
// and the look once a second tries the name instead of every line.
void file_lock_follow_later(FileLock* lock);
// Tells the writers in every process that the file was moved away.
void file_lock_retire(FileLock* lock);
// Moves the lock onto fresh, the file now under the name, and takes that
// file's lock across processes; the lock owns fresh then. False when fresh
// is the file already held, or was deleted while open (fresh is closed).
bool file_lock_switch(FileLock* lock, HANDLE fresh);
// The local date (yyyymmdd) the file started, shared by its writers; 0 when
// not known yet.
LONG file_lock_day(const FileLock* lock);
void file_lock_set_day(FileLock* lock, LONG day);

// ================================================================ context.cpp
// Thread-local keys and each thread's context.

extern TlsKeys g_keys;

// TlsGetValue that keeps the caller's last error.
void* tls_get(DWORD key);
// Takes every key in TlsKeys order; false when any is missing (those taken
// stay set for ctx_keys_free). Frees the keys taken and unsets them all.
bool ctx_keys_alloc(void);
void ctx_keys_free(void);
// Frees the thread's mark, message and banner buffers; clears its cursor.
void ctx_free_buffers(void);

// The thread's buffers, allocated empty on first use; null only when they
// cannot be allocated. None changes the last error.
char* ctx_mark(void);
char* ctx_banner(void);
char* ctx_message(void);
// The thread's place record; on MinGW its first touch allocates it.
ThreadPlace* ctx_place(void);
// The thread's slot of a channel; null before any attach.
LogSlot* ctx_slot(Channel channel);
void ctx_set_slot(Channel channel, LogSlot* slot);
// Sets the mark: up to 7 characters, a longer mark keeps 6. Null: nothing.
void ctx_set_mark(const char* mark);
// Reads the executable's whole path, once at load (the loader lock is held
// then anyway); exe_path gives it, or null when it could not be read.
void ctx_read_exe_path(void);
const char* exe_path(void);
// The executable's path cut to 299 characters, for the lines' text.
char* module_path(void);
// GetModuleFileNameA without the heap: the name cut to size - 1 and always
// terminated; its length, size when cut, 0 (path empty) on failure.
DWORD module_file_name(HMODULE module, char* path, DWORD size);

// ================================================================ text.cpp
// The pure text routines are declared in text.h.

// Keeps the caller's last error across a scope: the logging and context calls
// run between a failed call and its report.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : saved_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(saved_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD saved_;
};

// ================================================================ logfiles.cpp
// Named log files: rotation and the slots of the two channels.

// Reads the profile's "rotate" entries for slot's file into rotate and keep.
void read_rotation_config(LogSlot* slot, const char* profile);
// Rotates slot's file when configured and created before today; true when
// it did (the new file's creation time is then to be stamped).
bool rotate_if_due(LogSlot* slot, const char* profile);
// Creates the missing directories of path; failures are ignored.
void make_dirs(const char* path);
// Under slot's lock, before a write of bytes to a named file: follows the
// file's name when the file was moved away, rotates it when due, and returns
// the handle to write to.
HANDLE log_file_target(LogSlot* slot, DWORD bytes);
// Index of the named slot that holds name, or -1; takes the table mutex.
int slot_find(Channel channel, const char* name);
// Opens name (resolved already, kept as given) in a free slot and makes it
// the thread's slot; returns its index, or -1 when the table is full. Throws
// the error code (unsigned long) when the file or its write lock cannot be
// had, 206 for a name too long for a slot. Takes the table mutex.
int slot_open(Channel channel, const char* name, const char* profile);
// Counts one more thread on slot index; takes the table mutex.
void slot_addref(Channel channel, int index);
// Drops the thread's slot of the channel, if it has one.
void slot_release(Channel channel);
// resolve_path, or throws the code util_init throws for the name (206 when
// too long, else 123).
void resolve_name(char* resolved, const char* name);

// ================================================================ support.cpp
// Each routine runs under a guard: a throw or a processor fault inside it
// gives 1. Results: 0 success, 1 failure or nothing done, 2 partial.

// Runs work under a guard: a throw or a processor fault inside it gives 1.
typedef int (*GuardWork)(void* arg);
int guard_run(GuardWork work, void* arg);
// Registers the guards' exception handler for the library's lifetime, and
// removes it; without it each guarded call registers its own.
void guard_install(void);
void guard_uninstall(void);
// Resolves src against the executable's directory into dst (PATH_SIZE);
// on failure dst is empty and the result 1.
int resolve_path(char* dst, const char* src);
// resolve_path against a given executable path (null: not known).
int resolve_path_from(char* dst, const char* src, const char* exe);
// The field scanner: fills the arguments from src as fmt asks.
int scan(const char* src, const char* fmt, ...);
// Scans src in place and returns it, trimmed fields cut out of it.
char* scan_in_place(char* src, const char* fmt, ...);

// Reads a profile section as trimmed key and value pairs, one callback per
// entry into items; capacity and last_index report how many fit and came.
typedef int (*ProfileEntryFn)(char* key, char* value, DWORD_PTR item,
                              void* context);
int read_profile_section(const char* file, const char* section, DWORD_PTR items,
                         DWORD* capacity, ProfileEntryFn callback,
                         DWORD* last_index, void* context);

// ================================================================ kxmini.cpp
// Memory helpers: each succeeds or raises a COSError (CError for a bad grow
// request) naming "kxmini" and its line; none returns a failure.

void* mem_zalloc(size_t size);
void mem_free(void** block);  // frees and nulls; null is nothing
void mem_reserve_commit(void** block, size_t size);
void mem_reserve(void** block, size_t size);
void mem_commit(void* address, size_t size);
void mem_decommit(void* address);
void mem_release(void* address);
void mem_grow_heap(void** block, size_t old_count, size_t new_count,
                   size_t element_size);
void mem_grow_virtual(void** block, size_t old_count, size_t new_count,
                      size_t element_size);

// ================================================================ errors.cpp
// Descriptions of OS and socket error codes; the raising calls are exported.

extern HMODULE g_module;  // the library's own module, set at load

// The code's trimmed system text, else the library's own text, else "No
// description."; in the thread's place record, valid until the next call.
const char* os_error_text(DWORD code);
// The library's string resource id (low 16 bits) into buffer; its length,
// 0 when there is none (buffer then empty).
int resource_text(DWORD id, char* buffer, int size);

// ================================================================ crash.cpp
// Crash reporting; everything here runs inside exception filters.

// VirtualQuery with the record's odd values corrected; its count.
DWORD query_region(const void* address, MEMORY_BASIC_INFORMATION* record,
                   DWORD size);
// Module path, 1-based section and offset of address; FALSE when no module
// or no section holds it (path empty when no module).
BOOL logical_address(const void* address, char* path, DWORD size,
                     DWORD* section, DWORD* offset);
// The call-stack block of a report, from context, as F lines; the x64 walk
// reads frames within the stack that tib bounds (the calling thread's). A
// null tib: no stack is read, and the block holds the context's frame alone.
void print_call_stack(const CONTEXT* context);
void print_call_stack_of(const CONTEXT* context, const NT_TIB* tib);
// The calling thread's TEB view: its stack bounds.
const NT_TIB* thread_tib(void);
// Attaches the thread to the report's files and writes the whole report;
// then the minidump's line, when dumps are on.
void exception_report(EXCEPTION_POINTERS* pointers, const char* title);
// The pieces of a report. The attach moves the thread to the report's files;
// true when standard error was lent as its events slot instead, which
// report_return_loan takes back once the report and its minidump line are
// written. Then the title and exception lines, the call stack, the closing
// rule.
bool report_attach(void);
void report_return_loan(bool lent);
void report_head(const EXCEPTION_POINTERS* pointers, const char* title);
void report_close(void);
// Writes what body writes, then the closing rule, as one block of the
// thread's events file: no other line comes between them. A fault in body
// ends it early. No heap is used.
void write_report_block(GuardWork body, void* arg);
// print_call_stack_of under a guard: a fault in the walk ends it early.
void print_call_stack_guarded(const CONTEXT* context, const NT_TIB* tib);

// ================================================================ minidump.cpp
// Minidumps, turned on by util_set_dump.

// When dumps are on and the faulting thread has too little stack left for a
// report, the writer thread writes the report on its behalf, then the dump;
// true when it took the report over. On the writer itself (a fault of its
// own) its lines go back to its own id and banner.
bool dump_report_elsewhere(const EXCEPTION_POINTERS* pointers,
                           const char* title);
// After a report's closing rule: when dumps are on, has the writer thread
// dump this thread's exception, waits for it (bounded) and writes one F line
// that names the dump or says why there is none. Nothing when off. On the
// writer itself it writes its line, hands its place to a new writer and
// ends the thread.
void dump_after_report(const EXCEPTION_POINTERS* pointers);
// How long a faulting thread waits for its dump (tests shorten it).
void dump_set_wait(DWORD wait_ms);

#endif
