// Helpers for the crash-report tests: expected report texts, reading one
// thread's lines back from a shared log, the module facts a report should
// show, and import patching for faking platform answers.
#ifndef ZORVEL_CRASH_UTIL_H
#define ZORVEL_CRASH_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace cu {

std::string fmt(const char* format, ...);

// The fixed lines of a report, built from their parts.
std::string title_line(const std::string& title);
std::string begin_rule();
std::string column_header();
std::string end_rule();
std::string closing_rule();

// Lines of one process (and thread, unless tid is 0) from a log's text.
std::vector<tu::Line> lines_of(const std::string& text, long pid, long tid);

// Where an address lies, worked out from the loader and the image headers:
// module path, 1-based section and offset. False when no module holds it.
struct Place {
  std::string path;
  DWORD section = 0, offset = 0;
};
bool place_of(const void* address, Place* place);

// One parsed frame line: address, frame, section:offset, module, with the
// addresses in the width of the architecture (8 or 16 digits).
struct Frame {
  DWORD_PTR pc = 0, frame = 0;
  DWORD section = 0, offset = 0;
  std::string path;
};
bool parse_frame(const std::string& text, Frame* frame);

// Checks that lines hold exactly one report with this title and exception
// line, every line of type F with mark ECTCH; returns its frames.
std::vector<Frame> expect_report(const std::vector<tu::Line>& lines,
                                 const std::string& title,
                                 const std::string& exception_line);
// The exception line a report prints for record.
std::string exception_line(const EXCEPTION_RECORD& record);

// Replaces this program's import of function from dll; returns the old
// target (null when the program does not import it).
void* patch_import(const char* dll, const char* function, void* target);

}  // namespace cu

#endif
