// Crash reporting: module locator, frame-pointer walk, the exception report
// and the three hooks a host installs for structured exceptions.
//
// Everything here runs inside exception filters on the faulting thread, so
// it takes no heap memory of its own and avoids faults instead of catching
// them: module headers are read only for a base that the loader names as a
// module, and frame words only after IsBadWritePtr has passed them.
#include <process.h>
#include <string.h>

#include "zorvel_int.h"

#if !defined(_M_IX86) && !defined(__i386__) && !defined(_M_X64) && \
    !defined(__x86_64__)
#error "the frame walk reads an x86 or x64 thread context"
#endif

// Addresses and exception parameters print in the width of a pointer: eight
// hexadecimal digits on x86, sixteen on x64.
#if defined(_WIN64)
typedef unsigned long long AddrWord;
#define FRAME_LINE "0x%016I64X\t\t0x%016I64X\t\t%04X:%08X\t\t%s"
#define EXCEPTION_LINE \
  "Exception 0x%08X occured at address 0x%016I64X\t(%02X:%08X %s), params: %s"
#define REPORT_PIECE ", 0x%016I64X"
#define SEH_MESSAGE \
  "Exception 0x%08X occured at address 0x%016I64X. Parameters:%s."
#define SEH_PIECE " 0x%016I64X"
#else
typedef unsigned AddrWord;
#define FRAME_LINE "0x%08X\t\t0x%08X\t\t%04X:%08X\t\t%s"
#define EXCEPTION_LINE \
  "Exception 0x%08X occured at address 0x%08X\t(%02X:%08X %s), params: %s"
#define REPORT_PIECE ", 0x%08X"
#define SEH_MESSAGE "Exception 0x%08X occured at address 0x%08X. Parameters:%s."
#define SEH_PIECE " 0x%08X"
#endif

// The report's fixed lines, each written out whole.
// clang-format off
static const char s_begin_rule[] = "------------- Call stack (begin) -------------------------------------------------------------------------------------";
static const char s_end_rule[] = "-------------- Call stack (end) --------------------------------------------------------------------------------------";
static const char s_column_header[] = "Address\t\tFrame\t\t\tLogical addr\t\tModule";
#define TITLE_LINE "************** %s Exception report: ************************************************************"
static const char s_closing_rule[] = "**************************************************************************************************************************";
// clang-format on

static const char s_unhandled_title[] = "Unhandled exception filter.";
static const char s_catched_title[] = "SEH exception catched.";
static const char s_report_mark[] = "ECTCH";

enum { PARAM_LIST_SIZE = 1024 };

static AddrWord addr_word(const void* p) { return (AddrWord)(DWORD_PTR)p; }

// ------------------------------------------------------------ module locator

DWORD query_region(const void* address, MEMORY_BASIC_INFORMATION* record,
                   DWORD size) {
  DWORD count = (DWORD)VirtualQuery(address, record, size);
  if (count != size) return count;
  DWORD_PTR base = (DWORD_PTR)record->AllocationBase;
  if ((base & 0xFFF) == 0xFFF) record->AllocationBase = (PVOID)(base + 1);
  if ((record->RegionSize & 0xFFF) == 0xFFF) record->RegionSize += 1;
  if (record->State != MEM_FREE && record->AllocationProtect == 0)
    record->AllocationProtect = PAGE_READONLY;
  return count;
}

// Finds the section of a loaded image that holds rva. The bound is
// inclusive and the first section in table order wins.
static BOOL section_of(const BYTE* image, DWORD rva, DWORD* section,
                       DWORD* offset) {
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)image;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(image + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* header = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++header) {
    DWORD virtual_size = header->Misc.VirtualSize;
    DWORD raw_size = header->SizeOfRawData;
    DWORD start = header->VirtualAddress;
    DWORD length = raw_size > virtual_size ? raw_size : virtual_size;
    if (start <= rva && rva <= start + length) {
      *section = (DWORD)i + 1;
      *offset = rva - start;
      return TRUE;
    }
  }
  return FALSE;
}

