#!/usr/bin/env bash
# Builds the benchmark programs optimised and runs every one of them.
#   scripts/bench.sh [google-benchmark arguments...]
# e.g. scripts/bench.sh --benchmark_filter=Encode
# Environment: KARTOVA_BENCH_MIB sets the work size in MiB for the programs
# that take one (1 for a quick run that only checks they work);
# KARTOVA_BENCH_DIR the build directory (default build-bench/).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

build_dir=${KARTOVA_BENCH_DIR:-$root/build-bench}
jobs=${KARTOVA_JOBS:-$(nproc)}

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKARTOVA_BENCH=ON -DKARTOVA_TESTS=OFF -DKARTOVA_GUI=OFF -DKARTOVA_SANITIZE= >/dev/null
ninja -C "$build_dir" -j "$jobs" benchmarks

status=0
shopt -s nullglob
for program in "$build_dir"/bin/*_bench; do
  echo "== $(basename "$program") =="
  "$program" "$@" || status=1
done
exit $status
