// Helpers for the tests of error texts, raising and the memory helpers.
#ifndef ZORVEL_ERRORS_UTIL_H
#define ZORVEL_ERRORS_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace eu {

// The system's text for code without its closing CR LF; empty when the
// system has none. The codes used here have texts that end in "." CR LF,
// which is checked, so no expectation rests on the trimming rule.
std::string system_text(DWORD code);

// Sets the thread's Windows Sockets error without linking ws2_32.
void wsa_set_last_error(int code);

}  // namespace eu

#endif
