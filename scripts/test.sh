#!/usr/bin/env bash
# Installs what the build needs, then builds and runs every test:
# the normal build, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# and each fuzz target for a short bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
status=0

echo "== release build and tests"
"$root/scripts/build.sh" release
(cd "$root/build" && ctest --output-on-failure -j "$jobs" --timeout 600) || status=1

echo "== address and undefined-behaviour sanitizer build and tests"
"$root/scripts/build.sh" asan
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" --timeout 900 -LE nosan) || status=1

echo "== fuzz targets (short runs)"
"$root/scripts/build.sh" fuzz
(cd "$root/build-fuzz" && ctest --output-on-failure -j "$jobs" -L fuzz --timeout 300) || status=1

exit $status
