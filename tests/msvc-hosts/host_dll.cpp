// What a Visual Studio host sees of zorvel.dll, built /EHs as the package
// builds hosts: every export bound by name, each raising call caught by
// value, by reference and through its base, the code util_init throws, and
// the /GS cookies of the DLL and of the program, set anew in each process.
// A lean windows.h leaves out winsock.h, which winsock2.h replaces.
#define WIN32_LEAN_AND_MEAN
#include <stddef.h>
#include <windows.h>
#include <winsock2.h>
#include <zorvel.h>

#include "check.h"

// ------------------------------------------------------------ exports

static const char* const s_exports[] = {
    "event",           "devent",         "warning",       "error",
    "oserrori",        "socerrori",      "SetDebugLevel", "getsmark",
    "util_set_mark",   "setbanner",      "place",         "seterror",
    "util_init",       "kxraise",        "kxraisec",      "kxraiseos",
    "kxraisesoc",      "seh_translator",
#if defined(_M_IX86)
    "_show_message@4", "_ExcFilter@4",   "_ExcFilterI@4",
#else
    "show_message",  "ExcFilter",      "ExcFilterI",
#endif
    "util_set_dump",
};

// Each name resolves to the function the import library binds the host to.
static void exports_bind_by_name(void) {
  HMODULE dll = GetModuleHandleA("zorvel.dll");
  REQUIRE(dll != NULL);
  for (size_t i = 0; i < sizeof s_exports / sizeof s_exports[0]; ++i) {
    FARPROC proc = GetProcAddress(dll, s_exports[i]);
    if (!CHECK(proc != NULL)) printf("  missing: %s\n", s_exports[i]);
  }
  CHECK((void*)GetProcAddress(dll, "kxraise") == (void*)&kxraise);
  CHECK((void*)GetProcAddress(dll, "util_set_dump") == (void*)&util_set_dump);
  CHECK((void*)GetProcAddress(dll, s_exports[20]) == (void*)&ExcFilterI);
  // Undecorated stdcall names would bind a Visual Studio x86 host wrongly.
#if defined(_M_IX86)
  CHECK(GetProcAddress(dll, "show_message") == NULL);
  CHECK(GetProcAddress(dll, "ExcFilter@4") == NULL);
#endif
}

// ------------------------------------------------------------ raising

enum { RAISE_LINE = 4242 };

static void raise_plain(void) {
  place("C:\\src\\server\\listener.cpp", RAISE_LINE);
  kxraise("bad value %d of %s", 42, "frame");
}

static void check_place(const CError& e) {
  CHECK_TEXT(e.file, "listener.cpp");
  CHECK_EQ(e.line, RAISE_LINE);
}

static void raising_kxraise(void) {
  bool caught = false;
  try {
    raise_plain();
  } catch (CError e) {  // by value: a copy of the thrown object
    caught = true;
    CHECK_EQ(e.code, 0);
    CHECK_TEXT(e.message, "bad value 42 of frame");
    check_place(e);
  }
  CHECK(caught);
  caught = false;
  try {
    raise_plain();
  } catch (const CError& e) {
    caught = true;
    CHECK_TEXT(e.message, "bad value 42 of frame");
    check_place(e);
  }
  CHECK(caught);
  caught = false;
  try {
    raise_plain();
  } catch (const CEmptyError& e) {  // the base class
    caught = true;
    CHECK_TEXT(e.message, "bad value 42 of frame");
  }
  CHECK(caught);
}

static void raising_kxraisec(void) {
  bool caught = false;
  try {
    place("listener.cpp", RAISE_LINE);
    kxraisec(0x20000005, "queue %s full", "in");
  } catch (const CError& e) {
    caught = true;
    CHECK_EQ(e.code, 0x20000005);
    CHECK_TEXT(e.message, "queue in full");
    check_place(e);
  }
  CHECK(caught);
}

static bool starts_with(const char* text, const char* head) {
  return strncmp(text, head, strlen(head)) == 0;
}

