#!/bin/sh
# Runs a Windows program of the build tree under 32-bit Wine with the build's
# private prefix. CMake uses it as the emulator for tests and the demo.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${ZORVEL_BUILD_DIR:=$here/build/mingw}"
export WINEPREFIX="${WINEPREFIX:-$ZORVEL_BUILD_DIR/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Texts from the system follow the locale; pin it.
export LC_ALL=C
exec wine "$@"
