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
# A test process that fails is run once more: on a loaded machine a Wine
# process has been seen, rarely, to crash while exiting after its test
# passed. A fault of the library fails both runs.
ctest --preset mingw --repeat until-pass:2 "$@"
