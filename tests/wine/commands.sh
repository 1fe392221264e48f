#!/usr/bin/env bash
# Every command of tavrel.exe end to end under Wine, each run beside the Linux tavrel on an
# emulated host made to match the prefix: the same registry values, the same tree below C:, and
# the same account domain, so that the prefix's own user has the same SID on both. Each command
# is checked for its exit code, the metadata it saved (byte for byte against the Linux build's,
# and read back by the Linux build), its report file, its lines in the debug log, and the
# mutexes that make two runs at once take turns.
#
# Wine resolves the well-known accounts and its own user only (not "Administrator", nor any
# account a test would add), so the templates here name only those: the panel's default
# templates, whose roles need the webspace's anonymous and FTP accounts, are left to the Linux
# suites (tests/app). What Wine cannot show at all (DACLs on files are mode bits there, no file
# holders, no events) is proved on Windows by the cases tests/windows/windows_only.txt lists.
#
#   tests/wine/commands.sh WINDOWS_BIN_DIR LINUX_BIN_DIR SCRATCH_DIR
#
# WINEPREFIX names a fresh, booted prefix. Prints one line per check; exits 1 on any failure.
set -euo pipefail
bin=$1
linux_bin=$2
work=$3/commands
mkdir -p "$work"

failed=0
pass() { echo "wine commands: ok: $*"; }
fail() {
  echo "wine commands: FAILED: $*" >&2
  failed=1
}

# ---- the two hosts -------------------------------------------------------------------------
export TAVREL_HOST="$work/host"
"$linux_bin/tavrel-host" init >/dev/null
win_c="$WINEPREFIX/drive_c"
lx_c="$TAVREL_HOST/drive_c"
# What an earlier run left in the prefix, should it not be fresh.
rm -rf "$win_c/Inetpub" "$win_c/site" "$win_c/target" "$win_c/templates" "$win_c/Program Files (x86)/Tarno"
user=$(id -un)  # Wine's user is the Unix user
config='HKLM\SOFTWARE\WOW6432Node\Tarno\Zel Config\Config'
# Wine gives its user the RID 1000 of the account domain S-1-5-21-0-0-0: so does the host.
sed -i 's/^domain .*/domain S-1-5-21-0-0-0/' "$TAVREL_HOST/accounts"
"$linux_bin/tavrel-host" account add "$user" >/dev/null
sid=$("$linux_bin/tavrel-host" account list | awk -v u="$user" 'tolower($1) == tolower(u) {print $2}')
[ "$sid" = "S-1-5-21-0-0-0-1000" ] || fail "the host's $user is $sid, Wine's is S-1-5-21-0-0-0-1000"
"$linux_bin/tavrel-host" reg set "$config" Debug REG_DWORD 1 >/dev/null
cat >"$work/config.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Tarno\Zel Config\Config]
"PRODUCT_ROOT_D"="C:\\Program Files (x86)\\Tarno"
"HTTPD_VHOSTS_D"="C:\\Inetpub\\vhosts"
"Debug"=dword:00000001
REG
wine reg import "$(winepath -w "$work/config.reg")" >/dev/null 2>&1
# The checker's own debug lines (which paths it walks, in which process), for the steps that
# look at them: they cost Wine a second per hundred objects.
security_debug() {
  "$linux_bin/tavrel-host" reg set "$config" DebugSecuritySettings REG_DWORD "$1" >/dev/null
  wine reg add "$config" /v DebugSecuritySettings /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}

