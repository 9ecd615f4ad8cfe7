#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and the tests need, when any is missing.
set -euo pipefail
packages=(cmake g++ make libcurl4-openssl-dev googletest libgtest-dev g++-mingw-w64-x86-64-posix
          wine64 xvfb xauth imagemagick xdotool python3 fonts-liberation curl time
          nlohmann-json3-dev clang libclang-rt-14-dev mpv
          pkg-config libavformat-dev libavcodec-dev libavutil-dev libxml2-dev ffmpeg
          python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          gstreamer1.0-plugins-ugly)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not root; run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
