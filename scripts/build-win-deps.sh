#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-compiles the check's libraries for the Windows build from Debian's source packages:
# libxml2 and a small FFmpeg (the protocols, demuxers, parsers and decoders the check uses,
# TLS through Windows' schannel), static, into build/win-deps/prefix. The versions are those
# the Linux build links, so both builds run the same code. A prefix that already holds these
# versions, built by this script as it is, is kept: a second run takes a second.
#   scripts/build-win-deps.sh [JOBS]
set -euo pipefail
script=$(realpath "$0")
cd "$(dirname "$script")/.."
root=$PWD/build/win-deps
prefix=$root/prefix
jobs=${1:-$(nproc)}
host=x86_64-w64-mingw32

# The Linux build's versions, from the development packages it compiles against.
ffmpeg_version=$(dpkg-query -W -f='${source:Version}' libavformat-dev)
xml_version=$(dpkg-query -W -f='${source:Version}' libxml2-dev)
stamp_text="ffmpeg $ffmpeg_version
libxml2 $xml_version
script $(sha256sum "$script" | cut -d' ' -f1)"
stamp=$prefix/morvek-versions
if [ -e "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
  echo "win-deps: $prefix holds ffmpeg $ffmpeg_version and libxml2 $xml_version"
  exit 0
fi

began=$(date +%s)
rm -rf "$root"
mkdir -p "$root/src" "$prefix"
(cd "$root/src" && apt-get source -q "ffmpeg=$ffmpeg_version" "libxml2=$xml_version" >/dev/null)
ffmpeg_src=$(find "$root/src" -maxdepth 1 -type d -name 'ffmpeg-*' | head -1)
xml_src=$(find "$root/src" -maxdepth 1 -type d -name 'libxml2-*' | head -1)

echo "=== win-deps: libxml2 $xml_version"
# The check reads wrappers from memory with the HTML parser, Latin-1 in, UTF-8 out: neither
# compression nor iconv nor the network parts are needed.
(cd "$xml_src"
 # Debian's patches touch Makefile.am for its documentation and tests only: the shipped
 # Makefile.in files stand, and automake is not needed.
 touch aclocal.m4 && touch configure config.h.in && find . -name Makefile.in -exec touch {} +
 ./configure -q --host=$host CC=$host-gcc-posix --prefix="$prefix" --enable-static --disable-shared \
   --without-python --without-zlib --without-lzma --without-iconv --without-icu --without-http \
   --without-ftp --without-modules --without-debug --without-catalog --without-docbook \
   --without-schematron --without-xinclude --without-xptr --without-c14n --without-readline >/dev/null
 make -s -j "$jobs" libxml2.la >/dev/null
 make -s install-libLTLIBRARIES install-pkgconfigDATA >/dev/null
 make -s -C include install >/dev/null)

echo "=== win-deps: ffmpeg $ffmpeg_version"
# Protocols: the check's whitelist (check/check_probe_av.cpp) less rtmpe, rtmpte and
# ffrtmpcrypt, which need a big-number library; tls is schannel's. Demuxers: the stream
# formats, and the formats most often served instead, which the check names. Parsers and
# decoders: the codecs whose picture size and frame rate the check reports, and whose first
# frame makes a stream live (a codec without a decoder here is judged by its packets).
protocols=http,https,tcp,tls,mmsh,mmst,rtmp,rtmps,rtmpt,rtmpts,ffrtmphttp,crypto,httpproxy
demuxers=mpegts,mpegps,flv,live_flv,asf,mov,matroska,ogg,mp3,aac,loas,hls,rtsp,nsv,rm
demuxers=$demuxers,sdp,srt,webvtt,ass,wav,avi,gif,image_png_pipe,image_jpeg_pipe
parsers=aac,aac_latm,ac3,flac,h263,h264,hevc,mpeg4video,mpegaudio,mpegvideo,opus,vorbis
decoders=aac,aac_latm,ac3,mp1,mp2,mp3,pcm_alaw,pcm_mulaw,h263,h264,hevc,flv,mpeg1video
decoders=$decoders,mpeg2video,mpeg4,vp6f,eac3,opus,vorbis,wmav1,wmav2,wmv1,wmv2,wmv3,vc1,vp8,vp9
(cd "$ffmpeg_src"
 ./configure --prefix="$prefix" --enable-cross-compile --target-os=mingw32 --arch=x86_64 \
   --cross-prefix=$host- --cc=$host-gcc-posix --cxx=$host-g++-posix \
   --pkg-config=pkg-config --pkg-config-flags=--static --enable-static --disable-shared \
   --disable-autodetect --disable-everything --disable-programs --disable-doc --disable-debug \
   --disable-x86asm --disable-avdevice --disable-avfilter --disable-swscale --disable-swresample \
   --disable-postproc --enable-network --enable-schannel --enable-zlib \
   --enable-protocol=$protocols --enable-demuxer=$demuxers --enable-parser=$parsers \
   --enable-decoder=$decoders --enable-bsf=extract_extradata >"$root/ffmpeg-configure.log"
 make -s -j "$jobs" >/dev/null
 make -s install >/dev/null)

# Their licence texts, which the zip carries beside the programs that link them.
mkdir -p "$prefix/share/licenses"
cp "$ffmpeg_src/LICENSE.md" "$prefix/share/licenses/ffmpeg-LICENSE.md"
cp "$ffmpeg_src/COPYING.LGPLv2.1" "$prefix/share/licenses/ffmpeg-COPYING.LGPLv2.1"
cp "$xml_src/Copyright" "$prefix/share/licenses/libxml2-Copyright"

printf '%s\n' "$stamp_text" >"$stamp"
echo "win-deps: built in $(( $(date +%s) - began )) s into $prefix"
