#!/usr/bin/env bash
# System calls per object of the whole "--repair-webspace-security --full-scan" command on a
# webspace of the checker benchmark's tree (30,000 objects unless a count is given), counted from a
# full `strace -f` trace of the whole process (`strace -c` leaves out the calls it has no name
# for, such as listxattrat): a repair with every DACL wrong, then a check-only run
# with every DACL right, beside the floor (a bare walk reading one xattr per object). Counts do
# not move with the machine's load. Expects the bench build (bench/run.sh makes it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin="$here/build/bench/bin"
objects=${1:-30000}
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-syscalls-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TAVREL_HOST="$work/host"
mkdir -p "$TAVREL_HOST"
read -r webspace count tree < <("$bin/checker_bench" --prepare "$objects")

# Prints "<label>: <calls per object> per object (<the six biggest>)" for the command given.
count_calls() {
    local label=$1
    shift
    strace -f -o "$work/trace.txt" "$@" >/dev/null 2>&1 || {
        echo "$label: the command failed" >&2
        exit 1
    }
    # One line per call: "PID name(...", an interrupted one finishes in a "resumed" line.
    sed -n -E 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$work/trace.txt" | sort | uniq -c |
        sort -rn >"$work/calls.txt"
    awk -v label="$label" -v n="$count" '
        { total += $1; if (NR <= 6) top = top sprintf(" %s %.2f", $2, $1 / n) }
        END { printf "  %-32s %6.2f system calls per object;%s\n", label, total / n, top }
    ' "$work/calls.txt"
}

command=("$bin/tavrel" --repair-webspace-security "--webspace-name=$webspace"
    --user-name=benchuser --full-scan)
echo "system calls of the whole command, $count objects (strace -f)"
count_calls "floor: bare walk, read xattr" "$bin/checker_bench" --floor-walk "$tree"
count_calls "command: repair, all wrong" "${command[@]}"
count_calls "command: check-only, all right" "${command[@]}" --check-only
