// Running a DISABLED_ test of this program in a child process with chosen
// standard streams, and the child's side of it.
#ifndef ZORVEL_CHILD_UTIL_H
#define ZORVEL_CHILD_UTIL_H

#include <string>

#include "test_util.h"

namespace ch {

// Exit code of a child or test ended because it hung.
const DWORD kHungExit = 0xDEAD;

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
  std::string exe;        // another build of this program; empty: this one
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
// Output and error to files; an empty name leaves that stream closed.
DWORD run_child(const std::string& test, const std::string& out_file,
                const std::string& err_file);

// The directory a child was given (empty in the parent).
std::string child_dir();
std::string child_env(const char* name);

}  // namespace ch

#endif
