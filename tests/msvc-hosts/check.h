// The check macros of the MSVC-ABI host programs: no C++ standard library
// exists for that target here, so no GoogleTest either. A program runs the
// group of checks named by its first argument and ends with 1 when any
// failed.
#ifndef CHECK_H
#define CHECK_H

#include <stdio.h>
#include <string.h>

extern int g_checks;
extern int g_failures;

inline bool check_report(bool ok, const char* what, const char* file,
                         int line) {
  ++g_checks;
  if (!ok) {
    ++g_failures;
    printf("%s(%d): failed: %s\n", file, line, what);
  }
  return ok;
}

inline bool check_text(const char* got, const char* want, const char* what,
                       const char* file, int line) {
  bool ok = got && want && strcmp(got, want) == 0;
  if (!ok)
    printf("%s(%d): got \"%s\", want \"%s\"\n", file, line,
           got ? got : "(null)", want ? want : "(null)");
  return check_report(ok, what, file, line);
}

inline bool check_number(long long got, long long want, const char* what,
                         const char* file, int line) {
  if (got != want)
    printf("%s(%d): got %lld (0x%llX), want %lld (0x%llX)\n", file, line, got,
           got, want, want);
  return check_report(got == want, what, file, line);
}

#define CHECK(cond) check_report((cond), #cond, __FILE__, __LINE__)
#define CHECK_EQ(got, want) \
  check_number((long long)(got), (long long)(want), #got, __FILE__, __LINE__)
#define CHECK_TEXT(got, want) \
  check_text((got), (want), #got, __FILE__, __LINE__)
// A check that must hold for the group to go on.
#define REQUIRE(cond)         \
  do {                        \
    if (!CHECK(cond)) return; \
  } while (0)

// One group of checks, selected by name on the command line.
struct CheckGroup {
  const char* name;
  void (*run)(void);
};

// Runs the group named argv[1]; prints the counts and returns the exit code.
int run_group(const CheckGroup* groups, int count, int argc, char** argv);

#endif