# Writes a file below C: on both hosts: onboth RELATIVE_POSIX_PATH [CONTENT]
onboth() {
  for c in "$win_c" "$lx_c"; do
    mkdir -p "$(dirname "$c/$1")"
    printf '%s' "${2-x}" >"$c/$1"
  done
}
entry() {  # account, sub path ("" for none), apply onto, access, tag
  local sub=""
  [ -z "$2" ] || sub=" SubPath=\"$2\""
  printf '<Entry AccounType="0" Account="%s" Path="[HTTPD_VHOSTS_D]"%s AceFlags="%s" AccessMask="%s" EntryFlags="0x140" Tag="%s" Tag2=""/>' \
    "$1" "$sub" "$3" "$4" "$5"
}
etc="Program Files (x86)/Tarno/etc"
onboth "$etc/hosting_template.xml" "<Entries>$(entry Administrators "" ThisFolderSubfoldersAndFiles FullAccess "")$(entry System "" ThisFolderSubfoldersAndFiles FullAccess "")$(entry Null "" ThisFolderSubfoldersAndFiles Modify DomainUser)$(entry Users httpdocs ThisFolderSubfoldersAndFiles ReadAndExecute "")$(entry Everyone cgi-bin ThisObjectOnly Read "")</Entries>"
onboth "$etc/webuser_template.xml" "<Entries>$(entry Null "" ThisFolderSubfoldersAndFiles FullAccess DomainUser)$(entry Null "" ThisFolderSubfoldersAndFiles ReadAndExecute ParentUser)</Entries>"
onboth "$etc/FilesharingRules.xml" "<Entries>$(entry Administrators fs ThisFolderSubfoldersAndFiles FullAccess "")$(entry AuthenticatedUser fs\\docs ThisFolderSubfoldersAndFiles Read "")</Entries>"
onboth "$etc/user.xml" "<Entries>$(entry Null "" ThisFolderSubfoldersAndFiles ReadAndExecute User)</Entries>"
onboth "$etc/private.xml" "<Entries>$(entry Null "" ThisFolderSubfoldersAndFiles Modify User)</Entries>"
for item in httpdocs/index.html httpdocs/img/a.png cgi-bin/run.pl "web_users/$user/page.html"; do
  onboth "Inetpub/vhosts/example/$item"
done
# Enough objects that two runs at once would overlap without their mutex.
for i in $(seq 1 40); do
  onboth "Inetpub/vhosts/example/httpdocs/many/f$i.html"
  onboth "Inetpub/vhosts/fs/docs/many/f$i.txt"
done
onboth Inetpub/vhosts/fs/docs/shared.txt
onboth "Inetpub/vhosts/fs/private/7/own.txt"
mkdir -p "$win_c/site" "$lx_c/site" "$win_c/templates" "$lx_c/templates"
printf '%s\r\n' "$user" >"$win_c/users.txt"
cp "$win_c/users.txt" "$lx_c/users.txt"

# ---- running and checking ------------------------------------------------------------------
logs_of() { echo "$1/Program Files (x86)/Tarno/admin/logs"; }
# A fresh debug log: the folder is the panel's, the program only writes files into it.
fresh_log() {
  rm -rf "$(logs_of "$1")"
  mkdir -p "$(logs_of "$1")"
}
# The debug log of a host as UTF-8 (empty when there is none).
log_text() {
  local file
  for file in "$(logs_of "$1")"/tarnolog_debug*.log; do
    [ -f "$file" ] && iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
  done
  return 0
}

# Runs one command on both builds, each with a fresh debug log, and checks its exit code and
# its log: "start" and "end ... with code N", and no error line when N is 0.
#   both EXPECTED_EXIT ARGS...
both() {
  local expected=$1
  shift
  local side program c code
  for side in windows linux; do
    if [ $side = windows ]; then program=(wine "$bin/tavrel.exe") c=$win_c; else program=("$linux_bin/tavrel") c=$lx_c; fi
    fresh_log "$c"
    code=0
    (cd "$work" && "${program[@]}" "$@" >"$work/$side.out" 2>&1) || code=$?
    if [ "$code" -ne "$expected" ]; then
      fail "$side tavrel $1: exit code $code, not $expected"
      cat "$work/$side.out" >&2
      continue
    fi
    local text
    text=$(log_text "$c")
    if ! grep -q "Info: start [^ ]*tavrel\(\.exe\)\? $1" <<<"$text" ||
      ! grep -q "Info: end [^ ]*tavrel\(\.exe\)\? $1.* with code $expected$" <<<"$text"; then
      fail "$side tavrel $1: no start and end lines in the debug log"
    elif [ "$expected" -eq 0 ] && grep -q ' Error: ' <<<"$text"; then
      fail "$side tavrel $1: errors in the debug log"
      grep ' Error: ' <<<"$text" | head -5 >&2
    fi
  done
}
# same WHAT RELATIVE_POSIX_PATH: the file is the same bytes on both hosts.
same() {
  if [ ! -f "$win_c/$2" ] || [ ! -f "$lx_c/$2" ]; then
    fail "$1: C:/$2 is missing"
  elif cmp -s "$win_c/$2" "$lx_c/$2"; then
    pass "$1: same bytes on both builds"
  else
    fail "$1: C:/$2 differs"
    diff <(tr '>' '\n' <"$lx_c/$2") <(tr '>' '\n' <"$win_c/$2") | head -10 >&2 || true
  fi
}
has() {  # has WHAT FILE PATTERN [COUNT]: the file holds the pattern (COUNT times)
  local n
  n=$({ grep -o -- "$3" "$2" 2>/dev/null || true; } | wc -l)
  if { [ -z "${4-}" ] && [ "$n" -gt 0 ]; } || [ "$n" = "${4-}" ]; then
    pass "$1"
  else
    fail "$1: $3 found $n times in $2"
  fi
}
meta=Inetpub/vhosts/example/.tarno

