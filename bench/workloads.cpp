// The workloads measured in child processes: the library's calls, their
// limit (the same bytes, one write per destination behind an in-process
// lock), the former design's floor written by hand (a named kernel mutex and
// a seek per destination), and fprintf as a peer.
#include "workloads.h"

#include <time.h>

// The ctime text the library stamps with; the 64-bit runtime has no
// _ctime32.
static const char* stamp_ctime(const __time32_t* time) {
#if defined(_WIN64)
  __time64_t wide = *time;
  return _ctime64(&wide);
#else
  return _ctime32(time);
#endif
}

#include <stdio.h>
#include <string.h>
#include <sys/timeb.h>
#include <time.h>

#include "harness.h"
#include "zorvel.h"

namespace bench {

static const char k_mark[] = "BENCH";
static const char k_text[] = "client %ld connected, value %d";
enum { max_threads = 32 };

static bool s_per_thread;

// Log file i of a channel ("ev" or "er") in the child's data directory; with
// all threads on one file every thread gets file 0.
static void file_name(char* out, size_t size, const char* channel, int i) {
  if (!s_per_thread) i = 0;
  _snprintf(out, size - 1, "%s%s-%d.log", data_dir(), channel, i);
  out[size - 1] = 0;
}

// ------------------------------------------------------------ library

static void lib_init(int, bool per_thread) {
  s_per_thread = per_thread;
  SetDebugLevel(0);
}

static void lib_setup(int thread) {
  char ev[MAX_PATH], er[MAX_PATH];
  file_name(ev, sizeof ev, "ev", thread);
  file_name(er, sizeof er, "er", thread);
  util_init(ev, er, k_mark, NULL);
}

static void lib_event(int, long i) { event(k_text, i, 7); }
static void lib_warning(int, long i) { warning(k_text, i, 7); }
static void lib_devent(int, long i) { devent(1, k_text, i, 7); }

// ------------------------------------------------------------ floor

// A destination as the design has it: a handle and the mutex of its writes.
struct Dest {
  HANDLE file;
  HANDLE mutex;
};

static Dest s_stdout, s_stderr;
static Dest s_ev[max_threads], s_er[max_threads];
static char s_module[300];

static Dest dest_open(const char* path) {
  Dest d;
  d.file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
  d.mutex = CreateMutexA(NULL, FALSE, NULL);
  return d;
}

static void dest_close(Dest* d) {
  if (d->file && d->file != INVALID_HANDLE_VALUE) CloseHandle(d->file);
  if (d->mutex) CloseHandle(d->mutex);
  d->file = d->mutex = NULL;
}

// One write of the design: wait, seek to the end, one write, release.
static void dest_write(const Dest* d, const char* bytes, DWORD n) {
  DWORD written;
  WaitForSingleObject(d->mutex, INFINITE);
  SetFilePointer(d->file, 0, NULL, FILE_END);
  WriteFile(d->file, bytes, n, &written, NULL);
  ReleaseMutex(d->mutex);
}

// After a line's header of n bytes: the warning's words, the text, CR LF.
// Returns the line's length.
static DWORD line_tail(char* line, int n, int room, const char* word, long i) {
  if (word)
    n += _snprintf(line + n, room - n, "Running %s: %s: ", s_module, word);
  n += _snprintf(line + n, room - n, k_text, i, 7);
  line[n++] = '\r';
  line[n++] = '\n';
  return (DWORD)n;
}

// The bytes of an event (word null) or a warning line, with CR LF, into
// line (4000 bytes). Returns their number.
static DWORD floor_line(char* line, const char* type, const char* word,
                        long i) {
  const int room = 4000 - 3;  // CR LF and a terminator
  struct __timeb32 now;
  _ftime32(&now);
  const char* c = stamp_ctime(&now.time);
  int n = _snprintf(
      line, room, "%s: %.3s%.4s%.2s (%.3s) %.8s.%03d (%d:%d:%s): ", type, c + 8,
      c + 4, c + 22, c, c + 11, (int)now.millitm, (int)GetCurrentProcessId(),
      (int)GetCurrentThreadId(), k_mark);
  return line_tail(line, n, room, word, i);
}

static Dest* thread_dest(Dest* table, int thread) {
  return s_per_thread ? &table[thread] : &table[0];
}

static void floor_init(int, bool per_thread) {
  s_per_thread = per_thread;
  GetModuleFileNameA(NULL, s_module, sizeof s_module);
  s_module[sizeof s_module - 1] = 0;
  s_stdout.file = GetStdHandle(STD_OUTPUT_HANDLE);
  s_stdout.mutex = CreateMutexA(NULL, FALSE, NULL);
  s_stderr.file = GetStdHandle(STD_ERROR_HANDLE);
  s_stderr.mutex = CreateMutexA(NULL, FALSE, NULL);
  if (!per_thread) {
    char path[MAX_PATH];
    file_name(path, sizeof path, "fe", 0);
    s_ev[0] = dest_open(path);
    file_name(path, sizeof path, "fr", 0);
    s_er[0] = dest_open(path);
  }
}

static void floor_setup(int thread) {
  if (!s_per_thread) return;
  char path[MAX_PATH];
  file_name(path, sizeof path, "fe", thread);
  s_ev[thread] = dest_open(path);
  file_name(path, sizeof path, "fr", thread);
  s_er[thread] = dest_open(path);
}

static void floor_teardown(int thread) {
  if (!s_per_thread) return;
  dest_close(&s_ev[thread]);
  dest_close(&s_er[thread]);
}

static void floor_fini(void) {
  dest_close(&s_ev[0]);
  dest_close(&s_er[0]);
  CloseHandle(s_stdout.mutex);
  CloseHandle(s_stderr.mutex);
}

static void floor_event(int thread, long i) {
  char line[4000];
  DWORD n = floor_line(line, "V", NULL, i);
  dest_write(thread_dest(s_ev, thread), line, n);
  dest_write(&s_stdout, line, n);
}

static void floor_warning(int thread, long i) {
  char line[4000];
  DWORD n = floor_line(line, "W", "Warning", i);
  dest_write(thread_dest(s_ev, thread), line, n);
  dest_write(thread_dest(s_er, thread), line, n);
  dest_write(&s_stdout, line, n);
  dest_write(&s_stderr, line, n);
}

static void floor_file(int thread, long i) {
  char line[4000];
  DWORD n = floor_line(line, "V", NULL, i);
  dest_write(thread_dest(s_ev, thread), line, n);
}

static volatile DWORD s_sink;

static void floor_format(int, long i) {
  char line[4000];
  s_sink = floor_line(line, "V", NULL, i);
}

// ------------------------------------------------------------ limit

// The least a line can cost: the same bytes, stamped from GetLocalTime, one
// write per destination behind an in-process lock, no seek (files opened
// append-only).
struct Limit {
  HANDLE file;
  SRWLOCK lock;
};

static Limit s_lout, s_lerr;
static Limit s_lev[max_threads], s_ler[max_threads];

static void limit_open(Limit* d, const char* path) {
  d->file = CreateFileA(path, GENERIC_READ | FILE_APPEND_DATA | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
  InitializeSRWLock(&d->lock);
}

static void limit_close(Limit* d) {
  if (d->file && d->file != INVALID_HANDLE_VALUE) CloseHandle(d->file);
  d->file = NULL;
}

static void limit_write(Limit* d, const char* bytes, DWORD n) {
  DWORD written;
  AcquireSRWLockExclusive(&d->lock);
  WriteFile(d->file, bytes, n, &written, NULL);
  ReleaseSRWLockExclusive(&d->lock);
}

static DWORD limit_line(char* line, const char* type, const char* word,
                        long i) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed",
                                     "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr",
                                       "May", "Jun", "Jul", "Aug",
                                       "Sep", "Oct", "Nov", "Dec"};
  const int room = 4000 - 3;  // CR LF and a terminator
  SYSTEMTIME t;
  GetLocalTime(&t);
  int n = _snprintf(
      line, room,
      "%s: %02d %s %02d (%s) %02d:%02d:%02d.%03d (%d:%d:%s): ", type, t.wDay,
      months[(t.wMonth + 11) % 12], t.wYear % 100, days[t.wDayOfWeek % 7],
      t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
      (int)GetCurrentProcessId(), (int)GetCurrentThreadId(), k_mark);
  return line_tail(line, n, room, word, i);
}

