#!/usr/bin/env bash
# Starts the built engine from its build folder, headless when there is no display.
set -euo pipefail
build=${1:-build}
cd "$build"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running on Qt's offscreen platform (headless); the log follows here."
  export QT_QPA_PLATFORM=offscreen
  # Nobody can see the console window: echo the log on standard output.
  export KIV_CONSOLE_STDOUT=${KIV_CONSOLE_STDOUT:-1}
fi
exec ./kiv "$@"