# ---- the commands --------------------------------------------------------------------------
for kind in domain frame-forwarding webuser; do
  both 0 --create-$kind-template "--file-name=C:\\templates\\$kind.xml"
  same "--create-$kind-template" "templates/$kind.xml"
done

# The repair, check-only first: a report, metadata saved, and the web user's pass.
repair=(--repair-webspace-security --webspace-name=example "--user-name=$user" --full-scan
  '--web-users=C:\users.txt')
rm -f "$win_c/report.txt" "$lx_c/report.txt"
both 0 "${repair[@]}" --check-only '--report-file=C:\report.txt'
same "repair --check-only: webspace metadata" "$meta/.Security"
same "repair --check-only: web user metadata" "$meta/.Web.$user.Security"
has "repair --check-only: the metadata names the prefix's user by its SID" "$win_c/$meta/.Security" \
  "SidStr=\"S-1-5-21-0-0-0-1000\""
# Wine keeps DACLs as mode bits: what it reports wrong is its own, but every line is one
# object of the webspace, CRLF-terminated.
if [ -s "$win_c/report.txt" ] && ! tr -d '\r' <"$win_c/report.txt" | grep -qv '^C:\\Inetpub\\vhosts\\example' &&
  [ "$(grep -c $'\r$' "$win_c/report.txt")" = "$(wc -l <"$win_c/report.txt")" ]; then
  pass "repair --check-only: report of $(wc -l <"$win_c/report.txt") objects of the webspace"
else
  fail "repair --check-only: the report is empty or names other objects"
  head -5 "$win_c/report.txt" >&2 || true
fi
both 0 "${repair[@]}"
same "repair: webspace metadata" "$meta/.Security"
same "repair: web user metadata" "$meta/.Web.$user.Security"

both 0 --repair-webspace-path-security --webspace-name=example "--user-name=$user" \
  '--path=C:\Inetpub\vhosts\example\httpdocs'
same "repair-webspace-path-security: metadata" "$meta/.Security"

# What the Windows build saved, read by the Linux build: applied from a folder of its own and
# saved back unchanged, by both.
cp "$win_c/$meta/.Security" "$work/windows.Security"
cp "$work/windows.Security" "$win_c/site/.Security"
cp "$work/windows.Security" "$lx_c/site/.Security"
both 0 --update-path-security '--path=C:\site'
same "update-path-security: saved back" site/.Security
if cmp -s "$work/windows.Security" "$lx_c/site/.Security"; then
  pass "update-path-security: the Linux build reads and rewrites the Windows build's metadata"
else
  fail "update-path-security: the Linux build changed the Windows build's metadata"
fi

# Stored metadata applied, to the whole webspace and to listed paths in order; nothing saved.
printf 'C:\\Inetpub\\vhosts\\example\\cgi-bin\r\n\r\nC:\\Inetpub\\vhosts\\example\\httpdocs\n' >"$win_c/paths.txt"
cp "$win_c/paths.txt" "$lx_c/paths.txt"
security_debug 1
for pathes in "" '--pathes-file=C:\paths.txt'; do
  both 0 --update-webspace-security --webspace-name=example ${pathes:+"$pathes"}
  if cmp -s "$work/windows.Security" "$win_c/$meta/.Security"; then
    pass "update-webspace-security ${pathes:-(whole webspace)}: metadata as stored"
  else
    fail "update-webspace-security ${pathes:-(whole webspace)}: the metadata changed"
  fi
