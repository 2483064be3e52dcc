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
#
# CI may ask for more (ZORVEL_CI_UNCHECKED_INDEX=1, which .ci/run sets):
# an i386 index that failed its check against the signed Release file is
# then used as the mirror serves it, and Multi-Arch: same packages whose
# two architectures cannot meet are moved to a version both have, even
# when that is a downgrade. Never done on a workstation unasked; what was
# done is printed.
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
update_log=$(mktemp)
trap 'rm -f "$update_log" "$update_log".*' EXIT
apt_update() {
  apt-get update -qq >"$update_log" 2>&1 ||
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

i386_set="wine32:i386 libwine-dev:i386"

# 32-bit Wine installs on every machine, also where it cannot run.
install_i386_set() {
  dpkg --print-foreign-architectures | grep -qx i386 || {
    dpkg --add-architecture i386
    apt_update
  }
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $i386_set \
    >/dev/null 2>&1
}

# The i386 indexes that apt-get update fetched but refused.
refused_i386_indexes() {
  sed -n 's/^E: Failed to fetch \([^ ]*binary-i386\/Packages[.a-z0-9]*\) .*/\1/p' \
    "$update_log"
}

# Puts an index as the mirror serves it where apt keeps its lists: the
# packages' own hashes are still checked against it, the list itself is not.
use_served_index() {
  list=$(echo "$1" | sed 's|^[a-z]*://||; s|\.[a-z0-9]*$||; s|/|_|g')
  # cat-file decompresses by the name's extension.
  served="$update_log.index.${1##*.}"
  /usr/lib/apt/apt-helper download-file "$1" "$served" >/dev/null &&
    /usr/lib/apt/apt-helper cat-file "$served" \
      >"/var/lib/apt/lists/$list" &&
    echo "setup: used the i386 index $1 as served, unchecked against its Release file" >&2
}

# The newest version of a package that both architectures offer.
common_version() {
  apt-cache madison "$1:amd64" | awk '{print $3}' | sort -u >"$update_log.a"
  apt-cache madison "$1:i386" | awk '{print $3}' | sort -u >"$update_log.b"
  comm -12 "$update_log.a" "$update_log.b" | sort -V | tail -n 1
}

# Installs the i386 set, pinning each Multi-Arch: same package that keeps
# it from resolving to one version on both architectures.
install_i386_pinned() {
  pins=""
  for _ in 1 2 3 4 5 6; do
    # shellcheck disable=SC2086
    apt-get install -s --no-install-recommends --allow-downgrades \
      $i386_set $pins >"$update_log.sim" 2>&1 && break
    blocked=$(sed -n 's/.*Depends: \([^ :]*\):i386.*not going to be installed.*/\1/p' \
      "$update_log.sim" | sort -u)
    [ -n "$blocked" ] || return 1
    progress=""
    for p in $blocked; do
      case " $pins " in *" $p:amd64="*) continue ;; esac
      v=$(common_version "$p")
      [ -n "$v" ] || continue
      pins="$pins $p:amd64=$v $p:i386=$v"
      progress=yes
      echo "setup: $p set to $v on amd64 and i386 (may be a downgrade)" >&2
    done
    [ -n "$progress" ] || return 1
  done
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends --allow-downgrades \
    $i386_set $pins >/dev/null 2>&1
}

# CI only: the i386 set from indexes the mirror serves unchecked.
install_i386_unchecked() {
  [ "${ZORVEL_CI_UNCHECKED_INDEX:-0}" = 1 ] || return 1
  indexes=$(refused_i386_indexes)
  [ -n "$indexes" ] || return 1
  echo "setup: ZORVEL_CI_UNCHECKED_INDEX=1: installing 32-bit Wine from the mirror's i386 indexes as served" >&2
  for url in $indexes; do use_served_index "$url" || return 1; done
  install_i386_pinned
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
if ! install_i386_set && ! install_i386_unchecked; then
  echo "setup: the 32-bit packages (wine32:i386, libwine-dev:i386) did not install; the i686 suites will be skipped" >&2
  have_i386_libs || unpack_i386_libs ||
    echo "setup: cannot unpack libwine-dev:i386 either" >&2
fi
have_i386_libs
