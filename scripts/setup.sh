#!/bin/sh
# Installs what the build and tests need on Debian 12, only when missing.
# Quiet and idempotent; costs a moment when everything is there.
set -eu

have_all() {
  command -v i686-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
    command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
    [ -x /usr/lib/wine/wine64 ] &&
    [ -x /usr/lib/wine/wine ] &&
    command -v cmake >/dev/null 2>&1 &&
    command -v ninja >/dev/null 2>&1 &&
    command -v python3 >/dev/null 2>&1 &&
    command -v lnav >/dev/null 2>&1 &&
    command -v syslog-ng >/dev/null 2>&1 &&
    [ -d /usr/src/googletest/googletest ] &&
    command -v clang-cl-19 >/dev/null 2>&1 &&
    command -v lld-link-19 >/dev/null 2>&1 &&
    command -v llvm-lib-19 >/dev/null 2>&1 &&
    command -v llvm-rc-19 >/dev/null 2>&1 &&
    command -v llvm-mt-19 >/dev/null 2>&1 &&
    [ -f /usr/include/wine/wine/windows/windows.h ] &&
    [ -f /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/libvcruntime140.a ] &&
    [ -f /usr/lib/i386-linux-gnu/wine/i386-windows/libvcruntime140.a ] &&
    command -v clang++-19 >/dev/null 2>&1 &&
    [ -f /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a ]
}

have_all && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo "$0" "$@"
  fi
  echo "setup: run as root to install the build packages" >&2
  exit 1
fi

echo "setup: installing MinGW-w64, clang-cl, Wine and the build tools (a minute or two)" >&2
export DEBIAN_FRONTEND=noninteractive
# 32-bit Wine installs on every machine, also where it cannot run.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  wine wine64 wine32:i386 cmake ninja-build googletest python3 \
  lnav syslog-ng-core \
  clang-19 clang-tools-19 lld-19 llvm-19 libwine-dev libwine-dev:i386 \
  libclang-rt-19-dev >/dev/null
have_all
