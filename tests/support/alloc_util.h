// Counting the heap allocations of a stretch of code.
#ifndef ZORVEL_ALLOC_UTIL_H
#define ZORVEL_ALLOC_UTIL_H

namespace au {

// Starts counting every heap allocation or reallocation the process makes
// through the import tables of its loaded modules (malloc, operator new,
// HeapAlloc, LocalAlloc and the system's own calls all end there). The
// first call installs the counting entries.
void count_start();
// Stops counting and returns the number counted since count_start.
long count_stop();

}  // namespace au

#endif
