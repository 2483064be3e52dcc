// Memory helpers: failed allocations raise a COSError that names kxmini and
// the routine's own line; the grow routines keep the old elements and refuse
// calls they cannot serve without touching the caller's memory.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>

#include "errors_util.h"
#include "test_util.h"
#include "zorvel_int.h"

namespace {

struct Raised {
  bool os = false;     // caught as COSError
  bool error = false;  // caught as CError
  unsigned long code = 0;
  std::string message, file;
  int line = 0;
};

Raised raise_here(const std::function<void()>& fn) {
  Raised r;
  try {
    fn();
  } catch (const COSError& e) {
    r.os = r.error = true;
    r.code = e.code;
    r.message = e.message;
    r.file = e.file;
    r.line = e.line;
  } catch (const CError& e) {
    r.error = true;
    r.code = e.code;
    r.message = e.message;
    r.file = e.file;
    r.line = e.line;
  }
  return r;
}

// Runs fn on a new thread, whose place has never been used: its first use
// must not change the error that the failed call left.
Raised raise_of(const std::function<void()>& fn) {
  Raised r;
  tu::run_thread([&] { r = raise_here(fn); });
  return r;
}

std::string os_message(int line, const std::string& text, DWORD error) {
  return "(kxmini at " + std::to_string(line) + "): " + text +
         " OS error description is '" + eu::system_text(error) + "'.";
}

// The last error the system leaves after a call like the failing one.
DWORD error_after(const std::function<void()>& fn) {
  SetLastError(0);
  fn();
  return GetLastError();
}

// Sizes no heap or address space has, and how the messages print them: as
// a 32-bit int on x86, unsigned on x64.
#if defined(_WIN64)
const size_t kHuge = 0xFFFFFFFFFFFF0000u;
volatile size_t g_huge_heap = 0xFFFFFFFFFFFFFFF0u;
const char kHugeText[] = "18446744073709486080";
const char kHugeHeapText[] = "18446744073709551600";
#else
const size_t kHuge = 0xFFFFF000u;
volatile size_t g_huge_heap = 0xFFFFFFF0u;
const char kHugeText[] = "-4096";
const char kHugeHeapText[] = "-16";
#endif
void* const kUntouched = (void*)0x1234;

MEMORY_BASIC_INFORMATION region(const void* address) {
  MEMORY_BASIC_INFORMATION info = {};
  VirtualQuery(address, &info, sizeof info);
  return info;
}

}  // namespace

// ------------------------------------------------------------ failures

TEST(MemoryFailures, ZallocRaisesWithItsLineAndTheSize) {
  DWORD error = error_after([] {
    void* volatile block = malloc(g_huge_heap);  // null: it cannot succeed
    (void)block;
  });
  Raised r = raise_of([] { mem_zalloc(g_huge_heap); });
  ASSERT_TRUE(r.os);
  EXPECT_EQ(0u, r.code);
  EXPECT_EQ("kxmini", r.file);
  EXPECT_EQ(164, r.line);
  EXPECT_EQ(os_message(164,
                       std::string("Can't allocate memory. Required size ") +
                           kHugeHeapText,
                       error),
            r.message);
}

TEST(MemoryFailures, ReserveRoutinesStoreNullAndRaise) {
  DWORD error = error_after(
      [] { VirtualAlloc(NULL, kHuge, MEM_RESERVE, PAGE_NOACCESS); });
  struct Row {
    const char* name;
    void (*routine)(void**, size_t);
    int line;
  } rows[] = {{"mem_reserve_commit", mem_reserve_commit, 91},
              {"mem_reserve", mem_reserve, 179}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    void* block = kUntouched;
    Raised r = raise_of([&] { row.routine(&block, kHuge); });
    ASSERT_TRUE(r.os);
    EXPECT_EQ(nullptr, block);
    EXPECT_EQ("kxmini", r.file);
    EXPECT_EQ(row.line, r.line);
    EXPECT_EQ(os_message(row.line,
                         std::string("Can't reserve memory for future work. "
                                     "Required size ") +
                             kHugeText,
                         error),
              r.message);
  }
}

