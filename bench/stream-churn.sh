#!/bin/sh
# The manager's memory and live objects while the HTTPS test server accepts its event stream and
# closes it at once, again and again (see bench/web/stream_churn.cpp for what is printed).
#   bench/stream-churn.sh [SECONDS [MIN-RETRY-MS]]
# SECONDS defaults to 60; MIN-RETRY-MS 0 makes the stream reopen without waiting, as it did before it
# waited at least a few seconds. Uses the build in build/ (VELNOR_BUILD_DIR to change).
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${VELNOR_BUILD_DIR:-$source_dir/build}
cmake --build "$build_dir" --target stream_churn velnor-https-server >/dev/null
work=$(mktemp -d)
"$build_dir/bin/velnor-https-server" --stream-closes --sign-in-steps "" --sessions 20 >"$work/url" 2>/dev/null &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
while [ ! -s "$work/url" ]; do sleep 0.05; done
XDG_CONFIG_HOME=$work QT_QPA_PLATFORM=offscreen "$build_dir/bin/stream_churn" "$(head -n 1 "$work/url")" \
    "${1:-60}" ${2:+"$2"} 2>/dev/null
