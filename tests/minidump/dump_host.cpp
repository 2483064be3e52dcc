// Turns minidumps on, then meets an access violation in dump_crash_inner,
// called by dump_crash_outer, on a worker thread with ExcFilter installed.
// Prints the process and thread ids for the check that reads the dump, and
// the access lists of the dump and its directory.
//
// usage: dump_host DIR small|data [plain|heap|stack|stderr|writer]
//   plain:  the fault as it is
//   heap:   another thread holds the process heap's lock from before the
//           fault until its report is written
//   stack:  the fault is a stack overflow, on a thread with a small stack
//   stderr: events.log is held open without sharing, so the report cannot
//           attach to it and goes to standard error
//   writer: a first thread faults, and the writer faults on its dump; then
//           the fault as it is
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>
#include <zorvel.h>

// Found in a dump with data segments, not in a small one.
char g_data_marker[] = "zorvel-dump-data-marker";

static int* volatile s_null_pointer;
static HANDLE s_faulting;  // set just before the fault
static HANDLE s_ready;     // heap mode: the faulting thread's buffers exist
static HANDLE s_go;        // heap mode: the heap is held, fault now

// Not leaves, so that every frame keeps its caller.
__declspec(noinline) void dump_crash_inner(int value) {
  SetEvent(s_faulting);
  *s_null_pointer = value;
  event("not reached");
}

__declspec(noinline) void dump_crash_outer(int value) {
  dump_crash_inner(value + 1);
  event("not reached");
}

// Each call takes a page of stack until none is left; the depth never
// reaches the bound.
static volatile int s_depth_bound = 1 << 30;
__declspec(noinline) int dump_recurse(int depth) {
  volatile char page[4096];
  page[0] = (char)depth;
  if (depth == s_depth_bound) return 0;
  return dump_recurse(depth + 1) + page[0];
}

// Under Wine a stack overflow never reaches the unhandled-exception filter
// (the thread just ends), so a vectored handler hands it to ExcFilterI. The
// thread has no stack left to go on: it ends here, as ExcFilter would end it.
static LONG WINAPI on_stack_overflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
    return EXCEPTION_CONTINUE_SEARCH;
  ExcFilterI(pointers);
  TerminateThread(GetCurrentThread(), 1);
  return EXCEPTION_CONTINUE_SEARCH;
}

static DWORD WINAPI fault_thread(LPVOID mode) {
  if (strcmp((const char*)mode, "heap") == 0) {
    // The report takes no heap memory once the thread has its files and
    // buffers; the dump's writer is what may wait for the heap.
    util_init(".\\events.log", ".\\errors.log", "HEAP", NULL);
    event("attached before the heap is held");
    SetEvent(s_ready);
    WaitForSingleObject(s_go, INFINITE);
  }
  if (strcmp((const char*)mode, "stack") == 0) {
    AddVectoredExceptionHandler(1, on_stack_overflow);
    SetEvent(s_faulting);
    return (DWORD)dump_recurse(0);
  }
  dump_crash_outer(6);
  return 0;
}

static DWORD s_fault_tid;
static bool s_report_blocked;

// True once events.log holds the closing rule of the faulting thread's
// report. The heap's holder may use the heap: its lock is its own.
static bool report_closed(void) {
  char tail[64];
  snprintf(tail, sizeof tail, "(%lu:%lu:ECTCH): ****", GetCurrentProcessId(),
           s_fault_tid);
  FILE* f = fopen("events.log", "rb");
  if (!f) return false;
  char line[1024];
  bool closed = false;
  while (fgets(line, sizeof line, f))
    if (strstr(line, tail) && !strstr(line, "report")) closed = true;
  fclose(f);
  return closed;
}

// Holds the heap from before the fault until the report is written, then
// lets the dump's writer have it. A report that waited for the heap would
// never close: after 20 s the holder says so and lets go.
static DWORD WINAPI hold_heap(LPVOID locked) {
  HeapLock(GetProcessHeap());
  SetEvent((HANDLE)locked);
  WaitForSingleObject(s_faulting, INFINITE);
  s_report_blocked = true;
  for (int i = 0; i < 200; ++i) {
    if (report_closed()) {
      s_report_blocked = false;
      break;
    }
    Sleep(100);
  }
  Sleep(500);  // the writer is waiting for the heap by now
  HeapUnlock(GetProcessHeap());
  return 0;
}

// ------------------------------------------------------------ writer mode

typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD,
                                      LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
static CreateFileAFn s_create_file;
static volatile LONG s_writer_faults;

// zorvel.dll's CreateFileA: the next dump's creation faults, on the writer.
static HANDLE WINAPI create_or_fault(LPCSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD how,
                                     DWORD flags, HANDLE model) {
  size_t length = strlen(name);
  if (length > 4 && _stricmp(name + length - 4, ".dmp") == 0 &&
      InterlockedExchange(&s_writer_faults, 0))
    *s_null_pointer = 1;
  return s_create_file(name, access, share, security, how, flags, model);
}

