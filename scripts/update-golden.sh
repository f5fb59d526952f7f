#!/bin/sh
# Rewrites the golden files of tests/e2e/golden/ from the built programs, the
# way tests/e2e/golden_test.cpp makes its outputs: the test card
# (lumaqc-testcard card.yuv) analysed by `lumaqc card.yuv 352 288` on one
# thread; the log as written, the console output with the figures of its
# timing summary (from "Calculation time:" on) replaced by '#'. Run it when a
# change is meant to change the output (a new indicator, a new column), then
# review the diff of the golden files before committing them.
#
#   scripts/update-golden.sh [BUILD_DIR]      (default: build)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
for program in lumaqc lumaqc-testcard; do
    if [ ! -x "$build/$program" ]; then
        echo "update-golden: $build/$program is missing; build it first" >&2
        exit 1
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"
"$build/lumaqc-testcard" card.yuv >/dev/null
env -u LUMAQC_SIMD "$build/lumaqc" card.yuv 352 288 --threads 1 >console
golden="$root/tests/e2e/golden/testcard_352x288"
cp metricsResultsCSV.csv "$golden.log"
awk '
    !timing && (at = index($0, "Calculation time:")) > 0 {
        timing = 1
        rest = substr($0, at)
        gsub(/[0-9]+\.[0-9]+/, "#", rest)
        print substr($0, 1, at - 1) rest
        next
    }
    timing { gsub(/[0-9]+\.[0-9]+/, "#") }
    { print }
' console >"$golden.console"
echo "update-golden: wrote tests/e2e/golden/testcard_352x288.log and .console"
