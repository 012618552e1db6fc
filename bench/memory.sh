#!/bin/sh
# Resident memory of velnorcli against the display simulator, for each case: the peak (VmHWM) and the
# settled figure (VmRSS once the last frame has been acknowledged and the session is idle).
#   bench/memory.sh            uses the release build in build/ (VELNOR_BUILD_DIR to change;
#                              VELNOR_VIEWER names another velnorcli to measure)
# Each case runs one session under the offscreen platform.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${VELNOR_BUILD_DIR:-$source_dir/build}
cmake --build "$build_dir" --target velnorcli velnor-display-sim >/dev/null
viewer=${VELNOR_VIEWER:-$build_dir/bin/velnorcli}
sim=$build_dir/bin/velnor-display-sim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run_case NAME GEOMETRY ACKS SIM-ARGS...
run_case() {
    name=$1 geometry=$2 acks=$3
    shift 3
    out=$work/sim-$$-$(date +%s%N)
    "$sim" --once --open-channels --ask-password --geometry "$geometry" --desktop --end-after-acks "$acks" \
        --end-delay 5000 "$@" >"$out" 2>/dev/null &
    sim_pid=$!
    while [ ! -s "$out" ]; do sleep 0.05; done
    url=$(head -n 1 "$out")
    echo x | XDG_CONFIG_HOME=$work QT_QPA_PLATFORM=offscreen "$viewer" --url "$url" --user bench \
        --geometry 1024x768 >/dev/null 2>&1 &
    viewer_pid=$!
    peak=0 rss=0 settled=0 since=
    while kill -0 "$viewer_pid" 2>/dev/null; do
        status=$(cat "/proc/$viewer_pid/status" 2>/dev/null) || break
        now_peak=$(echo "$status" | awk '/^VmHWM/ {print $2}')
        now_rss=$(echo "$status" | awk '/^VmRSS/ {print $2}')
        [ -n "$now_peak" ] && peak=$now_peak
        [ -n "$now_rss" ] && rss=$now_rss
        # Settled: two seconds after the simulator saw its last frame acknowledged.
        if [ "$settled" = 0 ] && grep -q '^acknowledged' "$out"; then
            [ -z "$since" ] && since=$(date +%s)
            [ $(($(date +%s) - since)) -ge 2 ] && settled=$rss
        fi
        sleep 0.1
    done
    wait "$viewer_pid" || true
    wait "$sim_pid" || true
    printf '%-44s peak %6d MB   settled %6d MB\n' "$name" $((peak / 1024)) $((settled / 1024))
}

run_case "1920x1080, 200 full-screen PNG frames" 1920x1080 200 --full-frames --fps 60
run_case "16384x16384 painted whole, one PNG" 16384x16384 3
run_case "16384x16384 as four PNG tiles" 16384x16384 3 --background-tiles 2
run_case "16384x16384 painted whole, 65,536 RFX7 tiles" 16384x16384 3 --codec 2
