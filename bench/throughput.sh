#!/bin/sh
# End-to-end throughput: frames per second of lumaqc on a raw 4:2:0 clip with
# one thread and with every hardware thread, and, when ffmpeg is installed, of
# FFmpeg's closest chain of analysis filters on the same file.
#
#   bench/throughput.sh [-b BUILD_DIR] [-s WIDTHxHEIGHT] [-n FRAMES] [-c CLIP.yuv] [-r RUNS] [-F]
#
#   -b  directory holding lumaqc and lumaqc-testcard (default: build)
#   -s  picture size (default 1920x1080)
#   -n  frames to analyse (default 300; the clip repeats the test card)
#   -c  analyse this raw clip instead of generating one (needs -s)
#   -r  runs of lumaqc per thread count, taken in turns; the fastest counts
#       (default 3)
#   -F  leave FFmpeg out
#
# The generated clip is the built-in test card at the chosen size, repeated
# up to the frame count, in a temporary directory. Every figure is wall-clock
# time of the whole process (reading, all fifteen indicators, console rows to
# /dev/null, the log file).
set -eu

build=build
size=1920x1080
frames=300
clip=""
runs=3
ffmpeg=ffmpeg
while getopts "b:s:n:c:r:F" opt; do
    case $opt in
        b) build=$OPTARG ;;
        s) size=$OPTARG ;;
        n) frames=$OPTARG ;;
        c) clip=$OPTARG ;;
        r) runs=$OPTARG ;;
        F) ffmpeg="" ;;
        *) sed -n '2,19p' "$0"; exit 2 ;;
    esac
done
w=${size%x*}
h=${size#*x}
lumaqc=$(cd "$build" && pwd)/lumaqc
testcard=$(cd "$build" && pwd)/lumaqc-testcard
[ -x "$lumaqc" ] || { echo "no lumaqc in $build (build first, or pass -b)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaqc-throughput.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

if [ -z "$clip" ]; then
    [ -x "$testcard" ] || { echo "no lumaqc-testcard in $build" >&2; exit 1; }
    "$testcard" "$work/card.yuv" "$w" "$h" > /dev/null
    clip="$work/clip.yuv"
    : > "$clip"
    have=0
    per=$(( $(wc -c < "$work/card.yuv") / (w * h * 3 / 2) ))
    while [ "$have" -lt "$frames" ]; do
        cat "$work/card.yuv" >> "$clip"
        have=$((have + per))
    done
    rm -f "$work/card.yuv"
fi
available=$(( $(wc -c < "$clip") / (w * h * 3 / 2) ))
[ "$frames" -le "$available" ] || frames=$available

now() { date +%s.%N; }
# seconds COMMAND...: wall-clock time of one run.
seconds() {
    t0=$(now)
    "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    t1=$(now)
    awk "BEGIN { print $t1 - $t0 }"
}
min() { awk "BEGIN { print ($1 < $2) ? $1 : $2 }"; }
fps() { awk "BEGIN { printf \"%.1f\", $frames / $1 }"; }
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }

threads=$(nproc 2>/dev/null || echo 2)
cd "$work"
# Warm the page cache so that every run reads from memory.
cat "$clip" > /dev/null

# One thread and all threads take turns, so that a disturbance from other
# work on the machine does not favour either; the fastest run of each counts.
t1=""
tn=""
i=0
while [ "$i" -lt "$runs" ]; do
    a=$(seconds "$lumaqc" "$clip" "$w" "$h" 25 "$frames" --threads 1)
    b=$(seconds "$lumaqc" "$clip" "$w" "$h" 25 "$frames" --threads "$threads")
    t1=$(min "$a" "${t1:-$a}")
    tn=$(min "$b" "${tn:-$b}")
    i=$((i + 1))
done
f1=$(fps "$t1")
fn=$(fps "$tn")

echo "clip: ${w}x${h}, $frames frames; machine: $(nproc) hardware threads, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
printf '%-40s %10s\n' "run" "frames/s"
printf '%-40s %10s\n' "lumaqc --threads 1" "$f1"
printf '%-40s %10s\n' "lumaqc --threads $threads" "$fn"

chain="blockdetect,blurdetect,signalstats,siti,idet,cropdetect,blackdetect,freezedetect"
if [ -n "$ffmpeg" ] && command -v ffmpeg > /dev/null 2>&1; then
    # FFmpeg is slow: one run.
    tf=$(seconds ffmpeg -nostdin -hide_banner -loglevel error -f rawvideo -pix_fmt yuv420p \
        -video_size "${w}x${h}" -framerate 25 -i "$clip" -frames:v "$frames" -vf "$chain" -f null -)
    ff=$(fps "$tf")
    printf '%-40s %10s\n' "ffmpeg -vf $(echo "$chain" | cut -c1-30)..." "$ff"
fi

echo
printf '%-40s %10s\n' "ratio" ""
printf '%-40s %10s\n' "$threads threads / 1 thread" "$(ratio "$t1" "$tn")"
if [ -n "${tf:-}" ]; then
    printf '%-40s %10s\n' "lumaqc 1 thread / ffmpeg chain" "$(ratio "$tf" "$t1")"
    printf '%-40s %10s\n' "lumaqc $threads threads / ffmpeg chain" "$(ratio "$tf" "$tn")"
fi
