#!/usr/bin/env bash
# The Kestrix demo: installs what is needed, builds, lays out a fresh device
# root, starts the shell, and runs curl under the firewall against a small
# web server on a loopback address that the device's hosts file names. The
# first request raises the prompt; with a display you can answer it on
# screen, headless (or after 20 seconds) the demo answers "Always" through
# springboard-ctl. Then it shows the stored rule, a second request that needs
# no prompt, and the connection log. It ends by itself and leaves nothing
# running.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kestrix-install kestrix-launch kestrix-judge kestrix-rules springboard springboard-ctl \
  KestrixLoader KestrixHook9 KestrixHook9Prompt >/dev/null

bin=$PWD/build/bin
root=$PWD/build/demo-root
site_ip=127.0.0.10
port=18766
app=com.example.curl

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Shows a command as a person would type it, then runs it from the build.
show() {
  printf '$ %s\n' "$*"
  local tool=$1
  shift
  "$bin/$tool" "$@" 2>&1 | sed 's/^/  /'
}
ctl() { "$bin/springboard-ctl" --root "$root" "$@"; }

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

say "a fresh device root in $root"
rm -rf "$root"
"$bin/kestrix-install" --root "$root" >/dev/null
mkdir -p "$root/etc"
printf '%s site.test\n' "$site_ip" >"$root/etc/hosts"
# Logging on, so the log has a line to show.
python3 - "$root/var/mobile/Library/Preferences/com.Dovrane.FirewallGlobalRules2.plist" <<'EOF'
import plistlib, sys
with open(sys.argv[1], "wb") as f:
    plistlib.dump({"150": True, "log": True}, f, fmt=plistlib.FMT_BINARY)
EOF
echo "rules, log and libraries: $root"

say "a web server for site.test ($site_ip:$port)"
mkdir -p "$root/www"
echo "Hello from site.test" >"$root/www/index.html"
python3 -m http.server "$port" --bind "$site_ip" --directory "$root/www" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/$site_ip/$port") 2>/dev/null && break
  sleep 0.1
done

say "the shell"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "no display: the shell runs headless and the demo answers the prompt itself"
fi
"$bin/springboard" --root "$root" >"$root/springboard.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  ctl state >/dev/null 2>&1 && break
  sleep 0.1
done

fetch() {
  show kestrix-launch "$app" --root "$root" --display-name curl -- curl -sS --max-time 70 "http://site.test:$port/" ||
    true
}

say "curl under the firewall: no rule decides, so the shell asks"
fetch &
first=$!
ctl wait-prompt 20 >/dev/null
show springboard-ctl --root "$root" state
if [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  echo "Answer the prompt on your screen; in 20 seconds the demo answers \"Always\" for you."
  for _ in $(seq 200); do
    ctl state 2>/dev/null | grep -q '^prompt: shown' || break
    sleep 0.1
  done
fi
if ctl state 2>/dev/null | grep -q '^prompt: shown'; then
  show springboard-ctl --root "$root" tap Always
fi
wait "$first"

say "the answer \"Always\" is now a rule of $app"
show kestrix-judge --root "$root" "$app" site.test "$port" "$site_ip" || true
show kestrix-rules --root "$root" list "$app"

say "a second run needs no prompt"
fetch

say "the connection log"
sleep 0.5
log=$root/var/mobile/Library/Preferences/com.Dovrane.Radazira.Log.txt
printf '$ iconv -f UTF-16 -t UTF-8 %s\n' "$log"
iconv -f UTF-16 -t UTF-8 "$log" 2>/dev/null | sed 's/^/  /' || echo "  (no log yet)"

say "done: the shell and the web server are stopped"
