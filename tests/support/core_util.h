// Helpers for the logging core's tests: capturing a child's standard
// streams and picking the library's lines out of them.
#ifndef ZORVEL_CORE_UTIL_H
#define ZORVEL_CORE_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace cu {

// What one child run wrote, and the local time around the run.
struct Capture {
  std::string out, err;
  DWORD code = 0;
  SYSTEMTIME before = {}, after = {};
};

// Runs the DISABLED_ test "Suite.DISABLED_Name" of this program in a child
// whose standard output and error go to files of a fresh directory.
Capture capture_child(const std::string& test_name);

// The lines of text (split at CR LF) that carry a well-formed stamp, i.e.
// the library's lines, leaving out the test framework's own output.
std::vector<std::string> library_lines(const std::string& text);

// "T|rest" for each of the library's lines in text: its type and what
// follows the header.
std::vector<std::string> typed_rests(const std::string& text);

// Parses "01 Jun 05 (Wed) 13:14:37.045"; checks the layout, the month and
// that the weekday belongs to the date.
bool parse_stamp(const std::string& stamp, SYSTEMTIME* time);

// Milliseconds from a to b (negative when b is earlier).
long long millis_between(const SYSTEMTIME& a, const SYSTEMTIME& b);

// The line that the header format gives for a parsed line; equal to the
// original only when every separator is where it belongs.
std::string rebuild_line(const tu::Line& line);

}  // namespace cu

#endif
