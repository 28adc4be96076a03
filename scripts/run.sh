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
  # Qt wants a private runtime folder, which a plain server session lacks.
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$PWD/xdg-runtime"
    mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  fi
fi
exec ./kiv "$@"