BOOL logical_address(const void* address, char* path, DWORD size,
                     DWORD* section, DWORD* offset) {
  MEMORY_BASIC_INFORMATION region;
  if (query_region(address, &region, sizeof region) == 0) return FALSE;
  HMODULE base = (HMODULE)region.AllocationBase;
  if (!base || size == 0) {
    if (size) path[0] = 0;
    return FALSE;
  }
  // Only a base the loader knows as a module has headers worth reading.
  if (GetModuleFileNameA(base, path, size) == 0) {
    path[0] = 0;
    return FALSE;
  }
  path[size - 1] = 0;  // older systems leave a cut name unterminated
  DWORD rva = (DWORD)((DWORD_PTR)address - (DWORD_PTR)base);
  return section_of((const BYTE*)base, rva, section, offset);
}

// ------------------------------------------------------------ frame walk

// The Frame column holds the frame pointer (EBP) on x86 and the stack
// pointer of the frame (RSP) on x64.
static void print_frame_line(DWORD_PTR pc, DWORD_PTR frame) {
  char path[PATH_SIZE] = "";
  DWORD section = 0;
  DWORD offset = 0;
  logical_address((const void*)pc, path, sizeof path, &section, &offset);
  report_line(FRAME_LINE, (AddrWord)pc, (AddrWord)frame, (unsigned)section,
              (unsigned)offset, path);
}

#if defined(_WIN64)

// Frames walked at most: a damaged stack can loop through the unwind.
enum { FRAME_LIMIT = 256 };

static bool stack_holds(DWORD64 address, DWORD64 low, DWORD64 high) {
  return address % 8 == 0 && low <= address && address + 8 <= high;
}

// Steps context from a frame to its caller's, through the unwind tables. A
// function without a table entry is a leaf: its return address is at the
// stack pointer. Nothing is read outside the thread's stack, and a caller's
// stack pointer must lie above the current one.
static bool unwind_to_caller(CONTEXT* context, DWORD64 low, DWORD64 high) {
  DWORD64 sp = context->Rsp;
  if (!stack_holds(sp, low, high)) return false;
  DWORD64 image_base = 0;
  PRUNTIME_FUNCTION function =
      RtlLookupFunctionEntry(context->Rip, &image_base, NULL);
  if (function) {
    void* handler_data = NULL;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context->Rip, function,
                     context, &handler_data, &establisher, NULL);
  } else {
    context->Rip = *(const DWORD64*)sp;
    context->Rsp = sp + 8;
  }
  return context->Rip != 0 && context->Rsp > sp && context->Rsp <= high;
}