static Limit* limit_dest(Limit* table, int thread) {
  return s_per_thread ? &table[thread] : &table[0];
}

static void limit_init(int, bool per_thread) {
  s_per_thread = per_thread;
  GetModuleFileNameA(NULL, s_module, sizeof s_module);
  s_module[sizeof s_module - 1] = 0;
  s_lout.file = GetStdHandle(STD_OUTPUT_HANDLE);
  InitializeSRWLock(&s_lout.lock);
  s_lerr.file = GetStdHandle(STD_ERROR_HANDLE);
  InitializeSRWLock(&s_lerr.lock);
  if (!per_thread) {
    char path[MAX_PATH];
    file_name(path, sizeof path, "le", 0);
    limit_open(&s_lev[0], path);
    file_name(path, sizeof path, "lr", 0);
    limit_open(&s_ler[0], path);
  }
}

static void limit_setup(int thread) {
  if (!s_per_thread) return;
  char path[MAX_PATH];
  file_name(path, sizeof path, "le", thread);
  limit_open(&s_lev[thread], path);
  file_name(path, sizeof path, "lr", thread);
  limit_open(&s_ler[thread], path);
}

static void limit_teardown(int thread) {
  if (!s_per_thread) return;
  limit_close(&s_lev[thread]);
  limit_close(&s_ler[thread]);
}

