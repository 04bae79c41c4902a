#!/usr/bin/env bash
# Runs the per-file fuzz target for FUZZ_TIME seconds (make fuzz). Usage:
#   tools/fuzz.sh FUZZ_BINARY BUILD_DIR
# Environment: FUZZ_TIME (seconds, default 600), FUZZ_RSS_MB (default 2048), FUZZ_FLAGS (more
# libFuzzer flags, e.g. "-fork=1 -ignore_crashes=1" to go on after a finding).
# The corpus the fuzzer grows stays in BUILD_DIR/fuzz/corpus for the next run; findings go to
# BUILD_DIR/fuzz/findings/. Every input is written to a file on a tmpfs (/dev/shm) when there
# is one.
set -euo pipefail

fuzzer=$1
build=$2
time=${FUZZ_TIME:-600}
rss=${FUZZ_RSS_MB:-2048}
here=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$build/fuzz/corpus" "$build/fuzz/findings"
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=${TMPDIR:-/tmp}
work=$(mktemp -d "$shm/vexar-fuzz.XXXXXX")
log="$build/fuzz/last-run.log"
trap 'rm -rf "$work"' EXIT

echo "Fuzzing the per-file path for $time s; log in $log"
status=0
# shellcheck disable=SC2086
VEXAR_FUZZ_DIR="$work" "$fuzzer" \
    -max_total_time="$time" -timeout=10 -rss_limit_mb="$rss" \
    -dict="$here/tests/fuzz/dicom.dict" \
    -artifact_prefix="$build/fuzz/findings/" \
    -print_final_stats=1 ${FUZZ_FLAGS:-} \
    "$build/fuzz/corpus" "$build/fuzz/seeds" "$here/tests/fuzz/regressions" \
    >"$log" 2>&1 || status=$?

runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$' || true)
if [ -z "$runs" ]; then
    # In fork mode only the progress lines count the executions.
    runs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#' || true)
fi
echo "Executions: ${runs:-unknown} in $time s (exit status $status)"
grep -E '^(==[0-9]+==ERROR|SUMMARY|vexar fuzz finding|Done [0-9]+ runs|stat::peak_rss_mb|INFO: (fuzzed|exiting))|Test unit written' "$log" | head -40 || true
ls "$build/fuzz/findings" | head -20
exit "$status"
