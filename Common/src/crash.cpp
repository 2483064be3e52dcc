// Crash reporting: module locator, frame-pointer walk, the exception report
// and the three hooks a host installs for structured exceptions.
//
// Everything here runs inside exception filters on the faulting thread, so
// it takes no heap memory of its own and avoids faults instead of catching
// them: module headers are read only for a base that the loader names as a
// module, and frame words only after IsBadWritePtr (x86) or the thread's
// stack bounds (x64) have passed them.
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
  if (module_file_name(base, path, size) == 0) return FALSE;
  DWORD rva = (DWORD)((DWORD_PTR)address - (DWORD_PTR)base);
  return section_of((const BYTE*)base, rva, section, offset);
}

// GCC 12 takes the TEB read through gs:[0x30] for an out-of-bounds access.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
const NT_TIB* thread_tib(void) { return (const NT_TIB*)NtCurrentTeb(); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

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

// The thread's stack, [low, high): the only memory the walk reads frames
// from.
struct StackRange {
  DWORD64 low, high;
};

// An aligned stretch of size bytes at address, inside the stack.
static bool stack_holds(const StackRange* stack, DWORD64 address,
                        DWORD64 size) {
  return address % 8 == 0 && stack->low <= address && address <= stack->high &&
         size <= stack->high - address;
}

static bool protect_readable(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  return (protect &
          (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

// True when [address, address + size) is committed, readable memory.
static bool memory_readable(DWORD_PTR address, SIZE_T size) {
  while (size > 0) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery((LPCVOID)address, &region, sizeof region) != sizeof region)
      return false;
    if (region.State != MEM_COMMIT || !protect_readable(region.Protect))
      return false;
    DWORD_PTR end = (DWORD_PTR)region.BaseAddress + region.RegionSize;
    if (end <= address) return false;
    if (end - address >= size) return true;
    size -= end - address;
    address = end;
  }
  return true;
}

// ---- proven return addresses

// Bytes of a ModRM operand in 64-bit code: ModRM, SIB, displacement.
static int modrm_length(const BYTE* modrm) {
  int mod = modrm[0] >> 6;
  int rm = modrm[0] & 7;
  if (mod == 3) return 1;
  int length = 1;
  if (rm == 4) {
    ++length;
    if (mod == 0 && (modrm[1] & 7) == 5) length += 4;
  } else if (mod == 0 && rm == 5) {
    length += 4;  // rip-relative
  }
  if (mod == 1) length += 1;
  if (mod == 2) length += 4;
  return length;
}

// True when the bytes that end at code are a call: E8 with a 32-bit
// displacement, or FF /2 with any operand form.
static bool follows_call(const BYTE* code) {
  if (code[-5] == 0xE8) return true;
  for (int length = 2; length <= 7; ++length) {
    const BYTE* op = code - length;
    if (op[0] == 0xFF && ((op[1] >> 3) & 7) == 2 &&
        modrm_length(op + 1) == length - 1)
      return true;
  }
  return false;
}

// True when rva lies in a section of the image that holds code.
static bool section_executes(const BYTE* image, DWORD rva) {
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)image;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(image + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* header = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++header) {
    DWORD start = header->VirtualAddress;
    DWORD virtual_size = header->Misc.VirtualSize;
    DWORD raw_size = header->SizeOfRawData;
    DWORD length = raw_size > virtual_size ? raw_size : virtual_size;
    if (rva >= start && rva - start < length)
      return (header->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
  }
  return false;
}

// A word of the stack may stand for a return address only when it lies in
// a code section of a module the loader knows and follows a call. The
// module's name is asked in its wide form, which takes no heap memory.
static bool return_address_proven(DWORD64 address) {
  enum { CALL_BYTES = 8 };  // the longest call form, and one byte more
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery((LPCVOID)address, &region, sizeof region) != sizeof region)
    return false;
  if (region.State != MEM_COMMIT || region.Type != MEM_IMAGE) return false;
  HMODULE base = (HMODULE)region.AllocationBase;
  WCHAR name[PATH_SIZE];
  if (!base || GetModuleFileNameW(base, name, PATH_SIZE) == 0) return false;
  DWORD64 rva = address - (DWORD64)base;
  if (rva < CALL_BYTES || !section_executes((const BYTE*)base, (DWORD)rva))
    return false;
  if (!memory_readable((DWORD_PTR)address - CALL_BYTES, CALL_BYTES + 1))
    return false;
  return follows_call((const BYTE*)address);
}

// ---- unwind reads

// The unwind codes as the image lays them down.
enum {
  UNWIND_PUSH_NONVOL = 0,
  UNWIND_ALLOC_LARGE = 1,
  UNWIND_ALLOC_SMALL = 2,
  UNWIND_SET_FPREG = 3,
  UNWIND_SAVE_NONVOL = 4,
  UNWIND_SAVE_NONVOL_FAR = 5,
  UNWIND_EPILOG = 6,  // version 2; version 1 used it for an XMM save
  UNWIND_SAVE_XMM128 = 8,
  UNWIND_SAVE_XMM128_FAR = 9,
  UNWIND_PUSH_MACHFRAME = 10,
  UNWIND_CHAIN_LIMIT = 32  // chained entries followed at most
};

struct UnwindInfo {
  BYTE version_flags;
  BYTE prolog_size;
  BYTE code_count;
  BYTE frame;  // register in the low nibble, offset / 16 in the high one
};             // followed by its codes, 16 bits each

static const USHORT* info_codes(const UnwindInfo* info) {
  return (const USHORT*)(info + 1);
}

// What one unwind step reads: reach bytes above its base (the stack pointer,
// or the frame register less its offset when frame_used).
struct UnwindReads {
  DWORD64 reach;
  bool frame_used;
  BYTE frame_register;
  BYTE frame_offset;
};

static DWORD64 code_operand(const USHORT* codes, int i, int slots) {
  if (slots == 2) return codes[i + 1];
  return codes[i + 1] | (DWORD64)codes[i + 2] << 16;
}

// Adds the reads of one info's codes; prolog_offset is the pc's offset in
// its prolog (~0: past it). False for a code the walk does not know.
static bool add_code_reads(const UnwindInfo* info, DWORD prolog_offset,
                           DWORD64* pushed, DWORD64* saved,
                           UnwindReads* reads) {
  const USHORT* codes = info_codes(info);
  for (int i = 0; i < info->code_count;) {
    BYTE offset = (BYTE)codes[i];
    int op = (codes[i] >> 8) & 0xF;
    int op_info = codes[i] >> 12;
    int slots = 1;
    bool applies = prolog_offset >= offset;
    switch (op) {
      case UNWIND_PUSH_NONVOL:
        *pushed += 8;
        break;
      case UNWIND_ALLOC_LARGE:
        slots = op_info ? 3 : 2;
        if (i + slots > info->code_count) return false;
        *pushed += op_info ? code_operand(codes, i, 3) : 8 * codes[i + 1];
        break;
      case UNWIND_ALLOC_SMALL:
        *pushed += 8 * (DWORD64)op_info + 8;
        break;
      case UNWIND_SET_FPREG:
        if (applies) reads->frame_used = true;
        break;
      case UNWIND_SAVE_NONVOL:
      case UNWIND_SAVE_NONVOL_FAR:
      case UNWIND_SAVE_XMM128:
      case UNWIND_SAVE_XMM128_FAR: {
        bool far_form =
            op == UNWIND_SAVE_NONVOL_FAR || op == UNWIND_SAVE_XMM128_FAR;
        bool xmm = op == UNWIND_SAVE_XMM128 || op == UNWIND_SAVE_XMM128_FAR;
        slots = far_form ? 3 : 2;
        if (i + slots > info->code_count) return false;
        DWORD64 at = code_operand(codes, i, slots);
        if (!far_form) at *= xmm ? 16 : 8;
        DWORD64 end = at + (xmm ? 16 : 8);
        if (end > *saved) *saved = end;
        if (applies) reads->frame_used = true;
        break;
      }
      case UNWIND_EPILOG:
        slots = 2;
        break;
      case UNWIND_PUSH_MACHFRAME:
        // The caller's stack pointer comes out of the frame itself: nothing
        // may be read above it afterwards.
        if (i + 1 != info->code_count) return false;
        *pushed += op_info ? 48 : 40;
        break;
      default:
        return false;
    }
    i += slots;
  }
  return true;
}

// Follows function's unwind info and its chain and sums up what unwinding
// at pc reads. Every info is checked to be readable before it is read.
static bool unwind_reads(DWORD64 image_base, const RUNTIME_FUNCTION* function,
                         DWORD64 pc, UnwindReads* reads) {
  memset(reads, 0, sizeof *reads);
  DWORD64 pushed = 0;
  DWORD64 saved = 0;
  DWORD64 rva = pc - image_base;
  DWORD prolog_offset = ~(DWORD)0;
  for (int n = 0; n < UNWIND_CHAIN_LIMIT; ++n) {
    if (function->UnwindData & 1) return false;
    const UnwindInfo* info =
        (const UnwindInfo*)(image_base + function->UnwindData);
    if (!memory_readable((DWORD_PTR)info, 4)) return false;
    int version = info->version_flags & 7;
    if (version != 1 && version != 2) return false;
    DWORD code_bytes = 2 * ((info->code_count + 1u) & ~1u);
    bool chained = (info->version_flags >> 3) & UNW_FLAG_CHAININFO;
    DWORD size = 4 + code_bytes + (chained ? sizeof(RUNTIME_FUNCTION) : 0);
    if (!memory_readable((DWORD_PTR)info, size)) return false;
    if (n == 0 && rva >= function->BeginAddress &&
        rva - function->BeginAddress < info->prolog_size)
      prolog_offset = (DWORD)(rva - function->BeginAddress);
    if (n > 0) prolog_offset = ~(DWORD)0;
    if (!reads->frame_register && (info->frame & 0xF)) {
      reads->frame_register = info->frame & 0xF;
      reads->frame_offset = info->frame >> 4;
    }
    if (!add_code_reads(info, prolog_offset, &pushed, &saved, reads))
      return false;
    if (!chained) break;
    function =
        (const RUNTIME_FUNCTION*)((const BYTE*)info_codes(info) + code_bytes);
    if (n + 1 == UNWIND_CHAIN_LIMIT) return false;
  }
  if (!reads->frame_register) reads->frame_used = false;
  reads->reach = (pushed > saved ? pushed : saved) + 8;  // + return address
  return true;
}

// An unwind step may run only when every word it can read lies on the
// stack: above the stack pointer and, when the function set up a frame
// register, above that register's frame base. A register that points off
// the stack ends the walk instead of faulting inside the report.
static bool unwind_is_safe(const CONTEXT* context, DWORD64 image_base,
                           const RUNTIME_FUNCTION* function,
                           const StackRange* stack) {
  UnwindReads reads;
  if (!unwind_reads(image_base, function, context->Rip, &reads)) return false;
  if (!stack_holds(stack, context->Rsp, reads.reach)) return false;
  // An epilog is read from its code, at the pc.
  if (!memory_readable((DWORD_PTR)context->Rip, 16)) return false;
  if (!reads.frame_used) return true;
  const DWORD64* registers = &context->Rax;  // Rax to R15 in encoding order
  DWORD64 base =
      registers[reads.frame_register] - 16 * (DWORD64)reads.frame_offset;
  return stack_holds(stack, base, reads.reach);
}

// True when address lies in committed memory that may run: the least a
// return address must be, also into code made at run time.
static bool executable_address(DWORD64 address) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery((LPCVOID)address, &region, sizeof region) != sizeof region)
    return false;
  if (region.State != MEM_COMMIT || (region.Protect & PAGE_GUARD)) return false;
  return (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) !=
         0;
}

