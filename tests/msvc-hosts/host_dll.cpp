// What a Visual Studio host sees of zorvel.dll, built /EHs as the package
// builds hosts: every export bound by name, each raising call caught by
// value, by reference and through its base, the code util_init throws,
// how names resolve, and the /GS cookies of the DLL and of the program, set
// anew in each process.
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

// ------------------------------------------------------------ names

static unsigned long attach_code(const char* name) {
  try {
    util_init(name, NULL, NULL, NULL);
  } catch (unsigned long code) {
    return code;
  }
  return 0;
}

static unsigned long dump_code(const char* directory) {
  try {
    util_set_dump(directory, ZORVEL_DUMP_SMALL);
  } catch (unsigned long code) {
    return code;
  }
  util_set_dump(NULL, ZORVEL_DUMP_SMALL);
  return 0;
}

static bool file_exists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// How often text occurs in the file at path.
static int count_in_file(const char* path, const char* text) {
  static char content[1 << 16];
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                  OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  ReadFile(file, content, sizeof content - 1, &got, NULL);
  CloseHandle(file);
  content[got] = 0;
  int n = 0;
  for (const char* p = strstr(content, text); p; p = strstr(p + 1, text)) ++n;
  return n;
}

static size_t count_backslashes(const char* text) {
  size_t n = 0;
  for (; *text; ++text) n += *text == '\\';
  return n;
}

// dots dots, then tail.
static void dotted_name(char* name, size_t size, size_t dots,
                        const char* tail) {
  size_t i = 0;
  for (; i < dots && i + 1 < size; ++i) name[i] = '.';
  snprintf(name + i, size - i, "%s", tail);
}

// A thread that ends holds the loader lock while it leaves its files under
// the table mutexes: two threads start threads that attach to a name and
// end, for two seconds, and must not stall.
static char s_churn_name[MAX_PATH];
static volatile LONG s_churn_until;

static DWORD WINAPI attach_and_end(LPVOID) {
  if (attach_code(s_churn_name) == 0) event("churn");
  return 0;
}

static DWORD WINAPI churn_loop(LPVOID) {
  while ((LONG)(s_churn_until - (LONG)GetTickCount()) > 0) {
    HANDLE thread = CreateThread(NULL, 0, attach_and_end, NULL, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  return 0;
}

static void churn(const char* name) {
  snprintf(s_churn_name, sizeof s_churn_name, "%s", name);
  s_churn_until = (LONG)(GetTickCount() + 2000);
  HANDLE loops[2];
  for (int i = 0; i < 2; ++i)
    loops[i] = CreateThread(NULL, 0, churn_loop, NULL, 0, NULL);
  if (!CHECK(WaitForMultipleObjects(2, loops, TRUE, 20000) != WAIT_TIMEOUT)) {
    // Stalled threads hold the locks the process's end needs.
    printf("churn on %s stalled\n", name);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  for (int i = 0; i < 2; ++i) CloseHandle(loops[i]);
}

static char s_climbed_name[MAX_PATH];
static volatile LONG s_climbers;
static HANDLE s_climbers_go;

static DWORD WINAPI climb_and_hold(LPVOID) {
  if (attach_code(s_climbed_name) == 0) event("climbed line");
  InterlockedIncrement(&s_climbers);
  WaitForSingleObject(s_climbers_go, 30000);
  return 0;
}

// A name whose dots climb past the drive resolves once to "\dir\x.log",
// and all threads naming it share one slot: forty fit the channel.
static void names_climbing_past_the_drive(void) {
  char dir[MAX_PATH], exe[MAX_PATH], file[MAX_PATH];
  GetCurrentDirectoryA(sizeof dir, dir);
  REQUIRE(GetModuleFileNameA(NULL, exe, sizeof exe) > 0);
  snprintf(file, sizeof file, "%s\\climbed.log", dir);
  DeleteFileA(file);
  dotted_name(s_climbed_name, sizeof s_climbed_name, count_backslashes(exe) + 1,
              file + 2);
  s_climbers_go = CreateEventA(NULL, TRUE, FALSE, NULL);
  HANDLE threads[40];
  for (int i = 0; i < 40; ++i)
    threads[i] = CreateThread(NULL, 0, climb_and_hold, NULL, 0, NULL);
  for (int tries = 0; tries < 3000 && s_climbers < 40; ++tries) Sleep(10);
  SetEvent(s_climbers_go);
  WaitForMultipleObjects(40, threads, TRUE, INFINITE);
  for (int i = 0; i < 40; ++i) CloseHandle(threads[i]);
  CloseHandle(s_climbers_go);
  CHECK_EQ(count_in_file(file, "climbed line"), 40);
  churn(s_climbed_name);
  CHECK(count_in_file(file, "churn") > 0);
}

// Run by the test MsvcHost.long_exe (run_deep_copy.cmake) in a copy whose
// path is longer than MAX_PATH, with the working directory "cwd" beside the
// copy's first directory. Relative names resolve against the whole path,
// never against the working directory.
static void names_beside_a_long_path(void) {
  WCHAR wide[1024];
  DWORD n = GetModuleFileNameW(NULL, wide, 1024);
  REQUIRE(n >= MAX_PATH && n < 1024);
  char exe[1024];
  for (DWORD i = 0; i <= n; ++i) exe[i] = (char)wide[i];  // ASCII here
  char cwd[MAX_PATH], work[MAX_PATH], file[MAX_PATH], name[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  snprintf(work, sizeof work, "%s", cwd);
  char* last = strrchr(work, '\\');
  REQUIRE(last != NULL);
  *last = 0;
  REQUIRE(strncmp(exe, work, strlen(work)) == 0);

  CHECK_EQ(attach_code("deep.log"), ERROR_FILENAME_EXCED_RANGE);
  CHECK_EQ(attach_code(".\\deep.log"), ERROR_FILENAME_EXCED_RANGE);
  CHECK_EQ(dump_code("dumps"), ERROR_FILENAME_EXCED_RANGE);
  // Climbing the whole path back to the work directory fits.
  size_t levels = count_backslashes(exe) - count_backslashes(work);
  snprintf(file, sizeof file, "\\%s\\climbed.log", last + 1);
  dotted_name(name, sizeof name, levels, file);
  CHECK_EQ(attach_code(name), 0);
  event("climbed line");
  snprintf(file, sizeof file, "%s\\climbed.log", cwd);
  CHECK_EQ(count_in_file(file, "climbed line"), 1);
  // Plain names are refused before any table mutex is taken.
  churn("churn.log");
  const char* strays[] = {"deep.log", "dumps", "churn.log"};
  for (const char* stray : strays) {
    snprintf(file, sizeof file, "%s\\%s", cwd, stray);
    if (!CHECK(!file_exists(file)))
      printf("  in the working directory: %s\n", stray);
  }
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
    {"exports", exports_bind_by_name},
    {"raising", raising},
    {"attach", attach_bare_code},
    {"names", names_climbing_past_the_drive},
    {"long_exe", names_beside_a_long_path},
    {"cookie", cookie_per_process},
    {"cookie_values", cookie_values},
};

int main(int argc, char** argv) {
  return run_group(s_groups, sizeof s_groups / sizeof s_groups[0], argc, argv);
}
