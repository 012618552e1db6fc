#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [release|asan|fuzz]   (default: release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
jobs=$(nproc)
case "$flavour" in
    release)
        dir="$root/build"
        args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)
        dir="$root/build-asan"
        args=(-DCMAKE_BUILD_TYPE=Debug -DVELNOR_SANITIZE=ON) ;;
    fuzz)
        dir="$root/build-fuzz"
        args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNOR_FUZZ=ON
              -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14) ;;
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
# ccache, where present, lets several checkouts of the tree share compiled objects.
if command -v ccache >/dev/null 2>&1; then
    launcher="env;CCACHE_BASEDIR=$(dirname "$root");CCACHE_NOHASHDIR=1;ccache"
    args+=("-DCMAKE_C_COMPILER_LAUNCHER=$launcher" "-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher")
fi
cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
