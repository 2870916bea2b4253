#!/usr/bin/env bash
# Builds and runs the whole test suite twice: once as a normal build, once
# under AddressSanitizer and UndefinedBehaviorSanitizer; then runs every fuzz
# target briefly (KARTOVA_FUZZ_SECONDS each, default 20), so that a crash
# reached from the seed corpus or found in that time fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${KARTOVA_JOBS:-$(nproc)}

export QT_QPA_PLATFORM=offscreen
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

run_suite() {
  local dir=$1; shift
  "$root/scripts/build.sh" "$dir" -DKARTOVA_WERROR=$werror "$@"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== normal build =="
run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ -f "$root/scripts/lsan.supp" ]; then
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}
fi
run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKARTOVA_SANITIZE=address,undefined

echo "== fuzz targets (libFuzzer, ASan+UBSan) =="
"$root/scripts/fuzz.sh" "${KARTOVA_FUZZ_SECONDS:-20}"
