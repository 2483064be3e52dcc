// Logging core: library state and lifecycle, line composition and the
// reporting calls.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "zorvel_int.h"

// After the lean windows.h of zorvel_int.h.
#include <winsock2.h>

LogTable g_tables[2];
volatile LONG g_debug_level;

// ------------------------------------------------------------ lifecycle

void fatal_abort(void) { abort(); }

// Binds slot 0 of a channel to a standard stream, under a lock in process
// memory.
static void bind_stream_slot(Channel channel, DWORD std_handle) {
  LogSlot* slot = &g_tables[channel].slots[0];
  slot->in_use = 1;
  slot->file = GetStdHandle(std_handle);
  slot->lock = file_lock_stream(channel, slot->file);
}

// A load that fails part-way leaves nothing behind: the mutexes made are
// closed and the keys taken are freed.
static void undo_attach(void) {
  HANDLE* mutexes[] = {&g_tables[EVENTS_CHANNEL].mutex,
                       &g_tables[ERRORS_CHANNEL].mutex};
  for (HANDLE* mutex : mutexes) {
    if (*mutex) CloseHandle(*mutex);
    *mutex = NULL;
  }
  lib_process_detach();
}

BOOL lib_process_attach(HMODULE module) {
  g_module = module;
  ctx_read_exe_path();
  memset(g_tables, 0, sizeof g_tables);
  file_lock_init();
  bind_stream_slot(EVENTS_CHANNEL, STD_OUTPUT_HANDLE);
  bind_stream_slot(ERRORS_CHANNEL, STD_ERROR_HANDLE);
  g_tables[EVENTS_CHANNEL].mutex = CreateMutexA(NULL, FALSE, NULL);
  g_tables[ERRORS_CHANNEL].mutex = CreateMutexA(NULL, FALSE, NULL);

  bool keys = ctx_keys_alloc();
  bool loaded =
      keys && g_tables[EVENTS_CHANNEL].mutex && g_tables[ERRORS_CHANNEL].mutex;
  if (!loaded) undo_attach();
  if (loaded) guard_install();
  return loaded;
}

void lib_thread_detach(void) {
  // A thread that ended inside a write gives standard output and error back.
  file_lock_release_if_owner(g_tables[EVENTS_CHANNEL].slots[0].lock);
  file_lock_release_if_owner(g_tables[ERRORS_CHANNEL].slots[0].lock);

  for (int ch = EVENTS_CHANNEL; ch <= ERRORS_CHANNEL; ++ch) {
    LogSlot* slot = ctx_slot((Channel)ch);
    if (slot) {
      slot_drop((Channel)ch, slot);
      ctx_set_slot((Channel)ch, NULL);
    }
  }
  ctx_free_buffers();
}

void lib_process_detach(void) {
  guard_uninstall();
  ctx_keys_free();
}

void table_lock(Channel channel) {
  DWORD r = WaitForSingleObject(g_tables[channel].mutex, INFINITE);
  // An abandoned mutex is owned by the caller now.
  if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) fatal_abort();
}

void table_unlock(Channel channel) {
  if (!ReleaseMutex(g_tables[channel].mutex)) fatal_abort();
}

// Whether slot is one of the named slots (1 to 39) of the channel's table.
// The standard stream slot, and standard error's slot lent as a thread's
// events slot by a crash report, are counted nowhere.
static bool table_holds(Channel channel, const LogSlot* slot) {
  DWORD_PTR first = (DWORD_PTR)&g_tables[channel].slots[1];
  DWORD_PTR end = (DWORD_PTR)&g_tables[channel].slots[SLOT_COUNT];
  DWORD_PTR at = (DWORD_PTR)slot;
  return at >= first && at < end && (at - first) % sizeof(LogSlot) == 0;
}

void slot_drop(Channel channel, LogSlot* slot) {
  if (!table_holds(channel, slot)) return;
  LogTable* table = &g_tables[channel];
  file_lock_release_if_owner(slot->lock);
  TableLock lock(channel);
  int index = (int)(slot - table->slots);
  --table->counts[index];
  if (table->counts[index] == 0 && slot->in_use) {
    if (slot->file && slot->file != INVALID_HANDLE_VALUE)
      CloseHandle(slot->file);
    file_lock_close(slot->lock);
    slot->lock = NULL;
    slot->in_use = 0;
  }
}

