#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (a build directory of their own,
# everything instrumented) and runs each over its corpus for FUZZ_SECONDS
# seconds (default 15). New inputs go to a scratch folder, never into the
# repository's corpus; a finding stops the script with the target's report
# and leaves the input under <build dir>/fuzz-artifacts/.
#
#   scripts/fuzz.sh                 # every target, 15 s each (CI)
#   FUZZ_SECONDS=3600 scripts/fuzz.sh rule_files   # one target, an hour
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-15}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
all=(binary_plist frame rule_index rule_files service_handlers utf16 host_list hosts_file control_socket dns_response
     target_call)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

CC=clang CXX=clang++ cmake -S . -B "$dir" -DKESTRIX_FUZZ=ON -DKESTRIX_BENCH=OFF -DKESTRIX_STRICT=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/kestrix_fuzz_}"

mkdir -p "$dir/fuzz-artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen
for t in "${targets[@]}"; do
  options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1
           -artifact_prefix="$dir/fuzz-artifacts/$t-")
  [ -f "fuzz/corpus/$t.dict" ] && options+=(-dict="fuzz/corpus/$t.dict")
  mkdir -p "$scratch/$t"
  echo "== fuzzing $t for ${seconds}s"
  "$dir/bin/kestrix_fuzz_$t" "${options[@]}" "$scratch/$t" "fuzz/corpus/$t" 2>"$scratch/$t.log" || {
    tail -n 60 "$scratch/$t.log"
    exit 1
  }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$scratch/$t.log" | tr '\n' ' '
  echo
done
