// Helpers for the crash-report tests: expected report texts and reading one
// thread's lines back from a shared log.
#ifndef ZORVEL_CRASH_UTIL_H
#define ZORVEL_CRASH_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace cr {

std::string fmt(const char* format, ...);

// A report's title line for title.
std::string title_line(const std::string& title);
// The call-stack block of a report: its rules and column header around the
// given frame lines.
std::vector<std::string> call_stack_block(
    const std::vector<std::string>& frames);

// Lines of one process (and thread, unless tid is 0) from a log's text.
std::vector<tu::Line> lines_of(const std::string& text, long pid, long tid);

// One parsed frame line: address, frame, section:offset, module, with the
// addresses in the width of the architecture (8 or 16 digits).
struct Frame {
  DWORD_PTR pc = 0, frame = 0;
  DWORD section = 0, offset = 0;
  std::string path;
};
bool parse_frame(const std::string& text, Frame* frame);

// Checks that lines hold exactly one report with this title and exception
// line (not checked when empty), every line of type F with mark ECTCH;
// returns its frames.
std::vector<Frame> expect_report(const std::vector<tu::Line>& lines,
                                 const std::string& title,
                                 const std::string& exception_line);

// This program's section table. Where an address of it lies is known only
// once it is loaded, so expectations read that here.
const IMAGE_SECTION_HEADER* exe_sections(WORD* count);
// Offset of pc in this program's first section, its code.
DWORD code_offset(DWORD_PTR pc);

// The exception line of a write to address 0 at pc in this program's code,
// as the report prints it.
std::string null_write_line(DWORD_PTR pc);

}  // namespace cr

#endif
