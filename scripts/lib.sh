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
    mingw64) echo x64 ;;
    *) echo i686 ;;
  esac
}
