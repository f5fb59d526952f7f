#!/bin/sh
# Peak resident memory of a live run with a rolling window: a 320x180 stream
# (ffmpeg's testsrc2 through a pipe) analysed with --json and --report. With
# --window 60s the peak after 10,000 and after 200,000 frames must be the
# same; a full one-hour window at 25 and 50 fps shows what the window costs.
# Needs ffmpeg and GNU time (/usr/bin/time).
#
#   scripts/live-memory.sh [BUILD_DIR]     (default: build)
set -eu

build=${1:-build}
lumaqc="$build/lumaqc"
[ -x "$lumaqc" ] || { echo "no $lumaqc: build first (make build)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 1; }
command -v ffmpeg > /dev/null || { echo "ffmpeg is needed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-8s %-4s %-8s %-16s %s\n' window fps frames "peak RSS (MiB)" seconds
run() { # WINDOW FPS FRAMES
    ffmpeg -v error -f lavfi -i "testsrc2=size=320x180:rate=$2" -frames:v "$3" \
        -f yuv4mpegpipe - |
        /usr/bin/time -f '%M %e' -o "$work/rss" "$lumaqc" - --window "$1" --json "$work/w.json" \
            --report "$work/w.html" --no-log --quiet --threads 1 > /dev/null
    printf '%-8s %-4s %-8s %-16s %s\n' "$1" "$2" "$3" \
        "$(awk '{printf "%.1f", $1 / 1024}' "$work/rss")" "$(awk '{print $2}' "$work/rss")"
}
run 60s 25 10000
run 60s 25 200000
run 60s 25 90000
run 1h 25 90000
run 60s 50 180000
run 1h 50 180000
