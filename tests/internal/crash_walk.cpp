// Module locator and frame walk: where an address lies (module, section,
// offset), the region record corrections, and the call-stack block that a
// frame-pointer chain prints.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "crash_util.h"
#include "import_util.h"
#include "test_util.h"
#include "zorvel_int.h"

namespace {

// ------------------------------------------------------------ fakes

typedef SIZE_T(WINAPI* QueryFn)(LPCVOID, PMEMORY_BASIC_INFORMATION, SIZE_T);
typedef DWORD(WINAPI* ModuleNameFn)(HMODULE, LPWSTR, DWORD);

QueryFn g_real_query;
ModuleNameFn g_real_module_name;

// What the faked region query does.
enum QueryMode { QUERY_FAIL, QUERY_SHORT, QUERY_FIXED, QUERY_BASE_MINUS_ONE };
QueryMode g_query_mode;
MEMORY_BASIC_INFORMATION g_fixed_record;

SIZE_T WINAPI fake_query(LPCVOID address, PMEMORY_BASIC_INFORMATION record,
                         SIZE_T size) {
  switch (g_query_mode) {
    case QUERY_FAIL:
      return 0;
    case QUERY_SHORT:
      *record = g_fixed_record;
      return size - 4;
    case QUERY_FIXED:
      *record = g_fixed_record;
      return size;
    case QUERY_BASE_MINUS_ONE: {
      SIZE_T n = g_real_query(address, record, size);
      record->AllocationBase = (BYTE*)record->AllocationBase - 1;
      return n;
    }
  }
  return 0;
}

// A module name for a made-up image; cut names are left unterminated as
// older systems do.
HMODULE g_fake_module;
const char kFakePath[] = "C:\\fake\\dir\\image.dll";

DWORD WINAPI fake_module_name(HMODULE module, LPWSTR path, DWORD size) {
  if (module != g_fake_module) return g_real_module_name(module, path, size);
  DWORD length = (DWORD)strlen(kFakePath);
  for (DWORD i = 0; i <= length && i < size; ++i) path[i] = kFakePath[i];
  return length >= size ? size : length;
}

class ImportPatch {
 public:
  ImportPatch(const char* function, void* target, void** real)
      : function_(function) {
    old_ = iu::patch_import("kernel32.dll", function, target);
    *real = old_;
  }
  ~ImportPatch() { iu::patch_import("kernel32.dll", function_, old_); }
  bool active() const { return old_ != NULL; }

 private:
  const char* function_;
  void* old_;
};

struct Located {
  BOOL found;
  std::string path;
  DWORD section, offset;
};

Located locate(const void* address, DWORD size = PATH_SIZE) {
  char path[PATH_SIZE];
  strcpy(path, "stale");
  Located result;
  result.section = 0xEEEE;
  result.offset = 0xEEEE;
  result.found =
      logical_address(address, path, size, &result.section, &result.offset);
  result.path = path;
  return result;
}

}  // namespace

// ------------------------------------------------------------ locator

TEST(LogicalAddress, PlacesAddressesOfThisProgram) {
  BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(NULL));
  WORD count;
  const IMAGE_SECTION_HEADER* first = cr::exe_sections(&count);
  ASSERT_GE(count, 2);
  DWORD length = first->SizeOfRawData > first->Misc.VirtualSize
                     ? first->SizeOfRawData
                     : first->Misc.VirtualSize;
  void* heap = malloc(64);
  void* gone = VirtualAlloc(NULL, 4096, MEM_COMMIT, PAGE_READWRITE);
  VirtualFree(gone, 0, MEM_RELEASE);
  const std::string exe = tu::exe_path();
  struct Case {
    const char* name;
    const void* address;
    BOOL found;
    std::string path;
    DWORD section, offset;
  } cases[] = {
      {"first byte of section 1", base + first->VirtualAddress, TRUE, exe, 1,
       0},
      {"inside section 1", base + first->VirtualAddress + 0x123, TRUE, exe, 1,
       0x123},
      {"inclusive end of section 1", base + first->VirtualAddress + length,
       TRUE, exe, 1, length},
      {"second section", base + first[1].VirtualAddress + 8, TRUE, exe, 2, 8},
      {"image headers", base + 0x40, FALSE, exe, 0xEEEE, 0xEEEE},
      {"heap block", heap, FALSE, "", 0xEEEE, 0xEEEE},
      {"free region", gone, FALSE, "", 0xEEEE, 0xEEEE},
  };
  for (const Case& c : cases) {
    Located got = locate(c.address);
    EXPECT_EQ(got.found, c.found) << c.name;
    EXPECT_EQ(got.path, c.path) << c.name;
    EXPECT_EQ(got.section, c.section) << c.name;
    EXPECT_EQ(got.offset, c.offset) << c.name;
  }
  free(heap);
}

