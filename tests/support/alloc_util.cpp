#include "alloc_util.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include "import_util.h"

namespace au {

typedef void*(WINAPI* heap_alloc_fn)(HANDLE, DWORD, SIZE_T);
typedef void*(WINAPI* heap_realloc_fn)(HANDLE, DWORD, void*, SIZE_T);

static heap_alloc_fn s_alloc;
static heap_realloc_fn s_realloc;
static volatile LONG s_counting;
static volatile LONG s_count;

static void* WINAPI counting_alloc(HANDLE heap, DWORD flags, SIZE_T size) {
  if (s_counting) InterlockedIncrement(&s_count);
  return s_alloc(heap, flags, size);
}

static void* WINAPI counting_realloc(HANDLE heap, DWORD flags, void* p,
                                     SIZE_T size) {
  if (s_counting) InterlockedIncrement(&s_count);
  return s_realloc(heap, flags, p, size);
}

// Every heap allocation of the runtime and the system libraries goes through
// these two entries of ntdll; counting at the import tables of all modules
// counts malloc, operator new and LocalAlloc alike, each once.
static void patch_module(HMODULE module) {
  iu::patch_import(module, NULL, "HeapAlloc", (void*)counting_alloc);
  iu::patch_import(module, NULL, "RtlAllocateHeap", (void*)counting_alloc);
  iu::patch_import(module, NULL, "HeapReAlloc", (void*)counting_realloc);
  iu::patch_import(module, NULL, "RtlReAllocateHeap", (void*)counting_realloc);
}

void install() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  s_alloc = (heap_alloc_fn)(void*)GetProcAddress(ntdll, "RtlAllocateHeap");
  s_realloc =
      (heap_realloc_fn)(void*)GetProcAddress(ntdll, "RtlReAllocateHeap");
  if (!s_alloc || !s_realloc) return;
  HMODULE modules[512];
  DWORD bytes = 0;
  if (!K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules,
                             &bytes))
    return;
  DWORD count = bytes / sizeof modules[0];
  for (DWORD i = 0; i < count && i < 512; ++i)
    if (modules[i] != ntdll) patch_module(modules[i]);
}

void count_start() {
  if (!s_alloc) install();
  s_count = 0;
  s_counting = 1;
}

long count_stop() {
  s_counting = 0;
  return s_count;
}

}  // namespace au
