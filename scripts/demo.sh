#!/usr/bin/env bash
# The real job on a fresh emulated Windows host of its own: a webspace with its accounts and a
# web user, the panel's templates, a few wrong DACLs; a check-only repair with its report, the
# repair with the web-user pass, and the DACLs of the tree before and after; then the audit of
# the repaired webspace, the undoing of the repair from its journal, and the access report of
# the anonymous account and of another webspace's user. The host lives in a
# temporary directory that is removed at the end (TAVREL_DEMO_KEEP=1 keeps it), so the demo
# can run again and again and never touches the host of TAVREL_HOST.
# Usage: scripts/demo.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build/default}/bin
TAVREL_HOST=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-demo-XXXXXX")
export TAVREL_HOST
if [ "${TAVREL_DEMO_KEEP:-0}" = 1 ]; then
    trap 'echo; echo "The demo host is kept in $TAVREL_HOST"' EXIT
else
    trap 'rm -rf "$TAVREL_HOST"' EXIT
fi
host() { "$bin/tavrel-host" "$@"; }
tavrel() { "$bin/tavrel" "$@"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
etc='C:\Program Files (x86)\Tarno\etc'
site='C:\Inetpub\vhosts\example.com'

step "A fresh host"
host init

step "The accounts of webspace example.com: its system user, the anonymous and FTP accounts, a web user"
for account in exuser IWPG_exuser jane; do
    printf '%-16s %s\n' "$account" "$(host account add "$account")"
done
printf '%-16s %s\n' ftp_subaccounts "$(host account add ftp_subaccounts --group)"

step "The panel's templates, written where the panel keeps them"
tavrel --create-domain-template "--file-name=$etc\\hosting_template.xml"
tavrel --create-webuser-template "--file-name=$etc\\webuser_template.xml"
ls "$(host path -u "$etc")"

step "The webspace tree, with a web user and a few wrong DACLs"
root=$(host path -u "$site")
for file in httpdocs/index.html httpdocs/img/logo.png cgi-bin/hello.pl error_docs/404.html \
    web_users/jane/index.html; do
    mkdir -p "$(dirname "$root/$file")" && echo demo >"$root/$file"
done
# httpdocs was locked to Everyone alone, shutting out the system user and the anonymous
# account; the anonymous account was given full control of cgi-bin, where it may only read and
# run. The repair gives back what the template grants and takes back what it does not; ACEs of
# accounts the template does not speak of (Everyone here) stay.
host acl set "$site\\httpdocs" 'D:P(A;OICI;FA;;;WD)'
iwpg=$(host account list | awk '$1 == "IWPG_exuser" { print $2 }')
host acl set "$site\\cgi-bin" "D:(A;OICI;FA;;;$iwpg)"
host acl get "$site" --tree

step "A check-only repair: what would change goes to the report, no DACL is written"
printf 'jane\r\n' >"$(host path -u 'C:\web-users.txt')"
tavrel --repair-webspace-security --webspace-name=example.com --user-name=exuser --full-scan \
    --check-only '--report-file=C:\report.txt' '--web-users=C:\web-users.txt'
echo "C:\\report.txt:"
cat "$(host path -u 'C:\report.txt')"

step "The repair, the web user's pass included"
tavrel --repair-webspace-security --webspace-name=example.com --user-name=exuser --full-scan \
    '--web-users=C:\web-users.txt'
host acl get "$site" --tree

step "The metadata the repair saved beside the webspace"
ls -A "$root/.tarno"

step "A second check-only run finds nothing to change"
rm -f "$(host path -u 'C:\report.txt')"
tavrel --repair-webspace-security --webspace-name=example.com --user-name=exuser --full-scan \
    --check-only '--report-file=C:\report.txt' '--web-users=C:\web-users.txt'
report=$(host path -u 'C:\report.txt')
if [ -s "$report" ]; then cat "$report"; else echo "(nothing reported)"; fi

step "The audit: where the repaired webspace still differs from its metadata, nothing written"
# A repair only adds what the template requires and takes away what it revokes: an explicit
# grant of an account that no entry speaks of (Everyone on httpdocs) may have been given on
# purpose, so the repair keeps it and the audit shows it as "extra" for the operator to judge.
tavrel --audit-webspace-security --webspace-name=example.com --user-name=exuser --full-scan \
    '--web-users=C:\web-users.txt'

step "Undoing the repair: its journal, restored"
journals=$(host path -u 'C:\Program Files (x86)\Tarno\var\journal')
ls "$journals"
# The repair's journal, the only one: check-only runs and the audit write none.
journal=$(ls "$journals"/*.journal | sort | head -n 1)
echo "Before:"
host acl get "$site" --tree
tavrel --restore-security "--journal=$(host path -w "$journal")"
echo "After:"
host acl get "$site" --tree

step "Who may do what: the anonymous account, and another webspace's user"
# The restore gave the wrong DACLs back: the repair makes them right again. It keeps the grant
# to Everyone on httpdocs, and through it the anonymous account may write where scripts run.
tavrel --repair-webspace-security --webspace-name=example.com --user-name=exuser --full-scan \
    '--web-users=C:\web-users.txt' >/dev/null
report() {
    tavrel --report-webspace-access --webspace-name=example.com --user-name=exuser \
        --account=IWPG_exuser '--account=(another site)'
}
report
echo
echo "Without the grant to Everyone (httpdocs inherits what the webspace gives):"
host acl set "$site\\httpdocs" 'D:'
# Now the anonymous account writes only where the template lets it (logs), and another
# webspace's user reaches nothing.
report
