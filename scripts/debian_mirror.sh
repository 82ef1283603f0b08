#!/usr/bin/env bash
# Prints the Debian mirror this machine's apt already uses: the URI of the first
# source entry (in the order apt reads them) that serves Debian's main archive,
# that is a "deb" or "deb-src" entry over http(s) with the "main" component and a
# release suite (not -security, -updates or -backports), whose URI ends in /debian
# or that is signed by a Debian archive keyring. Reads one-line entries from
# sources.list and sources.list.d/*.list, and deb822 stanzas from *.sources.
#
# Usage: debian_mirror.sh [APT_ETC_DIR]   (default /etc/apt)
# Exit status 1, printing nothing, when no entry qualifies.
set -euo pipefail

etc=${1:-/etc/apt}
files=()
[[ -f $etc/sources.list ]] && files+=("$etc/sources.list")
for f in "$etc"/sources.list.d/*; do
  [[ -f $f && ( $f == *.list || $f == *.sources ) ]] && files+=("$f")
done
((${#files[@]})) || exit 1

exec awk '
function words(list, out) { return split(list, out, /[ \t]+/) }
function has_word(list, w,   n, i, a) {
  n = words(list, a)
  for (i = 1; i <= n; i++) if (a[i] == w) return 1
  return 0
}
function release_suite(list,   n, i, a) {
  n = words(list, a)
  for (i = 1; i <= n; i++) if (a[i] != "" && a[i] !~ /[-\/]/) return 1
  return 0
}
function consider(types, uris, suites, comps, signed,   n, i, u) {
  if (found || !(has_word(types, "deb") || has_word(types, "deb-src"))) return
  if (!has_word(comps, "main") || !release_suite(suites)) return
  n = words(uris, u)
  for (i = 1; i <= n; i++) {
    if (u[i] !~ /^https?:\/\/[^\/]/) continue
    sub(/\/+$/, "", u[i])
    if (u[i] ~ /\/debian$/ || signed ~ /debian-archive/) { print u[i]; found = 1; return }
  }
}
function flush() {
  if (tolower(f["enabled"]) != "no") consider(f["types"], f["uris"], f["suites"], f["components"], f["signed-by"])
  split("", f); key = ""
}
FNR == 1 { if (deb822) flush(); deb822 = FILENAME ~ /\.sources$/ }
deb822 {
  if ($0 ~ /^#/) next
  if ($0 ~ /^[ \t]*$/) { flush(); next }
  if ($0 ~ /^[ \t]/) { if (key != "") f[key] = f[key] " " $0; next }
  if (match($0, /^[A-Za-z0-9-]+:/)) {
    key = tolower(substr($0, 1, RLENGTH - 1)); value = substr($0, RLENGTH + 1)
    gsub(/^[ \t]+|[ \t]+$/, "", value); f[key] = value
  }
  next
}
{
  line = $0; sub(/#.*/, "", line)
  if (line !~ /^[ \t]*deb(-src)?[ \t]/) next
  sub(/^[ \t]*/, "", line)
  type = line; sub(/[ \t].*/, "", type); sub(/^[^ \t]+[ \t]+/, "", line)
  opts = ""
  if (line ~ /^\[/) { opts = line; sub(/\].*/, "", opts); sub(/^[^\]]*\][ \t]*/, "", line) }
  n = words(line, a)
  comps = ""; for (i = 3; i <= n; i++) comps = comps " " a[i]
  consider(type, a[1], a[2], comps, opts)
}
END { if (deb822) flush(); exit found ? 0 : 1 }
' "${files[@]}"
