#!/bin/sh
# End-to-end throughput: frames per second of lumaqc on a raw 4:2:0 clip with
# one thread and with every hardware thread, and, when ffmpeg is installed, of
# FFmpeg's closest chain of analysis filters on the same file; then, on the
# same clip, the ratio to one AVX2 read pass of the plane (with lumaqc_bench)
# and, encoded to an x264 MP4, the ratio of lumaqc to decoding alone.
#
#   bench/throughput.sh [-b BUILD_DIR] [-s WIDTHxHEIGHT] [-n FRAMES] [-c CLIP.yuv] [-r RUNS] [-F]
#                       [-S SUMMARY]
#
#   -b  directory holding lumaqc and lumaqc-testcard (default: build)
#   -s  picture size (default 1920x1080)
#   -n  frames to analyse (default 300; the clip repeats the test card)
#   -c  analyse this raw clip instead of generating one (needs -s)
#   -r  runs of lumaqc per thread count, taken in turns; the fastest counts
#       (default 3)
#   -F  leave FFmpeg out
#   -S  append the main figures to this file, one line each (make bench
#       prints them together at the end)
#
# The generated clip is the built-in test card at the chosen size, repeated
# up to the frame count, in a temporary directory. Frames per second are
# wall-clock time of the whole process (reading, all fifteen indicators,
# console rows to /dev/null, the log file), the fastest of the runs; the
# decoded-input ratio is also given in process CPU time, which other work on
# the machine disturbs less. FFmpeg's filters, about a hundred times
# slower, analyse the first 50 frames of the same clip.
set -eu

build=build
size=1920x1080
frames=300
clip=""
runs=3
ffmpeg=ffmpeg
summary=/dev/null
while getopts "b:s:n:c:r:FS:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        s) size=$OPTARG ;;
        n) frames=$OPTARG ;;
        c) clip=$OPTARG; clip_given=1 ;;
        r) runs=$OPTARG ;;
        F) ffmpeg="" ;;
        S) summary=$OPTARG ;;
        *) sed -n '2,22p' "$0"; exit 2 ;;
    esac