// Steps context from a frame to its caller's, through the unwind tables. A
// function without a table entry is a leaf only in the first frame, the one
// that met the exception: a leaf calls nothing, so no later frame is one.
// There the word at the stack pointer goes on; further up only as a proven
// return address. The caller's stack pointer must lie above the current
// one, and its pc in code.
static bool unwind_to_caller(CONTEXT* context, bool first,
                             const StackRange* stack) {
  DWORD64 sp = context->Rsp;
  if (!stack_holds(stack, sp, 8)) return false;
  DWORD64 image_base = 0;
  PRUNTIME_FUNCTION function =
      RtlLookupFunctionEntry(context->Rip, &image_base, NULL);
  if (function) {
    if (!unwind_is_safe(context, image_base, function, stack)) return false;
    void* handler_data = NULL;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context->Rip, function,
                     context, &handler_data, &establisher, NULL);
  } else {
    DWORD64 return_address = *(const DWORD64*)sp;
    if (!first && !return_address_proven(return_address)) return false;
    context->Rip = return_address;
    context->Rsp = sp + 8;
  }
  // Unwind data can be wrong too (__chkstk's pushes are not in it): a
  // caller runs code, or it is no caller.
  return context->Rsp > sp && context->Rsp <= stack->high &&
         executable_address(context->Rip);
}

