// Allocation counting by replacing the heap entries of ntdll in the import
// table of every loaded module.
#include "alloc_util.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#include <string.h>

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

static void* replacement(const char* name) {
  if (!strcmp(name, "HeapAlloc") || !strcmp(name, "RtlAllocateHeap"))
    return (void*)counting_alloc;
  if (!strcmp(name, "HeapReAlloc") || !strcmp(name, "RtlReAllocateHeap"))
    return (void*)counting_realloc;
  return NULL;
}

static void patch_module(BYTE* base) {
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY* dir =
      &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir->VirtualAddress) return;
  const IMAGE_IMPORT_DESCRIPTOR* d =
      (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir->VirtualAddress);
  for (; d->Name; ++d) {
    if (!d->OriginalFirstThunk || !d->FirstThunk) continue;
    const IMAGE_THUNK_DATA* names =
        (const IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
    void** iat = (void**)(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++iat) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name =
          (const char*)((const IMAGE_IMPORT_BY_NAME*)(base +
                                                      names->u1.AddressOfData))
              ->Name;
      void* entry = replacement(name);
      DWORD old;
      if (!entry || !VirtualProtect(iat, sizeof *iat, PAGE_READWRITE, &old))
        continue;
      *iat = entry;
      VirtualProtect(iat, sizeof *iat, old, &old);
    }
  }
}

static void install() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  s_alloc = (heap_alloc_fn)(void*)GetProcAddress(ntdll, "RtlAllocateHeap");
  s_realloc =
      (heap_realloc_fn)(void*)GetProcAddress(ntdll, "RtlReAllocateHeap");
  HMODULE modules[512];
  DWORD bytes = 0;
  if (!K32EnumProcessModules(GetCurrentProcess(), modules, sizeof modules,
                             &bytes))
    return;
  DWORD count = bytes / sizeof modules[0];
  for (DWORD i = 0; i < count && i < 512; ++i)
    if (modules[i] != ntdll) patch_module((BYTE*)modules[i]);
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