// A made-up image: the section table follows an optional header of unusual
// size, section 2 starts where section 1 ends, and there is a gap.
TEST(LogicalAddress, WalksTheSectionTableOfAnImage) {
  BYTE* image = (BYTE*)VirtualAlloc(NULL, 0x6000, MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(image, nullptr);
  *(LONG*)(image + 0x3C) = 0x80;
  BYTE* nt = image + 0x80;
  *(WORD*)(nt + 6) = 3;
  *(WORD*)(nt + 20) = 0x40;
  DWORD* table = (DWORD*)(nt + 24 + 0x40);
  // VirtualSize, VirtualAddress, SizeOfRawData per 40-byte header.
  const DWORD sections[3][3] = {
      {0x800, 0x1000, 0x1000}, {0x1200, 0x2000, 0x200}, {0x10, 0x5000, 0}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) table[i * 10 + 2 + j] = sections[i][j];

  g_fake_module = (HMODULE)image;
  ImportPatch patch("GetModuleFileNameW", (void*)fake_module_name,
                    (void**)&g_real_module_name);
  ASSERT_TRUE(patch.active());
  struct Case {
    DWORD rva;
    BOOL found;
    DWORD section, offset;
  } cases[] = {
      {0x0010, FALSE, 0xEEEE, 0xEEEE},  // headers
      {0x1000, TRUE, 1, 0},
      {0x1FFF, TRUE, 1, 0xFFF},
      {0x2000, TRUE, 1, 0x1000},  // end of 1 is inclusive and 1 comes first
      {0x2001, TRUE, 2, 1},
      {0x3200, TRUE, 2, 0x1200},        // raw size smaller than virtual size
      {0x3201, FALSE, 0xEEEE, 0xEEEE},  // gap
      {0x5010, TRUE, 3, 0x10},
  };
  for (const Case& c : cases) {
    Located got = locate(image + c.rva);
    EXPECT_EQ(got.found, c.found) << std::hex << c.rva;
    EXPECT_EQ(got.path, kFakePath) << std::hex << c.rva;
    EXPECT_EQ(got.section, c.section) << std::hex << c.rva;
    EXPECT_EQ(got.offset, c.offset) << std::hex << c.rva;
  }

  // A name that does not fit is cut and terminated.
  char path[16];
  memset(path, 'Z', sizeof path);
  DWORD section = 0, offset = 0;
  EXPECT_TRUE(logical_address(image + 0x1004, path, 8, &section, &offset));
  EXPECT_STREQ(path, std::string(kFakePath, 7).c_str());
  EXPECT_EQ(section, 1u);
  VirtualFree(image, 0, MEM_RELEASE);
}

TEST(LogicalAddress, WritesNothingWhenTheRegionQueryFails) {
  g_query_mode = QUERY_FAIL;
  ImportPatch patch("VirtualQuery", (void*)fake_query, (void**)&g_real_query);
  ASSERT_TRUE(patch.active());
  Located got = locate(GetModuleHandleA(NULL));
  EXPECT_FALSE(got.found);
  EXPECT_EQ(got.path, "stale");
  EXPECT_EQ(got.section, 0xEEEEu);
  EXPECT_EQ(got.offset, 0xEEEEu);
}

TEST(LogicalAddress, LooksUpTheCorrectedAllocationBase) {
  g_query_mode = QUERY_BASE_MINUS_ONE;
  ImportPatch patch("VirtualQuery", (void*)fake_query, (void**)&g_real_query);
  ASSERT_TRUE(patch.active());
  WORD count;
  const IMAGE_SECTION_HEADER* first = cr::exe_sections(&count);
  BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(NULL));
  Located got = locate(base + first->VirtualAddress + 0x20);
  EXPECT_TRUE(got.found);
  EXPECT_EQ(got.path, tu::exe_path());
  EXPECT_EQ(got.section, 1u);
  EXPECT_EQ(got.offset, 0x20u);
}

