// Helpers for the reliability suite: watchdogs, child processes with chosen
// standard streams, thread groups and whole-line checks.
#ifndef ZORVEL_RELIABILITY_UTIL_H
#define ZORVEL_RELIABILITY_UTIL_H

#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace rl {

// Ends the process with exit code kHungExit when it is still alive after
// the given time, so that a deadlock fails the test instead of hanging it.
const DWORD kHungExit = 0xDEAD;
class Watchdog {
 public:
  Watchdog(DWORD seconds, const char* what);
  ~Watchdog();

 private:
  static DWORD WINAPI main(LPVOID self);
  HANDLE done_, thread_;
  DWORD ms_;
  std::string what_;
};

// What a child's standard output or error is.
enum class Stream {
  file,       // a file in the test directory (name given)
  closed,     // a null handle
  invalid,    // INVALID_HANDLE_VALUE
  broken,     // the write end of a pipe whose reader has gone
  read_only,  // a handle opened for reading only
};

struct ChildJob {
  std::string test;  // DISABLED_ test of this program to run
  std::string dir;   // passed to the child as ZORVEL_RELIABILITY_DIR
  Stream out = Stream::file, err = Stream::file;
  std::string out_file, err_file;  // for Stream::file
  DWORD timeout_ms = 90000;
  std::string extra_env;  // "NAME=value" added for the child, may be empty
};

struct Child {
  HANDLE process = NULL;
  DWORD pid = 0;
};
// Starts the child; returns false if it could not be started.
bool start_child(const ChildJob& job, Child* child);
// Waits for it; past timeout_ms it is ended and kHungExit is returned.
DWORD wait_child(Child* child, DWORD timeout_ms);
DWORD run_child(const ChildJob& job);

// The directory a child was given (empty in the parent).
std::string child_dir();
std::string child_env(const char* name);

// Runs count threads of fn(i) started together; waits for them all.
// Returns false if any did not end within timeout_ms (they are left).
bool run_group(int count, void (*fn)(int, void*), void* arg, DWORD timeout_ms);

// Lines of a file that are not well-formed log lines, and all others.
struct Split {
  std::vector<tu::Line> good;
  std::vector<std::string> bad;
};
Split parse_file(const std::string& path);

// Text lines of a child's output that are not log lines: its gtest report.
std::string child_report(const std::string& path);

// Address range of a loaded module's image.
bool module_range(const char* name, DWORD_PTR* base, DWORD* size);

}  // namespace rl

#endif
