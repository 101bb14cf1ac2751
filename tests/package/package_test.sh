#!/usr/bin/env bash
# The Debian package from end to end: built with CPack from a build folder,
# unpacked with dpkg -x into a temporary folder (nothing is installed
# system-wide), a fresh device root laid out by the unpacked kestrix-install,
# the unpacked shell headless, and a program under the unpacked
# kestrix-launch whose prompt is answered through the unpacked
# springboard-ctl. The package's systemd unit, desktop files and man pages
# are checked with their own tools.
#
#   bash tests/package/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/kst-package-XXXXXX)
pids=()
passed=0
failed=0
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

check() {
  local what=$1
  shift
  if "$@" >"$work/check.out" 2>&1; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    sed 's/^/  /' "$work/check.out"
  fi
}

# ---- build and unpack ----
cmake -S "$build/.." -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
(cd "$build" && rm -f kestrix_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kestrix_*_amd64.deb)
echo "package: $(basename "$deb")"
check "the package depends on the shared libraries it links" \
  bash -c "dpkg-deb -f '$deb' Depends | grep -q libqt6widgets6"
dpkg -x "$deb" "$work/pkg"
usr=$work/pkg/usr
check "nothing in the package is setuid or setgid" bash -c "[ -z \"\$(find '$work/pkg' -perm /6000)\" ]"

# ---- the files of the desktop ----
# verify wants the unit's programs where it names them: a copy that names
# the unpacked ones.
mkdir -p "$work/unit"
sed "s|=/usr/bin/|=$usr/bin/|" "$usr/lib/systemd/user/kestrix-springboard.service" \
  >"$work/unit/kestrix-springboard.service"
check "the shell's user unit runs the installed programs" \
  grep -qx "ExecStart=/usr/bin/springboard" "$usr/lib/systemd/user/kestrix-springboard.service"
check "the shell's user unit verifies" systemd-analyze verify --man=no "$work/unit/kestrix-springboard.service"
check "the desktop entries validate" bash -c "desktop-file-validate '$usr'/share/applications/*.desktop"
for page in "$usr"/share/man/man1/*.1; do
  check "man page $(basename "$page") renders" bash -c "man -l -Tutf8 '$page' >/dev/null 2>'$work/man.err' && ! [ -s '$work/man.err' ]"
done

# ---- a device root from the package, the shell and a program ----
root=$work/root
check "kestrix-install lays out a device root from the package" "$usr/bin/kestrix-install" --root "$root"
check "the root has the prompt's and the settings application's files" \
  test -f "$root/var/mobile/Library/Preferences/Radazira/ports.txt" -a \
  -f "$root/Applications/KestrixPanel.app/Info.plist" -a -f "$root/usr/lib/KestrixHook9Prompt.dylib"

ip=127.0.0.23
mkdir -p "$root/etc"
printf '%s packaged.test\n' "$ip" >"$root/etc/hosts"
python3 -c '
import socket, sys
s = socket.socket(); s.bind((sys.argv[1], 0)); s.listen(16)
print(s.getsockname()[1], flush=True)
while True:
    c, _ = s.accept(); c.close()
' "$ip" >"$work/port" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(head -1 "$work/port")

QT_QPA_PLATFORM=offscreen "$usr/bin/springboard" --root "$root" >"$work/springboard.log" 2>&1 &
pids+=($!)
ctl() { "$usr/bin/springboard-ctl" --root "$root" "$@"; }
for _ in $(seq 200); do ctl state >/dev/null 2>&1 && break; sleep 0.05; done

"$usr/bin/kestrix-launch" com.example.packaged --root "$root" -- python3 -c '
import socket, sys
s = socket.socket()
try:
    s.connect((sys.argv[1], int(sys.argv[2]))); print("connected")
except OSError as e:
    print("refused", e.errno)
' "$ip" "$port" >"$work/client.out" 2>&1 &
client=$!
check "the program's undecided connect raises the prompt" ctl wait-prompt 30
check "the prompt names the host" bash -c "'$usr/bin/springboard-ctl' --root '$root' state | grep -q '^host: packaged.test'"
check "the prompt is answered" ctl tap Always
wait "$client" || true
check "the program connected after the answer" grep -q connected "$work/client.out"
check "the answer is a rule of the application" bash -c \
  "'$usr/bin/kestrix-judge' --root '$root' com.example.packaged packaged.test '$port' '$ip' | grep -q 'application allow rule'"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
