#!/usr/bin/env bash
# Runs tavrel on a fresh emulated Windows host and shows what it did.
# Usage: scripts/demo.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build/default}/bin
export TAVREL_HOST=${TAVREL_HOST:-$(mktemp -d "${TMPDIR:-/tmp}/tavrel-demo-XXXXXX")}
config='HKLM\SOFTWARE\WOW6432Node\Tarno\Zel Config\Config'

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "A fresh host"
"$bin/tavrel-host" init
"$bin/tavrel-host" reg get "$config"

step "tavrel with no command prints its help"
"$bin/tavrel"

step "Debug logging on"
"$bin/tavrel-host" reg set "$config" Debug REG_DWORD 1

step "An unknown command is refused (exit code 1)"
code=0
"$bin/tavrel" --foo --password=secret || code=$?
printf '\nexit code %s\n' "$code"

step "The lines it left in the daily log file (UTF-16LE, shown as UTF-8)"
logs=$("$bin/tavrel-host" path -u 'C:\Program Files (x86)\Tarno\admin\logs')
iconv -f UTF-16LE -t UTF-8 "$logs"/tarnolog_debug*.log | sed '1s/^\xEF\xBB\xBF//'

step "The event it reported to the Tarno event log"
"$bin/tavrel-host" eventlog Tarno

step "The default domain template, written where the panel keeps its templates"
"$bin/tavrel" --create-domain-template '--file-name=C:\Program Files (x86)\Tarno\etc\hosting_template.xml'
template=$("$bin/tavrel-host" path -u 'C:\Program Files (x86)\Tarno\etc\hosting_template.xml')
echo "$template:"
# One element a line; the file itself is not indented.
sed 's/></>\n</g' "$template"
echo

step "A local account and the NTFS security of a webspace folder"
sid=$("$bin/tavrel-host" account add exuser | head -n 1)
echo "exuser is $sid"
site=$("$bin/tavrel-host" path -u 'C:\Inetpub\vhosts\example.com')
mkdir -p "$site/httpdocs" && echo '<h1>hello</h1>' >"$site/httpdocs/index.html"
"$bin/tavrel-host" acl set 'C:\Inetpub\vhosts\example.com' "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;$sid)"
echo "The folder, protected with explicit ACEs:"
"$bin/tavrel-host" acl get 'C:\Inetpub\vhosts\example.com'
echo "A file below it, inheriting them:"
"$bin/tavrel-host" acl get 'C:\Inetpub\vhosts\example.com\httpdocs\index.html' --text

echo
echo "The host is kept in $TAVREL_HOST"
