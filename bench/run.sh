#!/usr/bin/env bash
# Configures and builds the benchmarks (preset "bench": Release) and the counting build of the
# programs (preset "count", for the seam calls of syscalls.sh), and prints their figures. They
# run on a fresh emulated host in a temporary directory unless TAVREL_HOST names one.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cmake --preset bench >/dev/null
cmake --build --preset bench
cmake --preset count >/dev/null
cmake --build --preset count
if [ -z "${TAVREL_HOST:-}" ]; then
    TAVREL_HOST=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-bench-XXXXXX")
    trap 'rm -rf "$TAVREL_HOST"' EXIT
    export TAVREL_HOST
fi
"$here/build/bench/bin/path2entries_bench"
# The checker on webspaces of 10,000 and 100,000 objects (other counts as arguments), and the
# commands on them: the repair, and the access report beside the check-only repair.
"$here/build/bench/bin/checker_bench" "$@"
# The seam's walk, DACL reads and writes beside the file system's floor (100,000 objects).
"$here/build/bench/bin/seam_bench"
# A .Security of 10,000 and of 100,000 entries applied by --update-path-security, and the ratio.
"$here/build/bench/bin/metadata_bench"
# System calls per object of the whole command (strace), beside the floor, and its seam calls by
# name.
"$here/bench/syscalls.sh"
