#!/usr/bin/env bash
# Sets up a Debian 12 machine for Kettlebright and builds it (default preset).
# Safe to run again: it installs only what is missing and rebuilds incrementally.
#
#   scripts/setup.sh          the build and test dependencies
#   scripts/setup.sh --bench  also the peers that bench/peers.sh compares with
#                             (FFmpeg, GStreamer); benchmark tools only, never
#                             needed to build or run the generator
set -euo pipefail
cd "$(dirname "$0")/.."

WITH_BENCH=0
for arg in "$@"; do
    case "$arg" in
    --bench) WITH_BENCH=1 ;;
    *)
        echo "usage: scripts/setup.sh [--bench]" >&2
        exit 2
        ;;
    esac
done

PACKAGES=(
    build-essential cmake ninja-build pkg-config git python3 locales
    clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libxmlrpcpp-dev
    libfreetype-dev libqrencode-dev libpng-dev libjpeg-dev
    libsimpleini-dev libalglib-dev libavahi-compat-libdnssd-dev imagemagick
    fonts-freefont-otf fonts-freefont-ttf
    xvfb xauth trayer
    zbar-tools
)
if [ "$WITH_BENCH" -eq 1 ]; then
    PACKAGES+=(ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good)
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A locale with a decimal comma, so the tests can prove numbers stay in the C locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    echo "setup: generating de_DE.UTF-8"
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "setup: could not generate de_DE.UTF-8 (locale tests will skip)"
fi

cmake --preset default >/dev/null
cmake --build --preset default
