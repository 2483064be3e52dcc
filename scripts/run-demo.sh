#!/bin/sh
# Sets up, builds and runs the demo host under Wine, on i686 where this
# machine can run it and on x86_64 otherwise.
set -eu
. "$(dirname "$0")/lib.sh"
build_and_run zorvel-demo "$@"
