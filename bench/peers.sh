#!/usr/bin/env bash
# Compares the generator with two common test-pattern sources at 3840x2160
# into v210, in one run: GStreamer's videotestsrc (smpte, zone-plate,
# checkers, solid colour) and FFmpeg's lavfi sources (smptehdbars, color, and
# zoneplate where the installed version has it), each into a null sink, and
# our equivalent patterns through the engine onto the memory raster.
#
#   bench/peers.sh [frames]        (default 60 frames per peer run)
#
# A peer's time per frame is (wall time of N frames - wall time of 1 frame) /
# (N - 1), so its start-up is not counted; each is the median of three runs.
# Ours is the mean time per frame from asyncSetGen to the frame handed to the
# device (bench_patterns, at least 0.5 s of frames per pattern). The ratio is
# ours / peer: below 1 we are faster.
#
# The peers are benchmark tools only: when they are missing, the set-up script
# installs them (scripts/setup.sh --bench), and it builds the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."

FRAMES="${1:-60}"
if ! [[ "$FRAMES" =~ ^[0-9]+$ ]] || [ "$FRAMES" -lt 2 ]; then
    echo "usage: bench/peers.sh [frames >= 2]" >&2
    exit 2
fi
W=3840
H=2160
BENCH=build/default/bin/bench_patterns

if ! command -v ffmpeg >/dev/null || ! command -v gst-launch-1.0 >/dev/null || [ ! -x "$BENCH" ]; then
    scripts/setup.sh --bench
fi

# Wall time of a command in seconds.
wall() {
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "peers: failed: $*" >&2; return 1; }
    t1=$(date +%s%N)
    echo "$(( t1 - t0 ))"
}

# Milliseconds per frame of a command template whose frame count is the
# placeholder @N@: median over three runs of (T(N) - T(1)) / (N - 1).
perFrame() {
    local runs=() n1 nN cmd1 cmdN
    local -a tmpl=("$@")
    for _ in 1 2 3; do
        cmd1=("${tmpl[@]//@N@/1}")
        cmdN=("${tmpl[@]//@N@/$FRAMES}")
        n1=$(wall "${cmd1[@]}")
        nN=$(wall "${cmdN[@]}")
        runs+=("$(( (nN - n1) / (FRAMES - 1) ))")
    done
    printf '%s\n' "${runs[@]}" | sort -n | sed -n 2p | awk '{ printf "%.2f", $1 / 1e6 }'
}

ffmpegSource() {
    perFrame ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "$1=size=${W}x${H}:rate=60${2:-}" \
        -frames:v @N@ -pix_fmt yuv422p10le -c:v v210 -f null -
}

gstSource() {
    local pattern="$1"
    shift
    perFrame gst-launch-1.0 -q videotestsrc "pattern=$pattern" "$@" num-buffers=@N@ \
        ! "video/x-raw,format=v210,width=$W,height=$H,framerate=60/1" ! fakesink sync=false
}

# Ours: mean ms per frame of each equivalent pattern, from one benchmark run.
declare -A OURS
while IFS=' ' read -r name ms; do
    OURS["$name"]="$ms"
done < <("$BENCH" --benchmark_filter="^(Colorbars|ZonePlate|Checkerboard|Window)/${W}x${H}/v210/Memory" \
    --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
for b in json.load(sys.stdin)["benchmarks"]:
    print(b["name"].split("/")[0], "%.2f" % b["real_time"])
')

rows=()
row() { # peer, source, ms per frame, our pattern
    local ours="${OURS[$4]:-}"
    local ratio="-"
    if [ -n "$ours" ] && [ -n "$3" ]; then
        ratio=$(awk -v a="$ours" -v b="$3" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    fi
    rows+=("$(printf '%-10s %-24s %10s   %-14s %10s %8s' "$1" "$2" "$3" "$4" "${ours:--}" "$ratio")")
}

row FFmpeg "smptehdbars" "$(ffmpegSource smptehdbars)" Colorbars
row FFmpeg "color" "$(ffmpegSource color :color=gray)" Window
if ffmpeg -hide_banner -filters 2>/dev/null | grep -qw zoneplate; then
    row FFmpeg "zoneplate" "$(ffmpegSource zoneplate)" ZonePlate
fi
row GStreamer "smpte" "$(gstSource smpte)" Colorbars
row GStreamer "zone-plate" "$(gstSource zone-plate kx2=20 ky2=20)" ZonePlate
row GStreamer "checkers-8" "$(gstSource checkers-8)" Checkerboard
row GStreamer "solid-color" "$(gstSource solid-color foreground-color=0xff808080)" Window

echo "${W}x${H} into v210, ms per frame (threads: $(nproc))"
printf '%-10s %-24s %10s   %-14s %10s %8s\n' peer source "peer ms" ours "ours ms" "ours/peer"
printf '%s\n' "${rows[@]}"
