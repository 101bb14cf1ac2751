#!/usr/bin/env bash
# Installs what is needed, builds, lays out a demo device root with a few
# rules, and shows how they judge some destinations.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

root=${KESTRIX_ROOT:-$PWD/build/demo-root}
build/bin/kestrix-demo-root "$root"
judge() {
  echo "\$ kestrix-judge $*"
  build/bin/kestrix-judge --root "$root" "$@" || true
  echo
}
judge com.example.browser www.example.com 443 93.184.216.34
judge com.example.browser ads.tracker.example 443 203.0.113.9
judge com.example.browser 10.0.0.25 8080
judge com.example.browser unknown.example 443 198.51.100.7
judge --not-ready com.example.browser unknown.example 443 198.51.100.7
judge com.example.mail imap.mail.example 993 192.0.2.10
judge --udp com.example.mail dns.example 53 192.0.2.53
judge com.example.offline anything.example 443 192.0.2.1
echo "The rules are in $root/var/mobile/Library/Preferences/."

# The same rules judging a real program: the libraries laid out in the root,
# two web servers on loopback addresses that the device's hosts file names,
# and python3 run as com.example.browser under the firewall.
echo
echo "== a real program under kestrix-launch =="
build/bin/kestrix-install --root "$root" >/dev/null
mkdir -p "$root/etc"
printf '127.0.0.9 ads.tracker.example\n127.0.0.10 example.com\n' >"$root/etc/hosts"
python3 -m http.server 18765 --bind 127.0.0.9 >/dev/null 2>&1 &
tracker=$!
python3 -m http.server 18766 --bind 127.0.0.10 >/dev/null 2>&1 &
site=$!
trap 'kill $tracker $site 2>/dev/null' EXIT
sleep 1
fetch() {
  echo "\$ kestrix-launch com.example.browser -- python3: GET $1"
  build/bin/kestrix-launch com.example.browser --root "$root" -- python3 -c "
import sys, urllib.request
try:
    print('  ', urllib.request.urlopen(sys.argv[1], timeout=5).status, 'OK')
except Exception as e:
    print('  ', 'refused:', getattr(e, 'reason', e))
" "$1" || true
}
fetch http://example.com:18766/
fetch http://ads.tracker.example:18765/