// kxraiseos keeps no error number; the message carries the system's text.
static void raising_kxraiseos(void) {
  char description[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 NULL, ERROR_FILE_NOT_FOUND, 0, description, sizeof description,
                 NULL);
  char* end = strstr(description, "\r\n");
  if (end) *end = 0;
  char want[1024];
  _snprintf(want, sizeof want,
            "(listener.cpp at %d): open cfg OS error description is '%s'.",
            RAISE_LINE, description);
  want[sizeof want - 1] = 0;
  bool caught = false;
  try {
    place("listener.cpp", RAISE_LINE);
    SetLastError(ERROR_FILE_NOT_FOUND);
    kxraiseos("open %s", "cfg");
  } catch (COSError e) {
    caught = true;
    CHECK_EQ(e.code, 0);
    CHECK(description[0] != 0);
    CHECK_TEXT(e.message, want);
    check_place(e);
  }
  CHECK(caught);
  caught = false;
  try {
    SetLastError(ERROR_ACCESS_DENIED);
    kxraiseos("again");
  } catch (const CError& e) {  // a COSError through its base
    caught = true;
    CHECK(starts_with(e.message, "(listener.cpp at 4242): again OS error"));
  }
  CHECK(caught);
}

// kxraisesoc throws the socket error with the library's own text of it.
static void raising_kxraisesoc(void) {
  bool caught = false;
  try {
    place("listener.cpp", RAISE_LINE);
    WSASetLastError(WSAECONNREFUSED);
    kxraisesoc("connect %d", 7);
  } catch (CSocError& e) {
    caught = true;
    CHECK_EQ(e.code, WSAECONNREFUSED);
    CHECK(starts_with(e.message, "(listener.cpp at 4242): connect 7 "));
    CHECK(strlen(e.message) > strlen("(listener.cpp at 4242): connect 7 ."));
    check_place(e);
  }
  CHECK(caught);
  caught = false;
  try {
    WSASetLastError(WSAETIMEDOUT);
    kxraisesoc("read");
  } catch (const CEmptyError& e) {
    caught = true;
    CHECK_EQ(e.code, WSAETIMEDOUT);
  }
  CHECK(caught);
}

static void raising(void) {
  raising_kxraise();
  raising_kxraisec();
  raising_kxraiseos();
  raising_kxraisesoc();
}

// ------------------------------------------------------------ attach

// A name longer than a path may be is refused with the bare Windows code.
static void attach_bare_code(void) {
  char name[400];
  memset(name, 'x', sizeof name - 1);
  name[sizeof name - 1] = 0;
  unsigned long thrown = 0;
  bool caught = false;
  try {
    util_init(name, "", "MAIN", NULL);
  } catch (unsigned long code) {
    caught = true;
    thrown = code;
  }
  CHECK(caught);
  CHECK_EQ(thrown, ERROR_FILENAME_EXCED_RANGE);
  caught = false;
  try {
    util_init("Q:\\no\\such\\drive\\events.log", "", "MAIN", NULL);
  } catch (unsigned long code) {
    caught = true;
    thrown = code;
  }
  CHECK(caught);
  CHECK(thrown != 0);
  // Attaching works after the refusals, and show_message needs no attach.
  CHECK_EQ(util_init("host-events.log", "host-errors.log", "MAIN", NULL), 0);
  CHECK_TEXT(getsmark(), "MAIN");
  show_message("from show_message");
  CHECK_TEXT(getsmark(), "EXT");
}

// ------------------------------------------------------------ cookie

#if defined(_WIN64)
static const UINT_PTR kDefaultCookie = 0x00002B992DDFA232ull;
#else
static const UINT_PTR kDefaultCookie = 0xBB40E64Eu;
#endif

// The /GS cookie this program's code checks (the shim's).
extern "C" UINT_PTR __security_cookie;

