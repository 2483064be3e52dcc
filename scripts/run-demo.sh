#!/bin/sh
# Sets up, builds and runs the demo host under Wine, on i686 where this
# machine can run it and on x86_64 otherwise.
set -eu
. "$(dirname "$0")/lib.sh"
preset=$(run_preset)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target zorvel-demo
ZORVEL_BUILD_DIR="$zorvel_root/build/$preset"
ZORVEL_WINE_ARCH=$(preset_arch "$preset")
. scripts/wine-session.sh
scripts/wine-run.sh "build/$preset/bin/zorvel-demo.exe" "$@"
