#!/usr/bin/env bash
# System calls and seam calls per object of the whole "--repair-webspace-security --full-scan"
# command on a webspace of the checker benchmark's tree (30,000 objects unless a count is given):
# a repair with every DACL wrong, then a check-only run with every DACL right. System calls are
# counted from a full `strace -f` trace of the whole process (`strace -c` leaves out the calls it
# has no name for, such as listxattrat), beside the floor (a bare walk reading one xattr per
# object); seam calls by the counting build of the same run (preset "count": each seam function
# counts its calls under its Win32 name and the process writes them to TAVREL_SEAM_COUNTS at
# exit, three system calls of the run's). The system calls again on a webspace whose folders hold
# ten files each. Counts do not move with the machine's load. Expects
# the bench and count builds (bench/run.sh makes them).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin="$here/build/bench/bin"
counting="$here/build/count/bin/tavrel"
objects=${1:-30000}
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-syscalls-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TAVREL_HOST="$work/host"
mkdir -p "$TAVREL_HOST"
read -r webspace count tree < <("$bin/checker_bench" --prepare "$objects")

# Prints "<label>: <calls per object> per object (<the six biggest>)" for the command given, and
# keeps the total in $work/<file>.total and its seam calls, summed by name, in $work/<file>.seam.
count_calls() {
    local label=$1 file=$2
    shift 2
    rm -f "$work/seam.txt"
    TAVREL_SEAM_COUNTS="$work/seam.txt" strace -f -o "$work/trace.txt" "$@" >/dev/null 2>&1 || {
        echo "$label: the command failed" >&2
        exit 1
    }
    # One line per call: "PID name(...", an interrupted one finishes in a "resumed" line.
    sed -n -E 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$work/trace.txt" | sort | uniq -c |
        sort -rn >"$work/calls.txt"
    awk -v label="$label" -v n="$count" -v total="$work/$file.total" '
        { sum += $1; if (NR <= 6) top = top sprintf(" %s %.2f", $2, $1 / n) }
        END {
            printf "  %-32s %6.2f system calls per object;%s\n", label, sum / n, top
            print sum > total
        }
    ' "$work/calls.txt"
    if [ -f "$work/seam.txt" ]; then
        awk '{ calls[$1] += $2 } END { for (name in calls) print name, calls[name] }' \
            "$work/seam.txt" >"$work/$file.seam"
    fi
}

command=("$counting" --repair-webspace-security "--webspace-name=$webspace"
    --user-name=benchuser --full-scan)
echo "system calls of the whole command, $count objects (strace -f)"
count_calls "floor: bare walk, read xattr" floor "$bin/checker_bench" --floor-walk "$tree"
count_calls "command: repair, all wrong" repair "${command[@]}"
count_calls "command: check-only, all right" check "${command[@]}" --check-only

# The seam calls of both runs by name, most frequent first, beside their system calls.
echo "seam calls per object of the whole command, $count objects (count build)"
printf "  %-40s %14s %14s\n" "" "check-only," "repair," "" "all right" "all wrong"
awk '
    FILENAME ~ /check.seam$/ { check[$1] = $2; names[$1] = 1 }
    FILENAME ~ /repair.seam$/ { repair[$1] = $2; names[$1] = 1 }
    END { for (name in names) print check[name] + repair[name], name, check[name] + 0, repair[name] + 0 }
' "$work/check.seam" "$work/repair.seam" | sort -k1,1nr -k2,2 |
    awk -v n="$count" -v checkTotal="$(cat "$work/check.total")" \
        -v repairTotal="$(cat "$work/repair.total")" '
        {
            check += $3; repair += $4
            if ($3 / n >= 0.0005 || $4 / n >= 0.0005) {
                printf "  %-40s %14.3f %14.3f\n", $2, $3 / n, $4 / n
            } else {
                rare++; rareCheck += $3; rareRepair += $4
            }
        }
        END {
            if (rare) {
                printf "  %-40s %14.3f %14.3f\n", rare " more, each under 0.0005",
                    rareCheck / n, rareRepair / n
            }
            printf "  %-40s %14.3f %14.3f\n", "all seam calls", check / n, repair / n
            printf "  %-40s %14.3f %14.3f\n", "system calls (strace -f, the same runs)",
                checkTotal / n, repairTotal / n
        }
    '

# The same two runs on a webspace whose folders hold ten files each (fewer folders an object),
# on a host of its own.
export TAVREL_HOST="$work/host10"
mkdir -p "$TAVREL_HOST"
read -r webspace count tree < <("$bin/checker_bench" --prepare --ten-per-folder "$objects")
echo "system calls of the whole command, $count objects in folders of ten files (strace -f)"
count_calls "floor: bare walk, read xattr" floor10 "$bin/checker_bench" --floor-walk "$tree"
count_calls "command: repair, all wrong" repair10 "${command[@]}"
count_calls "command: check-only, all right" check10 "${command[@]}" --check-only
