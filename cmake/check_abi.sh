#!/bin/sh
# Compares the shared library with its recorded interface (abi/liblumaqc.abi):
# fails when a symbol or a type of the public interface changed in a way
# that breaks programs built against the recorded one; additions pass.
#
#   check_abi.sh LIBRARY RECORDED PUBLIC_HEADERS_DIR GENERATED_HEADERS_DIR
set -u
library=$1
recorded=$2
headers=$3
generated=$4
abidiff --no-show-locs --headers-dir2 "$headers" --headers-dir2 "$generated" \
    "$recorded" "$library"
status=$?
# abidiff's status bits: 1 error, 2 usage error, 4 a change, 8 an incompatible change.
if [ $((status & 11)) -ne 0 ]; then
    echo "the public interface of $library changed incompatibly (abidiff status $status);"
    echo "a deliberate change takes a new major version and scripts/update-abi.sh"
    exit 1
fi
echo "the interface of $library is compatible with $recorded"
