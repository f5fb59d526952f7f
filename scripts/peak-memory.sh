#!/bin/sh
# Measures the peak resident memory of lumaqc for 1080p and 4K pictures, with
# one thread and with several, over a short and a ten times longer run (the
# longer run must not need more). Needs GNU time (/usr/bin/time).
#
#   scripts/peak-memory.sh [BUILD_DIR]     (default: build)
set -eu

build=${1:-build}
lumaqc="$build/lumaqc"
[ -x "$lumaqc" ] || { echo "no $lumaqc: build first (make build)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-10s %-8s %-8s %s\n' size threads frames "peak RSS (MiB)"
for size in 1920x1080 3840x2160; do
    w=${size%x*}
    h=${size#*x}
    # Ten frames of noise; frames past the end reuse the pictures last read.
    head -c $((w * h * 3 / 2 * 10)) /dev/urandom > "$work/clip.yuv"
    for threads in 1 4; do
        for frames in 20 200; do
            /usr/bin/time -f '%M' -o "$work/rss" \
                "$lumaqc" "$work/clip.yuv" "$w" "$h" 25 "$frames" --threads "$threads" \
                --quiet --no-log > /dev/null
            printf '%-10s %-8s %-8s %s\n' "$size" "$threads" "$frames" \
                "$(awk '{printf "%.1f", $1 / 1024}' "$work/rss")"
        done
    done
done
