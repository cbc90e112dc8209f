#!/usr/bin/env bash
# Pictures of the configuration dialogs for the README, drawn on a real X server (Xvfb):
#   bash scripts/screenshots.sh [BUILD_DIR]
# Installs Xvfb when it is missing (as root). Writes docs/configuracio*.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
if ! command -v xvfb-run >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends xvfb xauth
fi
ninja -C "$build" vessamo_screenshots
mkdir -p "$root/docs"
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
  "$build/tools/vessamo_screenshots" "$root/docs"
ls -l "$root"/docs/configuracio*.png