TEST(QueryRegion, CorrectsAWholeRecord) {
  ImportPatch patch("VirtualQuery", (void*)fake_query, (void**)&g_real_query);
  ASSERT_TRUE(patch.active());
  struct Case {
    DWORD base, size, state, protect;
    DWORD want_base, want_size, want_protect;
  } cases[] = {
      {0x00400FFF, 0x1FFF, MEM_COMMIT, 0, 0x00401000, 0x2000, PAGE_READONLY},
      {0x00400FFE, 0x1FFE, MEM_RESERVE, 0, 0x00400FFE, 0x1FFE, PAGE_READONLY},
      {0x00400000, 0x1000, MEM_COMMIT, PAGE_EXECUTE, 0x00400000, 0x1000,
       PAGE_EXECUTE},
      {0x00000FFF, 0x0FFF, MEM_FREE, 0, 0x00001000, 0x1000, 0},
  };
  for (const Case& c : cases) {
    g_query_mode = QUERY_FIXED;
    memset(&g_fixed_record, 0, sizeof g_fixed_record);
    g_fixed_record.AllocationBase = (PVOID)(DWORD_PTR)c.base;
    g_fixed_record.RegionSize = c.size;
    g_fixed_record.State = c.state;
    g_fixed_record.AllocationProtect = c.protect;
    MEMORY_BASIC_INFORMATION record;
    EXPECT_EQ(query_region(&record, &record, 28), 28u);
    EXPECT_EQ((DWORD)(DWORD_PTR)record.AllocationBase, c.want_base);
    EXPECT_EQ((DWORD)record.RegionSize, c.want_size);
    EXPECT_EQ(record.AllocationProtect, c.want_protect);

    // A short answer is passed on as it is.
    g_query_mode = QUERY_SHORT;
    EXPECT_EQ(query_region(&record, &record, 28), 24u);
    EXPECT_EQ((DWORD)(DWORD_PTR)record.AllocationBase, c.base);
    EXPECT_EQ((DWORD)record.RegionSize, c.size);
    EXPECT_EQ(record.AllocationProtect, c.protect);
  }
}

// ------------------------------------------------------------ frame walk

namespace {

// Walks context on the test thread, attached to an events file of its own
// for the walk; returns the text of its lines, each of which must be F.
std::vector<std::string> walk(const CONTEXT& context) {
  std::string path = tu::fresh_dir() + "events.log";
  util_init(path.c_str(), NULL, NULL, NULL);
  print_call_stack(&context);
  lib_thread_detach();
  std::vector<std::string> result;
  for (const tu::Line& line :
       cr::lines_of(tu::read_file(path), (long)GetCurrentProcessId(),
                    (long)GetCurrentThreadId())) {
    EXPECT_EQ(line.type, "F");
    result.push_back(line.rest);
  }
  return result;
}

// The frame line of an address no module holds.
std::string frame_line(DWORD_PTR pc, const void* frame) {
  return tu::addr_text(pc) + "\t\t" + tu::addr_text((DWORD_PTR)frame) +
         "\t\t0000:00000000\t\t";
}

}  // namespace

