#!/bin/sh
# Runs one fuzz target for a fixed time: fuzz/run-target.sh TARGET SECONDS
# WORKDIR SEEDS [libFuzzer options]. New inputs go to WORKDIR/corpus, never
# to the seed corpus in the tree; a finding is kept as WORKDIR/crash-* (or
# leak-, timeout-, oom-) and makes the exit status non-zero.
set -eu
target=$1 seconds=$2 work=$3 seeds=$4
shift 4
mkdir -p "$work/corpus"
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