// GCC 12 takes the TEB read through gs:[0x30] for an out-of-bounds access.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
static const NT_TIB* thread_tib(void) { return (const NT_TIB*)NtCurrentTeb(); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void print_call_stack(const CONTEXT* context) {
  report_line("%s", s_begin_rule);
  report_line("%s", s_column_header);
  const NT_TIB* tib = thread_tib();
  DWORD64 low = (DWORD64)tib->StackLimit;
  DWORD64 high = (DWORD64)tib->StackBase;
  CONTEXT walk = *context;
  for (int n = 0; n < FRAME_LIMIT; ++n) {
    print_frame_line(walk.Rip, walk.Rsp);
    if (!unwind_to_caller(&walk, low, high)) break;
  }
  report_line("%s", s_end_rule);
}

#else

// A caller's frame lies above the current one, word-aligned, and its two
// words can be read; anything else ends the chain.
static bool frame_follows(DWORD frame, DWORD next) {
  if (next % 4 != 0) return false;
  if (next <= frame) return false;
  return !IsBadWritePtr((LPVOID)(DWORD_PTR)next, 8);
}

void print_call_stack(const CONTEXT* context) {
  report_line("%s", s_begin_rule);
  report_line("%s", s_column_header);
  DWORD pc = context->Eip;
  DWORD frame = context->Ebp;
  for (bool first = true;; first = false) {
    print_frame_line(pc, frame);
    // The context's frame pointer has passed no test yet.
    if (first && IsBadWritePtr((LPVOID)(DWORD_PTR)frame, 8)) break;
    const DWORD* words = (const DWORD*)(DWORD_PTR)frame;
    DWORD next_pc = words[1];
    DWORD next_frame = words[0];
    if (!frame_follows(frame, next_frame)) break;
    pc = next_pc;
    frame = next_frame;
  }
  report_line("%s", s_end_rule);
}

#endif

// ------------------------------------------------------------ report

// Appends one piece per exception parameter, in record order. A record
// never holds more than EXCEPTION_MAXIMUM_PARAMETERS; a damaged count is
// not trusted beyond that.
static void append_parameters(char* list, size_t size, const char* piece,
                              const EXCEPTION_RECORD* record) {
  DWORD count = record->NumberParameters;
  if (count > EXCEPTION_MAXIMUM_PARAMETERS)
    count = EXCEPTION_MAXIMUM_PARAMETERS;
  for (DWORD i = 0; i < count; ++i) {
    size_t used = strlen(list);
    str_format(list + used, size - used, piece,
               (AddrWord)record->ExceptionInformation[i]);
  }
}

// Attaches the thread to the report's files. A filter must not let a
// thrown error code escape, and a report that cannot reach events.log still
// goes somewhere: to the events file the thread keeps when the name itself
// was refused, or else (the attach dropped it first) to standard error. Returns
// true when standard error was lent as the events slot, which the caller hands
// back after the report.
static bool report_attach(void) {
  try {
    util_init(".\\events.log", ".\\errors.log", s_report_mark, NULL);
  } catch (...) {
    ctx_set_mark(s_report_mark);
  }
  if (ctx_slot(EVENTS_CHANNEL)) return false;
  ctx_set_slot(EVENTS_CHANNEL, &g_tables[ERRORS_CHANNEL].slots[0]);
  return true;
}

void exception_report(EXCEPTION_POINTERS* pointers, const char* title) {
  LastErrorKeeper keep;
  char path[PATH_SIZE];
  memset(path, 0, sizeof path);
  DWORD section = 0;
  DWORD offset = 0;
  char params[PARAM_LIST_SIZE];
  memset(params, 0, sizeof params);
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;

  bool lent_stream = report_attach();
  report_line(TITLE_LINE, title);
  logical_address(record->ExceptionAddress, path, sizeof path, &section,
                  &offset);
  append_parameters(params, sizeof params, REPORT_PIECE, record);
  // The list is printed from its second character: the first comma goes.
  report_line(EXCEPTION_LINE, (unsigned)record->ExceptionCode,
              addr_word(record->ExceptionAddress), (unsigned)section,
              (unsigned)offset, path, params + 1);
  print_call_stack(pointers->ContextRecord);
  report_line("%s", s_closing_rule);

  // A report or an attach inside this one may have moved the thread since.
  LogSlot* lent = &g_tables[ERRORS_CHANNEL].slots[0];
  if (lent_stream && ctx_slot(EVENTS_CHANNEL) == lent)
    ctx_set_slot(EVENTS_CHANNEL, NULL);
}

// ------------------------------------------------------------ hooks

long __stdcall ExcFilter(EXCEPTION_POINTERS* pointers) {
  exception_report(pointers, s_unhandled_title);
  // Ending only this thread lets the process go on; thread detach releases
  // the thread's files as for any thread that ends.
  _endthreadex(1);
}

long __stdcall ExcFilterI(EXCEPTION_POINTERS* pointers) {
  exception_report(pointers, s_catched_title);
  return EXCEPTION_EXECUTE_HANDLER;
}

void __cdecl seh_translator(unsigned int, EXCEPTION_POINTERS* pointers) {
  ExcFilterI(pointers);
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  CSEHError seh(record->ExceptionCode);
  char params[PARAM_LIST_SIZE];
  memset(params, 0, sizeof params);
  append_parameters(params, sizeof params, SEH_PIECE, record);
  str_format(seh.message, sizeof seh.message, SEH_MESSAGE,
             (unsigned)record->ExceptionCode,
             addr_word(record->ExceptionAddress), params);
  throw seh;
}
