#!/bin/sh
# Runs a Windows program of a build tree under the Wine of its architecture
# with the build's private prefix. CMake uses it as the emulator for tests
# and the demo (see cmake/zorvel-build.cmake).
here=$(cd "$(dirname "$0")/.." && pwd)
: "${ZORVEL_BUILD_DIR:=$here/build/mingw}"
. "$here/scripts/wine-env.sh"
# A forced skip makes this machine one that cannot run 32-bit code.
if [ "${ZORVEL_WINE_ARCH:-i686}" != x64 ] && [ "${ZORVEL_SKIP_I686:-0}" = 1 ]; then
  echo "wine-run: i686 programs are not run (ZORVEL_SKIP_I686=1)" >&2
  exit 126
fi
# shellcheck disable=SC2086
exec $wine_launch "$wine_loader" "$@"
