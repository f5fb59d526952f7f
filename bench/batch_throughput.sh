#!/bin/sh
# Files per second on an archive: lumaqc-batch on this machine's cores
# against a plain serial shell loop that runs lumaqc once per file with one
# thread (each writing the same JSON document). A video file is decoded on a
# thread of its own beside the analysis, so that loop uses a second core; the
# same loop pinned to one core (taskset, when installed) is timed as well.
#
#   bench/batch_throughput.sh [-b BUILD_DIR] [-n FILES] [-s WIDTHxHEIGHT] [-f FRAMES] [-r RUNS]
#                             [-S SUMMARY]
#
#   -b  directory holding lumaqc and python/lumaqc-batch (default: build)
#   -n  files in the archive (default 200)
#   -s  picture size (default 320x240)
#   -f  frames per file (default 50, 2 s at 25 fps)
#   -r  runs of each, taken in turns; the fastest counts (default 2)
#   -S  append the main figures to this file, one line each
#
# The archive is H.264 MP4 files made by ffmpeg from its testsrc2 pattern, in
# a temporary directory. Every figure is wall-clock time of the whole command,
# the batch's start and end included; the CPU time of each (its worker
# processes included) is printed too, which other work on the machine
# disturbs less.
set -eu

build=build
files=200
size=320x240
frames=50
runs=2
summary=/dev/null
while getopts "b:n:s:f:r:S:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        n) files=$OPTARG ;;
        s) size=$OPTARG ;;
        f) frames=$OPTARG ;;
        r) runs=$OPTARG ;;
        S) summary=$OPTARG ;;
        *) sed -n '2,20p' "$0"; exit 2 ;;
    esac
done
build=$(cd "$build" && pwd)
[ -x "$build/lumaqc" ] && [ -x "$build/python/lumaqc-batch" ] ||
    { echo "no lumaqc or python/lumaqc-batch in $build (build first, or pass -b)" >&2; exit 1; }
command -v ffmpeg > /dev/null || { echo "ffmpeg is needed to make the archive" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaqc-batch-throughput.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/archive"
i=0
while [ "$i" -lt "$files" ]; do
    # A different stretch of the pattern in each file.
    ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc2=size=$size:rate=25" \
        -ss "$((i % 60))" -frames:v "$frames" -pix_fmt yuv420p -c:v libx264 -preset veryfast \
        "$work/archive/clip$i.mp4"
    i=$((i + 1))
done
cat > "$work/loop.sh" << 'LOOP'
for clip in "$2"/archive/*.mp4; do
    "$1" "$clip" --threads 1 --quiet --no-log --json "$2/loop/${clip##*/}.json" > /dev/null 2>&1
done
LOOP

calc() { awk "BEGIN { print $1 }"; }
# timed NAME COMMAND...: runs it; NAME.s holds its wall-clock and CPU seconds.
timed() {
    name=$1
    shift
    start=$(date +%s.%N)
    /usr/bin/time -f '%U %S' -o "$work/$name.cpu" "$@" 2> "$work/$name.log" || true
    echo "$(calc "$(date +%s.%N) - $start") $(awk 'END { print $1 + $2 }' "$work/$name.cpu")" \
        > "$work/$name.s"
}
best_loop=""
best_batch=""
best_core=""
pin=""
command -v taskset > /dev/null && pin="taskset -c 0"
run=0
while [ "$run" -lt "$runs" ]; do
    rm -rf "$work/loop" "$work/batch"
    mkdir "$work/loop"
    timed loop sh "$work/loop.sh" "$build/lumaqc" "$work"
    timed batch "$build/python/lumaqc-batch" "$work/archive" -o "$work/batch"
    read -r loop loop_cpu < "$work/loop.s"
    read -r batch batch_cpu < "$work/batch.s"
    echo "run $((run + 1)): shell loop $loop s ($loop_cpu s CPU), lumaqc-batch $batch s" \
        "($batch_cpu s CPU; $(tail -n 1 "$work/batch.log"))"
    if [ -z "$best_loop" ] || [ "$(calc "$loop < $best_loop")" = 1 ]; then
        best_loop=$loop
        best_loop_cpu=$loop_cpu
    fi
    if [ -z "$best_batch" ] || [ "$(calc "$batch < $best_batch")" = 1 ]; then
        best_batch=$batch
        best_batch_cpu=$batch_cpu
    fi
    if [ -n "$pin" ]; then
        rm -rf "$work/loop"
        mkdir "$work/loop"
        timed core $pin sh "$work/loop.sh" "$build/lumaqc" "$work"
        read -r core core_cpu < "$work/core.s"
        echo "run $((run + 1)): shell loop on one core $core s ($core_cpu s CPU)"
        if [ -z "$best_core" ] || [ "$(calc "$core < $best_core")" = 1 ]; then
            best_core=$core
        fi
    fi
    run=$((run + 1))
done
rows=$(($(wc -l < "$work/batch/catalog.csv") - 1))
echo "$files files of $size, $frames frames each, $(nproc) hardware threads; catalogue rows: $rows"
printf "shell loop over lumaqc:  %.1f files/s (%.2f s, %.2f s CPU)\n" \
    "$(calc "$files / $best_loop")" "$best_loop" "$best_loop_cpu"
printf "lumaqc-batch:            %.1f files/s (%.2f s, %.2f s CPU)\n" \
    "$(calc "$files / $best_batch")" "$best_batch" "$best_batch_cpu"
printf "batch / loop: %.2f\n" "$(calc "$best_loop / $best_batch")"
if [ -n "$best_core" ]; then
    printf "shell loop on one core:  %.1f files/s (%.2f s); batch / that loop: %.2f\n" \
        "$(calc "$files / $best_core")" "$best_core" "$(calc "$best_core / $best_batch")"
fi
printf '%-46s %s\n' "lumaqc-batch / serial loop, $files x $size" \
    "$(awk "BEGIN { printf \"%.2f\", $best_loop / $best_batch }") wall-clock ($(awk "BEGIN { printf \"%.1f\", $files / $best_batch }") against $(awk "BEGIN { printf \"%.1f\", $files / $best_loop }") files/s), CPU time $best_batch_cpu s against $best_loop_cpu s" \
    >> "$summary"
if [ -n "$best_core" ]; then
    printf '%-46s %s\n' "lumaqc-batch / the loop pinned to one core" \
        "$(awk "BEGIN { printf \"%.2f\", $best_core / $best_batch }") wall-clock ($(awk "BEGIN { printf \"%.1f\", $files / $best_core }") files/s on one core)" \
        >> "$summary"
fi
