#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. The fuzz
# build needs clang and libFuzzer's runtime (libclang-rt-dev, which clang only
# recommends).
# Runs `apt-get update` once, and only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format
  libgtest-dev libbenchmark-dev
  zlib1g-dev libcrypto++-dev libicu-dev
  qt6-base-dev libgl-dev fonts-dejavu-core
  libsqlite3-dev sqlite3
  clang libclang-rt-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
