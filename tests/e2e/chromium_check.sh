#!/bin/bash
# A manual check, not part of the suite: N chromium page loads in a row
# under the firewall (headless, --no-zygote), each of a page served on
# loopback by a name from the device's hosts file; counts the loads that
# never finish. Needs Debian's chromium and python3.
#   tests/e2e/chromium_check.sh BUILD_DIR [N]
set -u
build=$(cd "${1:?usage: chromium_check.sh BUILD_DIR [N]}" && pwd)
runs=${2:-30}
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
"$build/bin/kestrix-install" --root "$work/root" > /dev/null || exit 1
mkdir -p "$work/root/etc" "$work/www"
echo "127.0.0.10 shop.example" > "$work/root/etc/hosts"
echo "<html><body>hello-page</body></html>" > "$work/www/index.html"
(cd "$work/www" && exec python3 -m http.server 8080 --bind 127.0.0.10) > /dev/null 2>&1 &
server=$!
sleep 1
ok=0 hung=0 failed=0
for _ in $(seq 1 "$runs"); do
  timeout 30 "$build/bin/kestrix-launch" org.chromium.Chromium --root "$work/root" -- \
    chromium --headless --no-sandbox --no-zygote --user-data-dir="$work/profile" \
    --dump-dom http://shop.example:8080/ > "$work/out" 2> /dev/null
  rc=$?
  if grep -q hello-page "$work/out"; then ok=$((ok + 1))
  elif [ "$rc" = 124 ]; then hung=$((hung + 1))
  else failed=$((failed + 1)); fi
done
echo "loaded=$ok hung=$hung failed=$failed of $runs"
[ "$ok" = "$runs" ]
