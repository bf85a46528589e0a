#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-serialport-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang clang-format libclang-rt-14-dev
    fonts-liberation2 fonts-arphic-uming
    xvfb xauth xdotool imagemagick
    linux-perf valgrind  # profiling the measuring tools' runs (docs/PERFORMANCE.md)
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
