#!/bin/sh
# Sets up, builds the four DLLs (MinGW-w64 and MSVC ABI, each for i686 and
# x86_64) and runs their tests under Wine; ends with CTest's summary of the
# MSVC-ABI x86_64 suite. The i686 suites run where this machine can start
# 32-bit programs; elsewhere the i686 builds get the checks that need no
# execution (label "static"). ZORVEL_SKIP_I686=1 forces that.
# The native tests and fuzz runs (preset native) come first.
# Arguments go to every CTest run (for example -L reliability).
set -eu
. "$(dirname "$0")/lib.sh"

# The MinGW builds first: the MSVC-ABI suites compare against their
# scenario program.
for preset in mingw mingw64 msvc msvc64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The pure text routines built natively: unit tests and each fuzz target for
# a few seconds, under the sanitizers. Before the Windows suites, so that the
# output still ends with a Windows suite's CTest summary.
status=0
summary=""
native_rc=0
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native "$@" || native_rc=$?
summary="
run-tests: native: exit status $native_rc"
[ "$native_rc" -eq 0 ] || status=$native_rc

# Runs CTest for one preset inside its own Wine session.
suite() {
  preset=$1
  shift
  (
    wine_session "$preset"
    ctest --preset "$preset" "$@"
  )
}

# An i686 suite where 32-bit programs run; else the checks without
# execution, from the folders without GoogleTest programs (CTest would run
# those to list their tests) and without the host suite.
i686_suite() {
  preset=$1
  shift
  rc=0
  if i686_runs; then
    echo "run-tests: $preset (i686) suite: running" >&2
    suite "$preset" "$@" || rc=$?
    line="$preset (i686): ran, exit status $rc"
  else
    echo "run-tests: $preset (i686) suite: skipped: $i686_reason" >&2
    echo "run-tests: $preset (i686) build: checks that need no execution" >&2
    for dir in package tools; do
      ctest --test-dir "build/$preset/tests/$dir" -L static \
        --output-on-failure || rc=$?
    done
    line="$preset (i686): skipped ($i686_reason); checks without execution: exit status $rc"
  fi
  summary="$summary
run-tests: $line"
  [ "$rc" -eq 0 ] || status=$rc
}

x64_suite() {
  preset=$1
  shift
  rc=0
  echo "run-tests: $preset (x86_64) suite: running" >&2
  suite "$preset" "$@" || rc=$?
  summary="$summary
run-tests: $preset (x86_64): ran, exit status $rc"
  [ "$rc" -eq 0 ] || status=$rc
}

# 32-bit and 64-bit processes writing one file, where both run: the
# x86_64 program starts the i686 build of itself as its first writer.
mixed_writers() {
  rc=0
  peer="$zorvel_root/build/mingw/bin/rtest_two_handles.exe"
  if ! i686_runs || [ ! -f "$peer" ]; then
    return 0
  fi
  echo "run-tests: i686 and x86_64 writers of one file: running" >&2
  (
    wine_session mingw64
    ZORVEL_PEER_TEST="Z:$(echo "$peer" | tr / '\\')" \
      ctest --preset mingw64 -R '^TwoHandles\.Processes' --output-on-failure
  ) || rc=$?
  summary="$summary
run-tests: i686 and x86_64 writers of one file: exit status $rc"
  [ "$rc" -eq 0 ] || status=$rc
}

i686_suite mingw "$@"
x64_suite mingw64 "$@"
mixed_writers
i686_suite msvc "$@"
echo "run-tests: so far:$summary
run-tests: msvc64 (x86_64): runs last, its CTest summary ends this output" >&2
x64_suite msvc64 "$@"
[ "$status" -eq 0 ]
