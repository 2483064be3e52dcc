// Logs an event, then catches what kxraise and kxraisec throw across the DLL
// boundary: by the thrown class and by its base. Exits 0 only when both
// arrive as they were raised.
#include <stdio.h>
#include <zorvel.h>

static int raise_and_catch_error(void) {
  const int line = __LINE__;
  // A Windows path: the error keeps the name after the last backslash.
  place("src\\consumer.cpp", line);
  try {
    kxraise("raised %d by the consumer", 42);
  } catch (const CError& e) {
    printf("caught CError code=%lu file=%s line=%d placed=%d message=%s\n",
           e.code, e.file, e.line, line, e.message);
    return 0;
  } catch (...) {
    printf("caught something else than CError\n");
  }
  return 1;
}

static int raise_and_catch_base(void) {
  try {
    kxraisec(5, "coded %s", "failure");
  } catch (const CEmptyError& e) {
    printf("caught CEmptyError code=%lu message=%s\n", e.code, e.message);
    return 0;
  } catch (...) {
    printf("caught something else than CEmptyError\n");
  }
  return 1;
}

int main() {
  event("consumer event %d", 7);
  fflush(stdout);
  int failures = raise_and_catch_error() + raise_and_catch_base();
  fflush(stdout);
  return failures;
}