done
order=$(log_text "$win_c" | sed -n 's/.*getPathEntryCollection(C:\\Inetpub\\vhosts\\example\\\([a-z-]*\)).*/\1/p' | uniq | paste -sd' ')
[ "$order" = "cgi-bin httpdocs" ] && pass "update-webspace-security: the listed paths in order" ||
  fail "update-webspace-security: paths walked as '$order'"
security_debug 0

# The file-sharing area: the rules, then one user's templates added and removed.
both 0 --repair-filesharing --anything=1
same "repair-filesharing: metadata" Inetpub/vhosts/fs/.tarno/.Security
user_args=(--vhost-name=fs "--user=$user" --user-id=7 --template=user.xml --private-template=private.xml)
both 0 --update-user-filesharing-security "${user_args[@]}"
same "update-user-filesharing-security: metadata" Inetpub/vhosts/fs/.tarno/.Security
has "update-user-filesharing-security: the user's two entries" "$win_c/Inetpub/vhosts/fs/.tarno/.Security" 'Tag2="7"' 2
both 0 --remove-user-filesharing-security "${user_args[@]}"
same "remove-user-filesharing-security: metadata" Inetpub/vhosts/fs/.tarno/.Security
has "remove-user-filesharing-security: none of the user's entries left" "$win_c/Inetpub/vhosts/fs/.tarno/.Security" 'Tag2="7"' 0

# Two runs at once take turns on each of the mutexes (a webspace's, the one of
# --update-path-security, the file-sharing area's): what they log after their start lines,
# each line naming its process, comes in two unbroken runs.
takes_turns() {
  local what=$1 first second codes=0 turns
  shift
  fresh_log "$win_c"
  (cd "$work" && wine "$bin/tavrel.exe" "$@" >"$work/first.out" 2>&1) &
  first=$!
  (cd "$work" && wine "$bin/tavrel.exe" "$@" >"$work/second.out" 2>&1) &
  second=$!
  wait $first || codes=1
  wait $second || codes=1
  turns=$(log_text "$win_c" | sed '/ Info: start /d' |
    sed -n 's/^[0-9/]* [0-9:.]* \([0-9]*\) [0-9]* .*/\1/p' | uniq | wc -l)
  if [ $codes -eq 0 ] && [ "$turns" -eq 2 ]; then
    pass "$what: two runs at once took turns"
  else
    fail "$what: two runs at once: exit codes ok=$((1 - codes)), $turns turns in the log (2 expected)"
  fi
}
security_debug 1
takes_turns --repair-webspace-security "${repair[@]}"
takes_turns --update-path-security --update-path-security '--path=C:\site'
takes_turns --update-user-filesharing-security --update-user-filesharing-security "${user_args[@]}"

# Undo and audit on Windows: the audit writes nothing and sums up what it found; the repair's
# journal is restored, with its metadata files, and the restore journals itself. (Wine keeps
# DACLs as mode bits: the descriptors it gives back are its own, so the metadata is compared.)
journals="$win_c/Program Files (x86)/Tarno/var/journal"
cp "$win_c/$meta/.Security" "$work/before-audit.Security"
code=0
(cd "$work" && wine "$bin/tavrel.exe" --audit-webspace-security --webspace-name=example "--user-name=$user" --full-scan >"$work/audit.out" 2>&1) || code=$?
if [ $code -eq 0 ] && grep -q '^Audited [0-9]* objects: ' "$work/audit.out" &&
  cmp -s "$work/before-audit.Security" "$win_c/$meta/.Security"; then
  pass "audit: $(grep '^Audited' "$work/audit.out" | tr -d '\r'), nothing written"
else
  fail "audit: exit code $code"
  head -5 "$work/audit.out" >&2
fi
# The access report on Windows: the webspace walked, the prefix's user and Everyone checked
# with what NetUserGetLocalGroups and the descriptors give there, nothing written.
code=0
(cd "$work" && wine "$bin/tavrel.exe" --report-webspace-access --webspace-name=example "--user-name=$user" >"$work/access.out" 2>&1) || code=$?
if [ $code -eq 0 ] && grep -q '^Access of [0-9]* accounts to [0-9]* objects' "$work/access.out" &&
  grep -q "^$user " "$work/access.out" && grep -q '^Everyone ' "$work/access.out" &&
  cmp -s "$work/before-audit.Security" "$win_c/$meta/.Security"; then
  pass "access report: $(grep '^Access of' "$work/access.out" | tr -d '\r'), nothing written"
