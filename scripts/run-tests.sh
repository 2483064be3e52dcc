#!/bin/sh
# Sets up, builds and runs every test under Wine; ends with CTest's summary.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
ZORVEL_BUILD_DIR="$root/build/mingw"
. scripts/wine-session.sh
ctest --preset mingw "$@"
