// Helpers for the reliability suite: watchdogs, thread groups and whole-line
// checks.
#ifndef ZORVEL_RELIABILITY_UTIL_H
#define ZORVEL_RELIABILITY_UTIL_H

#include <map>
#include <string>
#include <vector>

#include "child_util.h"
#include "test_util.h"

namespace rl {

// Ends the process with exit code ch::kHungExit when it is still alive
// after the given time, so that a deadlock fails the test instead of hanging
// it.
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
