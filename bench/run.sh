#!/bin/sh
# Builds every benchmark under bench/ with the build type the README's build uses (RelWithDebInfo, with
# the codec library at -O3 as in every optimised build) and runs them one after another, printing each
# one's figures and the load average before it. Arguments are passed to every benchmark; run with --help
# for what each one measures.
set -eu

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
    cat <<'HELP'
usage: bench/run.sh [Google Benchmark options]
  for example: bench/run.sh --benchmark_filter=sim --benchmark_repetitions=5
environment:
  VELNOR_BENCH_BUILD_DIR  build folder (default build-bench in the source tree)
  VELNOR_BENCH_ROUNDS     interleaved rounds of bench_rfx7 and bench_paint (default 7)

bench_rfx7  RFX7 tile decode of a 1920x1080 desktop-like frame (510 tiles), ours beside the peer
            decoder (FreeRDP 2's RemoteFX, when freerdp2-dev is installed). The peer's encoder encodes
            the frame once; both decode those same tile bytes, and our planes must equal the peer's
            (our colour conversion may differ from the peer's by one step per channel) before timing.
            Rounds alternate ours and the peer's; figures are medians, wall and process CPU time in
            ms per frame, the one-thread rows confined to one core.
              peer, whole message        rfx_process_message, its thread pool switched off
              peer, tile stages          the peer's per-tile stages called directly, one thread
              ours, peer's bytes         our stages on the peer's three streams per tile, one thread
              ours, our encoder's bytes  decodeRfx7Tile on our encoder's one-stream tiles, one thread
            Then the CPU time per tile of each stage (entropy decode; LL3 and dequantisation; inverse
            transform; colour conversion) for both, from prefixes of the decode within each round (the
            colour conversion timed alone), and ours on 1, 2, 4 and 8 threads (each thread with its own
            work buffer taking the next tile of the frame), with the wall-time scaling over one thread.
bench_pipeline
            Frames through the surface pipeline (decode pool, compose, apply) on 1, 2 and 4 threads,
            handed over directly and sent by the display-server simulator over loopback TCP, beside
            the pure decode; the summary prints the frame rate against one thread.
bench_paint The desktop view's paint of a full 1920x1080 change and of a 256x256 change at zoom 1.0,
            1.25, 1.5 and 2.0 (offscreen raster, RGB32 target), in ms per paint, beside a bare smooth
            QPainter::drawImage of the surface image (ARGB32) and of an opaque RGB32 copy of it.
bench_session_model
            The session model's merge of 5,000 and of 100,000 sessions, with a list proxy and the
            grid's session proxy attached and sorted again after the batch: the first list into an
            empty model, the same list again (only the growing cells change), and a list in which a
            tenth of the sessions are new, in ms per merge.
bench_session_page
            The same three merges of 100,000 sessions into a shown session page (offscreen), its own
            proxies, table view and grid attached, with the list page (as it opens, sorted by uptime),
            the grid page, or the list sorted by name on screen; in ms of wall and CPU time from the
            merge until its result is painted, the time the window does not answer.
bench_session_grid
            The session grid's repaint with 2,000 sessions and 40 cards visible (8 x 5, offscreen
            raster), in ms per repaint: every card showing the camera placeholder; every card showing
            a screenshot that the HTTPS test server sent through the screenshot cache (loading them
            takes about ten seconds first); and the grid scrolled down one page before each repaint.
            Then the resident memory grown by scrolling through all 2,000 with every visible card
            answered with a screenshot (rss_growth_MB) and the cards the cache still holds.
bench_channel_memory
            Peak and kept memory of the client-communication and diagnostics decoders reading one 40 MB
            frame: a Capabilities message of empty entries, counter names of empty names under new ids,
            and each at its list cap with the rest of the frame in the last entry (operator new counted).
Speed is only ever measured here, never in the tests.
HELP
    exit 0
fi

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${VELNOR_BENCH_BUILD_DIR:-$source_dir/build-bench}

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_BENCH=ON >/dev/null
cmake --build "$build_dir" --target bench/all

found=0
for benchmark in "$build_dir"/bin/bench_*; do
    [ -x "$benchmark" ] || continue
    found=1
    echo
    echo "=== $(basename "$benchmark") (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    "$benchmark" --benchmark_color=false "$@"
done

if [ "$found" = 0 ]; then
    echo "no benchmarks were built (is Google Benchmark, libbenchmark-dev, installed?)" >&2
    exit 1
fi