else
  fail "access report: exit code $code"
  head -5 "$work/access.out" >&2
fi
journal=$(ls -t "$journals"/*example*.journal 2>/dev/null | head -1 || true)
count_before=$(ls "$journals" | grep -c '\.journal$' || true)
code=0
if [ -n "$journal" ]; then
  (cd "$work" && wine "$bin/tavrel.exe" --restore-security "--journal=$(winepath -w "$journal")" >"$work/restore.out" 2>&1) || code=$?
fi
if [ -n "$journal" ] && [ $code -eq 0 ] &&
  [ "$(ls "$journals" | grep -c '\.journal$' || true)" -gt "$count_before" ]; then
  pass "restore: the repair's journal restored, and the restore journaled itself"
else
  fail "restore: journal '${journal:-none}', exit code $code"
  head -5 "$work/restore.out" >&2 || true
fi

# Confinement on Windows: what a webspace's user can put in its tree never steers a run outside
# it. Wine shows a Unix link as the object it reaches (no reparse point), so these rest on the
# final path of a handle and on the link count, which it reports as Windows does.
mkdir -p "$win_c/target" "$win_c/Inetpub/vhosts/linked/httpdocs" "$win_c/Inetpub/vhosts/ex3"
ln -sfn "$win_c/Inetpub/vhosts/example/.tarno" "$win_c/Inetpub/vhosts/linked/.tarno"
cp "$win_c/$meta/.Security" "$work/example.Security"
code=0
(cd "$work" && wine "$bin/tavrel.exe" --update-webspace-security --webspace-name=linked >"$work/linked.out" 2>&1) || code=$?
if [ $code -eq 1 ] && grep -q "is a link or another reparse point" "$work/linked.out" &&
  cmp -s "$work/example.Security" "$win_c/$meta/.Security"; then
  pass "confinement: a .tarno that is a link is refused, the other webspace's metadata untouched"
else
  fail "confinement: .tarno as a link: exit code $code"
  cat "$work/linked.out" >&2
fi
# A folder an entry creates (flag 0x40) below a link: nothing is made where the link leads.
printf '<Entries>%s</Entries>' "$(entry Administrators 'ex3\sub\deeper' ThisFolderSubfoldersAndFiles FullAccess "")" \
  >"$win_c/Inetpub/vhosts/ex3/.Security"
ln -sfn "$win_c/target" "$win_c/Inetpub/vhosts/ex3/sub"
(cd "$work" && wine "$bin/tavrel.exe" --update-path-security '--path=C:\Inetpub\vhosts\ex3' >"$work/ex3.out" 2>&1) || true
rm "$win_c/Inetpub/vhosts/ex3/sub"
code=0
(cd "$work" && wine "$bin/tavrel.exe" --update-path-security '--path=C:\Inetpub\vhosts\ex3' >"$work/ex3.out" 2>&1) || code=$?
if [ ! -e "$win_c/target/deeper" ] && [ $code -eq 0 ] && [ -d "$win_c/Inetpub/vhosts/ex3/sub/deeper" ]; then
  pass "confinement: an entry's folder is made below the path, never through a link"
else
  fail "confinement: entry folders: exit code $code, $(ls "$win_c/target")"
fi
# A file with two names is never written: its one descriptor is also the other name's.
ln -f "$win_c/$etc/hosting_template.xml" "$win_c/Inetpub/vhosts/example/httpdocs/template.xml"
fresh_log "$win_c"
(cd "$work" && wine "$bin/tavrel.exe" --update-webspace-security --webspace-name=example --full-scan >"$work/hard.out" 2>&1) || true
rm "$win_c/Inetpub/vhosts/example/httpdocs/template.xml"
if log_text "$win_c" | grep -q 'httpdocs\\template.xml, because it has 2 hard links'; then
  pass "confinement: a hard link is refused by its link count"
else
  fail "confinement: the hard link was not refused"
fi

exit $failed
