// Counting the heap allocations of a stretch of code.
#ifndef ZORVEL_ALLOC_UTIL_H
#define ZORVEL_ALLOC_UTIL_H

namespace au {

// Installs the counting entries in the modules loaded now; count_start does
// it on its first call.
void install();

// Starts counting every heap allocation or reallocation the process makes
// through the import tables of its loaded modules (malloc, operator new,
// HeapAlloc, LocalAlloc and the system's own calls all end there).
void count_start();
// Stops counting and returns the number counted since count_start.
long count_stop();

}  // namespace au

#endif
