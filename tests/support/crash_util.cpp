#include "crash_util.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace cr {

std::string fmt(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// The fixed lines of every report, written out.
const char kBeginRule[] =
    "------------- Call stack (begin) -------------------------------------"
    "------------------------------------------------";
const char kColumnHeader[] = "Address\t\tFrame\t\t\tLogical addr\t\tModule";
const char kEndRule[] =
    "-------------- Call stack (end) --------------------------------------"
    "------------------------------------------------";
const char kClosingRule[] =
    "**********************************************************************"
    "****************************************************";

std::string title_line(const std::string& title) {
  return "************** " + title +
         " Exception report: "
         "************************************************************";
}

std::vector<std::string> call_stack_block(
    const std::vector<std::string>& frames) {
  std::vector<std::string> lines = {kBeginRule, kColumnHeader};
  lines.insert(lines.end(), frames.begin(), frames.end());
  lines.push_back(kEndRule);
  return lines;
}

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
  if (!exception_line.empty()) {
    EXPECT_EQ(lines[1].rest, exception_line);
  }
  EXPECT_EQ(lines[2].rest, kBeginRule);
  EXPECT_EQ(lines[3].rest, kColumnHeader);
  for (size_t i = 4; i + 2 < n; ++i) {
    Frame frame;
    EXPECT_TRUE(parse_frame(lines[i].rest, &frame)) << lines[i].rest;
    frames.push_back(frame);
  }
  EXPECT_EQ(lines[n - 2].rest, kEndRule);
  EXPECT_EQ(lines[n - 1].rest, kClosingRule);
  return frames;
}

const IMAGE_SECTION_HEADER* exe_sections(WORD* count) {
  auto base = reinterpret_cast<const BYTE*>(GetModuleHandleA(NULL));
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  *count = nt->FileHeader.NumberOfSections;
  return IMAGE_FIRST_SECTION(nt);
}

DWORD code_offset(DWORD_PTR pc) {
  WORD count;
  DWORD_PTR code =
      (DWORD_PTR)GetModuleHandleA(NULL) + exe_sections(&count)->VirtualAddress;
  return (DWORD)(pc - code);
}

std::string null_write_line(DWORD_PTR pc) {
  return "Exception 0xC0000005 occured at address " + tu::addr_text(pc) +
         fmt("\t(01:%08X ", (unsigned)code_offset(pc)) + tu::exe_path() +
#if defined(_WIN64)
         "), params:  0x0000000000000001, 0x0000000000000000";
#else
         "), params:  0x00000001, 0x00000000";
#endif
}

}  // namespace cr
