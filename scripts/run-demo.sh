#!/bin/sh
# Sets up, builds and runs the demo host under Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target zorvel-demo
ZORVEL_BUILD_DIR="$root/build/mingw"
. scripts/wine-session.sh
scripts/wine-run.sh build/mingw/bin/zorvel-demo.exe "$@"
