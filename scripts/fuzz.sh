#!/usr/bin/env bash
# Builds the fuzz programs (clang, libFuzzer, ASan+UBSan) in build-fuzz/ and
# runs each of them for SECONDS (default 60).
#   scripts/fuzz.sh [SECONDS]
# Each program starts from a working copy of its committed corpus (kept in
# build-fuzz/fuzz-corpus/, so fuzz/corpus/ stays as it is), the seeds the
# engine's writers make for it, and its dictionary; the programs run as
# many at a time as there are cores (KARTOVA_JOBS). An input that crashes,
# leaks, hits undefined behaviour, runs longer than 10 s or needs more than
# 2 GB is written to fuzz-findings/, and the script exits 1 after running
# every program.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]   (a whole number of seconds per target)" >&2
  exit 2
fi
build=$root/build-fuzz
findings=$root/fuzz-findings
jobs=${KARTOVA_JOBS:-$(nproc)}
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

"$root/scripts/install-deps.sh"
# Only the libraries the fuzz programs link are built.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKARTOVA_FUZZ=ON -DKARTOVA_TESTS=OFF -DKARTOVA_GUI=OFF -DKARTOVA_BENCH=OFF \
  -DKARTOVA_WERROR=$werror >/dev/null
ninja -C "$build" -j "$jobs" fuzz_targets

manifest=$build/fuzz/targets.txt
if [ ! -s "$manifest" ]; then
  echo "no fuzz targets listed in $manifest" >&2
  exit 1
fi

# Later options win: leak detection stays on whatever the caller set.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$findings" "$build/fuzz-logs"

# Seeds made by the engine's own writers: containers, table files,
# compressed values, value and filter texts.
seeds=$build/fuzz-seeds
rm -rf "$seeds"
"$build/bin/fuzz_make_seeds" "$seeds"

# Runs one program; its one-line result goes to $build/fuzz-logs/NAME.result.
run_target() {
  local name=$1 corpus=$2 dict=$3 seed=$4 max_len=$5
  local work=$build/fuzz-corpus/$name
  local log=$build/fuzz-logs/$name.log
  mkdir -p "$work"
  if [ -d "$corpus" ]; then cp -R "$corpus/." "$work/"; fi
  if [ "$seed" != "-" ]; then cp -R "$seeds/$seed/." "$work/"; fi
  local args=(-max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048
    -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$findings/$name-")
  if [ "$dict" != "-" ]; then args+=(-dict="$dict"); fi
  local result=ok
  if ! "$build/bin/$name" "${args[@]}" "$work" >"$log" 2>&1; then
    result="FINDING (log: $log)"
  fi
  local execs files
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  files=$(find "$work" -type f | wc -l)
  printf '%-28s %12s executions in %ss, corpus %s files: %s\n' \
    "$name" "${execs:-?}" "$seconds" "$files" "$result" >"$build/fuzz-logs/$name.result"
}

# The programs run $jobs at a time, each on its own core.
names=()
while IFS=$'\t' read -r name corpus dict seed max_len; do
  [ -n "$name" ] || continue
  names+=("$name")
  rm -f "$build/fuzz-logs/$name.result"
  run_target "$name" "$corpus" "$dict" "$seed" "$max_len" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done <"$manifest"
wait

status=0
for name in "${names[@]}"; do
  result=$build/fuzz-logs/$name.result
  if [ ! -s "$result" ]; then
    echo "$name: no result" >&2
    status=1
    continue
  fi
  cat "$result"
  if ! grep -q ': ok$' "$result"; then
    status=1
    grep -E '^==[0-9]+==|ERROR|SUMMARY|runtime error|fuzz finding|#[0-9]+ 0x|Test unit written' \
      "$build/fuzz-logs/$name.log" | head -n 60 >&2 || true
  fi
done

if [ $status -ne 0 ]; then
  echo "Fuzzing found problems; the inputs are in $findings/" >&2
fi
exit $status
