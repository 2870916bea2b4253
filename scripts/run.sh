#!/usr/bin/env bash
# Builds the console and starts it.
#   scripts/run.sh [DATABASE [SCRIPT] [options...]]
# Without a database it starts on a demo database in the working folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [ $# -eq 0 ]; then
  # The demo database ./demo.kvb, with two sample tables, written the first
  # time; an existing file of that name is used as it is.
  [ -e demo.kvb ] || "$root/build/bin/kvbdemo" demo.kvb
  exec "$root/build/bin/kartova" demo.kvb
fi
exec "$root/build/bin/kartova" "$@"
