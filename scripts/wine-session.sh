# Sourced by the run scripts: creates the build's Wine prefix once, starts a
# persistent wineserver so that test processes start quickly, and stops it
# (and every Wine process of the prefix) when the calling shell exits.
# Needs ZORVEL_BUILD_DIR and ZORVEL_WINE_ARCH (dash's "." passes no
# arguments).
if [ -z "${ZORVEL_BUILD_DIR:-}" ]; then
  echo "wine-session: no build directory given" >&2
  return 1 2>/dev/null || exit 1
fi
export ZORVEL_BUILD_DIR ZORVEL_WINE_ARCH
. "$zorvel_root/scripts/wine-env.sh"

# One session of a build tree at a time: the "wineserver -k" that ends a
# session would stop the server under another one's tests. The lock goes
# with the shell's descriptor 8, so it lasts until the session's processes
# are gone.
mkdir -p "$ZORVEL_BUILD_DIR"
exec 8>"$ZORVEL_BUILD_DIR/wine-session.lock"
if ! flock -n 8; then
  echo "wine-session: waiting for another session of $ZORVEL_BUILD_DIR" >&2
  flock -w 1800 8 ||
    echo "wine-session: still not alone after 30 min; going on" >&2
fi

wine_stop() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
trap wine_stop EXIT INT TERM
if [ ! -f "$WINEPREFIX/.zorvel-ready-$ZORVEL_WINE_ARCH" ]; then
  echo "setup: creating the $ZORVEL_WINE_ARCH Wine prefix (once, a few seconds)" >&2
  # A prefix of the other architecture cannot run this build's programs.
  if [ -f "$WINEPREFIX/system.reg" ] &&
    ! grep -qx "#arch=$WINEARCH" "$WINEPREFIX/system.reg"; then
    rm -rf "$WINEPREFIX"
  fi
  $wine_launch "$wine_loader" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w
  # No debugger for unhandled exceptions: a crash ends the process quietly.
  for entry in "Debugger /t REG_SZ /d nodebugger.exe" "Auto /t REG_SZ /d 1"; do
    # shellcheck disable=SC2086
    $wine_launch "$wine_loader" reg add \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v $entry /f </dev/null >/dev/null 2>&1
  done
  "$WINESERVER" -w
  touch "$WINEPREFIX/.zorvel-ready-$ZORVEL_WINE_ARCH"
fi
"$WINESERVER" -p </dev/null >/dev/null 2>&1
$wine_launch "$wine_loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
