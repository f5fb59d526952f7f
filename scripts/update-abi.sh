#!/bin/sh
# Records the interface the shared library exports (abi/liblumaqc.abi), after
# a deliberate change of the public interface. Run from the source tree with
# a Release build of GCC in build/:
#
#   cmake --build build --target lumaqc_shared && scripts/update-abi.sh [build]
set -eu
build=${1:-build}
source=$(pwd)
cd "$build"
abidw --no-corpus-path --no-comp-dir-path --no-show-locs \
    --headers-dir "$source/api/lumaqc" --headers-dir generated/lumaqc \
    liblumaqc.so > "$source/abi/liblumaqc.abi"
echo "abi/liblumaqc.abi: $(grep -c '<elf-symbol' "$source/abi/liblumaqc.abi") symbols"
