#!/bin/sh
# Installs what the build and tests need on Debian 12, only when missing.
# Quiet and idempotent; costs a moment when everything is there.
set -eu

have_all() {
  command -v i686-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
    command -v wine >/dev/null 2>&1 &&
    command -v cmake >/dev/null 2>&1 &&
    command -v ninja >/dev/null 2>&1 &&
    command -v python3 >/dev/null 2>&1 &&
    [ -d /usr/src/googletest/googletest ] &&
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'
}

have_all && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo "$0" "$@"
  fi
  echo "setup: run as root to install the build packages" >&2
  exit 1
fi

echo "setup: installing MinGW-w64, Wine and the build tools (about a minute)" >&2
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-i686 wine wine32:i386 cmake ninja-build googletest \
  binutils-mingw-w64-i686 python3 >/dev/null
have_all
