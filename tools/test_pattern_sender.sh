#!/usr/bin/env bash
# Sends a live test stream: a moving colour pattern with a running clock and a 1 kHz tone,
# H.264 and AAC in MPEG-TS over UDP, in real time, until stopped (or for SECONDS when given).
#
# Usage: test_pattern_sender.sh [HOST:PORT] [SECONDS] [WxH]
#   defaults: 127.0.0.1:1234, no limit, 1280x720
set -euo pipefail

dest=${1:-127.0.0.1:1234}
seconds=${2:-0}
size=${3:-1280x720}

limit=()
if [[ "$seconds" != 0 ]]; then
    limit=(-t "$seconds")
fi

exec ffmpeg -hide_banner -loglevel error -nostdin -re \
    -f lavfi -i "testsrc2=size=${size}:rate=25" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000" \
    "${limit[@]}" \
    -c:v libx264 -preset ultrafast -tune zerolatency -g 25 -pix_fmt yuv420p \
    -c:a aac -b:a 96k \
    -f mpegts "udp://${dest}?pkt_size=1316"
