#!/usr/bin/env bash
# Builds the console and starts it.
#   scripts/run.sh [DATABASE [SCRIPT] [options...]]
# Without a database it starts on the demo database ./demo.kvb in the working
# folder, made the first time by a batch run of scripts/demo.sql.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [ $# -eq 0 ]; then
  # An existing file of that name is used as it is.
  if [ ! -e demo.kvb ]; then
    if ! "$root/build/bin/kartova" demo.kvb "$root/scripts/demo.sql" -B; then
      rm -f demo.kvb
      echo "run.sh: the demo database could not be made" >&2
      exit 1
    fi
  fi
  exec "$root/build/bin/kartova" demo.kvb
fi
exec "$root/build/bin/kartova" "$@"
