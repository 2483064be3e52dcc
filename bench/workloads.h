// The workloads of zorvel-bench.exe, by kind name.
#ifndef ZORVEL_BENCH_WORKLOADS_H
#define ZORVEL_BENCH_WORKLOADS_H

#include "harness.h"

namespace bench {

// Null for a kind this program does not run.
const Workload* find_workload(const char* kind);

// Times the pieces of a floor line one by one, loops times each, on the
// calling thread; writes "<ns> <label>" lines to result_path. The floor's
// files go to data_dir(). Returns 0 on success.
int parts_main(const char* result_path, long loops);

// Writes count event lines on the calling thread to a file beside the
// program, after one line that makes the thread's buffers; prints the
// thread's id to standard error first. Returns 0.
int write_lines_main(long count);

}  // namespace bench

#endif
