#!/bin/sh
# Runs a Windows program of a build tree under the Wine of its architecture
# with the build's private prefix. CMake uses it as the emulator for tests
# and the demo (see cmake/zorvel-build.cmake).
here=$(cd "$(dirname "$0")/.." && pwd)
: "${ZORVEL_BUILD_DIR:=$here/build/mingw}"
. "$here/scripts/wine-env.sh"
exec "$wine_loader" "$@"
