#!/bin/sh
# Files per second on an archive of many small files: lumaqc-batch on the
# local Dask cluster against a plain serial shell loop that runs lumaqc once
# per file with one thread (each writing the same JSON document).
#
#   bench/batch_throughput.sh [-b BUILD_DIR] [-n FILES] [-s WIDTHxHEIGHT] [-f FRAMES] [-r RUNS]
#
#   -b  directory holding lumaqc and python/lumaqc-batch (default: build)
#   -n  files in the archive (default 200)
#   -s  picture size (default 320x240)
#   -f  frames per file (default 50, 2 s at 25 fps)
#   -r  runs of each, taken in turns; the fastest counts (default 2)
#
# The archive is H.264 MP4 files made by ffmpeg from its testsrc2 pattern, in
# a temporary directory. Every figure is wall-clock time of the whole command,
# the batch's cluster start and shutdown included.
set -eu

build=build
files=200
size=320x240
frames=50
runs=2
while getopts "b:n:s:f:r:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        n) files=$OPTARG ;;
        s) size=$OPTARG ;;
        f) frames=$OPTARG ;;
        r) runs=$OPTARG ;;
        *) sed -n '2,17p' "$0"; exit 2 ;;
    esac
done
build=$(cd "$build" && pwd)
[ -x "$build/lumaqc" ] && [ -x "$build/python/lumaqc-batch" ] ||
    { echo "no lumaqc or python/lumaqc-batch in $build (build first, or pass -b)" >&2; exit 1; }
command -v ffmpeg > /dev/null || { echo "ffmpeg is needed to make the archive" >&2; exit 1; }

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

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
best_loop=""
best_batch=""
run=0
while [ "$run" -lt "$runs" ]; do
    rm -rf "$work/loop" "$work/batch"
    mkdir "$work/loop"
    start=$(now)
    for clip in "$work"/archive/*.mp4; do
        "$build/lumaqc" "$clip" --threads 1 --quiet --no-log --json "$work/loop/$(basename "$clip").json" \
            > /dev/null
    done
    loop=$(calc "$(now) - $start")
    start=$(now)
    cpu="$work/batch.cpu"
    if [ -x /usr/bin/time ]; then
        # Process CPU time of the batch, its worker processes included.
        /usr/bin/time -f '%U %S' -o "$cpu" "$build/python/lumaqc-batch" "$work/archive" \
            -o "$work/batch" 2> "$work/batch.log" || true
    else
        "$build/python/lumaqc-batch" "$work/archive" -o "$work/batch" 2> "$work/batch.log" || true
    fi
    batch=$(calc "$(now) - $start")
    echo "run $((run + 1)): shell loop $loop s, lumaqc-batch $batch s ($(tail -n 1 "$work/batch.log"))"
    [ -s "$cpu" ] && echo "       lumaqc-batch process CPU time: $(awk '{ print $1 + $2 }' "$cpu") s"
    if [ -z "$best_loop" ] || [ "$(calc "$loop < $best_loop")" = 1 ]; then best_loop=$loop; fi
    if [ -z "$best_batch" ] || [ "$(calc "$batch < $best_batch")" = 1 ]; then best_batch=$batch; fi
    run=$((run + 1))
done
rows=$(($(wc -l < "$work/batch/catalog.csv") - 1))
echo "$files files of $size, $frames frames each, $(nproc) hardware threads; catalogue rows: $rows"
printf "shell loop over lumaqc:      %.1f files/s (%.2f s)\n" "$(calc "$files / $best_loop")" "$best_loop"
printf "lumaqc-batch, local cluster: %.1f files/s (%.2f s)\n" "$(calc "$files / $best_batch")" "$best_batch"
printf "batch / loop: %.2f\n" "$(calc "$best_loop / $best_batch")"
