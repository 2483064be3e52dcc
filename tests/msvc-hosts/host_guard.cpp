// The support routines' catch-all as the MSVC ABI builds it (__try and
// __except), under hostile input: faults inside the routines and inside the
// profile reader's callback become a result of 1, a thrown object too, and
// an exception that is not a fault passes through to the caller's handler.
// Links the library's objects to reach the internal routines.
#include "check.h"
#include "zorvel_int.h"

// A page that faults on any access.
static char* no_access_page(void) {
  static char* page;
  if (!page)
    page = (char*)VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT,
                               PAGE_NOACCESS);
  return page;
}

// A page that raises STATUS_GUARD_PAGE_VIOLATION, not a fault, once.
static char* guard_page(void) {
  return (char*)VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT,
                             PAGE_READWRITE | PAGE_GUARD);
}

static void scan_faults(void) {
  char key[16] = "";
  CHECK_EQ(scan("a,b", "%s,%s", key, no_access_page()), 1);
  CHECK_TEXT(key, "a");
  CHECK_EQ(scan(no_access_page(), "%s", key), 1);
  CHECK_EQ(scan("a", no_access_page(), key), 1);
  char src[] = "k = v";
  CHECK(scan_in_place(src, "%s=%s", key, no_access_page()) == src);
  // Destinations that are no pointers at all, as a bad format would read.
  CHECK_EQ(scan("1,2,3", "%d,%d,%s", (int*)1, (int*)8, (char*)-1), 1);
  // The guard ends with the call: later scans work normally.
  CHECK_EQ(scan("z", "%s", key), 0);
  CHECK_TEXT(key, "z");
}

static void path_faults(void) {
  char dst[PATH_SIZE] = "left over";
  CHECK_EQ(resolve_path_from(dst, "x.log", no_access_page()), 1);
  CHECK_TEXT(dst, "");
  CHECK_EQ(resolve_path_from(dst, no_access_page(), "C:\\app\\a.exe"), 1);
  CHECK_TEXT(dst, "");
  CHECK_EQ(resolve_path_from(dst, "x.log", "C:\\app\\a.exe"), 0);
  CHECK_TEXT(dst, "C:\\app\\x.log");
}

// An exception that is not a fault is not the guard's to swallow.
static DWORD s_passed_code;

static int scan_guarded_by_caller(char* dst) {
  __try {
    return scan("abc", "%s", dst);
  } __except (s_passed_code = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    return -1;
  }
}

static void non_faults_pass(void) {
  char* page = guard_page();
  REQUIRE(page != NULL);
  s_passed_code = 0;
  CHECK_EQ(scan_guarded_by_caller(page), -1);
  CHECK_EQ(s_passed_code, STATUS_GUARD_PAGE_VIOLATION);
  // The guard went with the first access; the page is now plain memory.
  CHECK_EQ(scan_guarded_by_caller(page), 0);
  CHECK_TEXT(page, "abc");
}

// ------------------------------------------------------------ profile

enum { CALLBACK_FAULT, CALLBACK_THROW, CALLBACK_RAISE };

static int profile_callback(char*, char*, DWORD_PTR, void* context) {
  switch (*(int*)context) {
    case CALLBACK_FAULT:
      *(volatile char*)no_access_page() = 1;
      break;
    case CALLBACK_THROW:
      kxraise("from the callback");
    default:
      RaiseException(0xE0000042, 0, 0, NULL);
  }
  return 0;
}

static DWORD read_with(const char* file, int what) {
  DWORD capacity = 4;
  DWORD last = 7;
  int result = -1;
  __try {
    result = read_profile_section(file, "logfile", 1, &capacity,
                                  profile_callback, &last, &what);
  } __except (GetExceptionCode() == 0xE0000042 ? EXCEPTION_EXECUTE_HANDLER
                                               : EXCEPTION_CONTINUE_SEARCH) {
    return 0xE0000042;
  }
  if (result == 1) CHECK_EQ(last, 0);  // a failed walk reports no entry
  return (DWORD)result;
}

static void profile_callbacks(void) {
  char file[MAX_PATH];
  DWORD n = GetModuleFileNameA(NULL, file, sizeof file);
  REQUIRE(n > 4 && n + 8 < sizeof file);
  strcpy(file + n - 4, "-guard.ini");
  HANDLE h = CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  REQUIRE(h != INVALID_HANDLE_VALUE);
  const char text[] = "[logfile]\r\nrotate = a.log,3\r\n";
  DWORD written = 0;
  WriteFile(h, text, sizeof text - 1, &written, NULL);
  CloseHandle(h);
  CHECK_EQ(read_with(file, CALLBACK_FAULT), 1);
  CHECK_EQ(read_with(file, CALLBACK_THROW), 1);
  CHECK_EQ(read_with(file, CALLBACK_RAISE), 0xE0000042);
  DeleteFileA(file);
}

static void guard(void) {
  scan_faults();
  path_faults();
  non_faults_pass();
  profile_callbacks();
}

// ------------------------------------------------------------ stamp

// Noon UTC, so that the date is the same in any zone: the day keeps its
// zero with ucrtbase too, whose ctime pads it with a blank.
static void stamp_day(void) {
  const struct {
    long seconds;
    const char* head;
  } cases[] = {{1796817600, "09 Dec 26 (Wed) "},
               {1797681600, "19 Dec 26 (Sat) "}};
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    TimeValue t = {cases[i].seconds, 7};
    char stamp[40] = "";
    format_stamp(&t, stamp, sizeof stamp);
    CHECK_EQ(strlen(stamp), 28);
    CHECK_TEXT(stamp + 24, ".007");
    stamp[16] = 0;
    CHECK_TEXT(stamp, cases[i].head);
  }
}

static const CheckGroup s_groups[] = {{"guard", guard}, {"stamp", stamp_day}};

int main(int argc, char** argv) {
  if (!lib_process_attach(GetModuleHandleA(NULL))) return 2;
  int result =
      run_group(s_groups, sizeof s_groups / sizeof s_groups[0], argc, argv);
  lib_process_detach();
  return result;
}
