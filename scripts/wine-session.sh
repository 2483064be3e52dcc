# Sourced by the run scripts: creates the build's Wine prefix once, starts a
# persistent wineserver so that test processes start quickly, and stops it
# (and every Wine process) when the calling script exits.
# The build directory: $ZORVEL_BUILD_DIR, else the argument (dash's "."
# passes no arguments, so the run scripts set the variable).
wine_build_dir=${ZORVEL_BUILD_DIR:-${1:-}}
if [ -z "$wine_build_dir" ]; then
  echo "wine-session: no build directory given" >&2
  return 1 2>/dev/null || exit 1
fi
export ZORVEL_BUILD_DIR="$wine_build_dir"
export WINEPREFIX="$wine_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

wine_stop() { wineserver -k >/dev/null 2>&1 || true; }
trap wine_stop EXIT INT TERM

mkdir -p "$wine_build_dir"
if [ ! -f "$WINEPREFIX/.zorvel-ready" ]; then
  echo "setup: creating the Wine prefix (once, a few seconds)" >&2
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w
  # No debugger for unhandled exceptions: a crash ends the process quietly.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /t REG_SZ /d nodebugger.exe /f </dev/null >/dev/null 2>&1
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Auto /t REG_SZ /d 1 /f </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.zorvel-ready"
fi
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
