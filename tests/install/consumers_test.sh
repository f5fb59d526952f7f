#!/bin/sh
# Installs the build into a fresh prefix, builds examples/ out of the tree
# against it once with CMake (CMAKE_PREFIX_PATH) and once with pkg-config and
# a plain compiler command, runs both on frames of the test card and requires
# the values of the installed lumaqc's log, to the log's digits.
#
#   consumers_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -eu
build=$1
source=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cd "$work"

step() { # step OUT COMMAND...: runs COMMAND, its output to OUT and OUT.err
    out=$1
    shift
    if ! "$@" > "$out" 2> "$out.err"; then
        cat "$out" "$out.err"
        echo "failed: $*"
        exit 1
    fi
}

step install.log cmake --install "$build" --prefix "$prefix"
step cmake-configure.log cmake -S "$source/examples" -B cmake-example \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
step cmake-build.log cmake --build cmake-example

pc=$(find "$prefix" -name lumaqc.pc)
libdir=$(dirname "$(dirname "$pc")")
export PKG_CONFIG_PATH="$(dirname "$pc")"
# shellcheck disable=SC2046
step pc-build.log c++ -std=c++20 -o pc-example "$source/examples/analyze_luma.cpp" \
    $(pkg-config --cflags --libs lumaqc)
# The public interface: a few headers, only under include/lumaqc/, and the
# shared library exports them alone (no internal helper, no SIMD kernel).
headers=$(cd "$prefix/include" && find . -type f | sort)
if [ "$headers" != "$(printf './lumaqc/indicators.h\n./lumaqc/lumaqc.h\n./lumaqc/run.h\n./lumaqc/version.h')" ]; then
    echo "installed headers: $headers"
    exit 1
fi
lines=$(cat "$prefix"/include/lumaqc/*.h | wc -l)
if [ "$lines" -ge 400 ]; then
    echo "the installed headers have $lines lines"
    exit 1
fi
exported=$(nm -D --defined-only "$libdir/liblumaqc.so" | c++filt | cut -d' ' -f3-)
unexpected=$(printf '%s\n' "$exported" | grep -Ev '^(lumaqc::(Analyzer|VideoAnalysis|Sink)::|lumaqc::(make(Json|Csv|Html|Log)Sink|version|versionNumber|indicatorKey|indicatorName)\(|(typeinfo|typeinfo name|vtable) for lumaqc::Sink$)' || true)
if [ -n "$unexpected" ]; then
    echo "exported beyond the public interface:"
    printf '%s\n' "$unexpected"
    exit 1
fi
# Every public header compiles on its own.
for header in lumaqc/lumaqc.h lumaqc/run.h lumaqc/indicators.h lumaqc/version.h; do
    # shellcheck disable=SC2046
    echo "#include <$header>" | step header.log c++ -std=c++20 -fsyntax-only -x c++ - \
        $(pkg-config --cflags lumaqc)
done

# 40 frames of the test card at 96 x 64.
step testcard.log "$prefix/bin/lumaqc-testcard" card.yuv 96 64
head -c $((40 * 96 * 64 * 3 / 2)) card.yuv > clip.yuv
step lumaqc.log "$prefix/bin/lumaqc" clip.yuv 96 64
step cmake-example.csv ./cmake-example/lumaqc-example clip.yuv 96 64
step pc-example.csv env LD_LIBRARY_PATH="$libdir" ./pc-example clip.yuv 96 64

# Each example value printed with the log's digits must read as the log.
for output in cmake-example.csv pc-example.csv; do
    awk -v out="$output" '
        FNR == 1 { next }  # the header lines
        NR == FNR { log_[FNR] = $0; next }
        {
            n = split(log_[FNR], expected, /[ \t]+/)
            m = split($0, got, ",")
            if (n != m) { print out ": row " FNR ": " m " values, the log has " n; bad = 1; next }
            for (i = 1; i <= n; i++) {
                e = expected[i]
                g = got[i]
                if (e ~ /nan|inf/ || i == 1) {
                    shown = i == 1 ? sprintf("%05d", g) : g
                } else if (index(e, ".") > 0) {
                    shown = sprintf("%." length(e) - index(e, ".") "f", g)
                } else {
                    shown = sprintf("%d", g)
                }
                if (shown != e) { print out ": row " FNR " column " i ": " g ", the log has " e; bad = 1 }
            }
            rows++
        }
        END {
            if (rows != 40) { print out ": " rows " rows"; bad = 1 }
            exit bad
        }' metricsResultsCSV.csv "$output"
done
echo "installed library: CMake and pkg-config consumers give the log's values"