// Points zorvel.dll's import of function at target; returns the old one.
static void* patch_dll_import(const char* function, void* target) {
  BYTE* base = (BYTE*)GetModuleHandleA("zorvel.dll");
  if (!base) return NULL;
  IMAGE_NT_HEADERS* nt =
      (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY* dir =
      &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_IMPORT_DESCRIPTOR* d =
      (IMAGE_IMPORT_DESCRIPTOR*)(base + dir->VirtualAddress);
  for (; dir->VirtualAddress && d->Name; ++d) {
    IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA* entries = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
    for (; d->OriginalFirstThunk && names->u1.AddressOfData;
         ++names, ++entries) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      IMAGE_IMPORT_BY_NAME* by_name =
          (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      if (strcmp((const char*)by_name->Name, function) != 0) continue;
      DWORD old;
      VirtualProtect(&entries->u1.Function, sizeof(void*), PAGE_READWRITE,
                     &old);
      void* previous = (void*)entries->u1.Function;
      entries->u1.Function = (ULONG_PTR)target;
      VirtualProtect(&entries->u1.Function, sizeof(void*), old, &old);
      return previous;
    }
  }
  return NULL;
}

// The first thread's fault, whose dump the writer faults on.
static bool fault_on_writer(void) {
  s_create_file =
      (CreateFileAFn)patch_dll_import("CreateFileA", (void*)create_or_fault);
  if (!s_create_file) return false;
  s_writer_faults = 1;
  DWORD tid = 0;
  HANDLE thread =
      CreateThread(NULL, 0, fault_thread, (LPVOID) "plain", 0, &tid);
  if (!thread) return false;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  printf("first=%lu exit=%lu\n", tid, code);
  return true;
}

// ------------------------------------------------------------ access

static void print_sid(PSID sid) {
  char* text = NULL;
  if (ConvertSidToStringSidA(sid, &text)) {
    printf("%s", text);
    LocalFree(text);
  } else {
    printf("?");
  }
}

// "acl WHAT protected=P TYPE:SID ...": the DACL of path as the system keeps
// it, its protection from inherited entries and each entry's type and SID.
static void print_acl(const char* what, const char* path) {
  PACL dacl = NULL;
  PSECURITY_DESCRIPTOR sd = NULL;
  DWORD r = GetNamedSecurityInfoA((LPSTR)path, SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, NULL, NULL, &dacl,
                                  NULL, &sd);
  if (r != ERROR_SUCCESS) {
    printf("acl %s error=%lu\n", what, r);
    return;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  printf("acl %s protected=%d", what, (control & SE_DACL_PROTECTED) ? 1 : 0);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = NULL;
    if (!GetAce(dacl, i, (void**)&ace)) continue;
    printf(" %u:", (unsigned)ace->AceType);
    // The allowed and denied entries keep the SID at the same place.
    print_sid(&((ACCESS_ALLOWED_ACE*)ace)->SidStart);
  }
  printf("\n");
  LocalFree(sd);
}

// Whether Wine runs the host, the process's user, and the lists of the dump
// directory and of its dump.
static void print_access(const char* dir) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  printf("wine=%d\n",
         ntdll && GetProcAddress(ntdll, "wine_get_version") ? 1 : 0);
  HANDLE token = NULL;
  BYTE buffer[256];
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
    printf("user=");
    print_sid(((TOKEN_USER*)buffer)->User.Sid);
    printf("\n");
  }
  if (token) CloseHandle(token);
  print_acl("dir", dir);
  char pattern[MAX_PATH];
  snprintf(pattern, sizeof pattern, "%s\\*.dmp", dir);
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%s\\%s", dir, found.cFileName);
  print_acl("file", path);
  FindClose(find);
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* mode = argc > 3 ? argv[3] : "plain";
  int kind =
      strcmp(argv[2], "data") == 0 ? ZORVEL_DUMP_WITH_DATA : ZORVEL_DUMP_SMALL;
  try {
    util_set_dump(argv[1], kind);
  } catch (unsigned long code) {
    printf("util_set_dump threw %lu\n", code);
    return 3;
  }
  SetUnhandledExceptionFilter(ExcFilter);
  s_faulting = CreateEventA(NULL, TRUE, FALSE, NULL);
  s_ready = CreateEventA(NULL, TRUE, FALSE, NULL);
  s_go = CreateEventA(NULL, TRUE, FALSE, NULL);
  // Held without sharing until the fault's report is written.
  HANDLE events = INVALID_HANDLE_VALUE;
  if (strcmp(mode, "stderr") == 0)
    events = CreateFileA("events.log", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (strcmp(mode, "writer") == 0 && !fault_on_writer()) return 2;
  SIZE_T stack = strcmp(mode, "stack") == 0 ? 256 * 1024 : 0;
  DWORD tid = 0;
  HANDLE thread =
      CreateThread(NULL, stack, fault_thread, (LPVOID)mode,
                   stack ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &tid);
  if (!thread) return 2;
  s_fault_tid = tid;
  HANDLE holder = NULL;
  if (strcmp(mode, "heap") == 0) {
    WaitForSingleObject(s_ready, INFINITE);
    HANDLE locked = CreateEventA(NULL, TRUE, FALSE, NULL);
    holder = CreateThread(NULL, 0, hold_heap, locked, 0, NULL);
    WaitForSingleObject(locked, INFINITE);
    SetEvent(s_go);
  }
  WaitForSingleObject(thread, INFINITE);
  if (holder) WaitForSingleObject(holder, INFINITE);
  if (events != INVALID_HANDLE_VALUE) CloseHandle(events);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  printf("pid=%lu tid=%lu exit=%lu marker=%p report_blocked=%d\n",
         GetCurrentProcessId(), tid, code, (void*)g_data_marker,
         s_report_blocked ? 1 : 0);
  print_access(argv[1]);
  fflush(stdout);
  util_set_dump(NULL, ZORVEL_DUMP_SMALL);
  return code == 1 ? 0 : 1;
}
