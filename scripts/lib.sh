# Sourced by the run scripts: goes to the project root, installs what is
# missing, and tells which architectures this machine can run.
zorvel_root=$(cd "$(dirname "$0")/.." && pwd)
cd "$zorvel_root"
scripts/setup.sh

# Sets i686_reason and fails when 32-bit programs cannot run here. The probe
# starts 32-bit Wine's loader, a 32-bit Linux program: many kernels have
# 32-bit emulation switched off, and then it fails with "Exec format error".
# ZORVEL_SKIP_I686=1 forces the answer no, to test that path anywhere.
i686_runs() {
  if [ "${ZORVEL_SKIP_I686:-0}" = 1 ]; then
    i686_reason="ZORVEL_SKIP_I686=1 asked to skip it"
    return 1
  fi
  if [ ! -x /usr/lib/wine/wine ]; then
    i686_reason="32-bit Wine is not installed (scripts/setup.sh said why)"
    return 1
  fi
  if ! probe=$(/usr/lib/wine/wine --version 2>&1); then
    i686_reason="this machine cannot start a 32-bit program ($(echo "$probe" | head -n 1))"
    return 1
  fi
  i686_reason=""
}

# The preset of the architecture the demo and the benchmark run on: i686, the
# library's own, where it runs; x86_64 elsewhere.
run_preset() {
  if i686_runs; then
    echo mingw
  else
    echo "run: the i686 build cannot run here: $i686_reason; using x86_64" >&2
    echo mingw64
  fi
}

preset_arch() {
  case "$1" in
    mingw64 | msvc64) echo x64 ;;
    *) echo i686 ;;
  esac
}

# Starts the Wine session of a preset's build (scripts/wine-session.sh); it
# ends when the calling shell exits.
wine_session() {
  ZORVEL_BUILD_DIR="$zorvel_root/build/$1"
  ZORVEL_WINE_ARCH=$(preset_arch "$1")
  . scripts/wine-session.sh
}

# Builds a program of the tree for the architecture this machine runs (see
# run_preset) and runs it under that Wine with the given arguments.
build_and_run() {
  target=$1
  shift
  preset=$(run_preset)
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target "$target"
  wine_session "$preset"
  scripts/wine-run.sh "build/$preset/bin/$target.exe" "$@"
}
