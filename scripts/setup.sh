#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent and quiet when everything is present.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libcurl4-openssl-dev libturbojpeg0-dev libjpeg62-turbo-dev zlib1g-dev libxcb1-dev
  # the status server (Qt's HTTP server needs the WebSockets files to be found) and the systemd notifications
  qt6-httpserver-dev qt6-websockets-dev libsystemd-dev
  # the live streams (appsrc) and the plugins of the README's recipes; the tests' receivers decode H.264 with libav
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-tools
  # tests
  libgtest-dev libgmock-dev xvfb x11-apps xdotool imagemagick x11-xserver-utils
  libpng-dev libstb-dev openssl python3 netcat-openbsd python3-xlib
  # the status server's tests: an HTTP client, the metrics checker, a browser for the page, unit checks
  curl prometheus chromium systemd
  # packaging (make package): dpkg-shlibdeps
  dpkg-dev
  # fuzzing and sanitizer builds
  clang libclang-rt-14-dev libfuzzer-14-dev
  # benchmarks and their reference libraries
  libbenchmark-dev libspng-dev libpixman-1-dev python3-pil
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq -o DPkg::Lock::Timeout=600
$SUDO apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
