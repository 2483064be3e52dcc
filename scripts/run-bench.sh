#!/bin/sh
# Sets up, builds and runs the benchmark under Wine; prints its table.
# Arguments go to zorvel-bench.exe ([--reps N] [--lines N]).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
# The spdlog peer is built from Debian's packages when they can be had.
if [ ! -f /usr/include/spdlog/spdlog.h ] && [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends libspdlog-dev >/dev/null 2>&1 ||
    echo "run-bench: libspdlog-dev not installed; no spdlog row" >&2
fi
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target zorvel-bench
ZORVEL_BUILD_DIR="$root/build/mingw"
. scripts/wine-session.sh
scripts/wine-run.sh build/mingw/bin/zorvel-bench.exe "$@"