// ------------------------------------------------------------ line assembly

void msg_reset(void) { TlsSetValue(g_keys.cursor, ctx_message()); }

// Appends at most APPEND_LIMIT - 1 characters, and never more than the room
// left in the message buffer; the cursor always stays inside the buffer.
int msg_vappend(const char* format, va_list args) {
  char* buffer = (char*)tls_get(g_keys.message);
  char* cursor = (char*)tls_get(g_keys.cursor);
  if (!buffer || !cursor) return 0;
  size_t room = (size_t)(buffer + MESSAGE_SIZE - cursor);
  int n = msg_format_at(cursor, room, format, args);
  TlsSetValue(g_keys.cursor, cursor + n);
  return n;
}

int msg_append(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = msg_vappend(format, args);
  va_end(args);
  return n;
}

enum { CTIME_SIZE = 26 };  // "Wed Jun 01 13:14:37 2005\n" and a terminator

// ctime's text of a time in seconds: the runtime's local time (its zone
// rules, TZ included), through _localtime64_s rather than ctime, whose
// buffer the runtime allocates per thread on first use: any thread may meet
// a new second. The day is "01", as msvcrt writes it (ucrtbase: " 1").
static const char s_days[] = "SunMonTueWedThuFriSat";
static const char s_months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

static void stamp_ctime(long seconds, char* out) {
  __time64_t time = (__time64_t)seconds;
  struct tm local;
  if (seconds < 0 || _localtime64_s(&local, &time) != 0 || local.tm_wday < 0 ||
      local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) {
    str_copy(out, CTIME_SIZE, "??? ??? ?? ??:??:?? ????\n");
    return;
  }
  str_format(out, CTIME_SIZE, "%.3s %.3s %02d %02d:%02d:%02d %04d\n",
             s_days + 3 * local.tm_wday, s_months + 3 * local.tm_mon,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             (local.tm_year + 1900) % 10000);
}

// The stamp from ctime's text c and the milliseconds.
static void stamp_from_ctime(const char* c, int millis, char* out,
                             size_t size) {
  char clock[9];  // the time alone: "%8s" is only a minimum width
  str_copy(clock, sizeof clock, c + 11);
  str_format(out, size, "%.3s%.4s%.2s (%.3s) %8s.%03d", c + 8, c + 4, c + 22, c,
             clock, millis);
}

void format_stamp(const TimeValue* t, char* out, size_t size) {
  char c[CTIME_SIZE];
  stamp_ctime(t->seconds, c);
  stamp_from_ctime(c, t->millis, out, size);
}

// ctime's text of the last second stamped: the runtime reads the time zone
// for it (several server requests under Wine), so it runs once a second.
// A sequence lock: odd while the text is rewritten; a reader that meets a
// change makes its own text.
static struct {
  volatile LONG sequence;
  volatile long seconds;
  char text[CTIME_SIZE];
} s_stamp = {0, -1, ""};

static void cached_stamp_ctime(long seconds, char* out) {
  LONG seen = s_stamp.sequence;
  MemoryBarrier();
  if (!(seen & 1) && s_stamp.seconds == seconds) {
    memcpy(out, s_stamp.text, CTIME_SIZE);
    MemoryBarrier();
    if (s_stamp.sequence == seen) return;
  }
  stamp_ctime(seconds, out);
  if (seen & 1 ||
      InterlockedCompareExchange(&s_stamp.sequence, seen + 1, seen) != seen)
    return;
  s_stamp.seconds = seconds;
  memcpy(s_stamp.text, out, CTIME_SIZE);
  InterlockedExchange(&s_stamp.sequence, seen + 2);
}

void msg_stamp(const TimeValue* t, char* out, size_t size) {
  char c[CTIME_SIZE];
  cached_stamp_ctime(t->seconds, c);
  stamp_from_ctime(c, t->millis, out, size);
}

// The date of ctime's text as yyyymmdd; 0 for the text of a time that
// could not be read.
static LONG ctime_day(const char* c) {
  for (int m = 0; m < 12; ++m)
    if (memcmp(c + 4, s_months + 3 * m, 3) == 0)
      return atoi(c + 20) * 10000 + (m + 1) * 100 + atoi(c + 8);
  return 0;
}

