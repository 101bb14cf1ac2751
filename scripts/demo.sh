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
