// Thread runner, timing, allocation counting and the child protocol.
#include "harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc_util.h"

namespace bench {

// ------------------------------------------------------------ allocations

// Busy blocks of all heaps of the process. Run only while no other thread
// of the workload is inside a call.
static long heap_busy_blocks(void) {
  HANDLE heaps[256];
  DWORD n = GetProcessHeaps(256, heaps);
  if (n > 256) n = 256;
  long busy = 0;
  for (DWORD i = 0; i < n; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = NULL;
    while (HeapWalk(heaps[i], &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ++busy;
    HeapUnlock(heaps[i]);
  }
  return busy;
}

// ------------------------------------------------------------ threads

struct ThreadRun {
  const Workload* workload;
  int index;
  long lines;
  HANDLE ready;  // set after the warm-up
  HANDLE done;   // set after the timed lines
  HANDLE start;  // shared: timing starts
  HANDLE quit;   // shared: tear down and end
  LONGLONG t0, t1;
};

static DWORD WINAPI thread_main(void* arg) {
  ThreadRun* run = (ThreadRun*)arg;
  const Workload* w = run->workload;
  if (w->setup) w->setup(run->index);
  for (long i = 0; i < warmup_lines; ++i) w->line(run->index, i);
  SetEvent(run->ready);
  WaitForSingleObject(run->start, INFINITE);
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  run->t0 = t.QuadPart;
  for (long i = 0; i < run->lines; ++i) w->line(run->index, i);
  QueryPerformanceCounter(&t);
  run->t1 = t.QuadPart;
  SetEvent(run->done);
  WaitForSingleObject(run->quit, INFINITE);
  if (w->teardown) w->teardown(run->index);
  return 0;
}

enum { max_threads = 32 };

static void summarize(const ThreadRun* runs, int threads, long lines,
                      Result* result) {
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  LONGLONG first = runs[0].t0, last = runs[0].t1;
  double busy = 0;
  for (int i = 0; i < threads; ++i) {
    if (runs[i].t0 < first) first = runs[i].t0;
    if (runs[i].t1 > last) last = runs[i].t1;
    busy += (double)(runs[i].t1 - runs[i].t0);
  }
  double total = (double)threads * (double)lines;
  double wall = (double)(last - first) / (double)freq.QuadPart;
  result->ns_per_line = busy / total * 1e9 / (double)freq.QuadPart;
  result->lines_per_sec = wall > 0 ? total / wall : 0;
}

bool run_case(const Workload& workload, int threads, bool per_thread,
              long lines, Result* result) {
  if (threads < 1 || threads > max_threads || lines < 1) return false;
  static ThreadRun runs[max_threads];
  HANDLE handles[max_threads], ready[max_threads], done[max_threads];
  HANDLE start = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE quit = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (workload.init) workload.init(threads, per_thread);
  for (int i = 0; i < threads; ++i) {
    ThreadRun* run = &runs[i];
    run->workload = &workload;
    run->index = i;
    run->lines = lines;
    run->ready = ready[i] = CreateEventA(NULL, TRUE, FALSE, NULL);
    run->done = done[i] = CreateEventA(NULL, TRUE, FALSE, NULL);
    run->start = start;
    run->quit = quit;
    handles[i] = CreateThread(NULL, 0, thread_main, run, 0, NULL);
    if (!handles[i]) return false;
  }
  WaitForMultipleObjects(threads, ready, TRUE, INFINITE);
  long blocks_before = heap_busy_blocks();
  au::count_start();
  SetEvent(start);
  WaitForMultipleObjects(threads, done, TRUE, INFINITE);
  long allocs = au::count_stop();
  long blocks_after = heap_busy_blocks();
  SetEvent(quit);
  WaitForMultipleObjects(threads, handles, TRUE, INFINITE);
  if (workload.fini) workload.fini();

  summarize(runs, threads, lines, result);
  double total = (double)threads * (double)lines;
  result->allocs_per_line = (double)allocs / total;
  result->blocks_per_line = (double)(blocks_after - blocks_before) / total;
  result->ratio = workload.ratio ? workload.ratio() : 0;
  for (int i = 0; i < threads; ++i) {
    CloseHandle(handles[i]);
    CloseHandle(ready[i]);
    CloseHandle(done[i]);
  }
  CloseHandle(start);
  CloseHandle(quit);
  return true;
}

// ------------------------------------------------------------ child side

static char s_data_dir[MAX_PATH + 2];

const char* data_dir(void) { return s_data_dir; }

void set_data_dir(const char* dir) {
  _snprintf(s_data_dir, sizeof s_data_dir - 1, "%s\\", dir);
  s_data_dir[sizeof s_data_dir - 1] = 0;
}

static bool write_result(const char* path, const Result& r) {
  FILE* f = fopen(path, "w");
  if (!f) return false;
  fprintf(f, "%.3f %.1f %.6f %.6f %.6f\n", r.ns_per_line, r.lines_per_sec,
          r.allocs_per_line, r.blocks_per_line, r.ratio);
  return fclose(f) == 0;
}

int child_main(int argc, char** argv, find_workload_fn find) {
  if (argc != 8 || strcmp(argv[1], "--child") != 0) return 2;
  const Workload* workload = find(argv[2]);
  int threads = atoi(argv[3]);
  bool per_thread = atoi(argv[4]) != 0;
  long lines = atol(argv[5]);
  set_data_dir(argv[6]);
  if (!workload) return 3;
  au::install();
  Result result;
  if (!run_case(*workload, threads, per_thread, lines, &result)) return 4;
  return write_result(argv[7], result) ? 0 : 5;
}

}  // namespace bench