static void system_clock(FILETIME* now) { GetSystemTimeAsFileTime(now); }

static StampClock s_clock = system_clock;

void msg_set_clock(StampClock clock) {
  s_clock = clock ? clock : system_clock;
  InterlockedExchange(&s_stamp.seconds, -1);  // a text of the old clock
}

// Seconds since 1970 and milliseconds, as _ftime gives them, from the
// system time: no time zone is read here.
static void current_time(TimeValue* t) {
  FILETIME now;
  s_clock(&now);
  ULONGLONG ms =
      (((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime) / 10000;
  const ULONGLONG unix_epoch_ms = 11644473600000ULL;  // 1601 to 1970
  ms -= unix_epoch_ms;
  t->seconds = (long)(ms / 1000);
  t->millis = (unsigned short)(ms % 1000);
}

LONG msg_local_day(void) {
  TimeValue now;
  current_time(&now);
  char c[CTIME_SIZE];
  cached_stamp_ctime(now.seconds, c);
  return ctime_day(c);
}

// The dump writer, while it reports for a faulting thread, and that thread.
// Plain words rather than thread-local storage, which MinGW allocates on a
// thread's first touch.
static volatile DWORD s_proxy_thread, s_proxied_thread;

void msg_set_thread_id(DWORD tid) {
  s_proxied_thread = tid;
  s_proxy_thread = tid ? GetCurrentThreadId() : 0;
}

static DWORD line_thread_id(void) {
  DWORD tid = GetCurrentThreadId();
  return tid == s_proxy_thread ? s_proxied_thread : tid;
}

void msg_header(const char* type) {
  TimeValue now;
  current_time(&now);
  char stamp[40];
  msg_stamp(&now, stamp, sizeof stamp);
  const char* mark = getsmark();
  const char* banner = ctx_banner();
  if (!banner) banner = "";
  int pid = (int)GetCurrentProcessId();
  int tid = (int)line_thread_id();
  if (mark[0])
    msg_append("%s: %s (%d:%d:%s): %s", type, stamp, pid, tid, mark, banner);
  else
    msg_append("%s: %s (%d:%d): %s", type, stamp, pid, tid, banner);
}

// Takes slot's lock and returns where the next bytes go: a named file's
// handle, which may move to the file now under the name or rotate first, or
// the standard stream.
static HANDLE write_begin(LogSlot* slot, DWORD bytes) {
  file_lock_acquire(slot->lock);
  if (file_lock_named(slot->lock)) return log_file_target(slot, bytes);
  return slot->file;
}

// A failed seek or write is not reported: logging never fails its caller,
// and there is nowhere left to report it. Files are opened append-only, so
// one write lands at their end; only a standard stream that is a disk file
// moves there first (with a high part: past 4 GiB as well).
static void write_out(LogSlot* slot, HANDLE file, const char* text, DWORD n) {
  if (!file || !n) return;  // no file: a deleted one's name not had yet
  if (file_lock_seeks(slot->lock)) {
    LONG end_high = 0;
    SetFilePointer(file, 0, &end_high, FILE_END);
  }
  DWORD written;
  WriteFile(file, text, n, &written, NULL);
}

// A line for an open block: kept while it fits, else the lock is taken and
// held, and what was kept goes first.
static void block_add(LineBlock* block, const char* stage, DWORD n) {
  if (!block->held && block->used + n <= block->size) {
    memcpy(block->text + block->used, stage, n);
    block->used += n;
    return;
  }
  if (!block->held) {
    block->target = write_begin(block->slot, block->used + n);
    block->held = true;
    write_out(block->slot, block->target, block->text, block->used);
  }
  write_out(block->slot, block->target, stage, n);
}

void msg_block_begin(LineBlock* block, char* buffer, DWORD size) {
  block->slot = ctx_slot(EVENTS_CHANNEL);
  block->text = buffer;
  block->size = buffer ? size : 0;
  block->used = 0;
  block->target = NULL;
  block->held = false;
  block->outer = (LineBlock*)tls_get(g_keys.block);
  TlsSetValue(g_keys.block, block);
}

void msg_block_end(LineBlock* block) {
  TlsSetValue(g_keys.block, block->outer);
  LogSlot* slot = block->slot;
  if (!slot || (!block->held && !block->used)) return;
  if (!block->held) {
    block->target = write_begin(slot, block->used);
    write_out(slot, block->target, block->text, block->used);
  }
  file_lock_release(slot->lock);
}

void msg_write(LogSlot* slot) {
  if (!slot) return;
  char* buffer = (char*)tls_get(g_keys.message);
  char* cursor = (char*)tls_get(g_keys.cursor);
  if (!buffer || !cursor) return;
  char stage[STAGE_SIZE];
  DWORD n = (DWORD)msg_stage(buffer, cursor, stage);

  LineBlock* block = (LineBlock*)tls_get(g_keys.block);
  if (block && block->slot == slot) {
    block_add(block, stage, n);
    return;
  }
  HANDLE file = write_begin(slot, n);
  write_out(slot, file, stage, n);
  file_lock_release(slot->lock);
}

void msg_write_all(void) {
  msg_write(ctx_slot(EVENTS_CHANNEL));
  msg_write(ctx_slot(ERRORS_CHANNEL));
  msg_write(&g_tables[EVENTS_CHANNEL].slots[0]);
  msg_write(&g_tables[ERRORS_CHANNEL].slots[0]);
}

static void write_events_set(void) {
  msg_write(ctx_slot(EVENTS_CHANNEL));
  msg_write(&g_tables[EVENTS_CHANNEL].slots[0]);
}

// ------------------------------------------------------------ reporting calls
// Every call keeps the caller's last error, so logging between a failed call
// and its report does not change what the report prints.

static void write_event_line(const char* type, const char* format,
                             va_list args) {
  LastErrorKeeper keep;
  msg_reset();
  msg_header(type);
  msg_vappend(format, args);
  msg_append("\n");
  write_events_set();
  file_lock_report_fallbacks();
}

void __cdecl event(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_event_line("V", format, args);
  va_end(args);
}

int __cdecl SetDebugLevel(int level) {
  if (level < 0) return (int)g_debug_level;
  return (int)InterlockedExchange(&g_debug_level, level);
}

void __cdecl devent(int level, const char* format, ...) {
  if (g_debug_level < level) return;
  char type[2] = {(char)('0' + level), 0};
  va_list args;
  va_start(args, format);
  write_event_line(type, format, args);
  va_end(args);
}

static void write_error_line(const char* type, const char* word,
                             const char* format, va_list args) {
  LastErrorKeeper keep;
  msg_reset();
  msg_header(type);
  msg_append("Running %s: %s: ", module_path(), word);
  msg_vappend(format, args);
  msg_append("\n");
  msg_write_all();
  file_lock_report_fallbacks();
}

void __cdecl warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_error_line("W", "Warning", format, args);
  va_end(args);
}

void __cdecl error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_error_line("E", "Error", format, args);
  va_end(args);
}

