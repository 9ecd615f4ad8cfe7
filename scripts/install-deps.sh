#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian 12 packages that Morvek needs, when any is missing.
#   scripts/install-deps.sh [--build | --test]
# --build: only what building morvek-cli and morvek-check needs (compiler, CMake, libcurl,
# FFmpeg with libswscale, libxml2, nlohmann-json; libmicrohttpd, SQLite and zlib for serve).
# --test: what the tests and the packages need on top (GoogleTest, mingw-w64, Wine, Xvfb, clang,
# GStreamer, ffmpeg for test media, nginx-rtmp, mandoc, lintian, wrk for serve's benchmark,
# Chromium and Selenium for its web page, and the sources of FFmpeg and libxml2 for the Windows
# build...). Without an option, both.
set -euo pipefail
build=(cmake g++ make pkg-config libcurl4-openssl-dev nlohmann-json3-dev
       libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libxml2-dev
       libmicrohttpd-dev libsqlite3-dev zlib1g-dev)
test=(googletest libgtest-dev g++-mingw-w64-x86-64-posix
      wine64 xvfb xauth imagemagick xdotool python3 fonts-liberation curl time
      clang libclang-rt-14-dev mpv ffmpeg nginx-core libnginx-mod-rtmp
      python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
      gstreamer1.0-plugins-ugly
      mandoc zsh dpkg-dev file lintian libz-mingw-w64-dev wrk
      chromium chromium-driver python3-selenium)
case "${1:-}" in
  --build) packages=("${build[@]}") ;;
  --test) packages=("${test[@]}") ;;
  "") packages=("${build[@]}" "${test[@]}") ;;
  *) echo "usage: $0 [--build | --test]" >&2; exit 2 ;;
esac
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

# scripts/build-win-deps.sh cross-builds FFmpeg and libxml2 from Debian's source packages: a
# deb-src entry for the archives and suites of the machine's deb entries, in a file of its own
# (deb822 beside debian.sources, else one-line beside sources.list).
deb822=/etc/apt/sources.list.d/debian.sources
if [ -e "$deb822" ]; then src=/etc/apt/sources.list.d/morvek-deb-src.sources; else src=/etc/apt/sources.list.d/morvek-deb-src.list; fi
if [ "${1:-}" != "--build" ] && [ ! -e "$src" ] && ! apt-get source --print-uris libxml2 >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "No deb-src entry for Debian's sources and not root; run as root: $0 --test" >&2
    exit 1
  fi
  if [ -e "$deb822" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$deb822" >"$src"
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$src"
  fi
  apt-get update -q
fi
