#!/usr/bin/env bash
# Builds the Debian package: scripts/package.sh [DIR] (default build-deb). A Release tree
# installed under /usr, so that the program knows itself as the installed one
# (src/config/layout.h); prints the path of the .deb.
set -euo pipefail
dir=${1:-build-deb}
root=$(cd "$(dirname "$0")/.." && pwd)
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVESSAMO_TESTS=OFF "${launcher[@]}" >/dev/null
ninja -C "$dir" -j"$(nproc)" >/dev/null
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/vessamo_*.deb
