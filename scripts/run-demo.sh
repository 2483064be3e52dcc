#!/bin/sh
# Sets up, builds and runs the demo host under Wine, on i686 where this
# machine can run it and on x86_64 otherwise; then opens the minidump of its
# crashed thread in Wine's debugger, at the fault.
set -eu
. "$(dirname "$0")/lib.sh"
build_and_run zorvel-demo "$@"

dump=$(ls -t "$zorvel_root/build/$preset/bin/demo-output/dumps/"*.dmp | head -n 1)
echo
echo "--- winedbg $(basename "$dump"): the exception and the backtrace ---"
printf 'info exception\nbt\nquit\n' |
  scripts/wine-run.sh winedbg "Z:$(echo "$dump" | tr / '\\')" 2>/dev/null |
  sed -n '/^Wine-dbg>/,$p' | sed 's/^Wine-dbg>//'
