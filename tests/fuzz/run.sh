#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz") and runs each for a bounded time from its seed corpus
# (tests/fuzz/corpus/<target>, copied: what a run finds stays out of the tree). A crash, a leak,
# a timeout or a sanitizer report fails the script; the input that did it is kept in
# build/fuzz/artifacts. Prints the executions each target reached.
# Usage: tests/fuzz/run.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
cd "$here"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
export ASAN_OPTIONS="detect_leaks=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/artifacts
failed=0
for target in sddl sid descriptor template_xml regfile accounts command_input; do
    mkdir -p "$work/$target"
    cp tests/fuzz/corpus/$target/* "$work/$target/" 2>/dev/null || true
    log="$work/$target.log"
    if build/fuzz/fuzz/${target}_fuzz "$work/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/${target}-" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        printf '%-14s %10s executions, no failure\n' "$target" "$runs"
    else
        failed=1
        printf '%-14s FAILED\n' "$target"
        tail -n 40 "$log"
    fi
done
exit $failed
