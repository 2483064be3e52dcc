#include "import_util.h"

#include <string.h>

namespace iu {

static void set_entry(ULONG_PTR* entry, void* target) {
  DWORD old;
  if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old)) return;
  *entry = (ULONG_PTR)target;
  VirtualProtect(entry, sizeof *entry, old, &old);
}

void* patch_import(HMODULE module, const char* dll, const char* function,
                   void* target) {
  BYTE* base = (BYTE*)module;
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return NULL;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY* dir =
      &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir->VirtualAddress || !dir->Size) return NULL;
  void* old = NULL;
  const IMAGE_IMPORT_DESCRIPTOR* d =
      (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir->VirtualAddress);
  for (; d->Name; ++d) {
    if (!d->OriginalFirstThunk || !d->FirstThunk) continue;
    if (dll && _stricmp((const char*)(base + d->Name), dll) != 0) continue;
    // Names from the lookup table, entries in the address table beside it.
    const IMAGE_THUNK_DATA* names =
        (const IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA* entries = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++entries) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME* by_name =
          (const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      if (strcmp((const char*)by_name->Name, function) != 0) continue;
      old = (void*)entries->u1.Function;
      set_entry(&entries->u1.Function, target);
    }
  }
  return old;
}

void* patch_import(const char* dll, const char* function, void* target) {
  return patch_import(GetModuleHandleA(NULL), dll, function, target);
}

}  // namespace iu
