#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the manager.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
exe="$root/build/bin/Velnor3"
if [ -x "$exe" ]; then
    exec "$exe" "$@"
fi
echo "Built. The manager program Velnor3 is not part of the tree yet; the programs that exist are in $root/build/bin:"
ls "$root/build/bin" 2>/dev/null || true
