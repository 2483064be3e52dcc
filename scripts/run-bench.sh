#!/bin/sh
# Sets up, builds and runs the benchmark under Wine (i686 where this machine
# can run it, x86_64 otherwise); prints its table.
# Arguments go to zorvel-bench.exe ([--reps N] [--lines N]).
# --side-by-side first: runs it against the MinGW i686 (where 32-bit code
# runs), MinGW x86_64 and MSVC-ABI x86_64 builds one after the other, keeps
# each report in build/bench/ and prints one table of the three.
set -eu
. "$(dirname "$0")/lib.sh"
# The spdlog peer is built from Debian's packages when they can be had.
if [ ! -f /usr/include/spdlog/spdlog.h ] && [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends libspdlog-dev >/dev/null 2>&1 ||
    echo "run-bench: libspdlog-dev not installed; no spdlog row" >&2
fi
if [ "${1:-}" != --side-by-side ]; then
  build_and_run zorvel-bench "$@"
  exit
fi
shift
presets="mingw64 msvc64"
if i686_runs; then
  presets="mingw $presets"
else
  echo "run-bench: no MinGW i686 column: $i686_reason" >&2
fi
mkdir -p build/bench
reports=""
for preset in $presets; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target zorvel-bench
  (
    wine_session "$preset"
    scripts/wine-run.sh "build/$preset/bin/zorvel-bench.exe" "$@"
  ) >"build/bench/$preset.txt"
  reports="$reports $preset=build/bench/$preset.txt"
done
# shellcheck disable=SC2086
python3 bench/side_by_side.py $reports