static void limit_fini(void) {
  limit_close(&s_lev[0]);
  limit_close(&s_ler[0]);
}

static void limit_event(int thread, long i) {
  char line[4000];
  DWORD n = limit_line(line, "V", NULL, i);
  limit_write(limit_dest(s_lev, thread), line, n);
  limit_write(&s_lout, line, n);
}

static void limit_warning(int thread, long i) {
  char line[4000];
  DWORD n = limit_line(line, "W", "Warning", i);
  limit_write(limit_dest(s_lev, thread), line, n);
  limit_write(limit_dest(s_ler, thread), line, n);
  limit_write(&s_lout, line, n);
  limit_write(&s_lerr, line, n);
}

// ------------------------------------------------------------ fprintf

static FILE* s_files[max_threads];

static FILE** thread_file(int thread) {
  return s_per_thread ? &s_files[thread] : &s_files[0];
}

static void stdio_open(int thread) {
  char path[MAX_PATH];
  file_name(path, sizeof path, "ev", thread);
  *thread_file(thread) = fopen(path, "a");  // text mode: LF becomes CR LF
}

static void stdio_init(int, bool per_thread) {
  s_per_thread = per_thread;
  if (!per_thread) stdio_open(0);
}

static void stdio_setup(int thread) {
  if (s_per_thread) stdio_open(thread);
}

static void stdio_teardown(int thread) {
  if (s_per_thread && s_files[thread]) fclose(s_files[thread]);
}

static void stdio_fini(void) {
  if (!s_per_thread && s_files[0]) fclose(s_files[0]);
}

// The same line as the event floor, to the file only.
static void stdio_line(int thread, long i) {
  FILE* f = *thread_file(thread);
  struct __timeb32 now;
  _ftime32(&now);
  const char* c = stamp_ctime(&now.time);
  fprintf(f, "V: %.3s%.4s%.2s (%.3s) %.8s.%03d (%d:%d:%s): ", c + 8, c + 4,
          c + 22, c, c + 11, (int)now.millitm, (int)GetCurrentProcessId(),
          (int)GetCurrentThreadId(), k_mark);
  fprintf(f, k_text, i, 7);
  fputc('\n', f);
  fflush(f);
}

// ------------------------------------------------------------ pairs

// A library call and its limit, alternating line by line on every thread,
// each call timed alone: both meet the same load of the machine, so their
// ratio is steadier than that of two separate runs.
static LONGLONG s_pair_ticks[max_threads][2];

static void pair_init(int threads, bool per_thread) {
  lib_init(threads, per_thread);
  limit_init(threads, per_thread);
  memset(s_pair_ticks, 0, sizeof s_pair_ticks);
}

static void pair_setup(int thread) {
  lib_setup(thread);
  limit_setup(thread);
}

static void pair_line(int thread, long i, void (*lib)(int, long),
                      void (*floor)(int, long)) {
  LARGE_INTEGER t0, t1;
  int which = (int)(i & 1);
  QueryPerformanceCounter(&t0);
  (which ? floor : lib)(thread, i);
  QueryPerformanceCounter(&t1);
  s_pair_ticks[thread][which] += t1.QuadPart - t0.QuadPart;
}

static void pair_event(int thread, long i) {
  pair_line(thread, i, lib_event, limit_event);
}

static void pair_warning(int thread, long i) {
  pair_line(thread, i, lib_warning, limit_warning);
}

static double pair_ratio(void) {
  LONGLONG lib = 0, floor = 0;
  for (int i = 0; i < max_threads; ++i) {
    lib += s_pair_ticks[i][0];
    floor += s_pair_ticks[i][1];
  }
  return floor ? (double)lib / (double)floor : 0;
}

// ------------------------------------------------------------ parts

// The pieces of one floor line, each timed alone on one thread.
struct Part {
  const char* label;
  void (*run)(long i);
};

static struct __timeb32 s_now;
static char s_line[4000];
static DWORD s_line_length;

