#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test everything; with the argument
# "fuzz", also clang and its libFuzzer runtime for scripts/fuzz.sh.
# This is the only place the project gets packages from; it installs only what is missing.
set -euo pipefail

PACKAGES=(
  # build
  cmake g++ make pkg-config libgtest-dev libgmock-dev clang-format
  # engine
  libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev
  libsdl2-dev libopencv-dev libsfml-dev libx11-dev libasound2-dev
  # player
  qtbase5-dev qtbase5-dev-tools libqt5charts5-dev qttools5-dev-tools
  # test peers and headless display
  ffmpeg xvfb x11-utils
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav gir1.2-gst-rtsp-server-1.0 python3-gi
  nginx libnginx-mod-rtmp
)
if [ "${1:-}" = "fuzz" ]; then
  PACKAGES+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
