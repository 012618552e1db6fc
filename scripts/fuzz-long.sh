#!/usr/bin/env bash
# Runs every fuzz target for longer than the test suite does.
#   scripts/fuzz-long.sh [seconds-per-target]   (default 600)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-600}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" fuzz
for exe in "$root"/build-fuzz/fuzz/*; do
    [ -x "$exe" ] || continue
    name=$(basename "$exe")
    corpus="$root/build-fuzz/corpus-long/$name"
    mkdir -p "$corpus"
    seeds="$root/tests/fuzz/corpus/$name"
    echo "== $name for ${secs}s"
    "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" $( [ -d "$seeds" ] && echo "$seeds" )
done
