// Replacing the entries of a module's import table, to count or fake the
// platform calls that module makes.
#ifndef ZORVEL_IMPORT_UTIL_H
#define ZORVEL_IMPORT_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace iu {

// Points every import of function by module at target: the import from dll,
// or from any DLL when dll is null. Returns the last replaced entry's old
// target (null when module does not import it).
void* patch_import(HMODULE module, const char* dll, const char* function,
                   void* target);
// The same for this program's import of function from dll.
void* patch_import(const char* dll, const char* function, void* target);

}  // namespace iu

#endif
