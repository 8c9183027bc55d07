#!/usr/bin/env bash
# Writes seed inputs for the transport-stream fuzz target into DIR: short streams made with
# FFmpeg's test sources (video with one or two audio tracks, another video codec) and, when the
# KLV sender's path is given, a stream with a metadata track. Each input starts with the mode
# byte that fuzz_rx_ts reads (decryption off, data outputs on).
set -euo pipefail
dir=$1
klv_sender=${2:-}
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
seed() { # seed NAME TS_FILE: the mode byte, then the stream
  { printf '\x06'; cat "$2"; } >"$dir/$1"
}

ff -f lavfi -i testsrc2=size=160x120:rate=10 -f lavfi -i sine=frequency=440:sample_rate=48000 \
   -t 1 -c:v libx264 -preset ultrafast -g 5 -c:a aac -f mpegts "$tmp/h264_aac.ts"
seed h264_aac.ts "$tmp/h264_aac.ts"
ff -f lavfi -i testsrc2=size=160x120:rate=10 -f lavfi -i sine=frequency=440 \
   -f lavfi -i sine=frequency=1000:sample_rate=44100 -map 0:v -map 1:a -map 2:a -t 1 \
   -c:v libx264 -preset ultrafast -g 5 -c:a:0 aac -c:a:1 mp2 -ac:a:1 1 -f mpegts \
   "$tmp/two_tracks.ts"
seed two_tracks.ts "$tmp/two_tracks.ts"
ff -f lavfi -i testsrc2=size=160x120:rate=10 -t 1 -c:v mpeg2video -g 5 -f mpegts "$tmp/mpeg2.ts"
seed mpeg2.ts "$tmp/mpeg2.ts"
if [ -n "$klv_sender" ]; then
  "$klv_sender" --interval-ms 100 --duration-s 1 "$tmp/h264_aac.ts" "file:$tmp/klv.ts" \
    >/dev/null
  seed klv.ts "$tmp/klv.ts"
fi
