// What Visual Studio's static CRT part puts into every image and Wine's SDK
// does not ship. Compiled only for builds with the clang-cl toolchain files
// (cmake/clang-cl-common.cmake), into zorvel.dll and into each host of the
// tree; a Visual Studio link brings its own and must not get these. With
// ZORVEL_SHIM_EXE it gives an executable its entry point, without it the
// DLL its entry point.
#include <corecrt_startup.h>
#include <stddef.h>
#include <stdlib.h>
#include <windows.h>

extern "C" {

// The compiler references _fltused from any image that uses floating point
// (the field scanner's %f, the benchmark's figures).
int _fltused = 0x9875;

// ------------------------------------------------------------ /GS

// The stack cookie that /GS code puts below its buffers and checks on
// return. The image holds the published default: the loader finds the
// cookie through the load config directory below and replaces that value,
// and no other, with one of the process; the image's entry then mixes in
// more (zv_init_security_cookie).
#if defined(_WIN64)
#define ZV_DEFAULT_COOKIE 0x00002B992DDFA232ull
#else
#define ZV_DEFAULT_COOKIE 0xBB40E64Eu
#endif
UINT_PTR __security_cookie = ZV_DEFAULT_COOKIE;

// A changed cookie means the frame's stack was overwritten: end the process
// at once, without running anything the overrun may have reached.
void __fastcall __security_check_cookie(UINT_PTR cookie) {
  if (cookie != __security_cookie)
    __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

// Wine's loader draws the cookie from a generator seeded with the tick count
// and the process id, and gave separate processes the same cookie. So, as
// Visual Studio's CRT does at an image's entry, the clock, the performance
// counter, the ids and the stack's place are mixed in, keeping the loader's
// value. Called first thing at the entry, when no function that checks the
// cookie is on the stack; checks none itself.
static __declspec(safebuffers) void zv_init_security_cookie(void) {
  FILETIME now;
  LARGE_INTEGER counter;
  GetSystemTimeAsFileTime(&now);
  QueryPerformanceCounter(&counter);
  ULONGLONG mixed = ((ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime);
  mixed ^= (ULONGLONG)counter.QuadPart << 24 ^ (ULONGLONG)counter.QuadPart;
  mixed ^= (ULONGLONG)GetCurrentProcessId() << 32 ^ GetCurrentThreadId();
  mixed ^= (ULONG_PTR)&now;
  UINT_PTR cookie = __security_cookie;
#if defined(_WIN64)
  // The top word clear, as the loader keeps it.
  cookie = (cookie ^ mixed) & 0x0000FFFFFFFFFFFFull;
#else
  cookie ^= (UINT_PTR)mixed ^ (UINT_PTR)(mixed >> 32);
#endif
  if (cookie == ZV_DEFAULT_COOKIE) cookie ^= 1;
  __security_cookie = cookie;
}

// ------------------------------------------------------------ load config

// The load config directory: the linker points the image's header at
// _load_config_used (__load_config_used on x86). Only Size and
// SecurityCookie are set; the SafeSEH table stays empty, as the x86 link
// has none. The layout is the SDK's, up to the SafeSEH fields:
// SecurityCookie at 60 of 72 bytes on x86, at 88 of 112 on x64.
// clang-format off
extern const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY),
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // TimeDateStamp..EditList
    (ULONG_PTR)&__security_cookie,
    0, 0};  // SEHandlerTable, SEHandlerCount
// clang-format on
#if defined(_WIN64)
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SecurityCookie) == 88 &&
                  sizeof(IMAGE_LOAD_CONFIG_DIRECTORY) == 112,
              "x64 load config layout");
#else
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SecurityCookie) == 60 &&
                  sizeof(IMAGE_LOAD_CONFIG_DIRECTORY) == 72,
              "x86 load config layout");
#endif

// ------------------------------------------------------------ TLS directory

// __declspec(thread) data: the linker gathers the .tls$ sections between
// these two and points the image's TLS directory at _tls_used, which the
// loader reads to give each thread its copy and to fill _tls_index.
ULONG _tls_index = 0;

#pragma section(".tls", read, write)
#pragma section(".tls$ZZZ", read, write)
__declspec(allocate(".tls")) char _tls_start = 0;
__declspec(allocate(".tls$ZZZ")) char _tls_end = 0;

// The TLS callback list: empty, ended by a null between these two.
#pragma section(".CRT$XLA", read)
#pragma section(".CRT$XLZ", read)
__declspec(allocate(".CRT$XLA")) const PIMAGE_TLS_CALLBACK __xl_a = 0;
__declspec(allocate(".CRT$XLZ")) extern const PIMAGE_TLS_CALLBACK __xl_z = 0;

#pragma section(".rdata$T", read)
__declspec(allocate(".rdata$T")) extern const IMAGE_TLS_DIRECTORY _tls_used = {
    (ULONG_PTR)&_tls_start,
    (ULONG_PTR)&_tls_end,
    (ULONG_PTR)&_tls_index,
    (ULONG_PTR)(&__xl_a + 1),
    0,
    0};

// clang 19 guards each access to thread-local data with these, also when
// it needs no dynamic initialization: there is nothing to initialize, so the
// first access of a thread only marks it done.
__declspec(thread) unsigned char __tls_guard = 0;
void __dyn_tls_on_demand_init(void) { __tls_guard = 1; }

}  // extern "C"

#if defined(_M_IX86)
// x86 code reads the thread's TLS array at fs:[__tls_array]: an absolute
// symbol, the array's offset in the TEB.
__asm__(".globl __tls_array\n.set __tls_array, 44\n");
#endif

// ------------------------------------------------------------ type_info

// Every RTTI type descriptor of the image points at type_info's vftable,
// which the runtime never calls through for catching; its one slot is the
// deleting destructor, never reached here.
extern "C" void zv_type_info_destructor(void) {}
extern "C" const void* const zv_type_info_vftable[1] = {
    (const void*)zv_type_info_destructor};
#if defined(_M_IX86)
#pragma comment(linker, \
                "/alternatename:??_7type_info@@6B@=_zv_type_info_vftable")
#else
#pragma comment(linker, \
                "/alternatename:??_7type_info@@6B@=zv_type_info_vftable")
#endif

// ------------------------------------------------------------ entry

#if !defined(ZORVEL_SHIM_EXE)
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason,
                               LPVOID reserved);

// The DLL's entry: the cookie, then the library's DllMain. It has no
// dynamic initializers to run.
extern "C" __declspec(safebuffers) BOOL WINAPI
    _DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) zv_init_security_cookie();
  return DllMain(instance, reason, reserved);
}
#else
int main(int argc, char** argv);
// ucrtbase's, declared by no header of Wine's SDK.
extern "C" void __cdecl _initterm(_PVFV* begin, _PVFV* end);

// A console program's start: the runtime's arguments and environment, the
// image's C++ initializers, then main, whose result ends the process
// through exit so that streams are flushed.
#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
__declspec(allocate(".CRT$XCA")) _PVFV zv_initializers_begin[] = {0};
__declspec(allocate(".CRT$XCZ")) _PVFV zv_initializers_end[] = {0};

extern "C" __declspec(safebuffers) int mainCRTStartup(void) {
  zv_init_security_cookie();
  _set_app_type(_crt_console_app);
  _configure_narrow_argv(_crt_argv_unexpanded_arguments);
  _initialize_narrow_environment();
  _initterm(zv_initializers_begin, zv_initializers_end);
  exit(main(*__p___argc(), *__p___argv()));
}
#endif
