#!/usr/bin/env bash
# The soak run, by hand (too long for CI): 8 applications under
# kestrix-launch, 64 threads each, connect and send for SECONDS (default 60)
# to an allowed, a denied and a globally denied host on loopback, while the
# rule files are rewritten whole every 10 ms (as the settings application
# writes them) and a reload is posted every 10 ms. Every application must
# finish in time (no deadlock) and exit 0 (no crash), no call may end with
# anything but success or EPERM, the verdicts must stay those of the rules
# (two refusals per call let through), and each one's resident memory at the end
# is printed beside that after the first tenth of the run.
#
# With a build of KESTRIX_TSAN=ON (or ASAN) the applications, the launcher
# and the preloaded libraries are all instrumented; any sanitizer report
# fails the run.
#
#   tests/hardening/soak.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "${1:?usage: soak.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-60}
apps=8
threads=64
root=$(mktemp -d /tmp/kst-soak-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
# For a sanitized build: the library may start threads in a forked child,
# and the preloaded substrate comes before the address sanitizer's runtime.
# Reports go to each application's standard error.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}die_after_fork=0"
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

"$build/bin/kestrix-install" --root "$root" >/dev/null
mkdir -p "$root/etc" "$root/var/mobile/Library/Preferences"
printf '127.0.0.2 allowed.test\n127.0.0.3 denied.test\n127.0.0.4 global.test\n' >"$root/etc/hosts"
port=$((40000 + RANDOM % 20000))

# Listeners on the three addresses that accept and close.
python3 - "$port" <<'PY' &
import socket, sys, threading
port = int(sys.argv[1])
def serve(ip):
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((ip, port)); s.listen(4096)
    while True:
        c, _ = s.accept(); c.close()
for ip in ("127.0.0.2", "127.0.0.3", "127.0.0.4"):
    threading.Thread(target=serve, args=(ip,), daemon=True).start()
threading.Event().wait()
PY
pids+=($!)

# The settings application's writes: both rule files replaced whole, again
# and again, with the same verdicts (a rule is added and taken away).
python3 - "$root/var/mobile/Library/Preferences" "$apps" <<'PY' &
import os, plistlib, sys, time, datetime
folder, apps = sys.argv[1], int(sys.argv[2])
d = datetime.datetime(2016, 1, 1)
def entry(r): return {"rule": r, "date": d}
def write(name, value):
    tmp = os.path.join(folder, ".soak-" + name)
    with open(tmp, "wb") as f: plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
    os.rename(tmp, os.path.join(folder, name))
n = 0
while True:
    extra = [entry("extra%d.test" % n)] if n % 2 else []
    rules = {"150": True}
    for i in range(apps):
        rules["com.soak.app%d" % i] = {"allow": [entry("allowed.test")] + extra, "deny": [entry("denied.test")]}
    write("com.Dovrane.FirewallRules2.plist", rules)
    write("com.Dovrane.FirewallGlobalRules2.plist", {"150": True, "globalDeny": [entry("global.test")] + extra})
    n += 1
    time.sleep(0.01)
PY
pids+=($!)
sleep 1  # the first files are there before the applications start

# A reload every 10 ms.
(while true; do "$build/bin/kestrix-notify" post com.dovrane.kst.reloadBoth --root "$root" >/dev/null; sleep 0.01; done) &
pids+=($!)

client="$build/tests/hardening/kst_soak_client"
targets=(127.0.0.2:$port 127.0.0.3:$port 127.0.0.4:$port)
app_pids=()
for i in $(seq 0 $((apps - 1))); do
  timeout $((seconds * 3 + 60)) "$build/bin/kestrix-launch" "com.soak.app$i" --root "$root" -- \
    "$client" "$seconds" "$threads" "${targets[@]}" >"$root/app$i.out" 2>"$root/app$i.err" &
  app_pids+=($!)
done
status=0
for i in $(seq 0 $((apps - 1))); do
  if ! wait "${app_pids[$i]}"; then
    echo "app$i: FAILED (exit $?; 124 = still running after the time-out)"; cat "$root/app$i.err"; status=1
  fi
  if grep -qE "WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error:" "$root/app$i.err"; then
    echo "app$i: sanitizer report"; cat "$root/app$i.err"; status=1
  fi
  line=$(cat "$root/app$i.out")
  echo "app$i: $line"
  read -r allowed refused failed < <(echo "$line" | sed -n 's/allowed \([0-9]*\) refused \([0-9]*\) failed \([0-9]*\).*/\1 \2 \3/p')
  [ "${failed:-1}" = 0 ] || status=1
  # Each thread goes round allowed, denied, globally denied: two refusals per
  # call let through, whatever the reloads did.
  diff=$(( ${refused:-0} - 2 * ${allowed:-0} ))
  if [ "${diff#-}" -gt $((2 * threads)) ]; then echo "app$i: verdicts drifted during the reloads"; status=1; fi
done
exit $status
