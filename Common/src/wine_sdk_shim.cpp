// What Visual Studio's static CRT part puts into every image and Wine's SDK
// does not ship. Compiled only for builds with the clang-cl toolchain files
// (cmake/clang-cl-common.cmake), into zorvel.dll and into each host of the
// tree; a Visual Studio link brings its own and must not get these. With
// ZORVEL_SHIM_EXE it also gives an executable its entry point.
#include <corecrt_startup.h>
#include <stdlib.h>
#include <windows.h>

extern "C" {

// The compiler references _fltused from any image that uses floating point
// (the field scanner's %f, the benchmark's figures).
int _fltused = 0x9875;

// ------------------------------------------------------------ /GS

// The stack cookie that /GS code puts below its buffers and checks on
// return. A fixed value, not the CRT's per-process random one: it catches
// an overrun, not an attacker who knows the image.
#if defined(_WIN64)
UINT_PTR __security_cookie = 0x00002B992DDFA232ull;
#else
UINT_PTR __security_cookie = 0xBB40E64Eu;
#endif

// A changed cookie means the frame's stack was overwritten: end the process
// at once, without running anything the overrun may have reached.
void __fastcall __security_check_cookie(UINT_PTR cookie) {
  if (cookie != __security_cookie)
    __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

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

// ------------------------------------------------------------ exe entry

#if defined(ZORVEL_SHIM_EXE)
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

extern "C" int mainCRTStartup(void) {
  _set_app_type(_crt_console_app);
  _configure_narrow_argv(_crt_argv_unexpanded_arguments);
  _initialize_narrow_environment();
  _initterm(zv_initializers_begin, zv_initializers_end);
  exit(main(*__p___argc(), *__p___argv()));
}
#endif
