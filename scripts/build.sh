#!/usr/bin/env bash
# Builds the project into a build directory.
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
# BUILD_DIR defaults to build/. Installs missing Debian packages first.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

build_dir=${1:-$root/build}
[ $# -gt 0 ] && shift
jobs=${KARTOVA_JOBS:-$(nproc)}

cmake -S "$root" -B "$build_dir" -G Ninja "$@" >/dev/null
ninja -C "$build_dir" -j "$jobs"
