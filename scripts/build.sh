#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh DIR [extra cmake arguments...]
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
launcher=()
# A compiler cache, where one is installed, makes rebuilds in several trees cheap.
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" "$@" >/dev/null
ninja -C "$dir" -j"$(nproc)"
