#!/usr/bin/env bash
# Builds the console and starts it.
#   scripts/run.sh [DATABASE [SCRIPT] [options...]]
# Without a database it starts on a demo database in the working folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [ $# -eq 0 ]; then
  # A directory database: the console lists the tables stored in ./demo.
  mkdir -p demo
  cd demo
  exec "$root/build/bin/kartova" ""
fi
exec "$root/build/bin/kartova" "$@"