static void part_ftime(long) { _ftime32(&s_now); }
static void part_ctime(long) {
  s_sink = (DWORD)(size_t)stamp_ctime(&s_now.time);
}
static void part_format_text(long i) {
  s_sink = (DWORD)_snprintf(s_line, 2000, k_text, i, 7);
}
static void part_format_line(long i) {
  s_line_length = floor_line(s_line, "V", NULL, i);
}
static void part_mutex(long) {
  WaitForSingleObject(s_ev[0].mutex, INFINITE);
  ReleaseMutex(s_ev[0].mutex);
}
static void part_seek_file(long) {
  SetFilePointer(s_ev[0].file, 0, NULL, FILE_END);
}
static void part_write_file(long) {
  DWORD written;
  WriteFile(s_ev[0].file, s_line, s_line_length, &written, NULL);
}
static void part_seek_null(long) {
  SetFilePointer(s_stdout.file, 0, NULL, FILE_END);
}
static void part_write_null(long) {
  DWORD written;
  WriteFile(s_stdout.file, s_line, s_line_length, &written, NULL);
}
static void part_module_path(long) {
  s_sink = GetModuleFileNameA(NULL, s_line + 2000, 300);
}
static void part_time_zone(long) {
  TIME_ZONE_INFORMATION zone;
  s_sink = GetTimeZoneInformation(&zone);
}
static void part_tls(long) { s_sink = (DWORD)(size_t)TlsGetValue(0); }
static void part_system_time(long) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  s_sink = now.dwLowDateTime;
}
static void part_local_time(long) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  s_sink = now.wMilliseconds;
}
static SRWLOCK s_part_lock = SRWLOCK_INIT;
static void part_srw(long) {
  AcquireSRWLockExclusive(&s_part_lock);
  ReleaseSRWLockExclusive(&s_part_lock);
}

static const Part s_parts[] = {
    {"_ftime32", part_ftime},
    {"ctime", part_ctime},
    {"format the text alone", part_format_text},
    {"format a whole line", part_format_line},
    {"mutex wait+release", part_mutex},
    {"seek to end, file", part_seek_file},
    {"write one line, file", part_write_file},
    {"seek to end, null device", part_seek_null},
    {"write one line, null device", part_write_null},
    {"GetModuleFileNameA", part_module_path},
    {"GetTimeZoneInformation", part_time_zone},
    {"TlsGetValue", part_tls},
    {"GetSystemTimeAsFileTime", part_system_time},
    {"GetLocalTime", part_local_time},
    {"SRW lock acquire+release", part_srw},
};

int parts_main(const char* result_path, long loops) {
  floor_init(1, false);
  s_line_length = floor_line(s_line, "V", NULL, 0);
  FILE* out = fopen(result_path, "w");
  if (!out) return 5;
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  for (const Part& part : s_parts) {
    for (long i = 0; i < 16; ++i) part.run(i);
    QueryPerformanceCounter(&t0);
    for (long i = 0; i < loops; ++i) part.run(i);
    QueryPerformanceCounter(&t1);
    double ns = (double)(t1.QuadPart - t0.QuadPart) * 1e9 /
                (double)freq.QuadPart / (double)loops;
    fprintf(out, "%.1f %s\n", ns, part.label);
  }
  floor_fini();
  return fclose(out) == 0 ? 0 : 5;
}

// ------------------------------------------------------------ requests

int write_lines_main(long count) {
  // The server's trace names each request by its thread, in hex.
  fprintf(stderr, "thread %04lx\n", (unsigned long)GetCurrentThreadId());
  util_init("bench-requests.log", NULL, k_mark, NULL);
  event(k_text, -1L, 7);
  for (long i = 0; i < count; ++i) event(k_text, i, 7);
  return 0;
}

// ------------------------------------------------------------ table

struct Named {
  const char* kind;
  Workload workload;
};

static const Named s_workloads[] = {
    {"event", {lib_init, lib_setup, lib_event, NULL, NULL, NULL}},
    {"warning", {lib_init, lib_setup, lib_warning, NULL, NULL, NULL}},
    {"devent", {lib_init, lib_setup, lib_devent, NULL, NULL, NULL}},
    {"pair-event",
     {pair_init, pair_setup, pair_event, limit_teardown, limit_fini,
      pair_ratio}},
    {"pair-warning",
     {pair_init, pair_setup, pair_warning, limit_teardown, limit_fini,
      pair_ratio}},
    {"limit",
     {limit_init, limit_setup, limit_event, limit_teardown, limit_fini, NULL}},
    {"limit-warning",
     {limit_init, limit_setup, limit_warning, limit_teardown, limit_fini,
      NULL}},
    {"floor",
     {floor_init, floor_setup, floor_event, floor_teardown, floor_fini, NULL}},
    {"floor-warning",
     {floor_init, floor_setup, floor_warning, floor_teardown, floor_fini,
      NULL}},
    {"floor-file",
     {floor_init, floor_setup, floor_file, floor_teardown, floor_fini, NULL}},
    {"format",
     {floor_init, floor_setup, floor_format, floor_teardown, floor_fini, NULL}},
    {"fprintf",
     {stdio_init, stdio_setup, stdio_line, stdio_teardown, stdio_fini, NULL}},
};

const Workload* find_workload(const char* kind) {
  for (const Named& n : s_workloads)
    if (!strcmp(n.kind, kind)) return &n.workload;
  return NULL;
}

}  // namespace bench
