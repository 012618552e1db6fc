#!/bin/sh
# Builds every benchmark under bench/ in an optimised build and runs them one after another,
# printing each one's figures. Arguments are passed to every benchmark, for example
#   bench/run.sh --benchmark_min_time=2
#   bench/run.sh --benchmark_filter=peer
# Environment: VELNOR_BENCH_BUILD_DIR (default build-bench in the source tree).
# Benchmarks are the executables named bench_* in the build's bin folder.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${VELNOR_BENCH_BUILD_DIR:-$source_dir/build-bench}

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELNOR_BENCH=ON >/dev/null
cmake --build "$build_dir" --target bench/all

found=0
for benchmark in "$build_dir"/bin/bench_*; do
    [ -x "$benchmark" ] || continue
    found=1
    echo
    echo "=== $(basename "$benchmark")"
    "$benchmark" --benchmark_color=false "$@"
done

if [ "$found" = 0 ]; then
    echo "no benchmarks were built (is Google Benchmark, libbenchmark-dev, installed?)" >&2
    exit 1
fi