TEST(MemoryFailures, CommitOutsideAReservationRaises) {
  void* reserved = NULL;
  mem_reserve(&reserved, 65536);
  ASSERT_NE(nullptr, reserved);
  struct Row {
    const char* name;
    void* address;
    size_t size;
  } rows[] = {{"above the user address space", (void*)0x90000000, 4096},
              {"past the reservation's end", (char*)reserved + 61440, 8192}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DWORD error = error_after([&] {
      VirtualAlloc(row.address, row.size, MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    });
    Raised r = raise_of([&] { mem_commit(row.address, row.size); });
    ASSERT_TRUE(r.os);
    EXPECT_EQ("kxmini", r.file);
    EXPECT_EQ(204, r.line);
    EXPECT_EQ(os_message(204, "Can't commit memory for future work", error),
              r.message);
  }
  mem_release(reserved);
}

TEST(MemoryFailures, SizeZeroDoesNothing) {
  void* block = kUntouched;
  EXPECT_FALSE(raise_of([&] { mem_reserve_commit(&block, 0); }).error);
  EXPECT_FALSE(raise_of([&] { mem_reserve(&block, 0); }).error);
  EXPECT_FALSE(raise_of([] { mem_commit((void*)0x90000000, 0); }).error);
  EXPECT_EQ(kUntouched, block);

  void* empty = mem_zalloc(0);
  EXPECT_NE(nullptr, empty);
  mem_free(&empty);
}

// ------------------------------------------------------------ success

TEST(MemoryHelpers, ZallocZeroesAndFreeClearsThePointerOnce) {
  unsigned char* bytes = (unsigned char*)mem_zalloc(100);
  ASSERT_NE(nullptr, bytes);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0, bytes[i]);
  void* block = bytes;
  mem_free(&block);
  EXPECT_EQ(nullptr, block);
  mem_free(&block);  // holds null now: nothing to free
  mem_free(NULL);
}

TEST(MemoryHelpers, VirtualBlocksMoveThroughTheirStates) {
  void* rwx = NULL;
  mem_reserve_commit(&rwx, 8192);
  EXPECT_EQ((DWORD)MEM_COMMIT, region(rwx).State);
  EXPECT_EQ((DWORD)PAGE_EXECUTE_READWRITE, region(rwx).Protect);
  mem_release(rwx);
  EXPECT_EQ((DWORD)MEM_FREE, region(rwx).State);

  void* block = NULL;
  mem_reserve(&block, 65536);
  EXPECT_EQ((DWORD)MEM_RESERVE, region(block).State);
  mem_commit((char*)block + 4096, 4096);
  MEMORY_BASIC_INFORMATION page = region((char*)block + 4096);
  EXPECT_EQ((DWORD)MEM_COMMIT, page.State);
  EXPECT_EQ((DWORD)PAGE_EXECUTE_READWRITE, page.Protect);
  memset((char*)block + 4096, 1, 4096);
  mem_decommit(block);
  EXPECT_EQ((DWORD)MEM_RESERVE, region((char*)block + 4096).State);
  mem_release(block);
  EXPECT_EQ((DWORD)MEM_FREE, region(block).State);
  mem_decommit(NULL);
  mem_release(NULL);
}

// ------------------------------------------------------------ grow routines

TEST(GrowRoutines, HeapKeepsOldElementsAndZeroesTheRest) {
  int* numbers = (int*)mem_zalloc(3 * sizeof(int));
  numbers[0] = 1, numbers[1] = 2, numbers[2] = 3;
  void* block = numbers;
  mem_grow_heap(&block, 3, 5, sizeof(int));
  const int* grown = (const int*)block;
  ASSERT_NE(nullptr, grown);
  EXPECT_EQ(1, grown[0]);
  EXPECT_EQ(3, grown[2]);
  EXPECT_EQ(0, grown[3]);
  EXPECT_EQ(0, grown[4]);
  mem_free(&block);

  mem_grow_heap(&block, 0, 4, sizeof(int));  // from nothing
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0, ((const int*)block)[3]);
  mem_free(&block);
}

