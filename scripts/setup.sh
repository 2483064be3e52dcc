#!/bin/sh
# Installs what the build and tests need on Debian 12, only when missing.
# Quiet and idempotent; costs a moment when everything is there.
#
# The 32-bit packages come second and may fail on their own: multiarch
# needs the i386 and amd64 indexes at one version, and a mirror in sync
# has been seen serving only one of them. Then 32-bit Wine is missing (the
# i686 suites are skipped, as on a machine that cannot run 32-bit code) and
# the i386 PE import libraries of the MSVC-ABI build are unpacked from
# libwine-dev's i386 package into $wine_i386_fallback instead.
set -eu

wine_i386_libs=/usr/lib/i386-linux-gnu/wine/i386-windows
wine_i386_fallback=/opt/zorvel/wine-sdk/i386-windows

have_64bit_set() {
  command -v i686-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
    command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 &&
    [ -x /usr/lib/wine/wine64 ] &&
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
    command -v clang++-19 >/dev/null 2>&1 &&
    [ -f /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a ]
}

have_i386_libs() {
  [ -f $wine_i386_libs/libvcruntime140.a ] ||
    [ -f $wine_i386_fallback/libvcruntime140.a ]
}

have_all() {
  have_64bit_set && have_i386_libs && [ -x /usr/lib/wine/wine ]
}

have_all && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo "$0" "$@"
  fi
  echo "setup: run as root to install the build packages" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# An index that fails to download is reported here and again by the
# install that needs it; the other indexes are still used.
apt_update() {
  apt-get update -qq >/dev/null 2>&1 ||
    echo "setup: apt-get update failed; installing from the indexes there are" >&2
}

install_64bit_set() {
  echo "setup: installing MinGW-w64, clang-cl, Wine and the build tools (a minute or two)" >&2
  apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
    wine wine64 cmake ninja-build googletest python3 \
    lnav syslog-ng-core \
    clang-19 clang-tools-19 lld-19 llvm-19 libwine-dev \
    libclang-rt-19-dev >/dev/null
}

# 32-bit Wine installs on every machine, also where it cannot run.
install_i386_set() {
  dpkg --print-foreign-architectures | grep -qx i386 || {
    dpkg --add-architecture i386
    apt_update
  }
  apt-get install -y -qq --no-install-recommends wine32:i386 \
    libwine-dev:i386 >/dev/null 2>&1
}

# The import libraries alone, from the package file: they are PE archives,
# the same whatever the host's multiarch state.
unpack_i386_libs() {
  work=$(mktemp -d)
  (cd "$work" && apt-get download -qq libwine-dev:i386 >/dev/null 2>&1) &&
    dpkg-deb -x "$work"/libwine-dev_*_i386.deb "$work/root" &&
    mkdir -p $wine_i386_fallback &&
    cp "$work/root$wine_i386_libs"/*.a $wine_i386_fallback/
  rc=$?
  rm -rf "$work"
  return $rc
}

apt_update
have_64bit_set || install_64bit_set
have_64bit_set
if ! install_i386_set; then
  echo "setup: the 32-bit packages (wine32:i386, libwine-dev:i386) did not install; the i686 suites will be skipped" >&2
  have_i386_libs || unpack_i386_libs ||
    echo "setup: cannot unpack libwine-dev:i386 either" >&2
fi
have_i386_libs
