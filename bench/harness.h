// Measurement harness shared by the benchmark programs: runs one workload on
// a number of threads, times the lines each thread writes after its warm-up,
// and counts the heap allocations made meanwhile.
#ifndef ZORVEL_BENCH_HARNESS_H
#define ZORVEL_BENCH_HARNESS_H

#include <windows.h>

namespace bench {

// What one thread does. init and fini run on the main thread around all
// threads; setup, teardown and the lines run on each thread. Any may be null
// except line.
struct Workload {
  void (*init)(int threads, bool per_thread);
  void (*setup)(int thread);
  void (*line)(int thread, long i);
  void (*teardown)(int thread);
  void (*fini)(void);
  // Optional: a ratio the workload measured itself (0 when absent).
  double (*ratio)(void);
};

struct Result {
  double ns_per_line;      // mean time of one call, seen by its thread
  double lines_per_sec;    // all threads' lines over the wall time
  double allocs_per_line;  // heap allocation calls during the timed lines
  double blocks_per_line;  // growth of the busy heap blocks over them
  double ratio;            // the workload's own ratio, if it has one
};

// Warm-up lines per thread before timing: the first call of a thread may
// allocate its buffers; later ones must not.
const long warmup_lines = 16;

// Runs workload on threads threads, lines timed lines each.
bool run_case(const Workload& workload, int threads, bool per_thread,
              long lines, Result* result);

// The child side of the parent/child protocol:
//   <exe> --child <kind> <threads> <per_thread 0|1> <lines> <dir> <result>
// dir is where the kind's log files go; the result file receives one line of
// four numbers. find maps a kind to its workload (null: unknown kind).
typedef const Workload* (*find_workload_fn)(const char* kind);
int child_main(int argc, char** argv, find_workload_fn find);

// The directory given to the child, with a trailing backslash.
const char* data_dir(void);
void set_data_dir(const char* dir);

}  // namespace bench

#endif
