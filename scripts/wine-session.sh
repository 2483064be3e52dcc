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

wine_stop() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
trap wine_stop EXIT INT TERM

mkdir -p "$ZORVEL_BUILD_DIR"
if [ ! -f "$WINEPREFIX/.zorvel-ready" ]; then
  echo "setup: creating the $ZORVEL_WINE_ARCH Wine prefix (once, a few seconds)" >&2
  rm -rf "$WINEPREFIX"
  "$wine_loader" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w
  # No debugger for unhandled exceptions: a crash ends the process quietly.
  for entry in "Debugger /t REG_SZ /d nodebugger.exe" "Auto /t REG_SZ /d 1"; do
    # shellcheck disable=SC2086
    "$wine_loader" reg add \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v $entry /f </dev/null >/dev/null 2>&1
  done
  "$WINESERVER" -w
  touch "$WINEPREFIX/.zorvel-ready"
fi
"$WINESERVER" -p </dev/null >/dev/null 2>&1
"$wine_loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
