#!/bin/sh
# Installs the build into a fresh prefix and checks its manual pages: each
# program's page is installed, renders, and names every option its --help
# lists.
#
#   man_test.sh BUILD_DIR WORK_DIR PROGRAM...
set -eu
build=$1
work=$2
shift 2
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1; then
    cat "$work/install.log"
    exit 1
fi

bad=0
for program in "$@"; do
    name=$(basename "$program")
    page=$(find "$prefix" -path "*/man1/$name.1" | head -n 1)
    if [ -z "$page" ]; then
        echo "$name: no manual page installed under $prefix"
        bad=1
        continue
    fi
    # The page as text (man when installed, else its source without escapes).
    if command -v man > /dev/null 2>&1; then
        MANWIDTH=200 man --no-hyphenation --no-justification -l "$page" > "$work/$name.txt" 2> "$work/$name.err" || {
            cat "$work/$name.err"
            echo "$name: man cannot render $page"
            bad=1
            continue
        }
    else
        sed 's/\\-/-/g' "$page" > "$work/$name.txt"
    fi
    "$program" --help > "$work/$name.help"
    options=$(grep -o -- '--[a-z][a-z0-9-]*' "$work/$name.help" | sort -u)
    [ -n "$options" ] || { echo "$name: --help lists no option"; bad=1; }
    for option in $options; do
        if ! grep -q -- "$option" "$work/$name.txt"; then
            echo "$name: $option is in --help but not in the manual page"
            bad=1
        fi
    done
    echo "$name: $(echo "$options" | wc -l) options of --help in $page"
done
exit $bad
