#!/bin/sh
# Sets up, builds and runs the benchmark under Wine (i686 where this machine
# can run it, x86_64 otherwise); prints its table.
# Arguments go to zorvel-bench.exe ([--reps N] [--lines N]).
set -eu
. "$(dirname "$0")/lib.sh"
# The spdlog peer is built from Debian's packages when they can be had.
if [ ! -f /usr/include/spdlog/spdlog.h ] && [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends libspdlog-dev >/dev/null 2>&1 ||
    echo "run-bench: libspdlog-dev not installed; no spdlog row" >&2
fi
build_and_run zorvel-bench "$@"