#if !defined(_WIN64)

namespace {

// The frame line of an address in this program's code, its section 1.
std::string code_line(DWORD pc, DWORD frame) {
  return tu::addr_text(pc) + "\t\t" + tu::addr_text(frame) +
         cr::fmt("\t\t0001:%08X\t\t", (unsigned)cr::code_offset(pc)) +
         tu::exe_path();
}

std::vector<std::string> walk(DWORD eip, DWORD ebp) {
  CONTEXT context;
  memset(&context, 0, sizeof context);
  context.Eip = eip;
  context.Ebp = ebp;
  return walk(context);
}

DWORD word(const void* p) { return (DWORD)(DWORD_PTR)p; }

}  // namespace

TEST(CallStack, StopsAtTheFirstFailingTest) {
  // Pages 0 and 1 hold frames; page 2 is read-only.
  BYTE* stack = (BYTE*)VirtualAlloc(NULL, 0x3000, MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(stack, nullptr);
  DWORD* f0 = (DWORD*)(stack + 0x100);
  DWORD* f1 = (DWORD*)(stack + 0x200);
  DWORD* f2 = (DWORD*)(stack + 0x1300);
  DWORD* ro = (DWORD*)(stack + 0x2000);
  ro[0] = word(ro + 64);  // would look like a frame if it were writable
  DWORD old;
  VirtualProtect(ro, 0x1000, PAGE_READONLY, &old);

  void* heap = malloc(16);
  const DWORD eip = word((const void*)&print_call_stack) + 3;
  const DWORD code = word((const void*)&logical_address) + 7;
  const DWORD data = word(heap);
  struct Case {
    const char* name;
    DWORD ebp;
    DWORD f0_next, f1_next, f2_next;
    std::vector<std::pair<DWORD, DWORD>> frames;  // pc, frame
  } cases[] = {
      {"chain up to a null frame",
       word(f0),
       word(f1),
       word(f2),
       0,
       {{eip, word(f0)}, {code, word(f1)}, {data, word(f2)}}},
      {"odd next frame", word(f0), word(f1) + 1, 0, 0, {{eip, word(f0)}}},
      {"next frame not 4-aligned",
       word(f0),
       word(f1) + 2,
       0,
       0,
       {{eip, word(f0)}}},
      {"next frame equal", word(f0), word(f0), 0, 0, {{eip, word(f0)}}},
      {"next frame lower", word(f0), word(stack), 0, 0, {{eip, word(f0)}}},
      {"next frame read-only", word(f0), word(ro), 0, 0, {{eip, word(f0)}}},
      {"second frame stops",
       word(f0),
       word(f1),
       word(f1) - 4,
       0,
       {{eip, word(f0)}, {code, word(f1)}}},
      {"context frame null", 0, word(f1), 0, 0, {{eip, 0}}},
      {"context frame read-only", word(ro), 0, 0, 0, {{eip, word(ro)}}},
  };
  for (const Case& c : cases) {
    f0[0] = c.f0_next;
    f0[1] = code;
    f1[0] = c.f1_next;
    f1[1] = data;
    f2[0] = c.f2_next;
    f2[1] = 0x12345678;
    std::vector<std::string> want;
    for (const auto& f : c.frames)
      want.push_back(f.first == data
                         ? frame_line(data, (const void*)(DWORD_PTR)f.second)
                         : code_line(f.first, f.second));
    EXPECT_EQ(walk(eip, c.ebp), cr::call_stack_block(want)) << c.name;
  }
  free(heap);
  VirtualFree(stack, 0, MEM_RELEASE);
}

#else

namespace {

// A made-up code region with unwind tables: functions A and B allocate
// 0x28 and 0x18 bytes of stack, C none; the rest of the region has no entry,
// as code made at run time often has none.
struct SyntheticCode {
  enum { A = 0x100, B = 0x300, C = 0x500, LEAF = 0x800, TABLE = 0x1000 };
  BYTE* base = nullptr;
  RUNTIME_FUNCTION* table = nullptr;

  SyntheticCode() {
    base =
        (BYTE*)VirtualAlloc(NULL, 0x2000, MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    memset(base, 0xCC, 0x1000);
    table = (RUNTIME_FUNCTION*)(base + TABLE);
    add(0, A, 0x100, 0x1100, 0x28);
    add(1, B, 0x100, 0x1110, 0x18);
    add(2, C, 0x100, 0x1120, 0);
    RtlAddFunctionTable(table, 3, (DWORD64)base);
  }
  ~SyntheticCode() {
    RtlDeleteFunctionTable(table);
    VirtualFree(base, 0, MEM_RELEASE);
  }
  // One function with a four-byte prolog "sub rsp, alloc", or with no
  // prolog when alloc is 0.
  void add(int i, DWORD start, DWORD size, DWORD info, BYTE alloc) {
    table[i].BeginAddress = start;
    table[i].EndAddress = start + size;
    table[i].UnwindData = info;
    BYTE* u = base + info;
    u[0] = 1;              // version 1, no flags
    u[1] = alloc ? 4 : 0;  // prolog size
    u[2] = alloc ? 1 : 0;  // unwind codes
    u[3] = 0;              // no frame register
    if (!alloc) return;
    u[4] = 4;                                   // at prolog offset 4
    u[5] = (BYTE)(2 | ((alloc - 8) / 8) << 4);  // UWOP_ALLOC_SMALL
  }
  DWORD_PTR at(DWORD offset) const { return (DWORD_PTR)(base + offset); }
};

CONTEXT context_at(DWORD_PTR pc, const void* sp) {
  CONTEXT context;
  memset(&context, 0, sizeof context);
  context.Rip = pc;
  context.Rsp = (DWORD64)sp;
  return context;
}

}  // namespace

TEST(CallStack, UnwindsThroughFunctionTablesAndLeaves) {
  SyntheticCode code;
  const DWORD_PTR in_a = code.at(SyntheticCode::A + 0x10);
  const DWORD_PTR in_b = code.at(SyntheticCode::B + 0x20);
  const DWORD_PTR leaf = code.at(SyntheticCode::LEAF);
  // On this thread's stack: the walk reads nothing outside it.
  alignas(16) DWORD64 stack[16] = {};

  // A's return address lies above its 0x28 bytes, B's above its 0x18.
  stack[5] = in_b;
  stack[9] = 0;
  EXPECT_EQ(walk(context_at(in_a, stack)),
            cr::call_stack_block(
                {frame_line(in_a, stack), frame_line(in_b, stack + 6)}));

  // A leaf keeps its return address at the stack pointer; a word there
  // that points at no code (a size __chkstk pushed) ends the walk.
  memset(stack, 0, sizeof stack);
  stack[1] = in_a;
  stack[7] = 0;
  EXPECT_EQ(walk(context_at(leaf, stack + 1)),
            cr::call_stack_block(
                {frame_line(leaf, stack + 1), frame_line(in_a, stack + 2)}));
  stack[1] = 0x1020;
  EXPECT_EQ(walk(context_at(leaf, stack + 1)),
            cr::call_stack_block({frame_line(leaf, stack + 1)}));

  // A stack pointer off the thread's stack, or not 8-aligned, is not read.
  void* heap = calloc(64, 8);
  ((DWORD64*)heap)[5] = in_b;
  EXPECT_EQ(walk(context_at(in_a, heap)),
            cr::call_stack_block({frame_line(in_a, heap)}));
  stack[5] = in_b;
  const BYTE* odd = (const BYTE*)stack + 4;
  EXPECT_EQ(walk(context_at(in_a, odd)),
            cr::call_stack_block({frame_line(in_a, odd)}));
  free(heap);
}

TEST(CallStack, StopsAfterTheFrameBound) {
  SyntheticCode code;
  const DWORD_PTR in_c = code.at(SyntheticCode::C + 0x10);
  // C keeps nothing on the stack: every word returns into C again, each a
  // frame that unwinds, so only the bound ends the walk.
  alignas(16) DWORD64 stack[400];
  for (DWORD64& word : stack) word = in_c;
  std::vector<std::string> lines = walk(context_at(in_c, stack));
  ASSERT_EQ(lines.size(), 256u + 3u);
  EXPECT_EQ(lines[2], frame_line(in_c, stack));
  EXPECT_EQ(lines[257], frame_line(in_c, stack + 255));
}

namespace {

DWORD_PTR g_return_into_caller;

__attribute__((noinline, optimize("O0"))) void note_return_address(void) {
  g_return_into_caller = (DWORD_PTR)__builtin_return_address(0);
}
// At -O0 this keeps its frame in RBP, and its unwind info says so.
__attribute__((noinline, optimize("O0"))) void frame_pointer_caller(void) {
  note_return_address();
}

BYTE frame_register_at(DWORD_PTR pc) {
  DWORD64 image_base = 0;
  PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(pc, &image_base, NULL);
  return f ? *((const BYTE*)image_base + f->UnwindData + 3) & 0xF : 0;
}

}  // namespace

// Code without unwind data returns into by A's unwind. The word at its stack
// pointer goes on only as a proven return address (code of a module, after a
// call); a stale one into a function with a frame pointer, while RBP points
// off the stack, ends the walk instead of faulting in the unwind.
TEST(CallStack, GoesPastCodeWithoutUnwindDataOnlyWithAProvenReturnAddress) {
  SyntheticCode code;
  frame_pointer_caller();
  const DWORD_PTR stale = g_return_into_caller;
  ASSERT_EQ(frame_register_at(stale), 5) << "RBP";
  const DWORD_PTR in_a = code.at(SyntheticCode::A + 0x10);
  const DWORD_PTR no_unwind = code.at(SyntheticCode::LEAF);
  void* heap = malloc(16);
  alignas(16) DWORD64 stack[16] = {};
  const std::vector<std::string> two = {frame_line(in_a, stack),
                                        frame_line(no_unwind, stack + 6)};
  std::vector<std::string> three = two;
  three.push_back(
      tu::addr_text(stale) + "\t\t" + tu::addr_text((DWORD_PTR)(stack + 7)) +
      cr::fmt("\t\t0001:%08X\t\t", (unsigned)cr::code_offset(stale)) +
      tu::exe_path());
  struct Case {
    const char* name;
    DWORD_PTR word;
    const std::vector<std::string>& frames;
  } cases[] = {
      {"stale return address", stale, three},
      {"start of a function", (DWORD_PTR)&frame_pointer_caller, two},
      {"data of this program", (DWORD_PTR)&g_return_into_caller, two},
      {"heap", (DWORD_PTR)heap, two},
      {"small number", 0x1F, two},
  };
  for (const Case& c : cases) {
    memset(stack, 0, sizeof stack);
    stack[5] = no_unwind;  // A's return address
    stack[6] = c.word;
    CONTEXT context = context_at(in_a, stack);
    context.Rbp = 0x0000100000000000ULL;
    EXPECT_EQ(walk(context), cr::call_stack_block(c.frames)) << c.name;
  }
  free(heap);
}

#endif

// Real frames: each function keeps its frame, so the walk from the
// innermost one passes through its callers.
namespace {
std::vector<std::string> g_real_lines;
CONTEXT g_real_context;

__attribute__((noinline, optimize("O0"))) void innermost(void) {
  RtlCaptureContext(&g_real_context);
  g_real_lines = walk(g_real_context);
}
__attribute__((noinline, optimize("O0"))) void middle(void) { innermost(); }
}  // namespace

TEST(CallStack, FollowsRealFramesThroughTheCallers) {
  middle();
  ASSERT_GE(g_real_lines.size(), 6u);
  cr::Frame first, second;
  ASSERT_TRUE(cr::parse_frame(g_real_lines[2], &first));
  ASSERT_TRUE(cr::parse_frame(g_real_lines[3], &second));
  EXPECT_EQ(first.frame, tu::context_frame(g_real_context));
  EXPECT_GT(second.frame, first.frame);
  EXPECT_EQ(first.path, tu::exe_path());
  EXPECT_EQ(second.path, tu::exe_path());
  // The second line is the return address into middle.
  const DWORD_PTR middle_start = (DWORD_PTR)&middle;
  EXPECT_GT(second.pc, middle_start);
  EXPECT_LT(second.pc, middle_start + 0x40);
  for (size_t i = 2; i + 1 < g_real_lines.size(); ++i) {
    cr::Frame f;
    EXPECT_TRUE(cr::parse_frame(g_real_lines[i], &f)) << g_real_lines[i];
  }
}

#if defined(_WIN64)

namespace {

// A trampoline in memory that no module holds and no unwind table covers,
// as a hook or generated code is: it fills its stack area with words that
// are no return addresses, then calls target.
class Trampoline {
 public:
  explicit Trampoline(void (*target)(void)) {
    code_ = (BYTE*)VirtualAlloc(NULL, 4096, MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    BYTE* p = code_;
    emit(&p, {0x48, 0x83, 0xEC, 0x28});  // sub rsp, 0x28
    load_rax(&p, 0x1F);
    emit(&p, {0x48, 0x89, 0x04, 0x24});        // mov [rsp], rax
    emit(&p, {0x48, 0x89, 0x44, 0x24, 0x10});  // mov [rsp+0x10], rax
    emit(&p, {0x48, 0x89, 0x44, 0x24, 0x20});  // mov [rsp+0x20], rax
    load_rax(&p, 0xC93B30);
    emit(&p, {0x48, 0x89, 0x44, 0x24, 0x08});  // mov [rsp+8], rax
    emit(&p, {0x48, 0x89, 0x44, 0x24, 0x18});  // mov [rsp+0x18], rax
    load_rax(&p, (DWORD64)target);
    emit(&p, {0xFF, 0xD0});  // call rax
    return_address = (DWORD_PTR)p;
    emit(&p, {0x48, 0x83, 0xC4, 0x28, 0xC3});  // add rsp, 0x28; ret
    FlushInstructionCache(GetCurrentProcess(), code_, p - code_);
  }
  ~Trampoline() { VirtualFree(code_, 0, MEM_RELEASE); }
  void run() { ((void (*)(void))(void*)code_)(); }
  DWORD_PTR return_address = 0;

 private:
  static void emit(BYTE** p, std::initializer_list<BYTE> bytes) {
    for (BYTE b : bytes) *(*p)++ = b;
  }
  static void load_rax(BYTE** p, DWORD64 value) {
    emit(p, {0x48, 0xB8});  // mov rax, imm64
    memcpy(*p, &value, 8);
    *p += 8;
  }
  BYTE* code_;
};

}  // namespace

// The walk passes from innermost into the trampoline and ends there: none of
// the words on the trampoline's stack is printed as a frame.
TEST(CallStack, EndsInCodeWithoutUnwindDataBelowTheFirstFrame) {
  Trampoline trampoline(innermost);
  trampoline.run();
  ASSERT_EQ(g_real_lines.size(), 2u + 3u)
      << testing::PrintToString(g_real_lines);
  cr::Frame first, second;
  ASSERT_TRUE(cr::parse_frame(g_real_lines[2], &first));
  ASSERT_TRUE(cr::parse_frame(g_real_lines[3], &second));
  EXPECT_EQ(first.pc, (DWORD_PTR)g_real_context.Rip);
  EXPECT_EQ(second.pc, trampoline.return_address);
  EXPECT_EQ(second.path, "");
  EXPECT_EQ(g_real_lines,
            cr::call_stack_block({g_real_lines[2], g_real_lines[3]}));
}

#endif
