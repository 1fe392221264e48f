#!/usr/bin/env bash
# Runs the Windows build under Wine on a fresh prefix: every test program of the cross build
# (tests/wine/wine_differences.txt names the shared cases Wine cannot pass, each with its
# reason; tests/windows/windows_only.txt the cases that only Windows proves), then the
# acceptance checks against the Linux build: the help text and the frame's error texts byte
# for byte, and every command end to end (tests/wine/commands.sh).
#
#   tests/wine/run.sh [MINGW_BUILD_DIR] [LINUX_BIN_DIR]
#
# Defaults: build/mingw and build/default/bin. Prints the count of Windows-only skips; exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$(realpath -m "${1:-build/mingw}")
linux_bin=$(realpath -m "${2:-build/default/bin}")
bin="$build/bin"
start=$SECONDS

for program in "$bin/tavrel.exe" "$linux_bin/tavrel" "$linux_bin/tavrel-host"; do
  [ -x "$program" ] || { echo "wine run: $program is missing (build the mingw and default presets first)" >&2; exit 2; }
done
command -v wine >/dev/null || { echo "wine run: wine is not installed" >&2; exit 2; }

scratch=$(mktemp -d /tmp/tavrel-wine.XXXXXX)
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installer dialogs: nothing here needs them. No debugger either: a program
# that dies of an unhandled fault must end with its exception code, not wait in winedbg.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

wineboot -i >/dev/null 2>&1
wineserver -w
echo "wine run: fresh prefix ready in $((SECONDS - start)) s ($(wine --version))"

excluded=$(grep -v '^#' tests/wine/wine_differences.txt | awk 'NF {print $1}' | paste -sd: -)
excluded_count=$(grep -v '^#' tests/wine/wine_differences.txt | awk 'NF' | wc -l)
failed=0
passed_total=0
skipped_total=0
for exe in "$bin"/*_tests.exe; do
  name=$(basename "$exe" .exe)
  log="$scratch/$name.log"
  if (cd "$bin" && timeout 600 wine "$exe" --gtest_filter="-$excluded") >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
    cat "$log"
  fi
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' "$log" | tail -1)
  passed_total=$((passed_total + ${passed:-0}))
  skipped_total=$((skipped_total + ${skipped:-0}))
  echo "wine run: $name $status: ${passed:-0} passed, ${skipped:-0} Windows-only skipped"
  tr -d '\r' <"$log" | grep '^\[  SKIPPED \] [A-Za-z]' | sed 's/ ([0-9]* ms)$//; s/^\[  SKIPPED \] //' | sort -u >"$log.skips" || true
  sed 's/^/    Windows-only: /' "$log.skips"
done

# What Wine cannot show is listed for the ctest run on Windows: every case that skipped here,
# and every listed filter still names a test of the Windows program.
filters=$(grep -v '^#' tests/windows/windows_only.txt | awk 'NF {print $1}')
tests=$(cd "$bin" && wine windows_tests.exe --gtest_list_tests | tr -d '\r' |
  awk '/^[A-Za-z]/ {suite = $1} /^  [A-Za-z]/ {print suite $1}')
covered() {  # covered NAME LIST: NAME matches one of the gtest filters of LIST
  local filter
  for filter in $2; do
    # shellcheck disable=SC2053
    [[ $1 == $filter ]] && return 0
  done
  return 1
}
# The filters are patterns for [[ == ]], not for the file names of the current directory.
set -f
while IFS= read -r skipped; do
  covered "$skipped" "$filters" ||
    { echo "wine run: $skipped skipped, but tests/windows/windows_only.txt does not list it" >&2; failed=1; }
done < <(set +f; cat "$scratch"/*.log.skips)
names_a_test() {  # names_a_test FILTER: the filter matches a test of the Windows program
  local name
  for name in $tests; do
    covered "$name" "$1" && return 0
  done
  return 1
}
for filter in $filters; do
  names_a_test "$filter" ||
    { echo "wine run: tests/windows/windows_only.txt lists $filter, which names no test" >&2; failed=1; }
done
set +f

# The acceptance checks: what the Windows program writes is what the Linux one writes.
check() {
  local what=$1 linux=$2 windows=$3
  if cmp -s "$linux" "$windows"; then
    echo "wine run: same bytes: $what"
  else
    echo "wine run: DIFFERENT: $what" >&2
    diff <(od -c "$linux") <(od -c "$windows") | head -20 >&2 || true
    failed=1
  fi
}
mkdir -p "$scratch/linux" "$scratch/windows"
export TAVREL_HOST="$scratch/host"
(cd "$scratch/linux" && "$linux_bin/tavrel" --help >help.txt)
(cd "$scratch/windows" && wine "$bin/tavrel.exe" --help >help.txt)
check "help text" "$scratch/linux/help.txt" "$scratch/windows/help.txt"
# The frame's error texts, with the program's own path (which the last line quotes) named alike.
error_case=0
while IFS= read -r args; do
  error_case=$((error_case + 1))
  # shellcheck disable=SC2086
  (cd "$scratch/linux" && "$linux_bin/tavrel" $args >"error$error_case.out" 2>&1; echo "exit $?" >>"error$error_case.out") || true
  # shellcheck disable=SC2086
  (cd "$scratch/windows" && wine "$bin/tavrel.exe" $args >"error$error_case.out" 2>&1; echo "exit $?" >>"error$error_case.out") || true
  sed -i 's/execute [^ ]*tavrel\(\.exe\)\? /execute PROGRAM /' "$scratch/linux/error$error_case.out" "$scratch/windows/error$error_case.out"
  check "error text of: tavrel $args" "$scratch/linux/error$error_case.out" "$scratch/windows/error$error_case.out"
done <<'CASES'
--no-such-command
--update-path-security
--repair-webspace-security --webspace-name=w
--update-user-filesharing-security --vhost-name=v
CASES

# Every command end to end, beside the Linux build.
commands_start=$SECONDS
tests/wine/commands.sh "$bin" "$linux_bin" "$scratch" || failed=1
echo "wine run: the commands end to end in $((SECONDS - commands_start)) s"

echo "wine run: $passed_total passed, $skipped_total Windows-only skipped, $excluded_count shared cases left out for known Wine differences (tests/wine/wine_differences.txt)"
echo "wine run: $((SECONDS - start)) s in all"
if [ "$failed" -ne 0 ]; then
  echo "wine run: FAILED" >&2
  exit 1
fi
echo "wine run: passed"
