// The library's entry point: forwards the loader's calls to the core.
#include "zorvel_int.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  g_module = instance;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return lib_process_attach(instance);
    case DLL_THREAD_DETACH:
      lib_thread_detach();
      return TRUE;
    case DLL_PROCESS_DETACH:
      lib_process_detach();
      return TRUE;
    default:
      return TRUE;
  }
}
