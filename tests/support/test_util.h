// Helpers shared by the test programs.
#ifndef ZORVEL_TEST_UTIL_H
#define ZORVEL_TEST_UTIL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <setjmp.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// setjmp for a landing reached from an exception handler: on x64 a null
// frame makes longjmp restore the registers without unwinding, since the
// landing has no caller to unwind through.
#if defined(_WIN64)
#define TU_SETJMP(landing) _setjmp((landing), NULL)
#else
#define TU_SETJMP(landing) setjmp(landing)
#endif

namespace tu {

// Full path of the running test program.
std::string exe_path();
// Directory of the running test program, with its closing backslash.
std::string exe_dir();
// A fresh directory under the program's directory, named after the running
// test; emptied if it exists. Returned with its closing backslash.
std::string fresh_dir(const std::string& name = "");
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);  // CR LF

// Runs fn on a new thread and waits for it; returns the thread's exit code.
DWORD run_thread(const std::function<void()>& fn);

// Waits until no other thread of the process is still starting. 32-bit Wine
// ends an exiting process's threads with a signal, and one that lands in a
// thread whose start-up is not done kills the whole process with SIGSEGV
// (docs/reliability.md). GoogleTest starts a watcher thread when a thread
// first touches its per-thread state (SCOPED_TRACE, a failure), often a few
// milliseconds before the end; so the test programs' mains call this last.
void wait_for_thread_starts();

// A header-free view of one log line "T: stamp (pid:tid[:mark]): rest".
struct Line {
  std::string type, stamp, mark, rest;
  long pid = 0, tid = 0;
  bool has_mark = false;
};
bool parse_line(const std::string& text, Line* line);

// Registers of a context in the width of the architecture. The frame is
// what a report's Frame column shows: EBP on x86, RSP on x64.
DWORD_PTR context_pc(const CONTEXT& context);
DWORD_PTR context_sp(const CONTEXT& context);
DWORD_PTR context_frame(const CONTEXT& context);
void set_context_pc(CONTEXT* context, DWORD_PTR pc);
// Resumes a faulting context in fn, which must never return, on a stack
// aligned as at a function's entry below the faulting one.
void resume_in(CONTEXT* context, void (*fn)(void));
// An address as reports print it: "0x" and 8 hexadecimal digits on x86, 16
// on x64.
std::string addr_text(DWORD_PTR address);

}  // namespace tu

#endif
