#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the manager.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
exec "$root/build/bin/Velnor3" "$@"
