#include "crash_util.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace cu {

std::string fmt(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string title_line(const std::string& title) {
  return std::string(14, '*') + " " + title +
         " Exception report: " + std::string(60, '*');
}
std::string begin_rule() {
  return std::string(13, '-') + " Call stack (begin) " + std::string(85, '-');
}
std::string column_header() {
  return "Address\t\tFrame\t\t\tLogical addr\t\tModule";
}
std::string end_rule() {
  return std::string(14, '-') + " Call stack (end) " + std::string(86, '-');
}
std::string closing_rule() { return std::string(122, '*'); }

std::vector<tu::Line> lines_of(const std::string& text, long pid, long tid) {
  std::vector<tu::Line> result;
  for (const std::string& s : tu::split_lines(text)) {
    tu::Line line;
    if (!tu::parse_line(s, &line)) continue;
    if (line.pid == pid && (tid == 0 || line.tid == tid))
      result.push_back(line);
  }
  return result;
}

bool place_of(const void* address, Place* place) {
  HMODULE module = NULL;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          (LPCSTR)address, &module))
    return false;
  char path[MAX_PATH];
  path[GetModuleFileNameA(module, path, sizeof path)] = 0;
  place->path = path;
  auto base = reinterpret_cast<const BYTE*>(module);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  DWORD rva = (DWORD)((const BYTE*)address - base);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    DWORD size = section->Misc.VirtualSize > section->SizeOfRawData
                     ? section->Misc.VirtualSize
                     : section->SizeOfRawData;
    if (rva >= section->VirtualAddress &&
        rva < section->VirtualAddress + size) {
      place->section = i + 1u;
      place->offset = rva - section->VirtualAddress;
      return true;
    }
  }
  return true;
}

// Reads "0x" and exactly digits upper-case hexadecimal digits at pos.
static bool hex_field(const std::string& text, size_t* pos, size_t digits,
                      bool prefixed, unsigned long long* value) {
  size_t at = *pos;
  if (prefixed) {
    if (text.compare(at, 2, "0x") != 0) return false;
    at += 2;
  }
  if (at + digits > text.size()) return false;
  unsigned long long v = 0;
  for (size_t i = 0; i < digits; ++i) {
    char c = text[at + i];
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) return false;
    v = v * 16 + (unsigned)d;
  }
  *pos = at + digits;
  *value = v;
  return true;
}

static bool literal(const std::string& text, size_t* pos, const char* what) {
  size_t n = strlen(what);
  if (text.compare(*pos, n, what) != 0) return false;
  *pos += n;
  return true;
}

bool parse_frame(const std::string& text, Frame* frame) {
  const size_t width = 2 * sizeof(void*);
  unsigned long long pc, fp, section, offset;
  size_t pos = 0;
  if (!hex_field(text, &pos, width, true, &pc) ||
      !literal(text, &pos, "\t\t") ||
      !hex_field(text, &pos, width, true, &fp) ||
      !literal(text, &pos, "\t\t") ||
      !hex_field(text, &pos, 4, false, &section) || !literal(text, &pos, ":") ||
      !hex_field(text, &pos, 8, false, &offset) || !literal(text, &pos, "\t\t"))
    return false;
  frame->pc = (DWORD_PTR)pc;
  frame->frame = (DWORD_PTR)fp;
  frame->section = (DWORD)section;
  frame->offset = (DWORD)offset;
  frame->path = text.substr(pos);
  return true;
}

std::vector<Frame> expect_report(const std::vector<tu::Line>& lines,
                                 const std::string& title,
                                 const std::string& exception_line) {
  std::vector<Frame> frames;
  EXPECT_GE(lines.size(), 7u);
  if (lines.size() < 7) return frames;
  for (const tu::Line& line : lines) {
    EXPECT_EQ(line.type, "F") << line.rest;
    EXPECT_EQ(line.mark, "ECTCH") << line.rest;
  }
  size_t n = lines.size();
  EXPECT_EQ(lines[0].rest, title_line(title));
  EXPECT_EQ(lines[1].rest, exception_line);
  EXPECT_EQ(lines[2].rest, begin_rule());
  EXPECT_EQ(lines[3].rest, column_header());
  for (size_t i = 4; i + 2 < n; ++i) {
    Frame frame;
    EXPECT_TRUE(parse_frame(lines[i].rest, &frame)) << lines[i].rest;
    frames.push_back(frame);
  }
  EXPECT_EQ(lines[n - 2].rest, end_rule());
  EXPECT_EQ(lines[n - 1].rest, closing_rule());
  return frames;
}

std::string exception_line(const EXCEPTION_RECORD& record) {
  Place place;
  place_of(record.ExceptionAddress, &place);
  std::string params;
  for (DWORD i = 0; i < record.NumberParameters; ++i)
    params += (i ? ", " : " ") + tu::addr_text(record.ExceptionInformation[i]);
  return fmt(
      "Exception 0x%08X occured at address %s\t(%02X:%08X %s), "
      "params: %s",
      (unsigned)record.ExceptionCode,
      tu::addr_text((DWORD_PTR)record.ExceptionAddress).c_str(),
      (unsigned)place.section, (unsigned)place.offset, place.path.c_str(),
      params.c_str());
}

void* patch_import(const char* dll, const char* function, void* target) {
  auto base = reinterpret_cast<BYTE*>(GetModuleHandleA(NULL));
  auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto desc =
      reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
  void* old = NULL;
  for (; desc->Name; ++desc) {
    if (_stricmp(reinterpret_cast<char*>(base + desc->Name), dll) != 0)
      continue;
    auto names =
        reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
    auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (names->u1.Ordinal & IMAGE_ORDINAL_FLAG) continue;
      auto by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(
          base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<char*>(by_name->Name), function) != 0)
        continue;
      DWORD protect;
      VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE,
                     &protect);
      old = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = (ULONG_PTR)target;
      VirtualProtect(&slots->u1.Function, sizeof(void*), protect, &protect);
    }
  }
  return old;
}

}  // namespace cu
