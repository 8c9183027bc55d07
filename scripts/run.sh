#!/usr/bin/env bash
# Builds everything (without sanitizers, in build/release) and starts the player on a live test
# stream: tools/test_pattern_sender.sh sends a moving pattern with a tone as MPEG-TS over UDP to
# 127.0.0.1:$PORT and the player is started with "-url ts://@:$PORT".
#
# With a display the player runs until its window is closed. Without one (no DISPLAY, or a
# display that cannot be opened) it runs under a private Xvfb for a few seconds, prints the
# engine's status once a second and saves a screenshot to build/release/player_screenshot.png.
#
# Environment: PORT (default 1234), SECONDS_HEADLESS (default 8).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install_deps.sh

cmake -S . -B build/release -DQV_SANITIZER=none -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j"$(nproc)"

port=${PORT:-1234}
run_s=${SECONDS_HEADLESS:-8}
player=$root/build/release/bin/tavelo_player64
shot=$root/build/release/player_screenshot.png

pids=()
# Ends what this script started, newest first: the player before its X server.
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

tools/test_pattern_sender.sh "127.0.0.1:$port" &
pids+=($!)

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
    echo "Playing the test stream on udp port $port; close the window to end."
    "$player" -url "ts://@:$port"
    exit 0
fi

echo "No display: running the player under Xvfb for $run_s seconds."
exec 3< <(Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset 2>/dev/null)
pids+=($!)
read -r -t 10 display_number <&3 || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display_number"

QT_LOGGING_RULES="quorvex.status.debug=true" SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy} \
    "$player" -url "ts://@:$port" -size 960x640 -pos 0,0 2> >(grep --line-buffered "status:") &
pids+=($!)
sleep "$run_s"
ffmpeg -hide_banner -loglevel error -y -f x11grab -video_size 1280x800 -i "$DISPLAY" \
    -frames:v 1 "$shot"
echo "Screenshot of the player: $shot"
