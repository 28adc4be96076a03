#!/usr/bin/env bash
# Starts the built engine from its build folder, headless when there is no display.
set -euo pipefail
build=${1:-build}
cd "$build"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running on Qt's offscreen platform (headless)."
  export QT_QPA_PLATFORM=offscreen
fi
exec ./kiv "$@"
