#!/bin/sh
# Sets up, builds both architectures and runs their tests under Wine; ends
# with CTest's summary of the x86_64 suite. The i686 suite runs where this
# machine can start 32-bit programs; elsewhere the i686 build gets the checks
# that need no execution (label "static"). ZORVEL_SKIP_I686=1 forces that.
# The native tests and fuzz runs (preset native) come first.
# Arguments go to every CTest run (for example -L reliability).
set -eu
. "$(dirname "$0")/lib.sh"

for preset in mingw mingw64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The pure text routines built natively: unit tests and each fuzz target for
# a few seconds, under the sanitizers. Before the Windows suites, so that the
# output still ends with a Windows suite's CTest summary.
native_status=0
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native "$@" || native_status=$?
echo "run-tests: native: exit status $native_status" >&2

# Runs CTest for one preset inside its own Wine session.
suite() {
  preset=$1
  shift
  (
    wine_session "$preset"
    ctest --preset "$preset" "$@"
  )
}

i686_status=0
if i686_runs; then
  echo "run-tests: i686 suite: running" >&2
  suite mingw "$@" || i686_status=$?
  i686_summary="ran, exit status $i686_status"
else
  echo "run-tests: i686 suite: skipped: $i686_reason" >&2
  echo "run-tests: i686 build: checks that need no execution" >&2
  # Only folders without GoogleTest programs: CTest would run those to list
  # their tests.
  for dir in package tools; do
    ctest --test-dir build/mingw/tests/$dir -L static --output-on-failure ||
      i686_status=$?
  done
  i686_summary="skipped ($i686_reason); checks without execution: exit status $i686_status"
fi
echo "run-tests: i686: $i686_summary" >&2
echo "run-tests: x86_64 suite: running" >&2
x64_status=0
suite mingw64 "$@" || x64_status=$?
[ "$native_status" -eq 0 ] && [ "$i686_status" -eq 0 ] &&
  [ "$x64_status" -eq 0 ]
