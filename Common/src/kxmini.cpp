// Memory helpers. Each allocation either succeeds or raises a COSError that
// names this file and the routine's own line; none returns a failure.
#include <stdlib.h>
#include <string.h>

#include "zorvel_int.h"

static const char s_file[] = "kxmini";

// Lines reported by the raising routines. They are fixed numbers that
// callers may match in messages, not this file's __LINE__, which moves with
// every edit.
enum {
  LINE_RESERVE_COMMIT = 91,
  LINE_ZALLOC = 164,
  LINE_RESERVE = 179,
  LINE_COMMIT = 204
};

// Sizes and counts print whole: as the 32-bit int of the x86 texts, and
// unsigned in 64 bits on x64.
#if defined(_WIN64)
typedef unsigned long long SizeWord;
typedef unsigned long long CountWord;
#define ALLOC_TEXT "Can't allocate memory. Required size %I64u"
#define RESERVE_TEXT "Can't reserve memory for future work. Required size %I64u"
#define GROW_TEXT "Invalid grow request: %I64u to %I64u elements of %I64u bytes"
#else
typedef int SizeWord;
typedef unsigned CountWord;
#define ALLOC_TEXT "Can't allocate memory. Required size %d"
#define RESERVE_TEXT "Can't reserve memory for future work. Required size %d"
#define GROW_TEXT "Invalid grow request: %u to %u elements of %u bytes"
#endif

void* mem_zalloc(size_t size) {
  void* block = malloc(size);
  if (!block) {
    place(s_file, LINE_ZALLOC);
    kxraiseos(ALLOC_TEXT, (SizeWord)size);
  }
  memset(block, 0, size);
  return block;
}

void mem_free(void** block) {
  if (block && *block) {
    free(*block);
    *block = NULL;
  }
}

void mem_reserve_commit(void** block, size_t size) {
  if (size == 0) return;
  *block = VirtualAlloc(NULL, size, MEM_COMMIT, PAGE_EXECUTE_READWRITE);
  if (!*block) {
    place(s_file, LINE_RESERVE_COMMIT);
    kxraiseos(RESERVE_TEXT, (SizeWord)size);
  }
}

void mem_reserve(void** block, size_t size) {
  if (size == 0) return;
  *block = VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS);
  if (!*block) {
    place(s_file, LINE_RESERVE);
    kxraiseos(RESERVE_TEXT, (SizeWord)size);
  }
}

void mem_commit(void* address, size_t size) {
  if (size == 0) return;
  if (!VirtualAlloc(address, size, MEM_COMMIT, PAGE_EXECUTE_READWRITE)) {
    place(s_file, LINE_COMMIT);
    kxraiseos("Can't commit memory for future work");
  }
}

void mem_decommit(void* address) {
  if (address) VirtualFree(address, 0, MEM_DECOMMIT);
}

void mem_release(void* address) {
  if (!address) return;
  VirtualFree(address, 0, MEM_DECOMMIT);
  VirtualFree(address, 0, MEM_RELEASE);
}

// The grow routines copy the old elements whole. A call that would shrink,
// grow to nothing, copy from a missing block or overflow the byte count is
// refused with a CError before any memory is touched.
static void check_grow(void* const* block, size_t old_count, size_t new_count,
                       size_t element_size, int line) {
  bool bad = !block || new_count < old_count || new_count == 0 ||
             element_size == 0 || (old_count > 0 && !*block) ||
             new_count > (size_t)-1 / element_size;
  if (bad) {
    place(s_file, line);
    kxraisec(ERROR_INVALID_PARAMETER, GROW_TEXT, (CountWord)old_count,
             (CountWord)new_count, (CountWord)element_size);
  }
}

enum { LINE_GROW_HEAP = 230, LINE_GROW_VIRTUAL = 250 };

void mem_grow_heap(void** block, size_t old_count, size_t new_count,
                   size_t element_size) {
  check_grow(block, old_count, new_count, element_size, LINE_GROW_HEAP);
  void* old_block = *block;
  void* new_block = mem_zalloc(new_count * element_size);
  if (old_block) {
    memcpy(new_block, old_block, old_count * element_size);
    mem_free(&old_block);
  }
  *block = new_block;
}

void mem_grow_virtual(void** block, size_t old_count, size_t new_count,
                      size_t element_size) {
  check_grow(block, old_count, new_count, element_size, LINE_GROW_VIRTUAL);
  void* old_block = *block;
  void* new_block = NULL;
  mem_reserve(&new_block, new_count * element_size);
  size_t old_bytes = old_count * element_size;
  if (old_bytes) {
    try {
      mem_commit(new_block, old_bytes);
    } catch (...) {
      mem_release(new_block);  // the caller's block stays as it was
      throw;
    }
    memcpy(new_block, old_block, old_bytes);
  }
  mem_release(old_block);
  *block = new_block;
}