done
w=${size%x*}
h=${size#*x}
lumaqc=$(cd "$build" && pwd)/lumaqc
testcard=$(cd "$build" && pwd)/lumaqc-testcard
case $summary in /*) ;; *) summary=$PWD/$summary ;; esac
# A line of the summary: what, and the figure.
note() { printf '%-46s %s\n' "$1" "$2" >> "$summary"; }
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
ratio() { awk "BEGIN { r = $1 / $2; printf (r >= 10 ? \"%.0f\" : \"%.2f\"), r }"; }

threads=$(nproc 2>/dev/null || echo 2)
cd "$work"
# Warm the page cache so that every run reads from memory.
cat "$clip" > /dev/null

# Process CPU time of one run (user + system), in seconds.
cpu_seconds() {
    /usr/bin/time -f '%U %S' -o "$work/cpu" "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    awk '{ print $1 + $2 }' "$work/cpu"
}

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
note "clip" "${w}x${h}, $frames frames$([ -z "${clip_given:-}" ] && echo ' (test card)')"
note "lumaqc --threads 1" "$f1 frames/s"
note "lumaqc --threads $threads" "$fn frames/s ($(ratio "$t1" "$tn") x one thread)"

# A delivery desk's run: the same under the built-in QC profile, whose
# picture measures (levels, bars, fields, lost bands) come on top.
tq=""
i=0
while [ "$i" -lt "$runs" ]; do
    a=$(seconds "$lumaqc" "$clip" "$w" "$h" 25 "$frames" --threads "$threads" --profile default)
    tq=$(min "$a" "${tq:-$a}")
    i=$((i + 1))
done
printf '%-40s %10s\n' "lumaqc --threads $threads --profile default" "$(fps "$tq")"
note "lumaqc --threads $threads --profile default" "$(fps "$tq") frames/s ($(ratio "$tq" "$tn") x the time without)"

chain="blockdetect,blurdetect,signalstats,siti,idet,cropdetect,blackdetect,freezedetect"
if [ -n "$ffmpeg" ] && command -v ffmpeg > /dev/null 2>&1; then
    # FFmpeg is slow: one run, on the first 50 frames.
    fframes=$((frames < 50 ? frames : 50))
    tf=$(seconds ffmpeg -nostdin -hide_banner -loglevel error -f rawvideo -pix_fmt yuv420p \
        -video_size "${w}x${h}" -framerate 25 -i "$clip" -frames:v "$fframes" -vf "$chain" -f null -)
    ff=$(awk "BEGIN { printf \"%.1f\", $fframes / $tf }")
    printf '%-40s %10s\n' "ffmpeg -vf $(echo "$chain" | cut -c1-30)..." "$ff"
    note "lumaqc --threads 1 / FFmpeg's analysis filters" "$(ratio "$f1" "$ff") (FFmpeg: $ff frames/s)"
else
    note "lumaqc / FFmpeg's analysis filters" "not measured (no ffmpeg, or -F)"
fi

echo
printf '%-40s %10s\n' "ratio" ""
printf '%-40s %10s\n' "$threads threads / 1 thread" "$(ratio "$t1" "$tn")"
if [ -n "${tf:-}" ]; then
    printf '%-40s %10s\n' "lumaqc 1 thread / ffmpeg chain" "$(ratio "$f1" "$ff")"
    printf '%-40s %10s\n' "lumaqc $threads threads / ffmpeg chain" "$(ratio "$fn" "$ff")"
fi

# The limit: one AVX2 read pass over the same clip's luma plane, against the
# whole frame of lumaqc_bench (every indicator, CPU time) and the end-to-end
# time per frame with one thread (wall-clock and process CPU time).
bench_bin="${lumaqc%/lumaqc}/bench/lumaqc_bench"
if [ -x "$bench_bin" ] && grep -q avx2 /proc/cpuinfo; then
    LUMAQC_BENCH_YUV="$clip" LUMAQC_BENCH_SIZE="${w}x${h}" "$bench_bin" \
        --benchmark_filter='^(Yardstick/read_avx2|Frame/all)/' --benchmark_repetitions=5 \
        --benchmark_report_aggregates_only=true --benchmark_format=csv 2> /dev/null |
        awk -F, '/_median"/ { gsub(/"/, "", $1); print $1, $4 }' > "$work/bench.txt" || true
    read_us=$(awk '/read_avx2/ { print $2 }' "$work/bench.txt")
    frame_us=$(awk '/Frame\/all/ { print $2 }' "$work/bench.txt")
    if [ -n "$read_us" ] && [ -n "$frame_us" ]; then
        end_us=$(awk "BEGIN { printf \"%.1f\", 1e6 * $t1 / $frames }")
        c1=$(cpu_seconds "$lumaqc" "$clip" "$w" "$h" 25 "$frames" --threads 1)
        cpu_us=$(awk "BEGIN { printf \"%.1f\", 1e6 * $c1 / $frames }")
        echo
        printf '%-40s %10s\n' "per frame, microseconds" ""
        printf '%-40s %10s\n' "one AVX2 read pass of the plane" "$read_us"
        printf '%-40s %10s\n' "all indicators (lumaqc_bench, CPU)" "$frame_us"
        printf '%-40s %10s\n' "lumaqc --threads 1, end to end" "$end_us"
        printf '%-40s %10s\n' "lumaqc --threads 1, process CPU" "$cpu_us"
        printf '%-40s %10s\n' "indicators / read pass" "$(ratio "$frame_us" "$read_us")"
        printf '%-40s %10s\n' "end to end / read pass" "$(ratio "$end_us" "$read_us")"
        printf '%-40s %10s\n' "process CPU / read pass" "$(ratio "$cpu_us" "$read_us")"
        note "time per frame / one AVX2 read pass (limit)" "$(ratio "$end_us" "$read_us") wall-clock, $(ratio "$cpu_us" "$read_us") CPU (--threads 1); $(ratio "$frame_us" "$read_us") the indicators alone"
    fi
fi
[ -n "${read_us:-}" ] && [ -n "${frame_us:-}" ] ||
    note "time per frame / one AVX2 read pass (limit)" "not measured (no lumaqc_bench or no AVX2)"

# Decoded input: an x264 MP4 of the clip, lumaqc against decoding alone with
# the same threads (process CPU time and wall-clock time, fastest of the runs).
if [ -n "$ffmpeg" ] && command -v ffmpeg > /dev/null 2>&1 && [ -x /usr/bin/time ]; then
    # x264's default key interval (250 pictures, few groups of pictures to
    # decode at once) and a broadcast one of 2 s (-g 50).
    for gop in "" 50; do
        mp4="$work/clip${gop:+-g$gop}.mp4"
        label="x264 MP4${gop:+ -g $gop}"
        ffmpeg -nostdin -loglevel error -f rawvideo -pix_fmt yuv420p -video_size "${w}x${h}" \
            -framerate 25 -i "$clip" -frames:v "$frames" -c:v libx264 -preset veryfast \
            ${gop:+-g "$gop"} "$mp4" 2> /dev/null || continue
        dw=""; dc=""; lw=""; lc=""; lq=""
        i=0
        while [ "$i" -lt "$runs" ]; do
            a=$(seconds ffmpeg -nostdin -threads "$threads" -i "$mp4" -f null -)
            b=$(seconds "$lumaqc" "$mp4" --threads "$threads" --quiet --no-log)
            c=$(cpu_seconds ffmpeg -nostdin -threads "$threads" -i "$mp4" -f null -)
            d=$(cpu_seconds "$lumaqc" "$mp4" --threads "$threads" --quiet --no-log)
            dw=$(min "$a" "${dw:-$a}"); lw=$(min "$b" "${lw:-$b}")
            dc=$(min "$c" "${dc:-$c}"); lc=$(min "$d" "${lc:-$d}")
            if [ -n "$gop" ]; then
                e=$(seconds "$lumaqc" "$mp4" --threads "$threads" --quiet --no-log --profile default)
                lq=$(min "$e" "${lq:-$e}")
            fi
            i=$((i + 1))
        done
        echo
        printf '%-40s %10s\n' "$label, $threads threads" "frames/s"
        printf '%-40s %10s\n' "ffmpeg -f null (decoding alone)" "$(fps "$dw")"
        printf '%-40s %10s\n' "lumaqc" "$(fps "$lw")"
        printf '%-40s %10s\n' "lumaqc / decoding, wall-clock time" "$(ratio "$lw" "$dw")"
        printf '%-40s %10s\n' "lumaqc / decoding, CPU time" "$(ratio "$lc" "$dc")"
        note "$label, $threads threads: lumaqc / decoding alone" "$(ratio "$lw" "$dw") wall-clock, $(ratio "$lc" "$dc") CPU time"
        if [ -n "$gop" ]; then
            printf '%-40s %10s\n' "lumaqc --profile default / decoding" "$(ratio "$lq" "$dw")"
            note "$label, $threads threads, --profile default / decoding alone" "$(ratio "$lq" "$dw") wall-clock"
        fi
    done
fi
[ -n "${lc:-}" ] || note "x264 MP4: lumaqc / decoding alone" "not measured (no ffmpeg with libx264, or -F)"
