#!/bin/sh
# Wine server requests per event line of one uncontended thread. Runs a
# wineserver of its own with its request trace on (-d1; a client's
# WINEDEBUG=+server only has that effect when the client starts the server),
# runs zorvel-bench.exe --write-lines for two line counts, counts the
# requests of the writing thread in each run and divides their difference by
# the difference of the line counts, so that start-up and exit cancel out.
# usage: bench/server-requests.sh [preset] [lines]  (mingw64, 2000)
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
preset=${1:-mingw64}
lines=${2:-2000}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target zorvel-bench >/dev/null
wine_session "$preset"
exe="build/$preset/bin/zorvel-bench.exe"
trace="build/$preset/server-trace.txt"
out="build/$preset/server-thread.txt"
count() {
  "$WINESERVER" -k || true
  "$WINESERVER" -w
  "$WINESERVER" -f -d1 -p 2>"$trace" &
  server=$!
  sleep 1
  rm -f "build/$preset/bin/bench-requests.log"
  "$wine_loader" "$exe" --write-lines "$1" >/dev/null 2>"$out"
  "$WINESERVER" -k || true
  wait "$server" || true
  thread=$(sed -n 's/^thread \([0-9a-f]*\).*/\1/p' "$out")
  grep -E "^$thread: [a-z_]+\\(" "$trace" | grep -vc ') = ' || true
}
few=$(count "$lines")
many=$(count $((2 * lines)))
echo "server requests of the writing thread: $few for $lines lines, $many for $((2 * lines)) lines"
awk -v a="$few" -v b="$many" -v n="$lines" \
  'BEGIN { printf "per line: %.4f\n", (b - a) / n }'