void report_line(const char* format, ...) {
  LogSlot* slot = ctx_slot(EVENTS_CHANNEL);
  if (!slot) return;
  LastErrorKeeper keep;
  va_list args;
  va_start(args, format);
  msg_reset();
  msg_header("F");
  msg_vappend(format, args);
  msg_append("\n");
  va_end(args);
  msg_write(slot);
}

// OS and socket error lines: the code pending on entry, the recorded place
// and the code's description.
static void write_code_line(DWORD code, const char* type,
                            const char* place_format, const char* format,
                            va_list args) {
  const ThreadPlace* where = ctx_place();
  msg_reset();
  msg_header(type);
  msg_append("Running %s: ", module_path());
  msg_append(place_format, base_name(where->file), where->line);
  msg_vappend(format, args);
  msg_append("OS error description: %s.", os_error_text(code));
  msg_append("\n");
  msg_write_all();
  file_lock_report_fallbacks();
  SetLastError(code);
}

void __cdecl oserrori(const char* format, ...) {
  DWORD code = GetLastError();
  va_list args;
  va_start(args, format);
  write_code_line(code, "O", "(%s at %d)", format, args);
  va_end(args);
}

// The socket code is reported; the thread's own last error is kept.
void __cdecl socerrori(const char* format, ...) {
  LastErrorKeeper keep;
  DWORD code = (DWORD)WSAGetLastError();
  va_list args;
  va_start(args, format);
  write_code_line(code, "S", "(%s at %d) ", format, args);
  va_end(args);
}