void print_call_stack_of(const CONTEXT* context, const NT_TIB* tib) {
  report_line("%s", s_begin_rule);
  report_line("%s", s_column_header);
  // Without a stack that may be read, no frame but the first.
  StackRange stack = {0, 0};
  if (tib) {
    stack.low = (DWORD64)tib->StackLimit;
    stack.high = (DWORD64)tib->StackBase;
  }
  CONTEXT walk = *context;
  for (int n = 0; n < FRAME_LIMIT; ++n) {
    print_frame_line(walk.Rip, walk.Rsp);
    if (!unwind_to_caller(&walk, n == 0, &stack)) break;
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

void print_call_stack_of(const CONTEXT* context, const NT_TIB* tib) {
  report_line("%s", s_begin_rule);
  report_line("%s", s_column_header);
  DWORD pc = context->Eip;
  DWORD frame = context->Ebp;
  for (bool first = true;; first = false) {
    print_frame_line(pc, frame);
    if (!tib) break;  // no stack that may be read
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

void print_call_stack(const CONTEXT* context) {
  print_call_stack_of(context, thread_tib());
}

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

// A filter must not let a thrown error code escape, and a report that cannot
// reach events.log still goes somewhere: to the events file the thread
// keeps when the name itself was refused, or else (the attach dropped it
// first) to standard error.
bool report_attach(void) {
  try {
    util_init(".\\events.log", ".\\errors.log", s_report_mark, NULL);
  } catch (...) {
    ctx_set_mark(s_report_mark);
  }
  if (ctx_slot(EVENTS_CHANNEL)) return false;
  ctx_set_slot(EVENTS_CHANNEL, &g_tables[ERRORS_CHANNEL].slots[0]);
  return true;
}

void report_return_loan(bool lent) {
  // A report or an attach inside this one may have moved the thread since.
  LogSlot* stream = &g_tables[ERRORS_CHANNEL].slots[0];
  if (lent && ctx_slot(EVENTS_CHANNEL) == stream)
    ctx_set_slot(EVENTS_CHANNEL, NULL);
}

void report_head(const EXCEPTION_POINTERS* pointers, const char* title) {
  LastErrorKeeper keep;
  char path[PATH_SIZE];
  memset(path, 0, sizeof path);
  DWORD section = 0;
  DWORD offset = 0;
  char params[PARAM_LIST_SIZE];
  memset(params, 0, sizeof params);
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;

  report_line(TITLE_LINE, title);
  logical_address(record->ExceptionAddress, path, sizeof path, &section,
                  &offset);
  append_parameters(params, sizeof params, REPORT_PIECE, record);
  // The list is printed from its second character: the first comma goes.
  report_line(EXCEPTION_LINE, (unsigned)record->ExceptionCode,
              addr_word(record->ExceptionAddress), (unsigned)section,
              (unsigned)offset, path, params + 1);
}

void report_close(void) { report_line("%s", s_closing_rule); }

struct ReportJob {
  const EXCEPTION_POINTERS* pointers;
  const CONTEXT* context;
  const NT_TIB* tib;
  const char* title;
};

static int walk_stack(void* job) {
  const ReportJob* r = (const ReportJob*)job;
  print_call_stack_of(r->context, r->tib);
  return 0;
}

void print_call_stack_guarded(const CONTEXT* context, const NT_TIB* tib) {
  ReportJob job = {NULL, context, tib, NULL};
  guard_run(walk_stack, &job);
}

// Buffers for reports that go out in one write; a report that finds none
// free holds the file's lock across its lines instead.
enum { REPORT_BLOCK = 8 * 1024, REPORT_BUFFERS = 4 };
static char s_report_text[REPORT_BUFFERS][REPORT_BLOCK];
static volatile LONG s_report_taken[REPORT_BUFFERS];

static int take_report_buffer(void) {
  for (int i = 0; i < REPORT_BUFFERS; ++i)
    if (!InterlockedCompareExchange(&s_report_taken[i], 1, 0)) return i;
  return -1;
}

void write_report_block(GuardWork body, void* arg) {
  int buffer = take_report_buffer();
  LineBlock block;
  if (buffer >= 0)
    msg_block_begin(&block, s_report_text[buffer], REPORT_BLOCK);
  else
    msg_block_begin(&block, NULL, 0);
  // A fault in the body ends the report early; the block still ends.
  guard_run(body, arg);
  report_close();
  msg_block_end(&block);
  if (buffer >= 0) InterlockedExchange(&s_report_taken[buffer], 0);
}

static int report_body(void* arg) {
  const ReportJob* job = (const ReportJob*)arg;
  report_head(job->pointers, job->title);
  print_call_stack_guarded(job->context, job->tib);
  return 0;
}

// The report, then the minidump's line, go to the files attached here, or
// both to standard error.
void exception_report(EXCEPTION_POINTERS* pointers, const char* title) {
  LastErrorKeeper keep;
  if (dump_report_elsewhere(pointers, title)) return;
  bool lent = report_attach();
  ReportJob job = {pointers, pointers->ContextRecord, thread_tib(), title};
  write_report_block(report_body, &job);
  dump_after_report(pointers);
  report_return_loan(lent);
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

// Builds and throws the translator's error; apart from the hook, so that
// the report runs before this frame's error object takes its stack.
ZV_NOINLINE static void throw_seh_error(const EXCEPTION_POINTERS* pointers) {
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

void __cdecl seh_translator(unsigned int, EXCEPTION_POINTERS* pointers) {
  ExcFilterI(pointers);
  throw_seh_error(pointers);
}