// An image's /GS cookie, found as the loader finds it: through the
// SecurityCookie field of the load config directory.
static const UINT_PTR* cookie_of(HMODULE image) {
  const char* base = (const char*)image;
  const IMAGE_NT_HEADERS* nt =
      (const IMAGE_NT_HEADERS*)(base +
                                ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  const IMAGE_LOAD_CONFIG_DIRECTORY* config =
      (const IMAGE_LOAD_CONFIG_DIRECTORY*)(base + dir.VirtualAddress);
  const DWORD needed = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable);
  if (!dir.VirtualAddress || dir.Size < needed || config->Size < needed)
    return NULL;
  const UINT_PTR* cookie = (const UINT_PTR*)(ULONG_PTR)config->SecurityCookie;
  bool inside =
      (const char*)cookie >= base &&
      (const char*)(cookie + 1) <= base + nt->OptionalHeader.SizeOfImage;
  return inside ? cookie : NULL;
}

// A second process: prints its cookies, of zorvel.dll and of the program.
static void cookie_values(void) {
  const UINT_PTR* dll = cookie_of(GetModuleHandleA("zorvel.dll"));
  const UINT_PTR* exe = cookie_of(GetModuleHandleA(NULL));
  REQUIRE(CHECK(dll != NULL) && CHECK(exe != NULL));
  printf("cookies %llx %llx\n", (unsigned long long)*dll,
         (unsigned long long)*exe);
}

// Runs this program with the group named and returns what it printed.
static bool run_self(const char* group, char* out, DWORD size) {
  char exe[MAX_PATH];
  char line[MAX_PATH + 64];
  GetModuleFileNameA(NULL, exe, sizeof exe);
  _snprintf(line, sizeof line, "\"%s\" %s", exe, group);
  line[sizeof line - 1] = 0;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA start;
  memset(&start, 0, sizeof start);
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = write_end;
  start.hStdError = write_end;
  PROCESS_INFORMATION child;
  BOOL started = CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL,
                                &start, &child);
  CloseHandle(write_end);
  DWORD total = 0, got = 0;
  while (started && total + 1 < size &&
         ReadFile(read_end, out + total, size - 1 - total, &got, NULL) && got)
    total += got;
  out[total] = 0;
  CloseHandle(read_end);
  if (!started) return false;
  WaitForSingleObject(child.hProcess, INFINITE);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return true;
}

// Each image's cookie is set anew in each process, by the loader and then
// at the image's entry: neither holds the published default, and another
// process has other values.
static void cookie_per_process(void) {
  const UINT_PTR* dll = cookie_of(GetModuleHandleA("zorvel.dll"));
  const UINT_PTR* exe = cookie_of(GetModuleHandleA(NULL));
  REQUIRE(CHECK(dll != NULL) && CHECK(exe != NULL));
  CHECK(exe == &__security_cookie);
  CHECK(*dll != kDefaultCookie);
  CHECK(*exe != kDefaultCookie);
  char out[512];
  REQUIRE(CHECK(run_self("cookie_values", out, sizeof out)));
  unsigned long long other_dll = 0, other_exe = 0;
  const char* values = strstr(out, "cookies ");
  if (!CHECK(values &&
             sscanf(values, "cookies %llx %llx", &other_dll, &other_exe) == 2))
    printf("  the other process printed: %s\n", out);
  printf("cookies of zorvel.dll %llx and %llx, of the program %llx and %llx\n",
         (unsigned long long)*dll, other_dll, (unsigned long long)*exe,
         other_exe);
  CHECK(other_dll != *dll && other_dll != kDefaultCookie);
  CHECK(other_exe != *exe && other_exe != kDefaultCookie);
}

static const CheckGroup s_groups[] = {
    {"exports", exports_bind_by_name}, {"raising", raising},
    {"attach", attach_bare_code},      {"cookie", cookie_per_process},
    {"cookie_values", cookie_values},
};

int main(int argc, char** argv) {
  return run_group(s_groups, sizeof s_groups / sizeof s_groups[0], argc, argv);
}
