#!/usr/bin/env bash
# Builds the fuzz programs (clang, libFuzzer, ASan+UBSan) in build-fuzz/ and
# runs each of them for SECONDS (default 60).
#   scripts/fuzz.sh [SECONDS]
# Each program starts from a working copy of its seed corpus (kept in
# build-fuzz/fuzz-corpus/, so the seeds in fuzz/corpus/ stay as they are) and
# its dictionary. An input that crashes, leaks, hits undefined behaviour, runs
# longer than 10 s or needs more than 2 GB is written to fuzz-findings/, and
# the script exits 1 after running every program.
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

status=0
while IFS=$'\t' read -r name seed dict; do
  [ -n "$name" ] || continue
  work=$build/fuzz-corpus/$name
  mkdir -p "$work"
  cp -R "$seed/." "$work/"
  args=(-max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048
    -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$findings/$name-")
  [ -n "$dict" ] && args+=(-dict="$dict")
  log=$build/fuzz-logs/$name.log
  result=ok
  if ! "$build/bin/$name" "${args[@]}" "$work" >"$log" 2>&1; then
    result="FINDING (log: $log)"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  files=$(find "$work" -type f | wc -l)
  printf '%-28s %12s executions in %ss, corpus %s files: %s\n' \
    "$name" "${execs:-?}" "$seconds" "$files" "$result"
  if [ "$result" != ok ]; then
    grep -E '^==[0-9]+==|ERROR|SUMMARY|runtime error|lexer fuzz|#[0-9]+ 0x|Test unit written' \
      "$log" | head -n 60 >&2 || true
  fi
done <"$manifest"

if [ $status -ne 0 ]; then
  echo "Fuzzing found problems; the inputs are in $findings/" >&2
fi
exit $status
