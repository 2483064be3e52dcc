// Helpers for tests of log-file attachment and rotation.
#ifndef ZORVEL_LOGFILES_UTIL_H
#define ZORVEL_LOGFILES_UTIL_H

#include <string>
#include <vector>

#include "test_util.h"

namespace lf {

// Gives a file a last-write (and, under Wine, creation) date in the past.
void set_past_date(const std::string& path, int year, int month, int day);
// True when another party holds the file open (an open sharing nothing
// fails with 32).
bool held_open(const std::string& path);
// Lines of a log file whose text (after the header) contains needle.
std::vector<std::string> lines_with(const std::string& path,
                                    const std::string& needle);
// Name of path relative to the test program's directory.
std::string relative(const std::string& path);
// A name of path (on the program's drive, the current one) whose run of
// dots climbs past the drive: it resolves to path without its drive.
std::string past_the_drive(const std::string& path);

// A thread that attaches itself, then waits until told to go on or end.
class Worker {
 public:
  Worker();
  ~Worker();
  // Runs fn on the worker and waits until it has run; returns false when fn
  // threw (the thrown code, if an unsigned long, goes to *code).
  bool run(void (*fn)(void*), void* arg, unsigned long* code = nullptr);
  void end();  // lets the thread end and waits for it

 private:
  static DWORD WINAPI main(LPVOID self);
  HANDLE thread_, go_, done_;
  void (*fn_)(void*);
  void* arg_;
  bool ok_, quit_;
  unsigned long code_;
};

}  // namespace lf

#endif