TEST(GrowRoutines, VirtualCommitsOnlyTheOldElements) {
  void* old_block = NULL;
  mem_reserve(&old_block, 3 * sizeof(int));
  mem_commit(old_block, 3 * sizeof(int));
  int* numbers = (int*)old_block;
  numbers[0] = 7, numbers[1] = 8, numbers[2] = 9;

  void* block = old_block;
  mem_grow_virtual(&block, 3, 4096, sizeof(int));  // four pages
  ASSERT_NE(nullptr, block);
  ASSERT_NE(old_block, block);
  const int* grown = (const int*)block;
  EXPECT_EQ(7, grown[0]);
  EXPECT_EQ(9, grown[2]);
  EXPECT_EQ((DWORD)MEM_COMMIT, region(block).State);
  EXPECT_EQ((DWORD)MEM_RESERVE, region((char*)block + 4096).State);
  EXPECT_EQ((DWORD)MEM_FREE, region(old_block).State);
  mem_release(block);

  block = NULL;
  mem_grow_virtual(&block, 0, 16, 4);  // from nothing: reserved only
  ASSERT_NE(nullptr, block);
  EXPECT_EQ((DWORD)MEM_RESERVE, region(block).State);
  mem_release(block);
}

TEST(GrowRoutines, CallsOutsideTheContractAreRefused) {
  typedef void (*GrowFn)(void**, size_t, size_t, size_t);
  struct Routine {
    const char* name;
    GrowFn grow;
  } routines[] = {{"mem_grow_heap", mem_grow_heap},
                  {"mem_grow_virtual", mem_grow_virtual}};
  struct Row {
    const char* name;
    bool with_block;
    bool null_pointer;
    size_t old_count, new_count, element_size;
  } rows[] = {
      {"shrink", true, false, 4, 2, 4},
      {"grow to nothing", false, false, 0, 0, 4},
      {"element size 0", false, false, 0, 3, 0},
      {"old elements without a block", false, false, 2, 4, 4},
      {"no block pointer", false, true, 0, 4, 4},
      {"byte count overflows", true, false, 4, (size_t)-1 / 4 + 1, 4},
  };
  int lines[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    const Routine& routine = routines[i];
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(routine.name) + ": " + row.name);
      // The old block is read-only: writing or freeing it would show.
      void* old_block = NULL;
      if (row.with_block) {
        old_block = VirtualAlloc(NULL, 4096, MEM_COMMIT, PAGE_READWRITE);
        memset(old_block, 0x5A, 16);
        DWORD protect;
        VirtualProtect(old_block, 4096, PAGE_READONLY, &protect);
      }
      void* block = old_block;
      Raised r = raise_of([&] {
        routine.grow(row.null_pointer ? NULL : &block, row.old_count,
                     row.new_count, row.element_size);
      });
      EXPECT_TRUE(r.error);
      EXPECT_FALSE(r.os);
      EXPECT_EQ((unsigned long)ERROR_INVALID_PARAMETER, r.code);
      EXPECT_EQ("kxmini", r.file);
      EXPECT_NE(0, r.line);
      lines[i] = r.line;
      EXPECT_EQ(old_block, block);
      if (old_block) {
        EXPECT_EQ((DWORD)MEM_COMMIT, region(old_block).State);
        EXPECT_EQ(0x5A, ((unsigned char*)old_block)[15]);
        VirtualFree(old_block, 0, MEM_RELEASE);
      }
    }
  }
  EXPECT_NE(lines[0], lines[1]);

  Raised r = raise_of([] {
    void* block = NULL;
    mem_grow_heap(&block, 0, 0, 4);
  });
  EXPECT_EQ("Invalid grow request: 0 to 0 elements of 4 bytes", r.message);
}
